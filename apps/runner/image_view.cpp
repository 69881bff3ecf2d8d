#include "image_view.h"

#include <cstring>

#include <fmt/format.h>

namespace k417t_run {
namespace {

// Group record (45 bytes) and module record (53 bytes), least significant
// byte first:
//   group:  0 data_id u32 | 4 ac_param f32[5] | 24 dc_param f32[2] | 32 dc_param_p u8
//           33 rc_value f32 | 37 module_count u8 | 38 ttime[7]
//   module: 0 module_value f32 | 4 analog_p u8 | 5 user_analog f32[7]
//           33 module_state u8[3] | 36 state_p u8 | 37 user_state u8[6]
//           43 fault_state u8 | 44 alarm_p u8 | 45 user_alarm u8[8]
constexpr size_t kGroup = 45;
constexpr size_t kModule = 53;

float F32(const unsigned char* p) {
  float v;
  std::memcpy(&v, p, 4);
  return v;
}

Json::Value Floats(const unsigned char* p, int n) {
  Json::Value a(Json::arrayValue);
  for (int i = 0; i < n; ++i) a.append(F32(p + 4 * i));
  return a;
}

Json::Value Bytes(const unsigned char* p, int n) {
  Json::Value a(Json::arrayValue);
  for (int i = 0; i < n; ++i) a.append(p[i]);
  return a;
}

}  // namespace

std::string ImageTime(const std::vector<unsigned char>& image, size_t offset) {
  if (image.size() < offset + 7) return "";
  const unsigned char* t = image.data() + offset;
  return fmt::format("{:04}-{:02}-{:02} {:02}:{:02}:{:02}", t[0] | (t[1] << 8), t[2], t[3], t[4],
                     t[5], t[6]);
}

Json::Value DecodeRectifierImage(const std::vector<unsigned char>& image) {
  if (image.size() < kGroup) return Json::Value();
  const unsigned char* g = image.data();
  const unsigned count = g[37];
  if (image.size() != kGroup + kModule * count) return Json::Value();
  Json::Value out(Json::objectValue);
  uint32_t id;
  std::memcpy(&id, g, 4);
  out["data_id"] = id;
  out["ac_param"] = Floats(g + 4, 5);
  out["dc_param"] = Floats(g + 24, 2);
  out["rc_value"] = F32(g + 33);
  out["module_count"] = count;
  out["time"] = ImageTime(image, 38);
  Json::Value modules(Json::arrayValue);
  for (unsigned k = 0; k < count; ++k) {
    const unsigned char* m = g + kGroup + kModule * k;
    Json::Value mod(Json::objectValue);
    mod["value"] = F32(m);
    mod["user_analog"] = Floats(m + 5, 7);
    mod["state"] = Bytes(m + 33, 3);
    mod["user_state"] = Bytes(m + 37, 6);
    mod["fault"] = m[43];
    mod["user_alarm"] = Bytes(m + 45, 8);
    modules.append(mod);
  }
  out["modules"] = modules;
  return out;
}

}  // namespace k417t_run
