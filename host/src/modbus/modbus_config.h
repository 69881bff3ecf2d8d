#pragma once

// The Modbus server's settings: the command line's --modbus [ADDR:]PORT and
// the site file's "modbus" object, with its "rtu" member for a serial port. Kept apart from
// libmodbus so a build without it can still refuse them with a reason.
#include <json/value.h>

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace qmx::modbus {

// Modbus-RTU on a serial port (RS-485 two-wire, the gateway a slave).
struct RtuConfig {
  bool enabled = false;
  std::string port;  // "/dev/ttyS1"
  int baud = 9600;
  char parity = 'E';  // 'E', 'O' or 'N'
  int data_bits = 8;
  int stop_bits = 1;
  bool control = false;  // writes from the port: this and ModbusConfig::control
  // The 3.5-character silence that ends a frame, in microseconds (fixed
  // 1750 above 19200 baud).
  long silence_us() const;
};

// Baud rates a serial port is set to here.
bool RtuBaudSupported(int baud);

struct ModbusConfig {
  bool enabled = false;  // the TCP server
  std::string address = "127.0.0.1";
  int port = 1502;
  unsigned max_clients = 16;
  unsigned idle_s = 60;
  bool big_endian_words = true;  // float32 high word first ("ABCD")
  // Device name or data identifier (as text) -> unit identifier 1..247.
  std::map<std::string, int> units;
  // Writes: off (false), every code on every device (true), or per device
  // name or data identifier the control codes allowed ({"plant": [100, 102]}).
  bool control = false;
  bool control_all = false;
  std::map<std::string, std::set<int>> control_codes;
  std::vector<std::string> control_peers;  // client addresses allowed to write
  RtuConfig rtu;
  bool loopback() const;
};

// "PORT" or "ADDR:PORT" (ADDR a dotted IPv4 address; "0.0.0.0": every
// address). False with the reason.
bool ParseListen(const std::string& text, std::string& address, int& port, std::string& error);

// The settings from the site file's "modbus" object (members: listen,
// max_clients, idle_s, float_word_order, units, control, control_peers,
// rtu), with `flag` (--modbus, empty: none) taking the place of "listen".
// TCP is on with --modbus or "listen", and when the object is there without
// "rtu"; RTU is on with "rtu". False with the member named on a bad or
// unknown member.
bool LoadModbus(const Json::Value& site, const std::string& flag, ModbusConfig& cfg,
                std::string& error);

// Whether `code` may be sent to the device (data identifier, name).
bool ControlAllowed(const ModbusConfig& cfg, unsigned int device, const std::string& name,
                    int code);

// Unit identifiers for the devices (data identifier, name) in site order:
// 1, 2, ... unless `units` gives one; a unit identifier given twice, a
// default clashing with a given one, or a name or identifier no device has
// is an error. Result: unit identifier -> device data identifier.
bool AssignUnits(const ModbusConfig& cfg,
                 const std::vector<std::pair<unsigned int, std::string>>& devices,
                 std::map<uint8_t, unsigned int>& out, std::string& error);

}  // namespace qmx::modbus
