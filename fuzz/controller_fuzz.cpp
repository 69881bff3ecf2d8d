// The controller's polling state machine, fed answers in any step: 0-4 AC and
// 0-4 DC units, polls between answers, control commands and result queries
// interleaved, value reads of every unit with arbitrary keys. Answers sit in
// buffers of exactly their size, so a read past the information field is
// caught. Input: see op::Controller.
#include <json/value.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "controller/k417t.h"
#include "fuzz/fuzz_host.h"

using namespace k417t_fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in(data, size);
  const uint8_t header = in.u8();
  const uint8_t flags = in.u8();
  Host host;
  auto ctrl = std::make_shared<K417T>();
  ctrl->Init(host.controller, 100);
  Json::Value setting(Json::objectValue);
  for (int i = 0; i < (header & 0x0F) % 5; ++i) setting["acSetting"][i]["data_id"] = 11 + i;
  for (int i = 0; i < (header >> 4) % 5; ++i) setting["dcSetting"][i]["data_id"] = 21 + i;
  setting["rcSetting"] = Json::Value(Json::objectValue);
  if (!ctrl->InitSetting(setting)) return 0;
  if (flags & 1) ctrl->protocol_ver = 0x20;

  for (int ops = 0; !in.empty() && ops < 512; ++ops) {
    switch (in.u8() % 6) {
      case op::kPoll:
        ctrl->RefreshStatus();
        break;
      case op::kAnswer: {
        const uint8_t cid1 = in.u8();
        const uint8_t rtn = in.u8();
        const std::vector<uint8_t> info = in.bytes(in.u16() % 2048);
        auto frame = DecodedFrame(cid1, rtn, info);
        ctrl->recv_frame = frame.get();
        if (rtn == 0) {
          ctrl->process_payload();
        } else {
          ctrl->process_error();
        }
        ctrl->recv_frame = nullptr;
        break;
      }
      case op::kControl: {
        const int code = 98 + in.u8() % 21;
        const uint8_t byte = in.u8();
        const uint8_t f = in.u8();
        int out[2] = {0, 0};
        int out_len = 0;
        ctrl->DeviceIoControl(code, (f & 1) ? nullptr : &byte, (f & 1) ? 0 : 1, out,
                              ((f >> 1) & 7) - 1, out_len);
        break;
      }
      case op::kStep:
        ctrl->cmd_step = in.u8();
        break;
      case op::kAge: {
        const uint8_t a = in.u8();
        if (a & 0x80) ctrl->data_valid = 0;
        ctrl->last_update -= boost::posix_time::seconds(a & 0x7F);
        for (const auto& unit : ctrl->GetAllChildVDevices()) {
          if (unit) unit->last_update -= boost::posix_time::seconds(a & 0x7F);
        }
        break;
      }
      case op::kRead: {
        const auto units = ctrl->GetAllChildVDevices();
        const auto& unit = units[in.u8() % units.size()];
        const std::vector<uint8_t> key = in.bytes(in.u8());
        try {
          if (unit) unit->Get_Value(0, std::string(key.begin(), key.end()));
        } catch (const std::out_of_range&) {
        }
        break;
      }
    }
  }
  return 0;
}
