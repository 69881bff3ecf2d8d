#include "modbus/modbus_config.h"

#include <arpa/inet.h>

#include <set>

#include "input/checked_json.h"
#include "view/control_rules.h"
#include "view/site_view.h"

namespace qmx::modbus {
namespace {

bool AllDigits(const std::string& s) {
  if (s.empty() || s.size() > 5) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

// Data bits plus start, parity and stop bits: the bits of one character.
int CharBits(const RtuConfig& r) {
  return 1 + r.data_bits + (r.parity == 'N' ? 0 : 1) + r.stop_bits;
}

bool LoadRtu(const Json::Value& r, RtuConfig& cfg, std::string& error) {
  if (!r.isObject()) {
    error = "modbus.rtu: not an object";
    return false;
  }
  static const std::set<std::string> known = {"port",      "baud",      "parity",
                                              "data_bits", "stop_bits", "control"};
  for (const std::string& k : r.getMemberNames()) {
    if (!known.count(k)) {
      error = "modbus.rtu." + view::SafeText(k) +
              " is not known (port, baud, parity, data_bits, stop_bits, control)";
      return false;
    }
  }
  std::string text;
  if (!json::Has(r, "port") || !json::ToString(r["port"], text) || text.empty() ||
      text.find('\0') != std::string::npos || text.size() > 255) {
    error = "modbus.rtu.port: not the path of a serial port";
    return false;
  }
  cfg.port = text;
  int64_t n = 0;
  if (json::Has(r, "baud")) {
    if (!json::ToIntIn(r["baud"], 1, 4000000, n) || !RtuBaudSupported(static_cast<int>(n))) {
      error =
          "modbus.rtu.baud: not a standard baud rate (1200, 2400, 4800, 9600, 19200, 38400, "
          "57600, 115200)";
      return false;
    }
    cfg.baud = static_cast<int>(n);
  }
  if (json::Has(r, "parity")) {
    if (!json::ToString(r["parity"], text) || (text != "E" && text != "O" && text != "N")) {
      error = "modbus.rtu.parity: not \"E\", \"O\" or \"N\"";
      return false;
    }
    cfg.parity = text[0];
  }
  if (json::Has(r, "data_bits")) {
    if (!json::ToIntIn(r["data_bits"], 7, 8, n)) {
      error = "modbus.rtu.data_bits: neither 7 nor 8";
      return false;
    }
    cfg.data_bits = static_cast<int>(n);
  }
  if (json::Has(r, "stop_bits")) {
    if (!json::ToIntIn(r["stop_bits"], 1, 2, n)) {
      error = "modbus.rtu.stop_bits: neither 1 nor 2";
      return false;
    }
    cfg.stop_bits = static_cast<int>(n);
  }
  if (json::Has(r, "control") && !json::ToBool(r["control"], cfg.control)) {
    error = "modbus.rtu.control: neither true nor false";
    return false;
  }
  cfg.enabled = true;
  return true;
}

}  // namespace

bool RtuBaudSupported(int baud) {
  for (int b : {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200})
    if (b == baud) return true;
  return false;
}

long RtuConfig::silence_us() const {
  if (baud > 19200) return 1750;
  return (35L * CharBits(*this) * 1000000L) / (10L * baud);
}

bool ModbusConfig::loopback() const { return address.rfind("127.", 0) == 0; }

bool ParseListen(const std::string& text, std::string& address, int& port, std::string& error) {
  const size_t colon = text.rfind(':');
  const std::string host = colon == std::string::npos ? "127.0.0.1" : text.substr(0, colon);
  const std::string p = colon == std::string::npos ? text : text.substr(colon + 1);
  in_addr a{};
  if (!AllDigits(p) || std::stoi(p) < 1 || std::stoi(p) > 65535) {
    error = "the port of \"" + text + "\" is not a number from 1 to 65535";
    return false;
  }
  if (host.find('\0') != std::string::npos || inet_pton(AF_INET, host.c_str(), &a) != 1) {
    error = "the address of \"" + text + "\" is not a dotted IPv4 address";
    return false;
  }
  address = host;
  port = std::stoi(p);
  return true;
}

bool LoadModbus(const Json::Value& site, const std::string& flag, ModbusConfig& cfg,
                std::string& error) {
  const Json::Value& m = json::Member(site, "modbus");
  std::string listen = flag;
  const char* listen_from = "--modbus";
  std::string err;
  if (!m.isNull()) {
    if (!m.isObject()) {
      error = "modbus: not an object";
      return false;
    }
    static const std::set<std::string> known = {"listen",           "max_clients", "idle_s",
                                                "float_word_order", "units",       "control",
                                                "control_peers",    "rtu"};
    for (const std::string& k : m.getMemberNames()) {
      if (!known.count(k)) {
        error = "modbus." + view::SafeText(k) +
                " is not known (listen, max_clients, idle_s, float_word_order, units, control, "
                "control_peers, rtu)";
        return false;
      }
    }
    std::string text;
    if (json::Has(m, "listen")) {
      if (!json::ToString(m["listen"], text)) {
        error = "modbus.listen: not a text";
        return false;
      }
      if (flag.empty()) {
        listen = text;
        listen_from = "modbus.listen";
      }
    } else if (flag.empty() && !json::Has(m, "rtu")) {
      listen = "127.0.0.1:1502";
      listen_from = "modbus";
    }
    int64_t n = 0;
    if (json::Has(m, "max_clients")) {
      if (!json::ToIntIn(m["max_clients"], 1, 1000, n)) {
        error = "modbus.max_clients: not a whole number from 1 to 1000";
        return false;
      }
      cfg.max_clients = static_cast<unsigned>(n);
    }
    if (json::Has(m, "idle_s")) {
      if (!json::ToIntIn(m["idle_s"], 1, 86400, n)) {
        error = "modbus.idle_s: not a whole number of seconds from 1 to 86400";
        return false;
      }
      cfg.idle_s = static_cast<unsigned>(n);
    }
    if (json::Has(m, "float_word_order")) {
      if (!json::ToString(m["float_word_order"], text) || (text != "big" && text != "little")) {
        error = "modbus.float_word_order: neither \"big\" nor \"little\"";
        return false;
      }
      cfg.big_endian_words = text == "big";
    }
    if (json::Has(m, "units")) {
      const Json::Value& u = m["units"];
      if (!u.isObject()) {
        error = "modbus.units: not an object of device name or id -> unit id";
        return false;
      }
      for (const std::string& k : u.getMemberNames()) {
        if (!json::ToIntIn(u[k], 1, 247, n)) {
          error = "modbus.units." + view::SafeText(k) + ": not a unit id from 1 to 247";
          return false;
        }
        cfg.units[k] = static_cast<int>(n);
      }
    }
    if (json::Has(m, "control")) {
      const Json::Value& c = m["control"];
      if (c.isObject()) {
        for (const std::string& k : c.getMemberNames()) {
          if (!c[k].isArray()) {
            error = "modbus.control." + view::SafeText(k) + ": not an array of control codes";
            return false;
          }
          for (Json::ArrayIndex i = 0; i < c[k].size(); ++i) {
            if (!json::ToIntIn(c[k][i], 0, 65535, n) ||
                view::FindControl(static_cast<int>(n)) == nullptr) {
              error = "modbus.control." + view::SafeText(k) + "[" + std::to_string(i) +
                      "]: not a control code (" + view::ControlCodesText() + ")";
              return false;
            }
            cfg.control_codes[k].insert(static_cast<int>(n));
          }
        }
        cfg.control = !cfg.control_codes.empty();
      } else if (json::ToBool(c, cfg.control)) {
        cfg.control_all = cfg.control;
      } else {
        error = "modbus.control: neither true, false nor {\"<device>\": [codes]}";
        return false;
      }
    }
    if (json::Has(m, "control_peers")) {
      const Json::Value& p = m["control_peers"];
      if (!p.isArray()) {
        error = "modbus.control_peers: not an array of IPv4 addresses";
        return false;
      }
      for (Json::ArrayIndex i = 0; i < p.size(); ++i) {
        in_addr a{};
        if (!json::ToString(p[i], text) || text.find('\0') != std::string::npos ||
            inet_pton(AF_INET, text.c_str(), &a) != 1) {
          error = "modbus.control_peers[" + std::to_string(i) + "]: not a dotted IPv4 address";
          return false;
        }
        cfg.control_peers.push_back(text);
      }
    }
    if (json::Has(m, "rtu") && !LoadRtu(m["rtu"], cfg.rtu, error)) return false;
  }
  cfg.enabled = !listen.empty();
  if (cfg.enabled && !ParseListen(listen, cfg.address, cfg.port, err)) {
    error = std::string(listen_from) + ": " + err;
    return false;
  }
  // Modbus carries no credentials and no encryption: beyond loopback anyone
  // on the segment could command the rectifiers with a forged source
  // address. Control is served on loopback only; a remote SCADA reaches it
  // through a TLS tunnel with client certificates (stunnel) ending here.
  if (cfg.enabled && !cfg.loopback() && (cfg.control || cfg.control_all)) {
    error = "modbus.control: refused while the server listens beyond loopback on " + cfg.address +
            " (Modbus has no authentication); listen on 127.0.0.1 behind a TLS tunnel, or "
            "leave control off";
    return false;
  }
  return true;
}

bool AssignUnits(const ModbusConfig& cfg,
                 const std::vector<std::pair<unsigned int, std::string>>& devices,
                 std::map<uint8_t, unsigned int>& out, std::string& error) {
  out.clear();
  std::map<unsigned int, int> given;  // device -> unit id
  for (const auto& [name, unit] : cfg.units) {
    bool found = false;
    for (const auto& [id, dev_name] : devices) {
      if (dev_name == name || std::to_string(id) == name) {
        if (given.count(id) && given[id] != unit) {
          error = "modbus.units: device " + std::to_string(id) + " is given two unit ids";
          return false;
        }
        given[id] = unit;
        found = true;
      }
    }
    if (!found) {
      error = "modbus.units." + view::SafeText(name) + ": no device has that name or id";
      return false;
    }
  }
  std::set<int> taken;
  for (const auto& [id, unit] : given) {
    if (!taken.insert(unit).second) {
      error = "modbus.units: unit id " + std::to_string(unit) + " is given to two devices";
      return false;
    }
    out[static_cast<uint8_t>(unit)] = id;
  }
  int next = 0;
  for (const auto& [id, name] : devices) {
    (void)name;
    ++next;  // the device's place in the site file, from 1
    if (given.count(id)) continue;
    if (taken.count(next)) {
      error = "modbus.units: device " + std::to_string(id) + " would take unit id " +
              std::to_string(next) + " by its place, which another device is given";
      return false;
    }
    if (next > 247) {
      error = "modbus.units: more than 247 devices";
      return false;
    }
    taken.insert(next);
    out[static_cast<uint8_t>(next)] = id;
  }
  return true;
}

bool ControlAllowed(const ModbusConfig& cfg, unsigned int device, const std::string& name,
                    int code) {
  if (cfg.control_all) return true;
  for (const std::string& k : {name, std::to_string(device)}) {
    const auto it = cfg.control_codes.find(k);
    if (it != cfg.control_codes.end() && it->second.count(code)) return true;
  }
  return false;
}

}  // namespace qmx::modbus
