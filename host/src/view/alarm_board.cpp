#include "view/alarm_board.h"

#include <json/json.h>

#include <algorithm>

#include "input/checked_json.h"
#include "store/history_store.h"
#include "view/severity.h"

namespace qmx::view {

std::string AlarmIdText(uint32_t data_id, const std::string& key, uint32_t seq) {
  return std::to_string(data_id) + "_" + key + "_" + std::to_string(seq);
}

namespace {
Json::Value MarkJson(const std::optional<AlarmMark>& m, bool with_until) {
  if (!m) return Json::Value(Json::nullValue);
  Json::Value x(Json::objectValue);
  x["who"] = m->who;
  x["time"] = Json::Int64(m->time);
  x["comment"] = m->comment;
  if (with_until) x["until"] = Json::Int64(m->until);
  return x;
}
}  // namespace

Json::Value AlarmNoticeJson(const AlarmNotice& n) {
  Json::Value x(Json::objectValue);
  x["time"] = Json::Int64(n.time);
  x["kind"] = n.kind;
  x["device"] = n.device;
  x["device_name"] = n.device_name;
  x["id"] = n.id();
  x["data_id"] = n.data_id;
  x["key"] = n.key;
  x["seq"] = n.seq;
  x["level"] = n.level;
  x["severity"] = n.key.empty() ? "none" : SeverityWord(n.level);
  x["code"] = n.code;
  x["name"] = n.name;
  x["text"] = n.text;
  x["name_en"] = n.name_en;
  x["place_en"] = n.place_en;
  x["state"] = n.state;
  x["since"] = Json::Int64(n.since);
  x["who"] = n.who;
  x["comment"] = n.comment;
  x["until"] = Json::Int64(n.until);
  Json::Value& att = x["attached"] = Json::Value(Json::arrayValue);
  for (const std::string& a : n.attached) att.append(a);
  return x;
}

Json::Value AlarmStateJson(const AlarmState& a) {
  Json::Value x(Json::objectValue);
  x["device"] = a.device;
  x["id"] = AlarmIdText(a.point.data_id, a.point.key, a.point.seq);
  x["data_id"] = a.point.data_id;
  x["key"] = a.point.key;
  x["seq"] = a.point.seq;
  x["level"] = a.point.level;
  x["severity"] = SeverityWord(a.point.level);
  x["code"] = a.point.code;
  x["name"] = a.point.name;
  x["text"] = a.point.text;
  x["since"] = Json::Int64(a.point.since);
  x["active"] = a.active;
  x["cleared"] = Json::Int64(a.cleared);
  x["state"] = a.state;
  x["acknowledged"] = a.ack.has_value();
  x["ack"] = MarkJson(a.ack, false);
  x["shelved"] = a.shelf.has_value();
  x["shelf"] = MarkJson(a.shelf, true);
  x["maintenance"] = a.maintenance;
  x["unknown"] = a.unknown;
  x["chattering"] = a.chattering;
  x["delayed"] = a.delayed;
  x["suppressed_by"] = a.suppressed_by;
  Json::Value& att = x["attached"] = Json::Value(Json::arrayValue);
  for (const std::string& s : a.attached) att.append(s);
  x["annunciated"] = a.annunciated;
  x["name_en"] = a.name_en;
  x["place_en"] = a.place_en;
  return x;
}

AlarmRules AlarmRules::Defaults() {
  AlarmRules r;
  r.delays["default"] = AlarmDelay{};
  // The three phases of one mains input fail together: one alarm.
  AttachRule phases;
  phases.parent_codes = {"06017"};
  phases.child_codes = {"06017"};
  phases.scope = "input";
  r.attach.push_back(phases);
  return r;
}

namespace {
bool ReadCodes(const Json::Value& v, const std::string& path, std::vector<std::string>& out,
               std::string& error) {
  if (!v.isArray() || v.empty()) {
    error = path + ": a non-empty list of alarm codes";
    return false;
  }
  out.clear();
  for (Json::ArrayIndex i = 0; i < v.size(); ++i) {
    std::string s;
    if (!json::ToString(v[i], s) || s.empty() || s.size() > 32) {
      error = json::Path(path, i) + ": an alarm code (text of 1-32 characters)";
      return false;
    }
    out.push_back(s);
  }
  return true;
}
}  // namespace

bool ReadAlarmRules(const Json::Value& site, AlarmRules& rules, std::string& error) {
  rules = AlarmRules::Defaults();
  const Json::Value& a = json::Member(site, "alarms");
  if (a.isNull()) return true;
  if (!a.isObject()) {
    error = "alarms: an object";
    return false;
  }
  for (const std::string& name : a.getMemberNames()) {
    const Json::Value& v = a[name];
    const std::string path = json::Path("alarms", name.c_str());
    int64_t n = 0;
    if (name == "delays") {
      if (!v.isObject()) {
        error = path + ": an object of alarm classes (a code, a severity or \"default\")";
        return false;
      }
      for (const std::string& cls : v.getMemberNames()) {
        const std::string p = json::Path(path, cls.c_str());
        if (!v[cls].isObject()) {
          error = p + ": an object {\"on_s\", \"off_s\"}";
          return false;
        }
        AlarmDelay d;
        for (const std::string& m : v[cls].getMemberNames()) {
          if (m != "on_s" && m != "off_s") {
            error = json::Path(p, m.c_str()) + ": unknown member (on_s, off_s)";
            return false;
          }
          if (!json::ToIntIn(v[cls][m], 0, 3600, n)) {
            error = json::Path(p, m.c_str()) + ": whole seconds in 0-3600";
            return false;
          }
          (m == "on_s" ? d.on_s : d.off_s) = static_cast<int>(n);
        }
        rules.delays[cls] = d;
      }
    } else if (name == "chatter") {
      if (!v.isObject()) {
        error = path + ": an object {\"transitions\", \"window_s\"}";
        return false;
      }
      for (const std::string& m : v.getMemberNames()) {
        const std::string p = json::Path(path, m.c_str());
        if (m == "transitions") {
          if (!json::ToIntIn(v[m], 0, 1000, n)) {
            error = p + ": a count in 0-1000 (0: no chatter rule)";
            return false;
          }
          rules.chatter_transitions = static_cast<int>(n);
        } else if (m == "window_s") {
          if (!json::ToIntIn(v[m], 10, 86400, n)) {
            error = p + ": whole seconds in 10-86400";
            return false;
          }
          rules.chatter_window_s = static_cast<int>(n);
        } else {
          error = p + ": unknown member (transitions, window_s)";
          return false;
        }
      }
    } else if (name == "attach") {
      if (!v.isArray()) {
        error = path + ": a list of rules {\"parent_codes\", \"child_codes\", \"scope\"}";
        return false;
      }
      rules.attach.clear();
      for (Json::ArrayIndex i = 0; i < v.size(); ++i) {
        const std::string p = json::Path(path, i);
        const Json::Value& r = v[i];
        if (!r.isObject()) {
          error = p + ": an object {\"parent_codes\", \"child_codes\", \"scope\"}";
          return false;
        }
        AttachRule rule;
        for (const std::string& m : r.getMemberNames()) {
          const std::string mp = json::Path(p, m.c_str());
          if (m == "parent_codes") {
            if (!ReadCodes(r[m], mp, rule.parent_codes, error)) return false;
          } else if (m == "child_codes") {
            if (!ReadCodes(r[m], mp, rule.child_codes, error)) return false;
          } else if (m == "scope") {
            if (!json::ToString(r[m], rule.scope) ||
                (rule.scope != "input" && rule.scope != "unit" && rule.scope != "device")) {
              error = mp + ": \"input\", \"unit\" or \"device\"";
              return false;
            }
          } else {
            error = mp + ": unknown member (parent_codes, child_codes, scope)";
            return false;
          }
        }
        if (rule.parent_codes.empty() || rule.child_codes.empty()) {
          error = p + ": parent_codes and child_codes are both needed";
          return false;
        }
        rules.attach.push_back(rule);
      }
    } else if (name == "max_shelve_s") {
      if (!json::ToIntIn(v, 60, 7 * 86400, n)) {
        error = path + ": whole seconds in 60-604800";
        return false;
      }
      rules.max_shelve_s = static_cast<int>(n);
    } else if (name == "max_maintenance_s") {
      if (!json::ToIntIn(v, 60, 30 * 86400, n)) {
        error = path + ": whole seconds in 60-2592000";
        return false;
      }
      rules.max_maintenance_s = static_cast<int>(n);
    } else if (name == "flood_per_10min") {
      if (!json::ToIntIn(v, 1, 100000, n)) {
        error = path + ": a count in 1-100000";
        return false;
      }
      rules.flood_per_10min = static_cast<int>(n);
    } else {
      error = path +
              ": unknown member (delays, chatter, attach, max_shelve_s, max_maintenance_s, "
              "flood_per_10min)";
      return false;
    }
  }
  return true;
}

}  // namespace qmx::view

// ---------------------------------------------------------------- the board

namespace qmx::view {

namespace {

constexpr int64_t kFloodWindowS = 600;
constexpr int64_t kStaleS = 24 * 3600;

struct Entry {
  AlarmState s;
  std::deque<int64_t> transitions;  // raises and clears inside the chatter window
  int64_t last_transition = 0;
  int64_t raised_at = 0;        // the controller's raise of this occurrence
  int64_t clear_due = 0;        // off-delay running: the clear is annunciated then
  bool shown = false;           // a raise went out and no clear since
  bool announced_ever = false;  // something of this occurrence reached the operators
};

// The place of an alarm text before its phase: "交流屏1输入线/相电压AB/A" and
// "交流屏1输入线/相电压BC/B" are one input ("交流屏1").
std::string InputPlace(const std::string& text) {
  const std::string mark = "输入";
  const size_t p = text.find(mark);
  return p == std::string::npos ? text : text.substr(0, p);
}

bool HasCode(const std::vector<std::string>& codes, const std::string& c) {
  for (const std::string& x : codes)
    if (x == c) return true;
  return false;
}

}  // namespace

struct AlarmBoard::Impl {
  mutable std::mutex mu;
  AlarmRules rules = AlarmRules::Defaults();
  Describe describe;
  std::function<std::string(unsigned int)> device_name;
  store::HistoryStore* store = nullptr;
  std::map<AlarmRef, Entry> entries;
  std::map<unsigned int, AlarmMark> maintenance;
  std::set<unsigned int> lost;
  std::deque<int64_t> announced;  // times of raise-like notices, last 10 minutes
  uint64_t announced_total = 0;
  uint64_t transitions_total = 0;
  bool dirty = false;  // the kept part changed since it was last handed to the store

  std::mutex dispatch_mu;  // notices leave in the order they were made
  Listener listener;

  AlarmDelay DelayOf(const store::ActiveAlarm& p) const {
    auto it = rules.delays.find(p.code);
    if (it != rules.delays.end()) return it->second;
    it = rules.delays.find(SeverityWord(p.level));
    if (it != rules.delays.end()) return it->second;
    it = rules.delays.find("default");
    return it != rules.delays.end() ? it->second : AlarmDelay{};
  }

  bool InScope(const AttachRule& r, const AlarmRef& a, const Entry& ea, const AlarmRef& b,
               const Entry& eb) const {
    if (a.device != b.device) return false;
    if (r.scope == "device") return true;
    if (a.data_id != b.data_id) return false;
    if (r.scope == "unit") return true;
    return InputPlace(ea.s.point.text) == InputPlace(eb.s.point.text);
  }

  // The alarm this one is attached to by the rules: the first raised active
  // parent in its scope (ties by point order), when that is not itself.
  std::string ParentOf(const AlarmRef& ref, const Entry& e) const {
    if (!e.s.active) return {};
    for (const AttachRule& r : rules.attach) {
      if (!HasCode(r.child_codes, e.s.point.code)) continue;
      const AlarmRef* best = nullptr;
      const Entry* best_e = nullptr;
      for (const auto& [pref, pe] : entries) {
        if (!pe.s.active || !HasCode(r.parent_codes, pe.s.point.code)) continue;
        if (!InScope(r, ref, e, pref, pe)) continue;
        // The first raised; among those raised in one round the first point
        // the unit states (phase AB before BC before CA).
        if (!best || std::tie(pe.s.point.since, pref.data_id, pref.seq, pref.key) <
                         std::tie(best_e->s.point.since, best->data_id, best->seq, best->key)) {
          best = &pref;
          best_e = &pe;
        }
      }
      if (best && !(*best == ref)) return AlarmIdText(best->data_id, best->key, best->seq);
    }
    return {};
  }

  bool InMaintenance(unsigned int device) const { return maintenance.count(device) > 0; }

  // Whether the operators should see this alarm raised now.
  bool Wanted(const AlarmRef& ref, const Entry& e) const {
    return e.s.active && !e.s.delayed && !e.s.shelf && !InMaintenance(ref.device) &&
           !(lost.count(ref.device) && ref.key != "comm") && e.s.suppressed_by.empty() &&
           !e.s.chattering;
  }

  AlarmNotice NoticeOf(const AlarmRef& ref, const Entry& e, const std::string& kind,
                       int64_t now) const {
    AlarmNotice n;
    n.time = now;
    n.kind = kind;
    n.device = ref.device;
    n.device_name = device_name ? device_name(ref.device) : std::to_string(ref.device);
    n.data_id = ref.data_id;
    n.key = ref.key;
    n.seq = ref.seq;
    n.level = e.s.point.level;
    n.code = e.s.point.code;
    n.name = e.s.point.name;
    n.text = e.s.point.text;
    n.name_en = e.s.name_en;
    n.place_en = e.s.place_en;
    n.state = e.s.state;
    n.since = e.s.point.since;
    n.attached = e.s.attached;
    return n;
  }

  AlarmNotice DeviceNotice(unsigned int device, const std::string& kind, int64_t now) const {
    AlarmNotice n;
    n.time = now;
    n.kind = kind;
    n.device = device;
    n.device_name = device_name ? device_name(device) : std::to_string(device);
    return n;
  }

  void Count(int64_t now) {
    announced.push_back(now);
    ++announced_total;
  }

  void Prune(int64_t now) {
    while (!announced.empty() && announced.front() <= now - kFloodWindowS) announced.pop_front();
  }

  static std::string StateWord(const AlarmState& s, bool maint, bool lost_dev) {
    if (maint) return "out_of_service";
    if (s.shelf) return "shelved";
    if (lost_dev && s.point.key != "comm") return "unknown";
    if (!s.suppressed_by.empty()) return "suppressed";
    if (s.chattering) return "chattering";
    if (s.delayed) return "delayed";
    if (!s.active) return "cleared_unacknowledged";
    return s.ack ? "active_acknowledged" : "active_unacknowledged";
  }

  // Re-derives every alarm's flags and sends what changed: raises that are
  // wanted now and have not gone out, clears of those that went out.
  void Settle(int64_t now, std::vector<AlarmNotice>& out) {
    // Attachments first: they decide what is wanted.
    for (auto& [ref, e] : entries) {
      e.s.suppressed_by = ParentOf(ref, e);
      e.s.attached.clear();
    }
    // In the order the unit states its points.
    std::vector<std::pair<uint32_t, const AlarmRef*>> children;
    for (const auto& [ref, e] : entries)
      if (!e.s.suppressed_by.empty()) children.emplace_back(ref.seq, &ref);
    std::sort(children.begin(), children.end());
    for (const auto& [seq, ref] : children) {
      const std::string& parent = entries[*ref].s.suppressed_by;
      for (auto& [pref, pe] : entries)
        if (AlarmIdText(pref.data_id, pref.key, pref.seq) == parent)
          pe.s.attached.push_back(AlarmIdText(ref->data_id, ref->key, ref->seq));
    }
    for (auto it = entries.begin(); it != entries.end();) {
      const AlarmRef& ref = it->first;
      Entry& e = it->second;
      const bool maint = InMaintenance(ref.device);
      const bool lost_dev = lost.count(ref.device) > 0 && ref.key != "comm";
      e.s.maintenance = maint;
      e.s.unknown = lost_dev;
      e.s.state = StateWord(e.s, maint, lost_dev);
      if (Wanted(ref, e) && !e.shown) {
        e.shown = true;
        e.announced_ever = true;
        e.s.annunciated = true;
        out.push_back(NoticeOf(ref, e, "raised", now));
        Count(now);
      } else if (!e.s.active && e.shown && !e.s.chattering && e.clear_due <= now) {
        e.shown = false;
        e.clear_due = 0;
        out.push_back(NoticeOf(ref, e, "cleared", now));
      }
      e.s.annunciated = e.s.active && (e.shown || e.s.chattering) && !maint && !e.s.shelf &&
                        !lost_dev && e.s.suppressed_by.empty();
      // A cleared alarm leaves the list once acknowledged, or at once when
      // nothing of it ever reached the operators.
      const bool gone = !e.s.active && !e.s.chattering && e.clear_due == 0 && !e.shown &&
                        (e.s.ack || !e.announced_ever) && !e.s.shelf;
      if (gone) {
        it = entries.erase(it);
        dirty = true;
      } else {
        ++it;
      }
    }
  }

  void Transition(const AlarmRef& ref, Entry& e, int64_t now) {
    ++transitions_total;
    e.last_transition = now;
    e.transitions.push_back(now);
    const int64_t window = rules.chatter_window_s;
    while (!e.transitions.empty() && e.transitions.front() <= now - window)
      e.transitions.pop_front();
    if (rules.chatter_transitions > 0 && !e.s.chattering &&
        static_cast<int>(e.transitions.size()) >= rules.chatter_transitions) {
      e.s.chattering = true;
    }
    (void)ref;
  }

  void Event(unsigned int device, const store::AlarmEvent& ev, std::vector<AlarmNotice>& out) {
    const AlarmRef ref{device, ev.data_id, ev.key, ev.seq};
    const int64_t now = ev.time;
    auto it = entries.find(ref);
    if (ev.raised) {
      if (it == entries.end()) {
        Entry e;
        e.s.device = device;
        it = entries.emplace(ref, std::move(e)).first;
      }
      Entry& e = it->second;
      const bool was_chattering = e.s.chattering;
      const bool clear_pending = e.clear_due > 0;
      e.s.point.data_id = ev.data_id;
      e.s.point.key = ev.key;
      e.s.point.seq = ev.seq;
      e.s.point.level = ev.level;
      e.s.point.code = ev.code;
      e.s.point.name = ev.name;
      e.s.point.text = ev.text;
      if (describe) describe(device, e.s.point, e.s.name_en, e.s.place_en);
      e.s.active = true;
      e.s.cleared = 0;
      Transition(ref, e, now);
      if (clear_pending) {
        // Back inside its off-delay: the clear never went out; one occurrence.
        e.clear_due = 0;
      } else if (!e.shown && !e.s.chattering) {
        // A new occurrence: unacknowledged, since now, after its on-delay.
        e.s.point.since = now;
        e.s.ack.reset();
        e.raised_at = now;
        const int on = DelayOf(e.s.point).on_s;
        e.s.delayed = on > 0;
      } else if (!e.s.chattering) {
        e.s.ack.reset();
        e.s.point.since = now;
      }
      if (e.s.chattering && !was_chattering) Chatter(ref, e, now, out);
    } else {
      if (it == entries.end()) return;
      Entry& e = it->second;
      const bool was_chattering = e.s.chattering;
      e.s.active = false;
      e.s.cleared = now;
      e.s.delayed = false;
      Transition(ref, e, now);
      if (e.shown && !e.s.chattering) {
        const int off = DelayOf(e.s.point).off_s;
        e.clear_due = off > 0 ? now + off : 0;
      }
      if (e.s.chattering && !was_chattering) Chatter(ref, e, now, out);
    }
    dirty = true;
  }

  // Entering chatter: one notice, counted as annunciated when the alarm
  // would be shown at all.
  void Chatter(const AlarmRef& ref, Entry& e, int64_t now, std::vector<AlarmNotice>& out) {
    e.s.delayed = false;
    e.clear_due = 0;
    e.s.suppressed_by = ParentOf(ref, e);
    const bool hidden = e.s.shelf || InMaintenance(ref.device) ||
                        (lost.count(ref.device) && ref.key != "comm") || !e.s.suppressed_by.empty();
    if (hidden) return;
    e.s.state = "chattering";
    e.announced_ever = true;
    out.push_back(NoticeOf(ref, e, "chattering", now));
    Count(now);
  }

  void Expire(int64_t now, std::vector<AlarmNotice>& out) {
    for (auto& [ref, e] : entries) {
      if (e.s.delayed && e.s.active && now >= e.raised_at + DelayOf(e.s.point).on_s)
        e.s.delayed = false;
      if (e.s.shelf && e.s.shelf->until <= now) {
        e.s.shelf.reset();
        dirty = true;
        AlarmNotice n = NoticeOf(ref, e, "unshelved", now);
        n.who = "timer";
        out.push_back(n);
      }
      if (e.s.chattering && now - e.last_transition >= rules.chatter_window_s) {
        e.s.chattering = false;
        e.transitions.clear();
        // It settled in the state it is in: shown as raised when active (the
        // chatter notice was its annunciation), cleared otherwise.
        e.shown = e.s.active || e.shown;
        dirty = true;
        out.push_back(NoticeOf(ref, e, "settled", now));
      }
    }
    for (auto it = maintenance.begin(); it != maintenance.end();) {
      if (it->second.until <= now) {
        AlarmNotice n = DeviceNotice(it->first, "maintenance_end", now);
        n.who = "timer";
        out.push_back(n);
        it = maintenance.erase(it);
        dirty = true;
      } else {
        ++it;
      }
    }
  }

  // Shelved or out of service: what was told of it no longer stands; told
  // afresh (raised) when it comes back and still stands, forgotten when it
  // cleared meanwhile.
  static void Withdraw(Entry& e) {
    e.shown = false;
    e.clear_due = 0;
    e.announced_ever = false;
  }

  Json::Value KeptJson() const;
  void LoadKept(const Json::Value& v);
};

namespace {
Json::Value KeptMark(const AlarmMark& m) {
  Json::Value x(Json::objectValue);
  x["who"] = m.who;
  x["time"] = Json::Int64(m.time);
  x["comment"] = m.comment;
  x["until"] = Json::Int64(m.until);
  return x;
}
bool ReadKeptMark(const Json::Value& v, AlarmMark& m) {
  if (!v.isObject()) return false;
  return json::ToString(json::Member(v, "who"), m.who) &&
         json::ToInt64(json::Member(v, "time"), m.time) &&
         json::ToString(json::Member(v, "comment"), m.comment) &&
         json::ToInt64(json::Member(v, "until"), m.until);
}
constexpr const char* kKeptName = "alarm_board";
void KeepBoard(store::HistoryStore& s, const std::string& body) { s.Keep(kKeptName, body); }
}  // namespace

// What survives a restart: acknowledgements, shelves, maintenance, and the
// cleared alarms nobody acknowledged yet (the raised ones come back from the
// alarm service's own state).
Json::Value AlarmBoard::Impl::KeptJson() const {
  Json::Value root(Json::objectValue);
  Json::Value& alarms = root["alarms"] = Json::Value(Json::arrayValue);
  for (const auto& [ref, e] : entries) {
    const bool keep = e.s.ack || e.s.shelf || (!e.s.active && e.announced_ever);
    if (!keep) continue;
    Json::Value a(Json::objectValue);
    a["device"] = ref.device;
    a["data_id"] = ref.data_id;
    a["key"] = ref.key;
    a["seq"] = ref.seq;
    a["level"] = e.s.point.level;
    a["code"] = e.s.point.code;
    a["name"] = e.s.point.name;
    a["text"] = e.s.point.text;
    a["since"] = Json::Int64(e.s.point.since);
    a["active"] = e.s.active;
    a["cleared"] = Json::Int64(e.s.cleared);
    if (e.s.ack) a["ack"] = KeptMark(*e.s.ack);
    if (e.s.shelf) a["shelf"] = KeptMark(*e.s.shelf);
    alarms.append(a);
  }
  Json::Value& maint = root["maintenance"] = Json::Value(Json::arrayValue);
  for (const auto& [dev, m] : maintenance) {
    Json::Value x = KeptMark(m);
    x["device"] = dev;
    maint.append(x);
  }
  return root;
}

void AlarmBoard::Impl::LoadKept(const Json::Value& root) {
  for (const Json::Value& a : json::Member(root, "alarms")) {
    AlarmRef ref;
    uint32_t dev = 0;
    Entry e;
    bool active = false;
    if (!json::ToUInt32(json::Member(a, "device"), dev) ||
        !json::ToUInt32(json::Member(a, "data_id"), ref.data_id) ||
        !json::ToString(json::Member(a, "key"), ref.key) ||
        !json::ToUInt32(json::Member(a, "seq"), ref.seq) ||
        !json::ToBool(json::Member(a, "active"), active))
      continue;
    ref.device = dev;
    e.s.device = dev;
    e.s.point.data_id = ref.data_id;
    e.s.point.key = ref.key;
    e.s.point.seq = ref.seq;
    json::ToUInt32(json::Member(a, "level"), e.s.point.level);
    json::ToString(json::Member(a, "code"), e.s.point.code);
    json::ToString(json::Member(a, "name"), e.s.point.name);
    json::ToString(json::Member(a, "text"), e.s.point.text);
    json::ToInt64(json::Member(a, "since"), e.s.point.since);
    json::ToInt64(json::Member(a, "cleared"), e.s.cleared);
    AlarmMark m;
    if (ReadKeptMark(json::Member(a, "ack"), m)) e.s.ack = m;
    if (ReadKeptMark(json::Member(a, "shelf"), m)) e.s.shelf = m;
    auto it = entries.find(ref);
    if (it != entries.end()) {
      // Raised now (restored from the alarm service): the marks of the same
      // occurrence carry over.
      if (it->second.s.point.since == e.s.point.since) {
        it->second.s.ack = e.s.ack;
        it->second.s.shelf = e.s.shelf;
      }
      continue;
    }
    if (active) continue;  // raised then, not any more: the history has its clear
    e.s.active = false;
    e.announced_ever = true;
    if (describe) describe(dev, e.s.point, e.s.name_en, e.s.place_en);
    entries.emplace(ref, std::move(e));
  }
  for (const Json::Value& x : json::Member(root, "maintenance")) {
    uint32_t dev = 0;
    AlarmMark m;
    if (json::ToUInt32(json::Member(x, "device"), dev) && ReadKeptMark(x, m)) maintenance[dev] = m;
  }
}

AlarmBoard::AlarmBoard() : impl_(std::make_unique<Impl>()) {}
AlarmBoard::~AlarmBoard() = default;

void AlarmBoard::SetRules(AlarmRules rules) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->rules = std::move(rules);
}

AlarmRules AlarmBoard::Rules() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->rules;
}

void AlarmBoard::SetDescribe(Describe d) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->describe = std::move(d);
  for (auto& [ref, e] : impl_->entries)
    if (impl_->describe) impl_->describe(ref.device, e.s.point, e.s.name_en, e.s.place_en);
}

void AlarmBoard::SetDeviceName(std::function<std::string(unsigned int)> f) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->device_name = std::move(f);
}

void AlarmBoard::SetStore(store::HistoryStore* store) {
  std::optional<std::string> kept;
  if (store) kept = store->Kept(kKeptName);
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->store = store;
  if (!kept) return;
  Json::Value root;
  std::string error;
  if (!json::Parse(*kept, "kept alarm board", root, error)) return;
  impl_->LoadKept(root);
  std::vector<AlarmNotice> none;  // what was told before the restart stands
  impl_->Settle(0, none);
}

void AlarmBoard::SetListener(Listener l) {
  std::lock_guard<std::mutex> lock(impl_->dispatch_mu);
  impl_->listener = std::move(l);
}

// Runs `change` under the board's lock, then hands its notices to the
// listener in order (outside the lock: a listener may read the board).
template <typename F>
static void Change(AlarmBoard::Impl& impl, F change) {
  std::unique_lock<std::mutex> order(impl.dispatch_mu);
  std::vector<AlarmNotice> out;
  std::string kept;
  store::HistoryStore* store = nullptr;
  {
    std::lock_guard<std::mutex> lock(impl.mu);
    change(out);
    if (impl.dirty && impl.store) {
      kept = json::Compact(impl.KeptJson());
      store = impl.store;
      impl.dirty = false;
    }
  }
  if (store) KeepBoard(*store, kept);
  for (const AlarmNotice& n : out) {
    if (!impl.listener) break;
    try {
      impl.listener(n);
    } catch (...) {
    }
  }
}

void AlarmBoard::OnEvents(unsigned int device, const std::vector<store::AlarmEvent>& events,
                          int64_t now) {
  if (events.empty()) return Tick(now);
  Change(*impl_, [&](std::vector<AlarmNotice>& out) {
    impl_->Prune(now);
    for (const store::AlarmEvent& ev : events) impl_->Event(device, ev, out);
    impl_->Expire(now, out);
    impl_->Settle(now, out);
  });
}

void AlarmBoard::Restore(unsigned int device, const std::vector<store::ActiveAlarm>& active,
                         int64_t now) {
  (void)now;
  std::lock_guard<std::mutex> lock(impl_->mu);
  for (const store::ActiveAlarm& a : active) {
    const AlarmRef ref{device, a.data_id, a.key, a.seq};
    Entry& e = impl_->entries[ref];
    e.s.device = device;
    e.s.point = a;
    e.s.active = true;
    e.shown = true;  // it was annunciated before the restart
    e.announced_ever = true;
    if (impl_->describe) impl_->describe(device, e.s.point, e.s.name_en, e.s.place_en);
  }
}

void AlarmBoard::OnLink(unsigned int device, bool answering, int64_t now) {
  Change(*impl_, [&](std::vector<AlarmNotice>& out) {
    const bool was_lost = impl_->lost.count(device) > 0;
    if (answering == !was_lost) return;
    if (answering)
      impl_->lost.erase(device);
    else
      impl_->lost.insert(device);
    out.push_back(impl_->DeviceNotice(device, answering ? "known" : "unknown", now));
    impl_->Settle(now, out);
  });
}

void AlarmBoard::Retain(const std::map<unsigned int, std::vector<uint32_t>>& polled, int64_t now) {
  Change(*impl_, [&](std::vector<AlarmNotice>& out) {
    auto kept = [&](unsigned int device, uint32_t data_id) {
      auto it = polled.find(device);
      if (it == polled.end()) return false;
      for (uint32_t id : it->second)
        if (id == data_id || data_id == device) return true;
      return false;
    };
    for (auto it = impl_->entries.begin(); it != impl_->entries.end();) {
      if (kept(it->first.device, it->first.data_id)) {
        ++it;
        continue;
      }
      if (it->second.shown) {
        it->second.s.active = false;
        it->second.s.cleared = now;
        it->second.s.state = "cleared_unacknowledged";
        out.push_back(impl_->NoticeOf(it->first, it->second, "cleared", now));
      }
      it = impl_->entries.erase(it);
      impl_->dirty = true;
    }
    for (auto it = impl_->maintenance.begin(); it != impl_->maintenance.end();) {
      if (polled.count(it->first)) {
        ++it;
      } else {
        it = impl_->maintenance.erase(it);
        impl_->dirty = true;
      }
    }
    for (auto it = impl_->lost.begin(); it != impl_->lost.end();)
      it = polled.count(*it) ? std::next(it) : impl_->lost.erase(it);
    impl_->Settle(now, out);
  });
}

void AlarmBoard::Tick(int64_t now) {
  Change(*impl_, [&](std::vector<AlarmNotice>& out) {
    impl_->Prune(now);
    impl_->Expire(now, out);
    impl_->Settle(now, out);
  });
}

AlarmActionResult AlarmBoard::Acknowledge(const AlarmRef& a, const AlarmMark& mark) {
  AlarmActionResult r;
  Change(*impl_, [&](std::vector<AlarmNotice>& out) {
    auto it = impl_->entries.find(a);
    if (it == impl_->entries.end()) {
      r.reason = "no such alarm is listed";
      return;
    }
    Entry& e = it->second;
    if (e.s.ack) {
      r.reason = "already acknowledged";
      return;
    }
    e.s.ack = mark;
    impl_->dirty = true;
    r.ok = true;
    e.s.state =
        Impl::StateWord(e.s, impl_->InMaintenance(a.device), impl_->lost.count(a.device) > 0);
    AlarmNotice n = impl_->NoticeOf(a, e, "acknowledged", mark.time);
    n.who = mark.who;
    n.comment = mark.comment;
    out.push_back(n);
    impl_->Settle(mark.time, out);
  });
  return r;
}

AlarmActionResult AlarmBoard::Shelve(const AlarmRef& a, const AlarmMark& mark) {
  AlarmActionResult r;
  Change(*impl_, [&](std::vector<AlarmNotice>& out) {
    auto it = impl_->entries.find(a);
    if (it == impl_->entries.end()) {
      r.reason = "no such alarm is listed";
      return;
    }
    const int64_t span = mark.until - mark.time;
    if (span <= 0 || span > impl_->rules.max_shelve_s) {
      r.reason = "a shelf lasts 1 s to " + std::to_string(impl_->rules.max_shelve_s) + " s";
      return;
    }
    Entry& e = it->second;
    e.s.shelf = mark;
    Impl::Withdraw(e);
    impl_->dirty = true;
    r.ok = true;
    e.s.state = "shelved";
    AlarmNotice n = impl_->NoticeOf(a, e, "shelved", mark.time);
    n.who = mark.who;
    n.comment = mark.comment;
    n.until = mark.until;
    out.push_back(n);
    impl_->Settle(mark.time, out);
  });
  return r;
}

AlarmActionResult AlarmBoard::Unshelve(const AlarmRef& a, const AlarmMark& mark) {
  AlarmActionResult r;
  Change(*impl_, [&](std::vector<AlarmNotice>& out) {
    auto it = impl_->entries.find(a);
    if (it == impl_->entries.end() || !it->second.s.shelf) {
      r.reason = "that alarm is not shelved";
      return;
    }
    Entry& e = it->second;
    e.s.shelf.reset();
    impl_->dirty = true;
    r.ok = true;
    e.s.state =
        Impl::StateWord(e.s, impl_->InMaintenance(a.device), impl_->lost.count(a.device) > 0);
    AlarmNotice n = impl_->NoticeOf(a, e, "unshelved", mark.time);
    n.who = mark.who;
    n.comment = mark.comment;
    out.push_back(n);
    impl_->Settle(mark.time, out);
  });
  return r;
}

AlarmActionResult AlarmBoard::Maintenance(unsigned int device, const AlarmMark& mark) {
  AlarmActionResult r;
  Change(*impl_, [&](std::vector<AlarmNotice>& out) {
    if (mark.until == 0) {
      if (!impl_->maintenance.erase(device)) {
        r.reason = "the device is not in maintenance";
        return;
      }
      AlarmNotice n = impl_->DeviceNotice(device, "maintenance_end", mark.time);
      n.who = mark.who;
      n.comment = mark.comment;
      out.push_back(n);
    } else {
      const int64_t span = mark.until - mark.time;
      if (span <= 0 || span > impl_->rules.max_maintenance_s) {
        r.reason =
            "maintenance lasts 1 s to " + std::to_string(impl_->rules.max_maintenance_s) + " s";
        return;
      }
      impl_->maintenance[device] = mark;
      for (auto& [ref, e] : impl_->entries)
        if (ref.device == device && e.s.active) Impl::Withdraw(e);
      AlarmNotice n = impl_->DeviceNotice(device, "maintenance", mark.time);
      n.who = mark.who;
      n.comment = mark.comment;
      n.until = mark.until;
      out.push_back(n);
    }
    impl_->dirty = true;
    r.ok = true;
    impl_->Settle(mark.time, out);
  });
  return r;
}

std::vector<AlarmState> AlarmBoard::States() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  std::vector<AlarmState> v;
  for (const auto& [ref, e] : impl_->entries) v.push_back(e.s);
  return v;
}

std::vector<AlarmState> AlarmBoard::States(unsigned int device) const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  std::vector<AlarmState> v;
  for (const auto& [ref, e] : impl_->entries)
    if (ref.device == device) v.push_back(e.s);
  return v;
}

std::optional<AlarmMark> AlarmBoard::MaintenanceOf(unsigned int device) const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  auto it = impl_->maintenance.find(device);
  if (it == impl_->maintenance.end()) return std::nullopt;
  return it->second;
}

AlarmKpis AlarmBoard::Kpis(int64_t now) const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  AlarmKpis k;
  for (int64_t t : impl_->announced)
    if (t > now - kFloodWindowS) ++k.annunciated_10min;
  k.flood = k.annunciated_10min >= static_cast<uint64_t>(impl_->rules.flood_per_10min);
  k.annunciated_total = impl_->announced_total;
  k.transitions_total = impl_->transitions_total;
  for (const auto& [ref, e] : impl_->entries) {
    if (e.s.annunciated) {
      ++k.standing;
      if (now - e.s.point.since > kStaleS) ++k.stale;
    }
    if (!e.s.ack && e.announced_ever && !e.s.shelf && !e.s.maintenance) ++k.unacknowledged;
    if (e.s.chattering) ++k.chattering;
    if (e.s.shelf) ++k.shelved;
    if (!e.s.suppressed_by.empty()) ++k.suppressed;
    if (e.s.unknown) ++k.unknown;
  }
  k.devices_in_maintenance = impl_->maintenance.size();
  return k;
}

}  // namespace qmx::view
