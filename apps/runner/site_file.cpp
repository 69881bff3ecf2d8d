#include "site_file.h"

#include <fmt/format.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <map>

#include "input/checked_json.h"
#include "wire/serial_transport.h"

namespace k417t_run {
namespace {

// The unit elements of a device's setting: every data_id an exact unsigned
// 32-bit integer, none used twice in the site (the rectifier unit shares its
// controller's), and a baud_rate the serial driver can set.
bool CheckUnits(const std::string& site, const Json::Value& setting, const std::string& device,
                std::map<uint32_t, std::string>& used, std::string& error) {
  for (const char* list : {"acSetting", "dcSetting"}) {
    const Json::Value& units = qmx::json::Member(setting, list);
    if (!units.isArray()) continue;
    for (Json::ArrayIndex k = 0; k < units.size(); ++k) {
      const std::string where = fmt::format("device {}: {}[{}].data_id", device, list, k);
      uint32_t id = 0;
      if (!qmx::json::ToUInt32(qmx::json::Member(units[k], "data_id"), id)) {
        error = fmt::format("{}: {} must be an unsigned integer (0-4294967295)", site, where);
        return false;
      }
      const auto [it, fresh] = used.emplace(id, where);
      if (!fresh) {
        error = fmt::format("{}: {} is {}, as is {}; their history and restored images would mix",
                            site, where, id, it->second);
        return false;
      }
    }
  }
  const Json::Value& baud = qmx::json::Member(setting, "baud_rate");
  if (!baud.isNull()) {
    int64_t b = 0;
    if (!qmx::json::ToIntIn(baud, 1, 4000000, b) ||
        !qmx::wire::SerialTransport::baud_supported(static_cast<int>(b))) {
      error = fmt::format("{}: device {}: baud_rate {} is not a speed the serial driver can set",
                          site, device, qmx::json::Compact(baud));
      return false;
    }
  }
  return true;
}

// A DC unit's "labels": {"m": [...], "user": [...]}, each entry
// {"name": TEXT[, "unit": TEXT]}. Anything else is refused, naming the member.
bool ReadLabels(const Json::Value& labels, const std::string& where, qmx::view::UnitLabels& out,
                std::string& error) {
  if (!labels.isObject()) {
    error = where + " must be an object {\"m\": [...], \"user\": [...]}";
    return false;
  }
  for (const std::string& k : labels.getMemberNames()) {
    if (k != "m" && k != "user") {
      error = fmt::format("{}.{} is not a list this unit has (m, user)", where, k);
      return false;
    }
  }
  const std::pair<const char*, size_t> lists[] = {{"m", 2}, {"user", 27}};
  for (const auto& [list, room] : lists) {
    const Json::Value& entries = qmx::json::Member(labels, list);
    if (entries.isNull()) continue;
    const std::string at = fmt::format("{}.{}", where, list);
    if (!entries.isArray() || entries.size() > room) {
      error = fmt::format("{} must be a list of at most {} entries", at, room);
      return false;
    }
    std::vector<qmx::view::ValueName>& names = std::string(list) == "m" ? out.m : out.user;
    for (Json::ArrayIndex i = 0; i < entries.size(); ++i) {
      const Json::Value& e = entries[i];
      const std::string here = fmt::format("{}[{}]", at, i);
      if (!e.isObject()) {
        error = here + " must be an object {\"name\": TEXT, \"unit\": TEXT}";
        return false;
      }
      for (const std::string& k : e.getMemberNames()) {
        if (k != "name" && k != "unit") {
          error = fmt::format("{}.{} is not known (name, unit)", here, k);
          return false;
        }
      }
      qmx::view::ValueName n;
      if (!qmx::json::ToString(qmx::json::Member(e, "name"), n.name) || n.name.empty() ||
          n.name.size() > 64) {
        error = here + ".name must be a text of 1 to 64 bytes";
        return false;
      }
      const Json::Value& unit = qmx::json::Member(e, "unit");
      if (!unit.isNull() && (!qmx::json::ToString(unit, n.unit) || n.unit.size() > 16)) {
        error = here + ".unit must be a text of at most 16 bytes";
        return false;
      }
      names.push_back(std::move(n));
    }
  }
  return true;
}

struct Limit {
  const char* name;
  double lo, hi;  // lo excluded
  bool whole;
  const char* unit;
};

// The reasonable ranges: a heartbeat up to a day, commits up to an hour
// apart, up to 1 TiB of history, rectifier dead bands within what a 48 V
// plant's group could move.
const Limit kLimits[] = {{"heartbeat_s", 0, 86400, true, "seconds"},
                         {"commit_s", 0, 3600, true, "seconds"},
                         {"max_mb", 0, 1048576, true, "MiB"},
                         {"diff_v", 0, 100, false, "V"},
                         {"diff_i", 0, 10000, false, "A"}};

bool Check(const std::string& what, const Limit& l, double v, std::string& error) {
  if (!std::isfinite(v) || v <= l.lo || v > l.hi || (l.whole && v != std::floor(v))) {
    error = fmt::format("{} must be {} above {} and at most {} {}", what,
                        l.whole ? "a whole number" : "a number", l.lo, l.hi, l.unit);
    return false;
  }
  return true;
}

const Limit& LimitOf(const std::string& name) {
  for (const Limit& l : kLimits)
    if (name == l.name) return l;
  return kLimits[0];
}

// The "name" of a unit element: absent, or a non-empty string.
bool ReadUnitName(const Json::Value& element, const std::string& where, unsigned id,
                  std::map<unsigned, std::string>& names, std::string& error) {
  const Json::Value& name = qmx::json::Member(element, "name");
  if (name.isNull()) return true;
  std::string text;
  if (!qmx::json::ToString(name, text) || text.empty()) {
    error = where + ".name must be a non-empty string";
    return false;
  }
  names[id] = text;
  return true;
}

// A device entry's "dc_limits": {"low_v", "high_v"}, volts, each optional
// (the default band otherwise), 0 < low_v < high_v <= 100.
bool ReadDcLimits(const Json::Value& entry, const std::string& where, qmx::view::DcLimits& out,
                  std::string& error) {
  const Json::Value& l = qmx::json::Member(entry, "dc_limits");
  if (l.isNull()) return true;
  if (!l.isObject()) {
    error = where + ".dc_limits must be an object {\"low_v\", \"high_v\"}";
    return false;
  }
  for (const std::string& m : l.getMemberNames()) {
    if (m != "low_v" && m != "high_v") {
      error = where + ".dc_limits has an unknown member \"" + qmx::view::SafeText(m) + "\"";
      return false;
    }
  }
  for (auto [name, to] : {std::pair<const char*, double*>{"low_v", &out.low_v},
                          std::pair<const char*, double*>{"high_v", &out.high_v}}) {
    const Json::Value& v = qmx::json::Member(l, name);
    if (v.isNull()) continue;
    if (!qmx::json::ToDouble(v, *to) || !(*to > 0) || !(*to <= 100)) {
      error = fmt::format("{}.dc_limits.{} must be a number of volts above 0 and at most 100",
                          where, name);
      return false;
    }
  }
  if (!(out.low_v < out.high_v)) {
    error = fmt::format("{}.dc_limits.low_v ({}) must be below high_v ({})", where, out.low_v,
                        out.high_v);
    return false;
  }
  return true;
}

// A device entry's "battery" (qmx::view::ParseBatterySettings): its roles
// must name values of the device's own DC units (dcSetting's data_ids).
bool ReadBattery(const Json::Value& entry, const std::string& where,
                 qmx::view::BatterySettings& out, std::string& error) {
  const Json::Value& battery = qmx::json::Member(entry, "battery");
  if (battery.isNull()) return true;
  std::vector<unsigned int> dc_units;
  const Json::Value& dc = qmx::json::Member(qmx::json::Member(entry, "setting"), "dcSetting");
  if (dc.isArray())
    for (const Json::Value& unit : dc) {
      uint32_t id = 0;
      if (qmx::json::ToUInt32(qmx::json::Member(unit, "data_id"), id)) dc_units.push_back(id);
    }
  std::string why;
  if (qmx::view::ParseBatterySettings(battery, dc_units, &out, &why)) return true;
  error = where + "." + why;
  return false;
}

// A device entry's "name", else "device-<data_id>".
std::string NameOf(const Json::Value& entry, unsigned data_id) {
  return entry["name"].isString() ? entry["name"].asString() : fmt::format("device-{}", data_id);
}

}  // namespace

bool ReadHistory(const Json::Value& site, HistorySettings& out, std::string& error) {
  const Json::Value& h = qmx::json::Member(site, "history");
  if (h.isNull()) return true;
  if (!h.isObject()) {
    error = "history must be an object {\"heartbeat_s\", \"commit_s\", \"max_mb\", \"rectifier\"}";
    return false;
  }
  auto take = [&error](const Json::Value& obj, const std::string& at, const char* name,
                       double& to) {
    const Json::Value& v = qmx::json::Member(obj, name);
    if (v.isNull()) return true;
    const std::string what = at + "." + name;
    double d = 0;
    if (!qmx::json::ToDouble(v, d)) {
      error = fmt::format("{} must be a number, not {}", what, qmx::json::Compact(v));
      return false;
    }
    if (!Check(what, LimitOf(name), d, error)) return false;
    to = d;
    return true;
  };
  for (const std::string& k : h.getMemberNames()) {
    if (k != "heartbeat_s" && k != "commit_s" && k != "max_mb" && k != "rectifier") {
      error = fmt::format("history.{} is not known (heartbeat_s, commit_s, max_mb, rectifier)", k);
      return false;
    }
  }
  if (!take(h, "history", "heartbeat_s", out.heartbeat_s) ||
      !take(h, "history", "commit_s", out.commit_s) || !take(h, "history", "max_mb", out.max_mb))
    return false;
  const Json::Value& rc = qmx::json::Member(h, "rectifier");
  if (rc.isNull()) return true;
  if (!rc.isObject()) {
    error = "history.rectifier must be an object {\"diff_v\": V, \"diff_i\": A}";
    return false;
  }
  for (const std::string& k : rc.getMemberNames()) {
    if (k != "diff_v" && k != "diff_i") {
      error = fmt::format("history.rectifier.{} is not known (diff_v, diff_i)", k);
      return false;
    }
  }
  return take(rc, "history.rectifier", "diff_v", out.rectifier.diff_v) &&
         take(rc, "history.rectifier", "diff_i", out.rectifier.diff_i);
}

bool HistoryValue(const std::string& what, const std::string& text, double& out,
                  std::string& error) {
  const char* name = what == "--history-heartbeat" ? "heartbeat_s"
                     : what == "--history-commit"  ? "commit_s"
                                                   : "max_mb";
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(text.c_str(), &end);
  if (text.empty() || end == nullptr || *end != '\0' || errno != 0) {
    error = fmt::format("{} must be a number, not \"{}\"", what, text);
    return false;
  }
  if (!Check(what, LimitOf(name), v, error)) return false;
  out = v;
  return true;
}

std::string AlarmNamesPath(const std::string& site_path, const Json::Value& site) {
  std::string path;
  if (!qmx::json::ToString(qmx::json::Member(site, "alarm_names"), path) || path.empty()) return "";
  if (path[0] == '/') return path;
  const size_t slash = site_path.rfind('/');
  return slash == std::string::npos ? path : site_path.substr(0, slash + 1) + path;
}

std::shared_ptr<const qmx::view::AlarmNames> LoadAlarmNames(const std::string& site_path,
                                                            const Json::Value& site,
                                                            std::string& error) {
  const Json::Value& member = qmx::json::Member(site, "alarm_names");
  if (member.isNull()) return qmx::view::AlarmNames::English();
  std::string given;
  if (!qmx::json::ToString(member, given) || given.empty()) {
    error = site_path + ": alarm_names must be the path of a language file (a non-empty string)";
    return nullptr;
  }
  std::string why;
  auto names = qmx::view::AlarmNames::Load(AlarmNamesPath(site_path, site), why);
  if (!names) error = site_path + ": alarm_names: " + why;
  return names;
}

std::vector<SiteDevice> NamedDevices(const Json::Value& site) {
  std::vector<SiteDevice> out;
  const Json::Value& list = qmx::json::Member(site, "devices");
  if (!list.isArray()) return out;
  for (const Json::Value& d : list) {
    if (!d.isObject()) continue;
    SiteDevice dev;
    dev.data_id = d["data_id"].isUInt() ? d["data_id"].asUInt() : 0;
    dev.name = NameOf(d, dev.data_id);
    out.push_back(std::move(dev));
  }
  return out;
}

bool LoadSite(const std::string& path, Json::Value& site, std::vector<SiteDevice>& devices,
              std::string& error) {
  devices.clear();
  if (!qmx::json::ReadFile(path, site, error)) return false;
  if (!site.isObject() || !site["devices"].isArray() || site["devices"].empty()) {
    error = path + ": needs a non-empty \"devices\" array";
    return false;
  }
  for (Json::ArrayIndex i = 0; i < site["devices"].size(); ++i) {
    const Json::Value& d = site["devices"][i];
    SiteDevice dev;
    if (!d.isObject() || !d["setting"].isObject()) {
      error = fmt::format("{}: devices[{}] has no \"setting\" object", path, i);
      return false;
    }
    if (!d["data_id"].isNull() && !d["data_id"].isUInt()) {
      error = fmt::format("{}: devices[{}].data_id must be an unsigned integer", path, i);
      return false;
    }
    dev.data_id = d["data_id"].isNull() ? 0 : d["data_id"].asUInt();
    dev.name = NameOf(d, dev.data_id);
    if (!ReadDcLimits(d, fmt::format("{}: device {}", path, dev.name), dev.dc_limits, error))
      return false;
    if (!ReadBattery(d, fmt::format("{}: device {}", path, dev.name), dev.battery, error))
      return false;
    dev.setting = d["setting"];
    dev.entry = qmx::json::Compact(d);
    for (const SiteDevice& other : devices) {
      if (other.data_id == dev.data_id) {
        error = fmt::format("{}: devices {} and {} have the same data_id {}", path, other.name,
                            dev.name, dev.data_id);
        return false;
      }
    }
    devices.push_back(std::move(dev));
  }
  HistorySettings history;
  if (!ReadHistory(site, history, error)) {
    error = path + ": " + error;
    return false;
  }
  // Unit identifiers against each other and against the devices' own.
  std::map<uint32_t, std::string> used;
  for (const SiteDevice& d : devices) used.emplace(d.data_id, "the data_id of device " + d.name);
  for (SiteDevice& d : devices) {
    if (!CheckUnits(path, d.setting, d.name, used, error)) return false;
    for (const char* list : {"acSetting", "dcSetting"}) {
      const Json::Value& units = qmx::json::Member(d.setting, list);
      if (!units.isArray()) continue;
      for (Json::ArrayIndex k = 0; k < units.size(); ++k) {
        uint32_t id = 0;
        qmx::json::ToUInt32(qmx::json::Member(units[k], "data_id"), id);
        const std::string where = fmt::format("{}: device {}: {}[{}]", path, d.name, list, k);
        if (!ReadUnitName(units[k], where, id, d.unit_names, error)) return false;
      }
    }
    const Json::Value& rc = qmx::json::Member(d.setting, "rcSetting");
    if (!ReadUnitName(rc, fmt::format("{}: device {}: rcSetting", path, d.name), d.data_id,
                      d.unit_names, error))
      return false;
    const Json::Value& dc = qmx::json::Member(d.setting, "dcSetting");
    if (!dc.isArray()) continue;
    for (Json::ArrayIndex k = 0; k < dc.size(); ++k) {
      const Json::Value& labels = qmx::json::Member(dc[k], "labels");
      if (labels.isNull()) continue;
      uint32_t id = 0;
      qmx::json::ToUInt32(qmx::json::Member(dc[k], "data_id"), id);
      const std::string where = fmt::format("{}: device {}: dcSetting[{}].labels", path, d.name, k);
      if (!ReadLabels(labels, where, d.labels[id], error)) return false;
    }
  }
  if (!LoadAlarmNames(path, site, error)) return false;
  return true;
}

}  // namespace k417t_run
