// Each unit on its own: parsers given slices at their true lengths, cache
// images of any length, round ends and value reads with arbitrary keys. Every
// slice and image sits in a buffer of exactly its size. Input: see op::Unit.
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "fuzz/fuzz_host.h"
#include "units/ac/k417t_ac.h"
#include "units/dc/k417t_dc.h"
#include "units/rc/k417t_rc.h"

using namespace k417t_fuzz;

namespace {

template <typename Unit>
using Parser = int (Unit::*)(const unsigned char*, int);

std::unique_ptr<unsigned char[]> Exact(const std::vector<uint8_t>& bytes) {
  std::unique_ptr<unsigned char[]> buf(new unsigned char[bytes.size()]);
  std::copy(bytes.begin(), bytes.end(), buf.get());
  return buf;
}

template <typename Unit>
void Exercise(Input& in, const std::vector<Parser<Unit>>& parsers) {
  Host host;
  auto parent = std::make_shared<Unit>();
  parent->Init(host.controller, 1);
  auto unit = std::make_shared<Unit>();
  Json::Value setting(Json::objectValue);
  setting["appSetting"]["diff_v"] = 0.5;
  unit->InitV(parent.get(), 7, setting);
  for (int ops = 0; !in.empty() && ops < 256; ++ops) {
    switch (in.u8() % 4) {
      case op::kParse: {
        const auto parse = parsers[in.u8() % parsers.size()];
        const std::vector<uint8_t> slice = in.bytes(in.u16() % 2048);
        auto buf = Exact(slice);
        ((*unit).*parse)(buf.get(), static_cast<int>(slice.size()));
        break;
      }
      case op::kLoad: {
        const std::vector<uint8_t> image = in.bytes(in.u16());
        auto buf = Exact(image);
        unit->LoadFromCache(buf.get(), static_cast<int>(image.size()));
        break;
      }
      case op::kRoundDone:
        unit->RoundDone();
        break;
      case op::kUnitRead: {
        const std::vector<uint8_t> key = in.bytes(in.u8());
        try {
          unit->Get_Value(0, std::string(key.begin(), key.end()));
        } catch (const std::out_of_range&) {
        }
        break;
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in(data, size);
  switch (in.u8() % 3) {
    case 0:
      Exercise<K417TAC>(in, {&K417TAC::parse40_41, &K417TAC::parse40_43, &K417TAC::parse40_44});
      break;
    case 1:
      Exercise<K417TRC>(in, {&K417TRC::parse41_41, &K417TRC::parse41_43, &K417TRC::parse41_44,
                             &K417TRC::parse40_46, &K417TRC::parse42_46});
      break;
    default:
      Exercise<K417TDC>(in, {&K417TDC::parse42_41, &K417TDC::parse42_44});
      break;
  }
  return 0;
}
