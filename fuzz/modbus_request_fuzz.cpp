// Modbus-TCP request answering: any bytes as a frame against a register
// image of a device with values, no values and alarms. The reply must stay
// within the largest ADU and its length field must match it.
#include <cstdint>
#include <cstdlib>

#include "modbus/modbus_answer.h"
#include "modbus/modbus_map.h"

using namespace qmx::modbus;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const RegisterImage image = [] {
    RegisterImage img;
    img.map = std::shared_ptr<const Map>(std::shared_ptr<const Map>(), &TheMap());
    qmx::view::DeviceView d;
    d.id = 1;
    d.answering = d.line_open = true;
    d.rounds = 3;
    qmx::view::UnitValues u;
    u.type = qmx::view::kRectifierType;
    qmx::view::Value v;
    v.field.key = "rc_value";
    v.number = 53.5;
    u.values.push_back(v);
    d.units.push_back(u);
    img.units[1] = BuildRegisters(TheMap(), d, true, 100);
    img.units[7] = img.units[1];
    return img;
  }();
  uint8_t reply[kMaxAdu];
  const size_t n = Answer(data, size, image, reply);
  if (n > kMaxAdu || (n > 0 && (n < 9 || static_cast<size_t>(reply[4] << 8 | reply[5]) != n - 6)))
    std::abort();
  return 0;
}
