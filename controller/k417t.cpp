#include "controller/k417t.h"

K417T::K417T() : PMBusPower({"K417T"}) {
  cmd_result = -1;
  device_type_ = "k417t";
  baud_rate = 9600;
  sp_flag = 1;
  protocol_ver = 0x21;
}

K417T::~K417T() = default;

int K417T::DeviceIoControl(int, const void*, int, void*, int, int& out_len) {
  out_len = 0;
  return 0;
}

int K417T::process_payload() { return PMBusPower::process_payload(); }

int K417T::process_error() { return 0; }
