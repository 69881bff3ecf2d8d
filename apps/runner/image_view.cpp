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
//   AC screen (32): 0 data_id u32 | 4 ia f32 | 8 ib | 12 ic | 16 channel_count u8
//           17 airlock_m u8 | 18 p43_count u8 | 19 p43_state u8[3]
//           22 ia_alert u8 | 23 ib_alert | 24 ic_alert | 25 ttime[7]
//   AC input (30): 0 a f32 | 4 b | 8 c | 12 f | 16 p41_count u8 | 17 a_alert u8
//           18 b_alert | 19 c_alert | 20 f_alert | 21 p44_count u8 | 22 p44_state u8[8]
//   DC (238): 0 data_id u32 | 4 v f32 | 8 i f32 | 12 dc_m u8 | 13 m_value f32[2]
//           21 dc_n u8 | 22 p_count u8 | 23 user_p f32[27] | 131 v_state u8
//           132 alert_m u8 | 133 fuse states u8[10] | 143 alert_p u8
//           144 alert_p_state u8[87] | 231 ttime[7]
constexpr size_t kGroup = 45;
constexpr size_t kModule = 53;
constexpr size_t kAcScreen = 32;
constexpr size_t kAcInput = 30;
constexpr size_t kDc = 238;

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

Json::Value DecodeAcImage(const std::vector<unsigned char>& image) {
  if (image.size() < kAcScreen || (image.size() - kAcScreen) % kAcInput != 0) return Json::Value();
  const unsigned char* s = image.data();
  Json::Value out(Json::objectValue);
  uint32_t id;
  std::memcpy(&id, s, 4);
  out["data_id"] = id;
  out["ia"] = F32(s + 4);
  out["ib"] = F32(s + 8);
  out["ic"] = F32(s + 12);
  out["ia_alert"] = s[22];
  out["ib_alert"] = s[23];
  out["ic_alert"] = s[24];
  out["time"] = ImageTime(image, 25);
  Json::Value inputs(Json::arrayValue);
  for (size_t off = kAcScreen; off + kAcInput <= image.size(); off += kAcInput) {
    const unsigned char* c = s + off;
    Json::Value in(Json::objectValue);
    in["a"] = F32(c);
    in["b"] = F32(c + 4);
    in["c"] = F32(c + 8);
    in["f"] = F32(c + 12);
    in["a_alert"] = c[17];
    in["b_alert"] = c[18];
    in["c_alert"] = c[19];
    in["f_alert"] = c[20];
    inputs.append(in);
  }
  out["inputs"] = inputs;
  return out;
}

Json::Value DecodeDcImage(const std::vector<unsigned char>& image) {
  if (image.size() != kDc) return Json::Value();
  const unsigned char* d = image.data();
  Json::Value out(Json::objectValue);
  uint32_t id;
  std::memcpy(&id, d, 4);
  out["data_id"] = id;
  out["v"] = F32(d + 4);
  out["i"] = F32(d + 8);
  out["v_state"] = d[131];
  out["fuse_count"] = d[132];
  out["fuses"] = Bytes(d + 133, 10);
  out["time"] = ImageTime(image, 231);
  return out;
}

Json::Value DecodeImage(int type, const std::vector<unsigned char>& image) {
  switch (type) {
    case 5091: return DecodeAcImage(image);
    case 5092: return DecodeRectifierImage(image);
    case 5093: return DecodeDcImage(image);
    default: return Json::Value();
  }
}

}  // namespace k417t_run
