#include "controller/k417t.h"

#include <cstring>

#include "units/common/trace.h"
#include "units/rc/rc_commands.h"

namespace {

// First information byte of the rectifier control command (0x41/0x45) per
// control code; -1 for a code that is no command (a result query).
int CommandByte(int code) {
  const k417t_rc::Command* c = k417t_rc::FindCommand(code);
  return c != nullptr ? c->first : -1;
}

void WriteInt(void* out, int out_cap, int value, int& out_len) {
  if (out != nullptr && out_cap >= 4) {
    std::memcpy(out, &value, sizeof value);
    out_len = 4;
  } else {
    out_len = 0;
  }
}

}  // namespace

K417T::K417T() : PMBusPower({"K417T"}) {
  cmd_result = -1;
  device_type_ = "k417t";
  baud_rate = 9600;
  sp_flag = 1;
  protocol_ver = 0x21;
}

K417T::~K417T() = default;

int K417T::DeviceIoControl(int code, const void* in, int in_len, void* out, int out_cap,
                           int& out_len) {
  const int first = CommandByte(code);
  if (first < 0) {
    const int result = cmd_result;
    k417t::Trace("drova cmd_result:", result);
    WriteInt(out, out_cap, result, out_len);
    return 0;
  }
  unsigned char info[2] = {static_cast<unsigned char>(first), 0x00};
  if (k417t_rc::FindCommand(code)->takes_byte) {
    // These commands need the caller's byte; without it nothing is sent, and
    // the result says so: a query must not report an earlier command's answer
    // for a command that never went out.
    if (in == nullptr || in_len < 1) {
      cmd_result = -1;
      out_len = 0;
      return 0;
    }
    info[1] = *static_cast<const unsigned char*>(in);
  }
  cmd_step = code;
  cmd_result = -1;
  OpenPort();
  write_pmbus_cmd(0x41, 0x45, info, 2);
  WriteInt(out, out_cap, 1, out_len);
  return 0;
}

int K417T::process_payload() {
  if (!k417t_poll::IsIoControlStep(cmd_step)) return PMBusPower::process_payload();
  if (recv_frame == nullptr) return 0;
  const int rtn = recv_frame[3];
  k417t::Trace("drova:process_payload:", rtn);
  cmd_result = rtn;
  return 0;
}

int K417T::process_error() {
  if (!k417t_poll::IsIoControlStep(cmd_step) || recv_frame == nullptr) return 0;
  const int rtn = recv_frame[3];
  k417t::Trace("K417T:process_error:", rtn);
  cmd_result = rtn;
  return 0;
}
