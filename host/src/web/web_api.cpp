#include "web/web_api.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <ctime>
#include <exception>
#include <set>
#include <tuple>

#include <fmt/format.h>
#include <json/writer.h>

#include "input/checked_json.h"
#include "web/web_assets.h"
#include "store/alarm_json.h"

namespace qmx::web {
namespace {

std::string Write(const Json::Value& v) {
  Json::StreamWriterBuilder w;
  w["indentation"] = "";
  w["precision"] = 7;
  return Json::writeString(w, v);
}

Response JsonAnswer(const Json::Value& v, int status = 200) {
  Response r;
  r.status = status;
  r.body = Write(v);
  return r;
}

Response Error(int status, const std::string& message) {
  Json::Value v(Json::objectValue);
  v["error"] = message;
  return JsonAnswer(v, status);
}

Response MethodNotAllowed(const std::string& allow) {
  Response r = Error(405, "method not allowed (use " + allow + ")");
  r.allow = allow;
  return r;
}

// Device values may be NaN or infinite (they are the wire's bytes): JSON has
// no such numbers, so they become null.
void Finite(Json::Value& v) {
  if (v.isDouble() && !std::isfinite(v.asDouble())) {
    v = Json::Value();
  } else if (v.isArray() || v.isObject()) {
    for (Json::Value& child : v) Finite(child);
  }
}

// Digits only, no sign, no leading '+', fits the type.
bool ParseUInt32(const std::string& s, unsigned int& out) {
  if (s.empty() || s.size() > 10) return false;
  uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  if (v > 0xFFFFFFFFull) return false;
  out = static_cast<unsigned int>(v);
  return true;
}

bool ParseInt64(const std::string& s, int64_t& out) {
  if (s.empty() || s.size() > 15) return false;
  size_t i = s[0] == '-' ? 1 : 0;
  if (i == s.size()) return false;
  int64_t v = 0;
  for (; i < s.size(); ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    v = v * 10 + (s[i] - '0');
  }
  out = s[0] == '-' ? -v : v;
  return true;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool Decode(const std::string& in, std::string& out) {
  out.clear();
  for (size_t i = 0; i < in.size(); ++i) {
    if (in[i] == '+') {
      out += ' ';
    } else if (in[i] == '%') {
      if (i + 2 >= in.size()) return false;
      const int hi = HexDigit(in[i + 1]), lo = HexDigit(in[i + 2]);
      if (hi < 0 || lo < 0) return false;
      out += static_cast<char>(hi * 16 + lo);
      i += 2;
    } else {
      out += in[i];
    }
  }
  return true;
}

bool TokenMatches(const std::string& given, const std::string& token) {
  // Constant time in the token's content: every byte is compared.
  unsigned char diff = given.size() == token.size() ? 0 : 1;
  for (size_t i = 0; i < token.size(); ++i)
    diff |= static_cast<unsigned char>(token[i] ^ (i < given.size() ? given[i] : 0));
  return diff == 0 && !token.empty();
}

const char* Kind(int type) {
  switch (type) {
    case 5091: return "ac";
    case 5092: return "rectifier";
    case 5093: return "dc";
    default: return "unknown";
  }
}

double Num(const Json::Value& v) { return v.isNumeric() ? v.asDouble() : std::nan(""); }

std::string Metric(double v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v > 0 ? "+Inf" : "-Inf";
  if (v == std::floor(v) && std::fabs(v) < 1e15) return fmt::format("{:.0f}", v);
  return fmt::format("{:.7g}", v);
}

// One metric family: HELP and TYPE once, then its samples.
struct Family {
  std::string name, help, type;
  std::vector<std::string> samples;
  void Add(const std::string& labels, double v) {
    samples.push_back(name + (labels.empty() ? "" : "{" + labels + "}") + " " + Metric(v));
  }
  void AddRaw(const std::string& line) { samples.push_back(line); }
};

struct Series {
  std::string key, label, unit;
};

// The chart series of a unit type, and how to take each from a decoded image.
std::vector<Series> SeriesOf(int type, size_t inputs) {
  std::vector<Series> out;
  if (type == 5093) {
    out.push_back({"v", "DC voltage", "V"});
    out.push_back({"i", "DC current", "A"});
  } else if (type == 5092) {
    out.push_back({"rc_value", "Rectifier output voltage", "V"});
    out.push_back({"total", "Rectifier total current", "A"});
  } else if (type == 5091) {
    for (size_t k = 0; k < inputs; ++k)
      for (const char* p : {"a", "b", "c"})
        out.push_back({fmt::format("input{}_{}", k + 1, p),
                       fmt::format("Input {} phase {}", k + 1, static_cast<char>(std::toupper(p[0]))),
                       "V"});
  }
  return out;
}

Json::Value SeriesValue(int type, const Json::Value& d, const std::string& key) {
  if (d.isNull()) return Json::Value();
  if (type == 5092 && key == "total") {
    double sum = 0;
    for (const Json::Value& m : d["modules"]) sum += Num(m["value"]);
    return std::isfinite(sum) ? Json::Value(sum) : Json::Value();
  }
  if (type == 5091) {
    unsigned k = 0;
    char phase = 0;
    if (std::sscanf(key.c_str(), "input%u_%c", &k, &phase) != 2 || k == 0) return Json::Value();
    const Json::Value& in = d["inputs"];
    if (!in.isArray() || k > in.size()) return Json::Value();
    const Json::Value& v = in[k - 1][std::string(1, phase)];
    return v.isNumeric() && std::isfinite(v.asDouble()) ? v : Json::Value();
  }
  const Json::Value& v = d[key];
  return v.isNumeric() && std::isfinite(v.asDouble()) ? v : Json::Value();
}

Json::Value AlarmJson(unsigned int device, const store::ActiveAlarm& a) {
  Json::Value x = store::AlarmPointJson(a);
  x["device"] = device;
  x["since"] = static_cast<Json::Int64>(a.since);
  return x;
}

// Releases a counted slot on every way out.
struct Slot {
  std::atomic<int>& n;
  ~Slot() { --n; }
};

}  // namespace

bool ParseQuery(const std::string& query, std::map<std::string, std::string>& out,
                std::string& error) {
  out.clear();
  if (query.size() > 2048) {
    error = "query string too long";
    return false;
  }
  size_t start = 0;
  while (start <= query.size() && !query.empty()) {
    size_t end = query.find('&', start);
    if (end == std::string::npos) end = query.size();
    const std::string part = query.substr(start, end - start);
    if (!part.empty()) {
      const size_t eq = part.find('=');
      std::string key, value;
      if (!Decode(part.substr(0, eq), key) ||
          !Decode(eq == std::string::npos ? "" : part.substr(eq + 1), value)) {
        error = "malformed escape in the query string";
        return false;
      }
      if (out.count(key) != 0) {
        error = "query parameter '" + key + "' given twice";
        return false;
      }
      if (out.size() >= 16) {
        error = "too many query parameters";
        return false;
      }
      out[key] = value;
    }
    start = end + 1;
  }
  return true;
}

std::string LabelValue(const std::string& v) {
  std::string out;
  out.reserve(v.size());
  for (char c : v) {
    if (c == '\\') out += "\\\\";
    else if (c == '"') out += "\\\"";
    else if (c == '\n') out += "\\n";
    else out += c;
  }
  return out;
}

double WireLimitMs(uint64_t bytes, uint64_t exchanges, int baud) {
  const double bytes_per_s = (baud > 0 ? baud : 9600) / 10.0;
  return 1000.0 * static_cast<double>(bytes) / bytes_per_s + 20.0 * static_cast<double>(exchanges);
}

constexpr double WebApi::kBuckets[];

WebApi::WebApi(SiteHost& host, ApiOptions options)
    : host_(host), opt_(std::move(options)), devices_(opt_.devices) {}

void WebApi::SetDevices(std::map<unsigned int, DeviceInfo> devices) {
  std::lock_guard<std::mutex> lock(mu_);
  devices_ = std::move(devices);
}

int64_t WebApi::Now() const {
  return opt_.clock ? opt_.clock() : static_cast<int64_t>(std::time(nullptr));
}

void WebApi::OnRound(const RoundReport& report) {
  std::lock_guard<std::mutex> lock(mu_);
  auto info = devices_.find(report.device_id);
  const int baud = info != devices_.end() ? info->second.baud : 9600;
  const double limit = WireLimitMs(report.bytes_out + report.bytes_in, report.exchanges, baud);
  RoundStats& s = rounds_[report.device_id];
  s.last_ms = report.duration_ms;
  s.last_limit_ms = limit;
  s.last_exchanges = report.exchanges;
  ++s.count;
  const double secs = report.duration_ms / 1000.0;
  s.sum_s += secs;
  for (size_t b = 0; b < kBucketCount; ++b)
    if (secs <= kBuckets[b]) ++s.buckets[b];
}

Response WebApi::Handle(const Request& req) {
  try {
    return Dispatch(req);
  } catch (const std::exception& e) {
    return Error(500, std::string("internal error: ") + e.what());
  } catch (...) {
    return Error(500, "internal error");
  }
}

Response WebApi::Dispatch(const Request& req) {
  const std::string& p = req.path;
  const bool get = req.method == "GET" || req.method == "HEAD";
  std::map<std::string, std::string> q;
  std::string error;
  if (!ParseQuery(req.query, q, error)) return Error(400, error);

  if (p.rfind("/api/", 0) != 0 && p != "/metrics") {
    const Asset* asset = FindAsset(p == "/" ? "/index.html" : p);
    if (asset == nullptr) return Error(404, "no such page: " + p);
    if (!get) return MethodNotAllowed("GET");
    Response r;
    r.content_type = asset->type;
    r.body.assign(reinterpret_cast<const char*>(asset->data), asset->size);
    r.cacheable = true;
    return r;
  }
  if (p == "/metrics") return get ? Metrics() : MethodNotAllowed("GET");
  if (p == "/api/config") return get ? Config() : MethodNotAllowed("GET");
  if (p == "/api/devices") return get ? Devices() : MethodNotAllowed("GET");
  if (p == "/api/alarms") return get ? Alarms() : MethodNotAllowed("GET");
  if (p == "/api/events") return get ? Events(q) : MethodNotAllowed("GET");
  if (p == "/api/history") return get ? History(q) : MethodNotAllowed("GET");
  const std::string prefix = "/api/devices/";
  if (p.rfind(prefix, 0) == 0) {
    std::string rest = p.substr(prefix.size());
    const size_t slash = rest.find('/');
    const std::string tail = slash == std::string::npos ? "" : rest.substr(slash);
    unsigned int id = 0;
    if (!ParseUInt32(rest.substr(0, slash), id))
      return Error(400, "device id must be a decimal number below 2^32");
    if (tail.empty()) return get ? Device(id) : MethodNotAllowed("GET");
    if (tail == "/control") return req.method == "POST" ? Control(id, req) : MethodNotAllowed("POST");
    return Error(404, "no such resource: " + p);
  }
  return Error(404, "no such resource: " + p);
}

Json::Value WebApi::DeviceSummary(const DeviceSnapshot& s) const {
  Json::Value d(Json::objectValue);
  d["id"] = s.device_id;
  d["line"] = s.line;
  d["line_open"] = s.line_open;
  d["answering"] = s.answering;
  d["stale"] = s.stale;
  d["rounds"] = static_cast<Json::UInt64>(s.rounds);
  d["last_round"] = static_cast<Json::Int64>(s.last_round);
  Json::Value round(Json::objectValue);
  {
    std::lock_guard<std::mutex> lock(mu_);
    auto info = devices_.find(s.device_id);
    d["name"] = info != devices_.end() ? info->second.name : fmt::format("device-{}", s.device_id);
    auto it = rounds_.find(s.device_id);
    if (it != rounds_.end()) {
      round["duration_ms"] = it->second.last_ms;
      round["wire_limit_ms"] = it->second.last_limit_ms;
      round["ratio"] = it->second.last_limit_ms > 0 ? it->second.last_ms / it->second.last_limit_ms : 0.0;
      round["exchanges"] = static_cast<Json::UInt64>(it->second.last_exchanges);
    }
  }
  d["round"] = round;
  Json::Value st(Json::objectValue);
  st["requests"] = static_cast<Json::UInt64>(s.line_stats.requests);
  st["answers"] = static_cast<Json::UInt64>(s.line_stats.answers);
  st["timeouts"] = static_cast<Json::UInt64>(s.line_stats.timeouts);
  st["late"] = static_cast<Json::UInt64>(s.line_stats.late);
  st["echoes"] = static_cast<Json::UInt64>(s.line_stats.echoes);
  st["dropped"] = static_cast<Json::UInt64>(s.line_stats.dropped);
  st["bytes_out"] = static_cast<Json::UInt64>(s.line_stats.bytes_out);
  st["bytes_in"] = static_cast<Json::UInt64>(s.line_stats.bytes_in);
  d["line_stats"] = st;
  d["alarm_count"] = static_cast<Json::UInt>(s.alarms.size());
  return d;
}

Json::Value WebApi::Units(const DeviceSnapshot& s) const {
  Json::Value units(Json::arrayValue);
  for (const UnitImage& img : s.images) {
    Json::Value u(Json::objectValue);
    u["data_id"] = img.data_id;
    u["type"] = img.type;
    u["kind"] = Kind(img.type);
    Json::Value values = opt_.decode ? opt_.decode(img.type, img.image) : Json::Value();
    Finite(values);
    if (values.isNull()) u["error"] = fmt::format("image of {} bytes not readable", img.image.size());
    u["values"] = values;
    units.append(u);
  }
  return units;
}

Response WebApi::Devices() {
  Json::Value list(Json::arrayValue);
  for (unsigned int id : host_.DeviceIds())
    if (auto s = host_.Snapshot(id)) list.append(DeviceSummary(*s));
  Json::Value v(Json::objectValue);
  v["time"] = static_cast<Json::Int64>(Now());
  v["devices"] = list;
  return JsonAnswer(v);
}

Response WebApi::Device(unsigned int id) {
  auto s = host_.Snapshot(id);
  if (!s) return Error(404, fmt::format("no device {}", id));
  Json::Value d = DeviceSummary(*s);
  d["units"] = Units(*s);
  Json::Value alarms(Json::arrayValue);
  for (const auto& a : s->alarms) alarms.append(AlarmJson(id, a));
  d["alarms"] = alarms;
  d["time"] = static_cast<Json::Int64>(Now());
  return JsonAnswer(d);
}

Response WebApi::Alarms() {
  Json::Value list(Json::arrayValue);
  for (unsigned int id : host_.DeviceIds())
    if (auto s = host_.Snapshot(id))
      for (const auto& a : s->alarms) list.append(AlarmJson(id, a));
  Json::Value v(Json::objectValue);
  v["alarms"] = list;
  return JsonAnswer(v);
}

Response WebApi::Config() {
  Json::Value v(Json::objectValue);
  v["control"] = opt_.control;
  v["max_points"] = static_cast<Json::UInt64>(opt_.max_points);
  return JsonAnswer(v);
}

bool WebApi::Range(const std::map<std::string, std::string>& q, int64_t& from, int64_t& to,
                   std::string& error) const {
  const int64_t now = Now();
  to = now;
  from = now - 24 * 3600;
  auto f = q.find("from"), t = q.find("to");
  if (t != q.end() && !ParseInt64(t->second, to)) {
    error = "'to' must be epoch seconds";
    return false;
  }
  if (f != q.end() && !ParseInt64(f->second, from)) {
    error = "'from' must be epoch seconds";
    return false;
  } else if (f == q.end()) {
    from = to - 24 * 3600;
  }
  if (from > to) {
    error = "'from' is after 'to'";
    return false;
  }
  if (to - from > opt_.max_range_s) {
    error = fmt::format("range too long: at most {} days", opt_.max_range_s / 86400);
    return false;
  }
  return true;
}

Response WebApi::Events(const std::map<std::string, std::string>& q) {
  for (const auto& [k, v] : q)
    if (k != "from" && k != "to" && k != "device")
      return Error(400, "unknown query parameter '" + k + "' (take device, from, to)");
  int64_t from = 0, to = 0;
  std::string error;
  if (!Range(q, from, to, error)) return Error(400, error);
  std::vector<unsigned int> devices;
  auto dev = q.find("device");
  if (dev != q.end()) {
    unsigned int id = 0;
    if (!ParseUInt32(dev->second, id)) return Error(400, "'device' must be a device id");
    devices.push_back(id);
  } else {
    devices = host_.DeviceIds();
  }
  store::HistoryStore* store = host_.history();
  if (store == nullptr) return Error(503, "no history store");
  if (++history_busy_ > 4) {
    --history_busy_;
    return Error(503, "busy: too many history queries at once");
  }
  Slot slot{history_busy_};
  // (time, row id, device) for a stable merge of the units' events.
  std::vector<std::tuple<int64_t, int64_t, unsigned int, store::HistoryEvent>> all;
  for (unsigned int id : devices) {
    auto s = host_.Snapshot(id);
    if (!s) return Error(404, fmt::format("no device {}", id));
    std::set<unsigned int> ids{id};
    for (const UnitImage& img : s->images) ids.insert(img.data_id);
    for (const auto& a : s->alarms) ids.insert(a.data_id);
    for (unsigned int unit : ids)
      for (auto& e : store->EventsNewest(unit, from, to, opt_.max_events + 1))
        all.emplace_back(e.event.time, e.id, id, std::move(e));
  }
  std::sort(all.begin(), all.end(), [](const auto& a, const auto& b) {
    return std::tie(std::get<0>(a), std::get<1>(a)) < std::tie(std::get<0>(b), std::get<1>(b));
  });
  const bool truncated = all.size() > opt_.max_events;
  if (truncated) all.erase(all.begin(), all.end() - static_cast<long>(opt_.max_events));
  Json::Value list(Json::arrayValue);
  for (const auto& [time, row, device, h] : all) {
    Json::Value x = store::AlarmEventJson(h.event);
    x["device"] = device;
    x["time"] = static_cast<Json::Int64>(time);
    x["local_time"] = h.local_time;
    list.append(x);
  }
  Json::Value v(Json::objectValue);
  v["from"] = static_cast<Json::Int64>(from);
  v["to"] = static_cast<Json::Int64>(to);
  v["truncated"] = truncated;
  v["events"] = list;
  return JsonAnswer(v);
}

Response WebApi::History(const std::map<std::string, std::string>& q) {
  for (const auto& [k, v] : q)
    if (k != "from" && k != "to" && k != "unit")
      return Error(400, "unknown query parameter '" + k + "' (take unit, from, to)");
  auto u = q.find("unit");
  unsigned int unit = 0;
  if (u == q.end()) return Error(400, "'unit' is required (a unit's data id)");
  if (!ParseUInt32(u->second, unit)) return Error(400, "'unit' must be a unit's data id");
  int64_t from = 0, to = 0;
  std::string error;
  if (!Range(q, from, to, error)) return Error(400, error);
  int type = 0;
  for (unsigned int id : host_.DeviceIds()) {
    if (auto s = host_.Snapshot(id))
      for (const UnitImage& img : s->images)
        if (img.data_id == unit && type == 0) type = img.type;
  }
  if (type == 0) return Error(404, fmt::format("no unit {}", unit));
  store::HistoryStore* store = host_.history();
  if (store == nullptr) return Error(503, "no history store");
  if (++history_busy_ > 4) {
    --history_busy_;
    return Error(503, "busy: too many history queries at once");
  }
  Slot slot{history_busy_};
  std::vector<Json::Value> decoded;
  std::vector<int64_t> times;
  size_t inputs = 0;
  for (const store::HistoryRecord& r : store->RecordsSampled(unit, from, to, opt_.max_points)) {
    if (r.type != type) continue;
    Json::Value d = opt_.decode ? opt_.decode(r.type, r.image) : Json::Value();
    if (d.isNull()) continue;
    if (type == 5091) inputs = std::max<size_t>(inputs, d["inputs"].size());
    times.push_back(r.time);
    decoded.push_back(std::move(d));
  }
  Json::Value v(Json::objectValue);
  v["unit"] = unit;
  v["type"] = type;
  v["kind"] = Kind(type);
  v["from"] = static_cast<Json::Int64>(from);
  v["to"] = static_cast<Json::Int64>(to);
  v["thinned"] = static_cast<uint64_t>(to - from) + 1 > opt_.max_points;
  Json::Value t(Json::arrayValue);
  for (int64_t x : times) t.append(static_cast<Json::Int64>(x));
  v["time"] = t;
  Json::Value series(Json::arrayValue);
  for (const Series& s : SeriesOf(type, inputs)) {
    Json::Value one(Json::objectValue);
    one["key"] = s.key;
    one["label"] = s.label;
    one["unit"] = s.unit;
    Json::Value values(Json::arrayValue);
    for (const Json::Value& d : decoded) values.append(SeriesValue(type, d, s.key));
    one["values"] = values;
    series.append(one);
  }
  v["series"] = series;
  return JsonAnswer(v);
}

Response WebApi::Metrics() {
  Family up{"k417t_up", "Whether the controller answers (1) or not (0).", "gauge", {}};
  Family stale{"k417t_values_stale", "Whether the values are the last ones read before the controller was lost.", "gauge", {}};
  Family line_open{"k417t_line_open", "Whether the device's port is open.", "gauge", {}};
  Family rounds{"k417t_rounds_total", "Completed polling rounds.", "counter", {}};
  Family last{"k417t_last_round_timestamp_seconds", "End of the last completed round.", "gauge", {}};
  Family ratio{"k417t_round_wire_limit_ratio",
               "Last round's duration over what the wire needs for its bytes and pauses.", "gauge", {}};
  Family hist{"k417t_round_duration_seconds", "Duration of polling rounds.", "histogram", {}};
  Family req{"k417t_line_requests_total", "Requests written on the line.", "counter", {}};
  Family ans{"k417t_line_answers_total", "Answers taken by the exchange in flight.", "counter", {}};
  Family tmo{"k417t_line_timeouts_total", "Exchanges that ended without an answer.", "counter", {}};
  Family late{"k417t_line_late_answers_total", "Answers with no request of theirs in flight.", "counter", {}};
  Family echo{"k417t_line_echoes_total", "Own requests read back from the line.", "counter", {}};
  Family drop{"k417t_line_dropped_frames_total", "Corrupt, foreign or cut-off frames and stray bytes.", "counter", {}};
  Family bout{"k417t_line_sent_bytes_total", "Bytes written on the line.", "counter", {}};
  Family bin{"k417t_line_received_bytes_total", "Bytes read from the line.", "counter", {}};
  Family ac_i{"k417t_ac_current_amperes", "AC screen phase current.", "gauge", {}};
  Family ac_v{"k417t_ac_voltage_volts", "AC input line or phase voltage.", "gauge", {}};
  Family ac_f{"k417t_ac_frequency_hertz", "AC input frequency.", "gauge", {}};
  Family rc_v{"k417t_rectifier_output_voltage_volts", "Rectifier group value (output voltage).", "gauge", {}};
  Family rc_i{"k417t_rectifier_current_amperes", "Sum of the rectifier modules' currents.", "gauge", {}};
  Family mod_i{"k417t_rectifier_module_current_amperes", "Rectifier module current.", "gauge", {}};
  Family mod_f{"k417t_rectifier_module_fault", "Rectifier module fault state (1 fault).", "gauge", {}};
  Family dc_v{"k417t_dc_voltage_volts", "DC distribution output voltage.", "gauge", {}};
  Family dc_i{"k417t_dc_current_amperes", "DC distribution current.", "gauge", {}};
  Family fuse{"k417t_dc_fuse_fault", "DC fuse state (1: fuse fault).", "gauge", {}};
  Family alarm{"k417t_alarm_active", "Active alarm points (1 while raised).", "gauge", {}};
  Family alarms{"k417t_alarms_active", "Number of active alarm points.", "gauge", {}};
  Family pend{"k417t_history_pending_writes", "Items waiting to be written to the history store.", "gauge", {}};
  Family hdrop{"k417t_history_dropped_total", "Items dropped because the pending bound was hit.", "counter", {}};

  std::set<std::string> lines_done;
  for (unsigned int id : host_.DeviceIds()) {
    auto s = host_.Snapshot(id);
    if (!s) continue;
    const std::string dev = fmt::format("device=\"{}\"", id);
    up.Add(dev, s->answering ? 1 : 0);
    stale.Add(dev, s->stale ? 1 : 0);
    line_open.Add(dev, s->line_open ? 1 : 0);
    rounds.Add(dev, static_cast<double>(s->rounds));
    last.Add(dev, static_cast<double>(s->last_round));
    {
      std::lock_guard<std::mutex> lock(mu_);
      const RoundStats& r = rounds_[id];
      ratio.Add(dev, r.last_limit_ms > 0 ? r.last_ms / r.last_limit_ms : 0);
      for (size_t b = 0; b < kBucketCount; ++b)
        hist.AddRaw(fmt::format("{}_bucket{{{},le=\"{}\"}} {}", hist.name, dev, Metric(kBuckets[b]),
                                r.buckets[b]));
      hist.AddRaw(fmt::format("{}_bucket{{{},le=\"+Inf\"}} {}", hist.name, dev, r.count));
      hist.AddRaw(fmt::format("{}_sum{{{}}} {}", hist.name, dev, Metric(r.sum_s)));
      hist.AddRaw(fmt::format("{}_count{{{}}} {}", hist.name, dev, r.count));
    }
    // Counters belong to the port: a multi-drop bus is counted once.
    if (lines_done.insert(s->line).second) {
      const std::string l = "line=\"" + LabelValue(s->line) + "\"";
      const line::LineStats& st = s->line_stats;
      req.Add(l, static_cast<double>(st.requests));
      ans.Add(l, static_cast<double>(st.answers));
      tmo.Add(l, static_cast<double>(st.timeouts));
      late.Add(l, static_cast<double>(st.late));
      echo.Add(l, static_cast<double>(st.echoes));
      drop.Add(l, static_cast<double>(st.dropped));
      bout.Add(l, static_cast<double>(st.bytes_out));
      bin.Add(l, static_cast<double>(st.bytes_in));
    }
    for (const UnitImage& img : s->images) {
      const Json::Value d = opt_.decode ? opt_.decode(img.type, img.image) : Json::Value();
      if (d.isNull()) continue;
      const std::string u = fmt::format("{},unit=\"{}\"", dev, img.data_id);
      if (img.type == 5091) {
        for (const char* p : {"a", "b", "c"})
          ac_i.Add(fmt::format("{},phase=\"{}\"", u, p), Num(d[std::string("i") + p]));
        Json::ArrayIndex k = 0;
        for (const Json::Value& in : d["inputs"]) {
          ++k;
          for (const char* p : {"a", "b", "c"})
            ac_v.Add(fmt::format("{},input=\"{}\",phase=\"{}\"", u, k, p), Num(in[p]));
          ac_f.Add(fmt::format("{},input=\"{}\"", u, k), Num(in["f"]));
        }
      } else if (img.type == 5092) {
        rc_v.Add(u, Num(d["rc_value"]));
        double sum = 0;
        Json::ArrayIndex k = 0;
        for (const Json::Value& m : d["modules"]) {
          ++k;
          sum += Num(m["value"]);
          mod_i.Add(fmt::format("{},module=\"{}\"", u, k), Num(m["value"]));
          mod_f.Add(fmt::format("{},module=\"{}\"", u, k), Num(m["fault"]) == 1 ? 1 : 0);
        }
        rc_i.Add(u, sum);
      } else if (img.type == 5093) {
        dc_v.Add(u, Num(d["v"]));
        dc_i.Add(u, Num(d["i"]));
        Json::ArrayIndex k = 0;
        for (const Json::Value& f : d["fuses"]) {
          ++k;
          fuse.Add(fmt::format("{},fuse=\"{}\"", u, k), Num(f) == 3 ? 1 : 0);
        }
      }
    }
    for (const auto& a : s->alarms)
      alarm.Add(fmt::format("{},unit=\"{}\",key=\"{}\",seq=\"{}\",code=\"{}\",level=\"{}\"", dev,
                            a.data_id, LabelValue(a.key), a.seq, LabelValue(a.code), a.level),
                1);
    alarms.Add(dev, static_cast<double>(s->alarms.size()));
  }
  if (store::HistoryStore* store = host_.history()) {
    pend.Add("", static_cast<double>(store->pending()));
    hdrop.Add("", static_cast<double>(store->dropped()));
  }
  std::string out;
  for (const Family* f : {&up, &stale, &line_open, &rounds, &last, &ratio, &hist, &req, &ans, &tmo, &late,
                          &echo, &drop, &bout, &bin, &ac_i, &ac_v, &ac_f, &rc_v, &rc_i, &mod_i,
                          &mod_f, &dc_v, &dc_i, &fuse, &alarm, &alarms, &pend, &hdrop}) {
    out += "# HELP " + f->name + " " + f->help + "\n# TYPE " + f->name + " " + f->type + "\n";
    for (const std::string& line : f->samples) out += line + "\n";
  }
  Response r;
  r.content_type = "text/plain; version=0.0.4; charset=utf-8";
  r.body = std::move(out);
  return r;
}

Response WebApi::Control(unsigned int id, const Request& req) {
  if (!opt_.control) return Error(403, "control is off (the runner takes --http-control)");
  const std::string bearer = "Bearer ";
  if (req.authorization.rfind(bearer, 0) != 0 ||
      !TokenMatches(req.authorization.substr(bearer.size()), opt_.token))
    return Error(401, "a valid token is required (Authorization: Bearer TOKEN)");
  if (req.content_type.rfind("application/json", 0) != 0)
    return Error(415, "the body must be application/json");
  Json::Value body;
  std::string error;
  json::Limits limits;
  limits.max_depth = 4;
  limits.max_bytes = 1024;
  if (!json::Parse(req.body, "control request", body, error, limits)) return Error(400, error);
  if (!body.isObject()) return Error(400, "the body must be an object {\"code\": N[, \"byte\": B]}");
  for (const std::string& k : body.getMemberNames())
    if (k != "code" && k != "byte") return Error(400, "unknown member '" + k + "'");
  int64_t code = 0;
  if (!json::ToIntIn(json::Member(body, "code"), 100, 116, code) || code % 2 != 0)
    return Error(400, "'code' must be one of 100, 102, ... 116");
  const bool needs_byte = code >= 106;
  std::vector<unsigned char> in;
  if (json::Has(body, "byte")) {
    int64_t byte = 0;
    if (!needs_byte) return Error(400, fmt::format("code {} takes no byte", code));
    if (!json::ToIntIn(json::Member(body, "byte"), 0, 255, byte))
      return Error(400, "'byte' must be an integer 0-255");
    in.push_back(static_cast<unsigned char>(byte));
  } else if (needs_byte) {
    return Error(400, fmt::format("code {} needs a 'byte' (0-255)", code));
  }
  if (!host_.Snapshot(id)) return Error(404, fmt::format("no device {}", id));
  std::unique_lock<std::mutex> lock(control_mu_, std::try_to_lock);
  if (!lock.owns_lock()) return Error(429, "another control command is in flight");
  const ControlResult r = host_.Control(id, static_cast<int>(code), in, opt_.control_limit);
  Json::Value v(Json::objectValue);
  v["device"] = id;
  v["code"] = static_cast<Json::Int64>(code);
  v["result"] = r.result;
  v["reason"] = r.reason;
  return JsonAnswer(v);
}

}  // namespace qmx::web
