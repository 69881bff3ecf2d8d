// The SNMP sub-agent's settings and K417T-MIB as data: what --snmp and the
// site file's "snmp" object accept, readings as hundredths with no value as
// a status and no instance, and the notifications' variables.
#include <gtest/gtest.h>
#include <json/json.h>

#include <fstream>
#include <iterator>
#include <map>
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
  EXPECT_EQ(4, get({1, 10, 1, 4, 100, 7})->number) << "level 1 is critical";
  EXPECT_EQ(3, get({1, 12, 0})->number);

  // Get-next walks in OID order and leaves the subtree at its end.
  const auto* first = s.Next(root);
  ASSERT_NE(nullptr, first);
  EXPECT_EQ(At({1, 1, 1, 2, 100}), first->first);
  const auto* after_voltage = s.Next(At({1, 7, 1, 1, 100, 21}));
  ASSERT_NE(nullptr, after_voltage);
  EXPECT_EQ(At({1, 7, 1, 2, 100, 21}), after_voltage->first);
  EXPECT_EQ(nullptr, s.Next(At({1, 12, 0})));
  Oid prev;
  for (const auto& [o, v] : s.vars()) {
    EXPECT_LT(prev, o);
    EXPECT_TRUE(o.size() > root.size() && std::equal(root.begin(), root.end(), o.begin()));
    prev = o;
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
  EXPECT_EQ(At({0, 2}), qmx::snmp::NotificationOf(root, 100, "power-1", e).trap);
  e.key = "comm";
  EXPECT_EQ(At({0, 4}), qmx::snmp::NotificationOf(root, 100, "power-1", e).trap);
  e.raised = true;
  EXPECT_EQ(At({0, 3}), qmx::snmp::NotificationOf(root, 100, "power-1", e).trap);
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
