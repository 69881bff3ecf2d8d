// The API's routing and its read-only answers: devices, alarms, events,
// history and the page's assets. /metrics is in metrics.cpp, control in
// control_api.cpp, energy and batteries in battery_api.cpp.
#include "web/web_api.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <ctime>
#include <exception>
#include <optional>
#include <set>
#include <tuple>

#include "view/control_rules.h"
#include "web/api_answer.h"
#include "web/chart_thin.h"
#include "web/web_assets.h"

namespace qmx::web {
namespace {

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

// A device as the summary shows it, without its units and alarms.
Json::Value Summary(const view::DeviceView& d) {
  Json::Value x(Json::objectValue);
  x["id"] = d.id;
  x["name"] = d.name;
  x["model"] = d.model;
  x["version"] = d.version;
  x["line"] = d.line;
  x["line_open"] = d.line_open;
  x["answering"] = d.answering;
  x["stale"] = d.stale;
  x["health"] = view::HealthWord(d.health);
  x["severity"] = view::SeverityWord(d.worst);
  x["rounds"] = static_cast<Json::UInt64>(d.rounds);
  x["last_round"] = static_cast<Json::Int64>(d.last_round);
  Json::Value round(Json::objectValue);
  if (d.round.count > 0) {
    round["duration_ms"] = d.round.last_ms;
    round["wire_limit_ms"] = d.round.last_limit_ms;
    round["ratio"] = d.round.ratio();
    round["exchanges"] = static_cast<Json::UInt64>(d.round.last_exchanges);
  }
  x["round"] = round;
  x["line_stats"] = view::LineStatsJson(d);
  x["alarm_count"] = static_cast<Json::UInt>(d.alarms.size());
  // What waits for an operator: neither acknowledged nor put aside
  // (shelved, in maintenance, attached to another alarm, still delayed).
  size_t unacknowledged = 0;
  for (const view::AlarmState& a : d.alarm_states)
    if (!a.ack && !a.shelf && !a.maintenance && a.suppressed_by.empty() && !a.delayed)
      ++unacknowledged;
  x["unacknowledged"] = static_cast<Json::UInt64>(unacknowledged);
  x["maintenance"] = MaintenanceJson(d.maintenance);
  return x;
}

bool Charted(const view::Field& f) {
  switch (f.quantity) {
    case view::Quantity::kVoltage:
    case view::Quantity::kCurrent:
    case view::Quantity::kFrequency:
    case view::Quantity::kTemperature:
    case view::Quantity::kPower:
      return !f.diagnostic;
    default:
      return false;
  }
}

// An active point with the board's members beside its own (which keep
// their values): its state, marks and readable name. A point the board does
// not list (not fed yet) says so in `state` ("") and carries the rest as
// defaults.
Json::Value AlarmJson(const view::DeviceView& d, const store::ActiveAlarm& a) {
  Json::Value x = view::AlarmPointJson(a);
  x["device"] = d.id;
  view::AlarmState listed;
  listed.device = d.id;
  listed.point = a;
  for (const view::AlarmState& s : d.alarm_states)
    if (s.point.data_id == a.data_id && s.point.key == a.key && s.point.seq == a.seq) listed = s;
  const Json::Value board = view::AlarmStateJson(listed);
  for (const std::string& k : board.getMemberNames())
    if (!x.isMember(k)) x[k] = board[k];
  return x;
}

// Releases a counted slot on every way out.
struct Slot {
  std::atomic<int>& n;
  ~Slot() { --n; }
};

}  // namespace

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

WebApi::WebApi(view::SiteView& view, ApiOptions options)
    : view_(view), opt_(std::move(options)), auth_([this] {
        AuthOptions a;
        a.users = opt_.users;
        a.token = opt_.token;
        a.clock = opt_.clock;
        a.log = opt_.log;
        return a;
      }()) {}

int64_t WebApi::Now() const {
  return opt_.clock ? opt_.clock() : static_cast<int64_t>(std::time(nullptr));
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
  if (p == "/api/login") return req.method == "POST" ? Login(req) : MethodNotAllowed("POST");
  if (p == "/api/logout") return req.method == "POST" ? Logout(req) : MethodNotAllowed("POST");
  const std::string prefix = "/api/devices/";
  auto ends = [&p](const std::string& tail) {
    return p.size() > tail.size() && p.compare(p.size() - tail.size(), tail.size(), tail) == 0;
  };
  const bool control = p.rfind(prefix, 0) == 0 && (ends("/control") || ends("/battery-test"));
  if (p == "/api/alarm-action")
    return req.method == "POST" ? AlarmAct(req) : MethodNotAllowed("POST");
  // Control and alarm actions check their own credentials (each way out is
  // audited); every other answer is a read.
  Identity who;
  if (!control) {
    if (std::optional<Response> no = MayRead(req, who)) return *no;
  }
  if (p == "/metrics") return get ? Metrics() : MethodNotAllowed("GET");
  if (p == "/api/config") return get ? Config(who) : MethodNotAllowed("GET");
  if (p == "/api/audit") return get ? Audit(who, q) : MethodNotAllowed("GET");
  if (p == "/api/devices") return get ? Devices() : MethodNotAllowed("GET");
  if (p == "/api/alarms") return get ? Alarms() : MethodNotAllowed("GET");
  if (p == "/api/alarm-board") return get ? AlarmBoard() : MethodNotAllowed("GET");
  if (p == "/api/events") return get ? Events(q) : MethodNotAllowed("GET");
  if (p == "/api/history") return get ? History(q) : MethodNotAllowed("GET");
  if (p == "/api/outbox") return get ? Outbox() : MethodNotAllowed("GET");
  if (p == "/api/battery") return get ? Batteries() : MethodNotAllowed("GET");
  if (p == "/api/discharges") return get ? Discharges(q) : MethodNotAllowed("GET");
  if (p.rfind(prefix, 0) == 0) {
    std::string rest = p.substr(prefix.size());
    const size_t slash = rest.find('/');
    const std::string tail = slash == std::string::npos ? "" : rest.substr(slash);
    unsigned int id = 0;
    if (!ParseUInt32(rest.substr(0, slash), id))
      return Error(400, "device id must be a decimal number below 2^32");
    if (tail.empty()) return get ? Device(id) : MethodNotAllowed("GET");
    if (tail == "/control")
      return req.method == "POST" ? Control(id, req) : MethodNotAllowed("POST");
    if (tail == "/battery") return get ? Battery(id) : MethodNotAllowed("GET");
    if (tail == "/battery-test")
      return req.method == "POST" ? BatteryTest(id, req) : MethodNotAllowed("POST");
    return Error(404, "no such resource: " + p);
  }
  return Error(404, "no such resource: " + p);
}

// What each northbound sink still owes, as the history counts it now.
Response WebApi::Outbox() {
  Json::Value list(Json::arrayValue);
  for (const view::OutboxHealth& h : view_.Outboxes()) list.append(view::OutboxJson(h));
  Json::Value v(Json::objectValue);
  v["time"] = static_cast<Json::Int64>(Now());
  v["outboxes"] = list;
  return JsonAnswer(v);
}

Response WebApi::Devices() {
  Json::Value list(Json::arrayValue);
  for (const view::DeviceView& d : view_.Devices()) list.append(Summary(d));
  Json::Value v(Json::objectValue);
  v["time"] = static_cast<Json::Int64>(Now());
  v["devices"] = list;
  return JsonAnswer(v);
}

Response WebApi::Device(unsigned int id) {
  const std::optional<view::DeviceView> d = view_.Device(id);
  if (!d) return Error(404, fmt::format("no device {}", id));
  Json::Value x = Summary(*d);
  Json::Value units(Json::arrayValue);
  for (const view::UnitValues& u : d->units) {
    Json::Value one = view::UnitJson(u);
    one["fields"] = view::FieldsJson(u);
    units.append(one);
  }
  Finite(units);
  x["units"] = units;
  Json::Value alarms(Json::arrayValue);
  for (const auto& a : d->alarms) alarms.append(AlarmJson(*d, a));
  x["alarms"] = alarms;
  x["time"] = static_cast<Json::Int64>(Now());
  return JsonAnswer(x);
}

Response WebApi::Alarms() {
  Json::Value list(Json::arrayValue);
  for (const view::DeviceView& d : view_.Devices())
    for (const auto& a : d.alarms) list.append(AlarmJson(d, a));
  Json::Value v(Json::objectValue);
  v["alarms"] = list;
  return JsonAnswer(v);
}

Response WebApi::Config(const Identity& who) {
  Json::Value v(Json::objectValue);
  v["control"] = opt_.control;
  // Who the page is talking as: null when nobody logged in.
  v["user"] = who.kind == Identity::kUser ? Json::Value(who.name) : Json::Value();
  v["role"] = who.kind == Identity::kUser ? Json::Value(RoleWord(who.role)) : Json::Value();
  v["users_required"] = opt_.reads_need_user;
  v["max_points"] = static_cast<Json::UInt64>(opt_.max_points);
  // The control commands as the view's rules have them, for the page's list.
  Json::Value codes(Json::arrayValue);
  for (const view::ControlRule& r : view::ControlRules()) {
    Json::Value c(Json::objectValue);
    c["code"] = r.code;
    c["command"] = fmt::format("0x{:02X}", r.command);
    c["byte"] = r.takes_byte;
    codes.append(c);
  }
  v["control_codes"] = codes;
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
    devices = view_.DeviceIds();
  }
  const store::HistoryStore* store = view_.History();
  if (store == nullptr) return Error(503, "no history store");
  if (++history_busy_ > 4) {
    --history_busy_;
    return Error(503, "busy: too many history queries at once");
  }
  Slot slot{history_busy_};
  // (time, row id, device) for a stable merge of the units' events.
  std::vector<std::tuple<int64_t, int64_t, unsigned int, store::HistoryEvent>> all;
  for (unsigned int id : devices) {
    auto s = view_.Device(id);
    if (!s) return Error(404, fmt::format("no device {}", id));
    std::set<unsigned int> ids{id};
    for (const view::UnitValues& u : s->units) ids.insert(u.data_id);
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
    Json::Value x = view::AlarmEventJson(h.event);
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
  // The unit's type and the device it belongs to (for the site's names of
  // its values).
  int type = 0;
  unsigned int device = 0;
  bool answering = false;
  for (const view::DeviceView& d : view_.Devices())
    for (const view::UnitValues& u : d.units)
      if (u.data_id == unit && type == 0) {
        type = u.type;
        device = d.id;
        answering = d.answering;
      }
  if (type == 0) return Error(404, fmt::format("no unit {}", unit));
  const store::HistoryStore* store = view_.History();
  if (store == nullptr) return Error(503, "no history store");
  if (++history_busy_ > 4) {
    --history_busy_;
    return Error(503, "busy: too many history queries at once");
  }
  Slot slot{history_busy_};
  const view::DeviceInfo info = view_.Info(device);
  auto named = info.labels.find(unit);
  const view::UnitLabels* labels = named == info.labels.end() ? nullptr : &named->second;
  // A series per measured quantity (volts, amperes, hertz, degrees, watts;
  // not states, settings or plain numbers without a unit), in the order the
  // values first appear. Rows are the readable records: a time and a value
  // per series, NaN (null in the answer) where a record has no such value.
  std::vector<view::Field> fields;
  std::map<std::string, size_t> index;
  std::vector<int64_t> times;
  std::vector<std::vector<double>> columns;
  auto add_row = [&](int64_t when, const store::HistoryRecord& r) {
    const view::UnitValues read = view::ReadUnit(unit, r.type, r.image, labels);
    if (!read.error.empty()) return false;
    times.push_back(when);
    for (const view::Value& x : read.values) {
      if (!Charted(x.field)) continue;
      auto [it, added] = index.emplace(x.field.key, fields.size());
      if (added) {
        fields.push_back(x.field);
        columns.emplace_back();
      }
      std::vector<double>& column = columns[it->second];
      column.resize(times.size() - 1, std::nan(""));
      column.push_back(x.number ? *x.number : std::nan(""));
    }
    return true;
  };
  // Records are stored on change and on a heartbeat: a value holds until the
  // next record. The range starts with the record before it (at `from`) and,
  // while the device answers, ends with the newest value carried to now. Two
  // of the points are kept for those, so thinning stays within max_points.
  const size_t room = opt_.max_points > 2 ? opt_.max_points - 2 : 1;
  store::HistoryStore::RecordRange range =
      store->RecordsNewest(unit, type, from, to, std::max<size_t>(1, opt_.max_records));
  const uint64_t stored = range.stored;
  const bool truncated = stored > range.records.size();
  int64_t held_from = 0;
  // Only when the range's first record was read: with older ones left out,
  // the one before `from` is not what the first row follows.
  if (!truncated && (range.records.empty() || range.records.front().time > from)) {
    for (const store::HistoryRecord& r : store->RecordsBefore(unit, from, type))
      if (r.type == type && add_row(from, r)) held_from = r.time;
  }
  const size_t first = times.size();  // rows from here are in the range
  for (store::HistoryRecord& r : range.records) {
    add_row(r.time, r);
    std::vector<unsigned char>().swap(r.image);  // decoded: the image is done with
  }
  for (std::vector<double>& column : columns) column.resize(times.size(), std::nan(""));
  // Thinning works on the range's rows: per span the first, each series'
  // lowest and highest, and always the newest.
  std::vector<size_t> keep;
  {
    std::vector<int64_t> in_time(times.begin() + static_cast<long>(first), times.end());
    std::vector<std::vector<double>> in_columns;
    in_columns.reserve(columns.size());
    for (const std::vector<double>& c : columns)
      in_columns.emplace_back(c.begin() + static_cast<long>(first), c.end());
    for (size_t k = 0; k < first; ++k) keep.push_back(k);
    for (size_t k : ThinRows(in_time, in_columns, from, to, room)) keep.push_back(first + k);
  }
  const bool thinned = truncated || keep.size() - first < times.size() - first;
  const int64_t end = std::min(to, Now());
  const bool held_to_end = answering && !keep.empty() && times[keep.back()] < end;
  std::vector<int64_t> point_time;
  for (size_t k : keep) point_time.push_back(times[k]);
  if (held_to_end) {
    point_time.push_back(end);
    keep.push_back(keep.back());  // the newest record's values, carried to now
  }
  Json::Value v(Json::objectValue);
  v["unit"] = unit;
  v["type"] = view::DeviceTypeOf(type);
  v["kind"] = view::KindOf(type);
  v["from"] = static_cast<Json::Int64>(from);
  v["to"] = static_cast<Json::Int64>(to);
  v["thinned"] = thinned;
  // Points are steps: each value holds until the next point.
  v["stepped"] = true;
  v["records"] = static_cast<Json::UInt64>(stored);
  v["points"] = static_cast<Json::UInt64>(point_time.size());
  v["truncated"] = truncated;
  v["held_from"] =
      held_from != 0 ? Json::Value(static_cast<Json::Int64>(held_from)) : Json::Value();
  v["held_to_now"] = held_to_end;
  if (truncated) {
    v["note"] = fmt::format("the newest {} of {} records in this range are charted",
                            range.records.size(), stored);
  } else if (stored == 0) {
    if (held_from != 0)
      v["note"] = "no record in this range; the value stored before it holds";
    else if (answering && to >= Now())
      v["note"] = "no record stored yet";
    else
      v["note"] = "no record in this range";
  }
  const std::vector<int64_t>& times_sent = point_time;
  Json::Value t(Json::arrayValue);
  for (int64_t x : times_sent) t.append(static_cast<Json::Int64>(x));
  v["time"] = t;
  Json::Value list(Json::arrayValue);
  for (size_t s = 0; s < fields.size(); ++s) {
    const view::Field& f = fields[s];
    Json::Value one(Json::objectValue);
    one["key"] = f.key;
    one["label"] = f.label;
    one["group"] = f.group;
    one["quantity"] = view::QuantityName(f.quantity);
    one["unit"] = f.unit;
    Json::Value values(Json::arrayValue);
    for (size_t k : keep) {
      const double x = columns[s][k];
      values.append(std::isnan(x) ? Json::Value() : Json::Value(x));
    }
    one["values"] = values;
    list.append(one);
  }
  Finite(list);
  v["series"] = list;
  return JsonAnswer(v);
}

}  // namespace qmx::web
