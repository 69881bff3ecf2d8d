// The SNMP sub-agent's settings and K417T-MIB as data: what --snmp and the
// site file's "snmp" object accept, readings as hundredths with no value as
// a status and no instance, one alarm-table row per active alarm, the
// notifications' variables, and column names that read well as table headers.
#include <gtest/gtest.h>
#include <json/json.h>

#include <cctype>
#include <cmath>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <tuple>

#include "snmp/snmp_config.h"
#include "snmp/snmp_mib.h"

namespace {

using qmx::snmp::Oid;
using qmx::snmp::ValueStatus;

Json::Value Site(const std::string& snmp_json) {
  Json::Value v;
  Json::Reader().parse("{\"snmp\": " + snmp_json + "}", v);
  return v;
}

TEST(SnmpConfig, MasterSpecs) {
  std::string m, err;
  EXPECT_TRUE(qmx::snmp::ParseMaster("agentx:/tmp/master", m, err));
  EXPECT_EQ("/tmp/master", m);
  EXPECT_TRUE(qmx::snmp::ParseMaster("tcp:127.0.0.1:705", m, err));
  EXPECT_EQ("tcp:127.0.0.1:705", m);
  for (const char* bad : {"", "agentx:", "agentx:relative/master", "/no/such/folder/master",
                          "tcp:127.0.0.1", "tcp::705", "tcp:127.0.0.1:0", "tcp:127.0.0.1:70000",
                          "tcp:127.0.0.1:7x5", "udp:127.0.0.1:705", "/tmp/"}) {
    err.clear();
    EXPECT_FALSE(qmx::snmp::ParseMaster(bad, m, err)) << bad;
    EXPECT_FALSE(err.empty()) << bad;
  }
  const std::string longer = "/tmp/" + std::string(120, 'x');
  EXPECT_FALSE(qmx::snmp::ParseMaster(longer, m, err)) << "longer than a socket path can be";
}

TEST(SnmpConfig, Arcs) {
  std::vector<uint32_t> arc;
  std::string err;
  EXPECT_TRUE(qmx::snmp::ParseArc("1.3.6.1.4.1.32473", arc, err));
  EXPECT_EQ((std::vector<uint32_t>{1, 3, 6, 1, 4, 1, 32473}), arc);
  EXPECT_TRUE(qmx::snmp::ParseArc(".1.3.6.1.4.1.4294967295", arc, err));
  EXPECT_EQ(4294967295u, arc.back());
  for (const char* bad : {"", "1", "1..3", "1.3.", "3.1", "1.40", "1.3.6.x", "1.3.-6",
                          "1.3.4294967296", "1.3.99999999999", " 1.3", "iso.3"}) {
    arc = {9};
    EXPECT_FALSE(qmx::snmp::ParseArc(bad, arc, err)) << bad;
    EXPECT_EQ(std::vector<uint32_t>{9}, arc) << "left as it was: " << bad;
  }
}

TEST(SnmpConfig, SiteObjectAndFlag) {
  qmx::snmp::SnmpConfig c;
  std::string err;
  ASSERT_TRUE(qmx::snmp::LoadSnmp(Json::Value(Json::objectValue), "", c, err));
  EXPECT_FALSE(c.enabled) << "off by default";
  EXPECT_EQ((std::vector<uint32_t>{1, 3, 6, 1, 4, 1, 32473}), c.enterprise);

  c = {};
  ASSERT_TRUE(qmx::snmp::LoadSnmp(
      Site(
          R"({"agentx": "tcp:127.0.0.1:705", "enterprise": "1.3.6.1.4.1.99", "queue": 8, "ping_s": 2})"),
      "", c, err))
      << err;
  EXPECT_TRUE(c.enabled);
  EXPECT_EQ("tcp:127.0.0.1:705", c.master);
  EXPECT_EQ(99u, c.enterprise.back());
  EXPECT_EQ(8u, c.queue);
  EXPECT_EQ(2u, c.ping_s);

  c = {};
  ASSERT_TRUE(
      qmx::snmp::LoadSnmp(Site(R"({"agentx": "tcp:127.0.0.1:705"})"), "agentx:/tmp/m", c, err));
  EXPECT_EQ("/tmp/m", c.master) << "the command line wins";

  // Each refusal names the member (the runner exits 2 with it).
  const std::pair<const char*, const char*> bad[] = {
      {R"({"agentx": "tcp:1.2.3.4"})", "snmp.agentx"},
      {R"({"agentx": 705})", "snmp.agentx"},
      {R"({"enterprise": "1.3.6.1.4.1.x"})", "snmp.enterprise"},
      {R"({"enterprise": [1, 3]})", "snmp.enterprise"},
      {R"({"queue": 0})", "snmp.queue"},
      {R"({"ping_s": 1.5})", "snmp.ping_s"},
      {R"({"community": "public"})", "snmp.community"},
      {R"("agentx:/tmp/m")", "snmp"},
  };
  for (const auto& [json, member] : bad) {
    c = {};
    err.clear();
    EXPECT_FALSE(qmx::snmp::LoadSnmp(Site(json), "", c, err)) << json;
    EXPECT_EQ(0u, err.find(member)) << json << " -> " << err;
  }
  EXPECT_FALSE(qmx::snmp::LoadSnmp(Json::Value(Json::objectValue), "agentx:nowhere", c, err));
  EXPECT_EQ(0u, err.find("--snmp")) << err;
}

TEST(SnmpMib, HundredthsAndNoValue) {
  auto h = [](std::optional<double> v) { return qmx::snmp::Hundredths(v); };
  EXPECT_EQ(ValueStatus::kValid, h(53.5).status);
  EXPECT_EQ(5350, h(53.5).hundredths);
  EXPECT_EQ(4020, h(40.2).hundredths) << "rounded, not cut (40.2 is 40.19999...)";
  EXPECT_EQ(-150, h(-1.5).hundredths);
  EXPECT_EQ(0, h(0.0).hundredths);
  EXPECT_EQ(ValueStatus::kValid, h(0.0).status) << "zero is a reading";
  EXPECT_EQ(ValueStatus::kNoValue, h(std::nullopt).status);
  EXPECT_EQ(ValueStatus::kNoValue, h(std::nan("")).status);
  EXPECT_EQ(ValueStatus::kNoValue, h(INFINITY).status);
  EXPECT_EQ(ValueStatus::kOutOfRange, h(3e7).status);
  EXPECT_EQ(ValueStatus::kOutOfRange, h(-3e7).status);
  EXPECT_EQ(ValueStatus::kValid, h(21474836.47).status);
}

TEST(SnmpMib, TextAndTime) {
  EXPECT_EQ("", qmx::snmp::DateAndTime(0));
  const std::string t = qmx::snmp::DateAndTime(1700000000);  // 2023-11-14 22:13:20 UTC
  ASSERT_EQ(11u, t.size());
  EXPECT_EQ(2023, (static_cast<unsigned char>(t[0]) << 8) | static_cast<unsigned char>(t[1]));
  EXPECT_EQ(std::string("\x0b\x0e\x16\x0d\x14\x00+\x00\x00", 9), t.substr(2));
  // "交" is three bytes: a cut inside it leaves the whole character out.
  const std::string text = std::string(254, 'a') + "交";
  EXPECT_EQ(std::string(254, 'a'), qmx::snmp::Utf8Cut(text));
  EXPECT_EQ("abc", qmx::snmp::Utf8Cut("abc"));
  // K417tLevelState numbers come with the rows' state codes.
  const qmx::view::Row* row = nullptr;
  for (const qmx::view::Row& r : qmx::view::RowsOf(qmx::view::kAcType))
    if (std::string(r.key) == "channel_{i}_a_alert") row = &r;
  ASSERT_NE(nullptr, row);
  ASSERT_NE(nullptr, row->states);
  auto number = [&](unsigned code) {
    for (const qmx::view::StateCode& c : row->states->codes)
      if (c.code == code) return c.number;
    return row->states->other_number;
  };
  EXPECT_EQ(1, number(0));
  EXPECT_EQ(5, number(3));
  EXPECT_EQ(6, number(9));
}

qmx::view::Value Reading(const std::string& key, std::optional<double> n) {
  qmx::view::Value v;
  auto f = qmx::view::FieldOf(qmx::view::kDcType, key);
  EXPECT_TRUE(f.has_value()) << key;
  if (f) v.field = *f;
  v.field.key = key;
  v.field.label = key;
  v.number = n;
  return v;
}

Oid At(std::initializer_list<uint32_t> rel) {
  Oid o = {1, 3, 6, 1, 4, 1, 32473};
  o.insert(o.end(), rel);
  return o;
}

TEST(SnmpMib, SnapshotFromTheView) {
  qmx::view::DeviceView d;
  d.id = 100;
  d.name = "power-1";
  d.answering = true;
  d.rounds = 5000000000ull;
  qmx::view::UnitValues dc;
  dc.data_id = 21;
  dc.type = qmx::view::kDcType;
  dc.values = {Reading("v", 53.5), Reading("i", std::nullopt), Reading("user_0", 25.0),
               Reading("user_1", std::nullopt)};
  dc.values[2].field.label = "Battery 1 temperature";
  dc.values[2].field.unit = "°C";
  qmx::view::UnitValues broken;
  broken.data_id = 22;
  broken.type = qmx::view::kDcType;
  broken.error = "DC image of 3 bytes: not 238";
  d.units = {dc, broken};
  qmx::store::ActiveAlarm a;
  a.data_id = 11;
  a.seq = 7;
  a.level = 1;
  a.key = "AC_8";
  a.text = "text";
  d.alarms = {a};
  d.worst = qmx::view::Severity::kCritical;
  const Oid root = At({});
  const qmx::snmp::MibSnapshot s(root, {d}, 3);

  auto get = [&](std::initializer_list<uint32_t> rel) { return s.Get(At(rel)); };
  ASSERT_NE(nullptr, get({1, 7, 1, 1, 100, 21}));
  EXPECT_EQ(5350, get({1, 7, 1, 1, 100, 21})->number);
  EXPECT_EQ(1, get({1, 7, 1, 2, 100, 21})->number);
  EXPECT_EQ(nullptr, get({1, 7, 1, 3, 100, 21})) << "no current: no instance";
  ASSERT_NE(nullptr, get({1, 7, 1, 4, 100, 21}));
  EXPECT_EQ(2, get({1, 7, 1, 4, 100, 21})->number) << "noValue";
  EXPECT_EQ("Battery 1 temperature", get({1, 9, 1, 3, 100, 21, 2, 1})->text);
  EXPECT_EQ("°C", get({1, 9, 1, 4, 100, 21, 2, 1})->text);
  EXPECT_EQ(2500, get({1, 9, 1, 5, 100, 21, 2, 1})->number);
  EXPECT_EQ(nullptr, get({1, 9, 1, 5, 100, 21, 2, 2}));
  EXPECT_EQ(2, get({1, 9, 1, 6, 100, 21, 2, 2})->number);
  // A unit that could not be read: its error and no readings.
  EXPECT_EQ("DC image of 3 bytes: not 238", get({1, 2, 1, 3, 100, 22})->text);
  EXPECT_EQ(nullptr, get({1, 7, 1, 2, 100, 22}));
  EXPECT_EQ(qmx::snmp::Var::Type::kCounter64, get({1, 1, 1, 11, 100})->type);
  EXPECT_EQ(5000000000ll, get({1, 1, 1, 11, 100})->number) << "counters wider than 32 bits";
  EXPECT_EQ(4, get({1, 1, 1, 21, 100})->number) << "critical";
  ASSERT_NE(nullptr, get({1, 10, 1, 4, 100, 11, 7})) << "alarm row: device, unit, number";
  EXPECT_EQ(4, get({1, 10, 1, 4, 100, 11, 7})->number) << "level 1 is critical";
  EXPECT_EQ(3, get({1, 12, 0})->number);

  // Get-next walks in OID order and leaves the subtree at its end.
  const auto* first = s.Next(root);
  ASSERT_NE(nullptr, first);
  EXPECT_EQ(At({1, 1, 1, 2, 100}), first->first);
  const auto* after_voltage = s.Next(At({1, 7, 1, 1, 100, 21}));
  ASSERT_NE(nullptr, after_voltage);
  EXPECT_EQ(At({1, 7, 1, 2, 100, 21}), after_voltage->first);
  // After the dropped notifications' scalar, the energy and battery table.
  ASSERT_NE(nullptr, s.Next(At({1, 12, 0})));
  EXPECT_EQ(At({1, 15, 1, 1, 100}), s.Next(At({1, 12, 0}))->first);
  EXPECT_EQ(nullptr, s.Next(At({1, 15, 1, 9, 100}))) << "no battery strings: no further column";
  Oid prev;
  for (const auto& [o, v] : s.vars()) {
    EXPECT_LT(prev, o);
    EXPECT_TRUE(o.size() > root.size() && std::equal(root.begin(), root.end(), o.begin()));
    prev = o;
  }
}

qmx::store::ActiveAlarm Alarm(uint32_t data_id, const std::string& key, uint32_t seq,
                              uint32_t level) {
  qmx::store::ActiveAlarm a;
  a.data_id = data_id;
  a.key = key;
  a.seq = seq;
  a.level = level;
  a.text = key + " #" + std::to_string(seq);
  return a;
}

// The alarm table's rows of device 100: index (unit, point) -> key column.
std::map<std::pair<uint32_t, uint32_t>, std::string> AlarmRows(const qmx::snmp::MibSnapshot& s) {
  std::map<std::pair<uint32_t, uint32_t>, std::string> rows;
  const Oid key_column = At({1, 10, 1, 3});
  for (const auto& [o, v] : s.vars()) {
    if (o.size() < key_column.size() ||
        !std::equal(key_column.begin(), key_column.end(), o.begin()))
      continue;
    // device, unit, point: each within its declared range (1..4294967295).
    EXPECT_EQ(key_column.size() + 3, o.size());
    if (o.size() != key_column.size() + 3) continue;
    const uint32_t device = o[o.size() - 3], unit = o[o.size() - 2], point = o[o.size() - 1];
    EXPECT_EQ(100u, device);
    EXPECT_GE(unit, 1u);
    EXPECT_GE(point, 1u) << v.text;
    rows[{unit, point}] = v.text;
  }
  return rows;
}

TEST(SnmpMib, EveryActiveAlarmHasItsOwnRow) {
  qmx::view::DeviceView d;
  d.id = 100;
  d.name = "power-1";
  // Units number their points from 1 each: the AC screen's, the rectifier's
  // (which has the device's data identifier) and both DC units' first points
  // are all number 1; the communication alarm has none. Unit 21 also still
  // holds a point raised as number 1 under another key before it renumbered.
  d.alarms = {Alarm(11, "AC_8", 1, 2), Alarm(11, "AC_8", 2, 2), Alarm(21, "DC_1", 1, 1),
              Alarm(21, "DC_2", 1, 3), Alarm(22, "DC_1", 1, 1), Alarm(100, "RC_0", 1, 2),
              Alarm(100, "comm", 0, 1)};
  const qmx::snmp::MibSnapshot s(At({}), {d}, 0);
  const qmx::snmp::Var* count = s.Get(At({1, 1, 1, 22, 100}));
  ASSERT_NE(nullptr, count);
  EXPECT_EQ(7, count->number);

  const auto rows = AlarmRows(s);
  ASSERT_EQ(static_cast<size_t>(count->number), rows.size()) << "k417tDeviceAlarmCount rows";
  using Row = std::pair<uint32_t, uint32_t>;
  auto key_at = [&](Row r) {
    auto it = rows.find(r);
    return it == rows.end() ? std::string("(no row)") : it->second;
  };
  EXPECT_EQ("DC_1", key_at(Row(22, 1))) << "an alarm sits at its unit and its own number";
  EXPECT_EQ("RC_0", key_at(Row(100, 1)));
  EXPECT_EQ("comm", key_at(Row(100, qmx::snmp::kCommAlarmPoint)));
  EXPECT_EQ("DC_1", key_at(Row(21, 1))) << "first in the view's order keeps the number";
  EXPECT_EQ("DC_2", key_at(Row(21, qmx::snmp::kCommAlarmPoint + 1)));
  // Each row is whole: unit, key, severity, code, name, text and since.
  for (const auto& [row, key] : rows) {
    for (uint32_t column = 2; column <= 8; ++column) {
      const qmx::snmp::Var* v = s.Get(At({1, 10, 1, column, 100, row.first, row.second}));
      ASSERT_NE(nullptr, v) << key << " column " << column;
      if (column == 2) {
        EXPECT_EQ(row.first, static_cast<uint32_t>(v->number)) << key;
      }
    }
  }
  const qmx::snmp::Var* comm_severity =
      s.Get(At({1, 10, 1, 4, 100, 100, qmx::snmp::kCommAlarmPoint}));
  ASSERT_NE(nullptr, comm_severity);
  EXPECT_EQ(4, comm_severity->number) << "communication lost is critical";

  // An alarm clearing moves no other row.
  qmx::view::DeviceView later = d;
  later.alarms.erase(later.alarms.begin() + 2);  // unit 21's DC_1
  later.alarms.erase(later.alarms.begin());      // unit 11's first
  const auto rows_later = AlarmRows(qmx::snmp::MibSnapshot(At({}), {later}, 0));
  EXPECT_EQ(5u, rows_later.size());
  for (const auto& [row, key] : rows_later) {
    if (row == Row(21, 1)) {
      EXPECT_EQ("DC_2", key) << "the other point of number 1 takes it once it is free";
      continue;
    }
    EXPECT_EQ(key_at(row), key) << row.first << "." << row.second;
  }
}

TEST(SnmpMib, Notifications) {
  qmx::store::AlarmEvent e;
  e.data_id = 11;
  e.key = "AC_8";
  e.level = 2;
  e.seq = 9;
  e.raised = true;
  e.time = 1700000000;
  const Oid root = At({});
  qmx::snmp::Notification n = qmx::snmp::NotificationOf(root, 100, "power-1", e);
  EXPECT_EQ(At({0, 1}), n.trap);
  ASSERT_EQ(9u, n.vars.size());
  EXPECT_EQ(At({1, 1, 1, 2, 100}), n.vars[0].first);
  EXPECT_EQ("power-1", n.vars[0].second.text);
  EXPECT_EQ(At({1, 11, 4, 0}), n.vars[4].first);
  EXPECT_EQ(3, n.vars[4].second.number) << "level 2 is major";
  e.raised = false;
  n = qmx::snmp::NotificationOf(root, 100, "power-1", e);
  EXPECT_EQ(At({0, 2}), n.trap);
  ASSERT_EQ(At({1, 11, 4, 0}), n.vars[4].first);
  EXPECT_EQ(qmx::snmp::kSeverityCleared, n.vars[4].second.number) << "a clear is no major alarm";
  EXPECT_EQ(9, n.vars[3].second.number) << "the clear names the raise's sequence number";

  // Communication: lost is critical (level 1), restored is cleared.
  e.key = "comm";
  e.seq = 0;
  e.level = 1;
  n = qmx::snmp::NotificationOf(root, 100, "power-1", e);
  EXPECT_EQ(At({0, 4}), n.trap);
  EXPECT_EQ(qmx::snmp::kSeverityCleared, n.vars[4].second.number) << "restored is not critical";
  e.raised = true;
  n = qmx::snmp::NotificationOf(root, 100, "power-1", e);
  EXPECT_EQ(At({0, 3}), n.trap);
  EXPECT_EQ(4, n.vars[4].second.number) << "lost is critical";
}

qmx::view::AlarmState Listed(const qmx::store::ActiveAlarm& point, const std::string& state,
                             bool active = true) {
  qmx::view::AlarmState s;
  s.device = 100;
  s.point = point;
  s.active = active;
  s.state = state;
  s.annunciated = active && state == "active_unacknowledged";
  return s;
}

// Every row index (unit, point) of `column` of `table` for device 100.
std::map<std::pair<uint32_t, uint32_t>, const qmx::snmp::Var*> Column(
    const qmx::snmp::MibSnapshot& s, uint32_t table, uint32_t column) {
  std::map<std::pair<uint32_t, uint32_t>, const qmx::snmp::Var*> out;
  const Oid prefix = At({1, table, 1, column, 100});
  for (const auto& [o, v] : s.vars())
    if (o.size() == prefix.size() + 2 && std::equal(prefix.begin(), prefix.end(), o.begin()))
      out[{o[o.size() - 2], o[o.size() - 1]}] = &v;
  return out;
}

// The board's states in both alarm tables: the active table keeps one row
// per active alarm with its state beside it; cleared alarms the operators
// still see are rows of the list table only; an active alarm sits at the
// same index in both; the device's maintenance and the figures.
TEST(SnmpMib, AlarmBoardColumnsAndFigures) {
  using qmx::snmp::Var;
  qmx::view::DeviceView d;
  d.id = 100;
  d.name = "power-1";
  const auto ac8 = Alarm(11, "AC_8", 9, 2), ac8b = Alarm(11, "AC_8", 10, 2),
             dc1 = Alarm(21, "DC_1", 3, 3), comm = Alarm(100, "comm", 0, 1),
             gone = Alarm(11, "AC_9", 9, 2);
  d.alarms = {ac8, ac8b, dc1, comm};
  auto acked = Listed(ac8, "active_acknowledged");
  acked.ack = qmx::view::AlarmMark{"alice", 1700000000, "seen", 0};
  acked.name_en = "Phase missing";
  acked.place_en = "AC input 1, phase A";
  acked.annunciated = true;
  acked.attached = {"11_AC_8_10"};
  auto child = Listed(ac8b, "suppressed");
  child.suppressed_by = "11_AC_8_9";
  auto shelved = Listed(dc1, "shelved");
  shelved.shelf = qmx::view::AlarmMark{"bob", 1700000000, "", 1700003600};
  // Cleared before anyone saw it; its number 9 is the active AC_8's.
  auto cleared = Listed(gone, "cleared_unacknowledged", false);
  cleared.cleared = 1700000100;
  d.alarm_states = {acked, child, cleared, shelved, Listed(comm, "active_unacknowledged")};
  d.maintenance = qmx::view::AlarmMark{"carol", 1700000000, "fans", 1700007200};
  qmx::view::AlarmKpis k;
  k.annunciated_10min = 11;
  k.flood = true;
  k.standing = 3;
  k.stale = 4;
  k.unacknowledged = 5;
  k.chattering = 6;
  k.shelved = 7;
  k.unknown = 8;
  k.suppressed = 9;
  k.devices_in_maintenance = 10;
  k.annunciated_total = 5000000000ull;
  k.transitions_total = 6000000000ull;
  const qmx::snmp::MibSnapshot s(At({}), {d}, 0, &k);
  auto get = [&](std::initializer_list<uint32_t> rel) {
    const Var* v = s.Get(At(rel));
    static const Var none{Var::Type::kOctets, -1, "(none)", {}};
    return v != nullptr ? *v : none;
  };
  using Row = std::pair<uint32_t, uint32_t>;

  // Active table: the existing rows, now with a state each.
  const auto states = Column(s, 10, 9);
  EXPECT_EQ(d.alarms.size(), Column(s, 10, 3).size());
  ASSERT_EQ(d.alarms.size(), states.size()) << "a state beside every active alarm";
  EXPECT_EQ(2, states.at(Row(11, 9))->number) << "activeAcknowledged";
  EXPECT_EQ(6, states.at(Row(11, 10))->number) << "suppressed";
  EXPECT_EQ(4, states.at(Row(21, 3))->number) << "shelved";
  EXPECT_EQ(1, states.at(Row(100, qmx::snmp::kCommAlarmPoint))->number);
  EXPECT_EQ("alice", get({1, 10, 1, 10, 100, 11, 9}).text);
  EXPECT_EQ(qmx::snmp::DateAndTime(1700000000), get({1, 10, 1, 11, 100, 11, 9}).text);
  EXPECT_EQ("", get({1, 10, 1, 11, 100, 11, 10}).text) << "not acknowledged: no time";
  EXPECT_EQ(qmx::snmp::DateAndTime(1700003600), get({1, 10, 1, 12, 100, 21, 3}).text);
  EXPECT_EQ("", get({1, 10, 1, 12, 100, 11, 9}).text);
  EXPECT_EQ("Phase missing", get({1, 10, 1, 13, 100, 11, 9}).text);
  EXPECT_EQ("AC input 1, phase A", get({1, 10, 1, 14, 100, 11, 9}).text);
  EXPECT_EQ("11_AC_8_9", get({1, 10, 1, 15, 100, 11, 10}).text);
  EXPECT_EQ("", get({1, 10, 1, 15, 100, 11, 9}).text);
  EXPECT_EQ(1, get({1, 10, 1, 16, 100, 11, 9}).number) << "annunciated: true";
  EXPECT_EQ(2, get({1, 10, 1, 16, 100, 11, 10}).number);
  EXPECT_EQ("11_AC_8_10", get({1, 10, 1, 17, 100, 11, 10}).text);
  EXPECT_EQ("100_comm_0", get({1, 10, 1, 17, 100, 100, qmx::snmp::kCommAlarmPoint}).text);

  // List table: every listed alarm; the active ones where the active table
  // has them, the cleared one beside them.
  const auto ids = Column(s, 13, 17);
  ASSERT_EQ(d.alarm_states.size(), ids.size());
  for (const auto& [row, id] : Column(s, 10, 17)) {
    ASSERT_TRUE(ids.count(row)) << id->text;
    EXPECT_EQ(id->text, ids.at(row)->text) << "the same index in both tables";
  }
  const Row gone_row(11, qmx::snmp::kCommAlarmPoint + 1);
  ASSERT_TRUE(ids.count(gone_row)) << "its number is taken by the active AC_8";
  EXPECT_EQ("11_AC_9_9", ids.at(gone_row)->text);
  EXPECT_EQ(3, get({1, 13, 1, 9, 100, 11, gone_row.second}).number) << "clearedUnacknowledged";
  EXPECT_EQ(2, get({1, 13, 1, 18, 100, 11, gone_row.second}).number) << "active: false";
  EXPECT_EQ(qmx::snmp::DateAndTime(1700000100), get({1, 13, 1, 19, 100, 11, gone_row.second}).text);
  EXPECT_EQ(9, get({1, 13, 1, 20, 100, 11, gone_row.second}).number) << "its own sequence";
  EXPECT_EQ(1, get({1, 13, 1, 18, 100, 11, 9}).number);
  EXPECT_EQ("", get({1, 13, 1, 19, 100, 11, 9}).text) << "active: no clear time";
  EXPECT_EQ("alice", get({1, 13, 1, 10, 100, 11, 9}).text);
  EXPECT_EQ(2, get({1, 13, 1, 4, 100, 21, 3}).number) << "level 3 is minor";

  // The device in maintenance, and its end.
  EXPECT_EQ(1, get({1, 1, 1, 23, 100}).number);
  EXPECT_EQ(qmx::snmp::DateAndTime(1700007200), get({1, 1, 1, 24, 100}).text);
  EXPECT_EQ("carol", get({1, 1, 1, 25, 100}).text);

  // Figures, each where the MIB puts it.
  const int64_t figures[] = {11, 1, 3, 4, 5, 6, 7, 8, 9, 10, 5000000000ll, 6000000000ll};
  for (uint32_t n = 1; n <= 12; ++n) EXPECT_EQ(figures[n - 1], get({1, 14, n, 0}).number) << n;
  EXPECT_EQ(Var::Type::kCounter64, get({1, 14, 11, 0}).type);
  EXPECT_EQ(Var::Type::kGauge, get({1, 14, 1, 0}).type);

  // Out of maintenance, nothing listed: the columns say so; no figures
  // without the board's.
  d.maintenance.reset();
  d.alarm_states.clear();
  const qmx::snmp::MibSnapshot plain(At({}), {d}, 0);
  EXPECT_EQ(2, plain.Get(At({1, 1, 1, 23, 100}))->number);
  EXPECT_EQ("", plain.Get(At({1, 1, 1, 24, 100}))->text);
  EXPECT_EQ(4u, Column(plain, 10, 3).size()) << "active rows stay";
  EXPECT_TRUE(Column(plain, 10, 9).empty()) << "no state the board did not give";
  EXPECT_TRUE(Column(plain, 13, 17).empty());
  EXPECT_EQ(nullptr, plain.Get(At({1, 14, 1, 0})));
}

std::string ReadMib();

// The MIB's K417tBoardState names each state word of the board with the
// number the agent gives it.
TEST(SnmpMibFile, BoardStateWordsAreTheEnumeration) {
  const std::string mib = ReadMib();
  std::smatch m;
  ASSERT_TRUE(std::regex_search(
      mib, m,
      std::regex(R"(K417tBoardState ::= TEXTUAL-CONVENTION[\s\S]*?SYNTAX INTEGER \{([^}]*)\})")));
  const std::string values = m[1];
  const std::regex value(R"((\w+)\((\d+)\))");
  size_t n = 0;
  for (auto it = std::sregex_iterator(values.begin(), values.end(), value);
       it != std::sregex_iterator(); ++it, ++n) {
    // activeUnacknowledged -> active_unacknowledged
    std::string word;
    for (char c : std::string((*it)[1])) {
      if (std::isupper(static_cast<unsigned char>(c))) {
        word += '_';
        word += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      } else {
        word += c;
      }
    }
    EXPECT_EQ(std::stoi((*it)[2]), qmx::snmp::BoardStateNumber(word)) << word;
  }
  EXPECT_EQ(9u, n);
  EXPECT_EQ(0, qmx::snmp::BoardStateNumber(""));
  EXPECT_EQ(0, qmx::snmp::BoardStateNumber("raised"));
}

qmx::view::AlarmNotice Notice(const std::string& kind) {
  qmx::view::AlarmNotice n;
  n.time = 1700000000;
  n.kind = kind;
  n.device = 100;
  n.device_name = "power-1";
  n.data_id = 11;
  n.key = "AC_8";
  n.seq = 9;
  n.level = 2;
  n.code = "06017";
  n.name = "name";
  n.text = "text";
  n.name_en = "Phase missing";
  n.place_en = "AC input 1";
  n.state = "active_acknowledged";
  n.who = "alice";
  n.comment = "seen";
  n.until = 1700003600;
  return n;
}

// Each notice of the board as its notification: the MIB's arc for it and its
// OBJECTS, in order, as the variables; raised and cleared exactly as the
// controller's transitions were sent before.
TEST(SnmpMib, BoardNoticesAsTheMibsNotifications) {
  const std::string mib = ReadMib();
  // Notification name -> (arc, objects); object name -> its OID for device 100.
  std::map<uint32_t, std::pair<std::string, std::vector<std::string>>> traps;
  const std::regex trap(
      R"((k417t\w+) NOTIFICATION-TYPE\s+OBJECTS \{([^}]*)\}[\s\S]*?::= \{ k417tNotifications (\d+) \})");
  for (auto it = std::sregex_iterator(mib.begin(), mib.end(), trap); it != std::sregex_iterator();
       ++it) {
    std::vector<std::string> objects;
    std::istringstream list(std::regex_replace(std::string((*it)[2]), std::regex(","), " "));
    for (std::string o; list >> o;) objects.push_back(o);
    traps[static_cast<uint32_t>(std::stoul((*it)[3]))] = {(*it)[1], objects};
  }
  ASSERT_EQ(13u, traps.size());
  std::map<std::string, Oid> oids = {{"k417tDeviceName", At({1, 1, 1, 2, 100})}};
  const std::regex event(R"((k417tEvent\w+) OBJECT-TYPE[\s\S]*?::= \{ k417tEvent (\d+) \})");
  for (auto it = std::sregex_iterator(mib.begin(), mib.end(), event); it != std::sregex_iterator();
       ++it)
    oids[(*it)[1]] = At({1, 11, static_cast<uint32_t>(std::stoul((*it)[2])), 0});
  ASSERT_EQ(16u, oids.size());

  const Oid root = At({});
  const std::pair<const char*, uint32_t> kinds[] = {
      {"raised", 1},           {"cleared", 2},    {"acknowledged", 5}, {"shelved", 6},
      {"unshelved", 7},        {"chattering", 8}, {"settled", 9},      {"maintenance", 10},
      {"maintenance_end", 11}, {"unknown", 12},   {"known", 13}};
  for (const auto& [kind, arc] : kinds) {
    qmx::view::AlarmNotice n = Notice(kind);
    if (arc >= 10) n.key.clear();  // a device's notice
    const auto out = qmx::snmp::NotificationOf(root, n);
    ASSERT_TRUE(out.has_value()) << kind;
    EXPECT_EQ(At({0, arc}), out->trap) << kind;
    const auto& [name, objects] = traps[arc];
    ASSERT_EQ(objects.size(), out->vars.size()) << kind << " as " << name;
    for (size_t k = 0; k < objects.size(); ++k)
      EXPECT_EQ(oids[objects[k]], out->vars[k].first) << kind << ": " << objects[k];
    EXPECT_EQ("power-1", out->vars[0].second.text);
  }
  // Raised and cleared: what the transition itself gave.
  qmx::store::AlarmEvent e;
  e.data_id = 11;
  e.key = "AC_8";
  e.seq = 9;
  e.level = 2;
  e.code = "06017";
  e.name = "name";
  e.text = "text";
  e.time = 1700000000;
  for (bool raised : {true, false}) {
    e.raised = raised;
    const auto from_event = qmx::snmp::NotificationOf(root, 100, "power-1", e);
    const auto from_notice = qmx::snmp::NotificationOf(root, Notice(raised ? "raised" : "cleared"));
    ASSERT_TRUE(from_notice.has_value());
    EXPECT_EQ(from_event.trap, from_notice->trap);
    ASSERT_EQ(from_event.vars.size(), from_notice->vars.size());
    for (size_t k = 0; k < from_event.vars.size(); ++k) {
      EXPECT_EQ(from_event.vars[k].first, from_notice->vars[k].first);
      EXPECT_EQ(from_event.vars[k].second.number, from_notice->vars[k].second.number) << k;
      EXPECT_EQ(from_event.vars[k].second.text, from_notice->vars[k].second.text) << k;
    }
  }
  // The communication alarm: lost and restored.
  qmx::view::AlarmNotice c = Notice("raised");
  c.key = "comm";
  c.seq = 0;
  c.level = 1;
  EXPECT_EQ(At({0, 3}), qmx::snmp::NotificationOf(root, c)->trap);
  c.kind = "cleared";
  EXPECT_EQ(At({0, 4}), qmx::snmp::NotificationOf(root, c)->trap);

  // An acknowledgement says who, the state after, the alarm's id and
  // severity (major), its English name and place.
  const auto ack = qmx::snmp::NotificationOf(root, Notice("acknowledged"));
  auto value = [&](const std::string& object) {
    for (const auto& [o, v] : ack->vars)
      if (o == oids[object]) return v;
    return qmx::snmp::Var{};
  };
  EXPECT_EQ("alice", value("k417tEventWho").text);
  EXPECT_EQ("seen", value("k417tEventComment").text);
  EXPECT_EQ(2, value("k417tEventState").number) << "activeAcknowledged";
  EXPECT_EQ(3, value("k417tEventSeverity").number);
  EXPECT_EQ("11_AC_8_9", value("k417tEventAlarmId").text);
  EXPECT_EQ("Phase missing", value("k417tEventNameEn").text);
  EXPECT_EQ("AC input 1", value("k417tEventPlaceEn").text);
  EXPECT_EQ(qmx::snmp::DateAndTime(1700003600), value("k417tEventUntil").text);

  // Nothing for what the MIB has no notification of.
  EXPECT_FALSE(qmx::snmp::NotificationOf(root, Notice("bogus")).has_value());
  qmx::view::AlarmNotice keyless = Notice("acknowledged");
  keyless.key.clear();
  EXPECT_FALSE(qmx::snmp::NotificationOf(root, keyless).has_value());
}

std::string ReadMib() {
  std::ifstream in(K417T_MIB_DIR "/K417T-MIB.txt");
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// snmptable -Cb heads each column with its name after the common prefix of
// the table's readable column names: that prefix must end where a word ends,
// so that no header is empty or starts inside a word ("eName eUnits e").
TEST(SnmpMibFile, TableHeadersAfterTheCommonPrefixAreWholeWords) {
  const std::string mib = ReadMib();
  ASSERT_FALSE(mib.empty()) << K417T_MIB_DIR;
  const std::regex entry(R"((K417t\w+Entry) ::= SEQUENCE \{([^}]*)\})");
  const std::regex column(R"((k417t\w+)\s+[A-Za-z])");
  size_t tables = 0;
  for (auto t = std::sregex_iterator(mib.begin(), mib.end(), entry); t != std::sregex_iterator();
       ++t) {
    ++tables;
    const std::string body = (*t)[2];
    std::vector<std::string> names;
    for (auto c = std::sregex_iterator(body.begin(), body.end(), column);
         c != std::sregex_iterator(); ++c) {
      const std::string name = (*c)[1];
      const std::regex object(name + R"(\s+OBJECT-TYPE[^:]*?MAX-ACCESS\s+([\w-]+))");
      std::smatch access;
      ASSERT_TRUE(std::regex_search(mib, access, object)) << name;
      if (access[1] != "not-accessible") names.push_back(name);
    }
    ASSERT_FALSE(names.empty()) << (*t)[1];
    if (names.size() < 2) continue;  // snmptable strips nothing from one column
    size_t common = names[0].size();
    for (const std::string& n : names) {
      size_t k = 0;
      while (k < common && k < n.size() && n[k] == names[0][k]) ++k;
      common = k;
    }
    for (const std::string& n : names) {
      const std::string header = n.substr(common);
      EXPECT_TRUE(!header.empty() && std::isupper(static_cast<unsigned char>(header[0])))
          << (*t)[1] << ": " << n << " heads its column \"" << header << "\"";
    }
  }
  EXPECT_EQ(12u, tables) << "every table of k417tObjects";
}

}  // namespace

// The readable columns of the unit tables in K417T-MIB (k417tObjects 3 to 9),
// as (table, column) pairs, read from the module's text.
std::set<std::pair<uint32_t, uint32_t>> MibUnitColumns(const std::string& mib) {
  std::map<std::string, uint32_t> tables;                        // table name -> arc
  std::map<std::string, std::string> entries;                    // entry -> table
  std::vector<std::tuple<std::string, uint32_t, bool>> columns;  // parent, arc, readable
  for (size_t at = mib.find(" OBJECT-TYPE"); at != std::string::npos;
       at = mib.find(" OBJECT-TYPE", at + 1)) {
    const size_t name_start = mib.find_last_of(" \n", at - 1) + 1;
    const std::string name = mib.substr(name_start, at - name_start);
    const size_t assign = mib.find("::=", at);
    const size_t open = mib.find('{', assign), close = mib.find('}', open);
    if (assign == std::string::npos || open == std::string::npos || close == std::string::npos)
      break;
    std::istringstream where(mib.substr(open + 1, close - open - 1));
    std::string parent;
    uint32_t arc = 0;
    where >> parent >> arc;
    const std::string body = mib.substr(at, assign - at);
    if (parent == "k417tObjects")
      tables[name] = arc;
    else if (arc == 1 && name.size() > 5 && name.compare(name.size() - 5, 5, "Entry") == 0)
      entries[name] = parent;
    else
      columns.emplace_back(parent, arc, body.find("not-accessible") == std::string::npos);
  }
  std::set<std::pair<uint32_t, uint32_t>> out;
  for (const auto& [parent, arc, readable] : columns) {
    auto e = entries.find(parent);
    if (e == entries.end() || !readable) continue;
    auto t = tables.find(e->second);
    if (t != tables.end() && t->second >= 3 && t->second <= 9) out.insert({t->second, arc});
  }
  return out;
}

TEST(SnmpMib, EveryRowHasItsObjectAndEveryObjectItsRow) {
  std::ifstream in(K417T_MIB_FILE);
  ASSERT_TRUE(in.good()) << K417T_MIB_FILE;
  const std::string mib((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const auto objects = MibUnitColumns(mib);
  ASSERT_GT(objects.size(), 30u) << "the MIB's unit tables were not found";
  std::set<std::pair<uint32_t, uint32_t>> placed;
  for (int type : qmx::view::RowTypes())
    for (const qmx::view::Row& r : qmx::view::RowsOf(type)) {
      const qmx::view::SnmpPlace& p = r.snmp;
      if (p.as == qmx::view::SnmpPlace::As::kNone) continue;
      for (uint32_t c : {p.column, p.status_column, p.name_column, p.unit_column})
        if (c != 0) {
          placed.insert({p.table, c});
          EXPECT_TRUE(objects.count({p.table, c}))
              << r.key << ": no object k417tObjects." << p.table << ".1." << c << " in the MIB";
        }
    }
  for (const auto& [table, column] : objects)
    EXPECT_TRUE(placed.count({table, column}))
        << "k417tObjects." << table << ".1." << column << " has no row of the view";
}

// k417tBatteryTable: totals as Counter64 thousandths for every device, the
// power only while live, the battery's columns only where strings are
// named, no instance where there is no value; every column the agent fills
// is an object of the module, and a walk goes column by column.
TEST(SnmpMib, BatteryTableFromTheView) {
  qmx::view::DeviceView a;
  a.id = 100;
  a.answering = true;
  a.battery.configured = true;
  a.battery.total.load_kwh = 5000000.1234;  // beyond 32 bits of Wh
  a.battery.total.rectifier_kwh = 12.3456;
  a.battery.total.charge_ah = 40.5;
  a.battery.total.discharge_ah = 38.2509;
  a.battery.total.charge_kwh = 2.25;
  a.battery.total.discharge_kwh = 1.875;
  a.battery.power_w = 2675.4;
  a.battery.soc = 0.626;
  a.battery.autonomy.valid = true;
  a.battery.autonomy.minutes = 95.6;
  a.battery.autonomy.low_min = 80.2;
  a.battery.autonomy.high_min = 110.5;
  a.battery.discharging = qmx::view::DischargeRecord{};
  qmx::view::DischargeRecord last;
  last.start_ms = 1700000000000;
  last.end_ms = 1700003600500;
  last.cause = "mains loss";
  last.ah = 51.25;
  a.battery.last = last;
  qmx::view::DeviceView b;
  b.id = 200;
  b.stale = true;  // lost: its power is the last one read
  b.battery.power_w = 1000;
  b.battery.total.load_kwh = std::nan("");  // never a counter of garbage
  const Oid root = At({});
  const qmx::snmp::MibSnapshot s(root, {a, b}, 0);
  auto get = [&](uint32_t column, uint32_t device) {
    return s.Get(At({1, 15, 1, column, device}));
  };

  using T = qmx::snmp::Var::Type;
  const struct {
    uint32_t column;
    T type;
    int64_t number;
  } want[] = {
      {1, T::kCounter64, 5000000123},
      {2, T::kCounter64, 12345},
      {3, T::kCounter64, 40500},
      {4, T::kCounter64, 38250},
      {5, T::kCounter64, 2250},
      {6, T::kCounter64, 1875},
      {7, T::kInteger, 2675},
      {8, T::kInteger, 1},
      {9, T::kInteger, 1},
      {10, T::kGauge, 63},
      {11, T::kGauge, 96},
      {12, T::kGauge, 80},
      {13, T::kGauge, 111},
      {14, T::kInteger, 1},
      {15, T::kInteger, 1},
      {16, T::kInteger, 2},
      {20, T::kGauge, 51250},
  };
  for (const auto& w : want) {
    const qmx::snmp::Var* v = get(w.column, 100);
    ASSERT_NE(nullptr, v) << "column " << w.column;
    EXPECT_EQ(w.type, v->type) << "column " << w.column;
    EXPECT_EQ(w.number, v->number) << "column " << w.column;
  }
  for (uint32_t c : {17u, 18u, 19u}) ASSERT_NE(nullptr, get(c, 100)) << "column " << c;
  EXPECT_EQ(qmx::snmp::DateAndTime(1700000000), get(17, 100)->text);
  EXPECT_EQ(qmx::snmp::DateAndTime(1700003600), get(18, 100)->text);
  EXPECT_EQ("mains loss", get(19, 100)->text);

  // The lost device without strings: its totals (garbage as 0), no power
  // (noValue), not configured, and nothing of a battery.
  ASSERT_NE(nullptr, get(1, 200));
  EXPECT_EQ(0, get(1, 200)->number);
  EXPECT_EQ(nullptr, get(7, 200));
  EXPECT_EQ(2, get(8, 200)->number);
  EXPECT_EQ(2, get(9, 200)->number);
  for (uint32_t c = 10; c <= 20; ++c) EXPECT_EQ(nullptr, get(c, 200)) << "column " << c;

  // No estimate: the autonomy columns have no instance and say noValue.
  a.battery.autonomy.valid = false;
  a.battery.last.reset();
  const qmx::snmp::MibSnapshot s2(root, {a}, 0);
  for (uint32_t c : {11u, 12u, 13u, 17u, 18u, 19u, 20u})
    EXPECT_EQ(nullptr, s2.Get(At({1, 15, 1, c, 100}))) << "column " << c;
  EXPECT_EQ(2, s2.Get(At({1, 15, 1, 14, 100}))->number);

  // A walk: each column down the devices, then the next column.
  const auto* n = s.Next(At({1, 15, 1, 1, 100}));
  ASSERT_NE(nullptr, n);
  EXPECT_EQ(At({1, 15, 1, 1, 200}), n->first);
  n = s.Next(At({1, 15, 1, 1, 200}));
  ASSERT_NE(nullptr, n);
  EXPECT_EQ(At({1, 15, 1, 2, 100}), n->first);

  // The module declares exactly the columns the agent fills.
  const std::string mib = ReadMib();
  const std::regex entry(R"(K417tBatteryEntry ::= SEQUENCE \{([^}]*)\})");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(mib, m, entry));
  const std::string body = m[1];
  const std::regex column(R"((k417tBattery\w+)\s+[A-Z])");
  uint32_t arc = 0;
  for (auto c = std::sregex_iterator(body.begin(), body.end(), column); c != std::sregex_iterator();
       ++c) {
    ++arc;
    const std::regex object(std::string((*c)[1]) +
                            R"(\s+OBJECT-TYPE[\s\S]*?::= \{ k417tBatteryEntry (\d+) \})");
    std::smatch o;
    ASSERT_TRUE(std::regex_search(mib, o, object)) << (*c)[1];
    EXPECT_EQ(std::to_string(arc), o[1].str()) << (*c)[1];
    EXPECT_NE(nullptr, get(arc, 100)) << (*c)[1] << " has no instance for a device with everything";
  }
  EXPECT_EQ(20u, arc);
}
