// Golden cases: a site in one state (cases/<name>/site.json: devices, their
// units' readings as the controller reports them, their alarms) goes through
// the view to every front end, and each front end's output is compared with
// the case's expected files: api.json (the units as the API gives them),
// snmp.txt (the MIB tree), mqtt.txt (Home Assistant discovery and the unit
// states), metrics.txt (/metrics). K417T_GOLDEN_UPDATE=1 writes the expected
// files anew (read the diff before committing them).
//
// Beside the files, every case is checked for what must hold in any state:
// one SNMP alarm row per active alarm with indexes in range, the
// communication alarm's Home Assistant entity available while its device is
// lost, a lost device's readings absent from /metrics, and every value of
// every row reaching every front end that its row names.
#include <gtest/gtest.h>
#include <json/json.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "mqtt/mqtt_discovery.h"
#include "mqtt/mqtt_messages.h"
#include "snmp/snmp_mib.h"
#include "units/ac/tele_c_k417t_ac.h"
#include "units/dc/tele_c_k417t_dc.h"
#include "units/rc/tele_c_k417t_rc.h"
#include "view/site_view.h"
#include "web/metrics.h"

namespace fs = std::filesystem;
using qmx::view::DeviceView;
using qmx::view::UnitValues;

namespace {

// A reading as the case gives it: a number, "invalid" (four equal bytes, the
// controller's no value), "marker" (the unit's -0.1 no-value marker) or
// "nan".
void PutFloat(unsigned char* at, const Json::Value& v) {
  if (v.isString() && v.asString() == "invalid") {
    std::memset(at, 0x20, 4);
    return;
  }
  uint32_t bits = 0;
  float f = 0;
  if (v.isString() && v.asString() == "marker") {
    bits = 0xBDCCCCCDu;
    std::memcpy(at, &bits, 4);
    return;
  }
  f = v.isString() && v.asString() == "nan" ? NAN : v.asFloat();
  std::memcpy(at, &f, 4);
}

// 2023-11-14 22:13:20 as the record time (year u16 LE, month, day, h, m, s).
void PutTime(unsigned char* t) {
  const unsigned char time[7] = {0xE7, 0x07, 11, 14, 22, 13, 20};
  std::memcpy(t, time, 7);
}

std::vector<unsigned char> AcImage(const Json::Value& u) {
  const Json::Value& inputs = u["inputs"];
  std::vector<unsigned char> img(sizeof(tele_c_k417t_ac) +
                                 sizeof(tele_c_k417t_ac_channel) * inputs.size());
  unsigned char* s = img.data();
  const uint32_t id = u["data_id"].asUInt();
  std::memcpy(s, &id, 4);
  PutFloat(s + offsetof(tele_c_k417t_ac, ia), u["ia"]);
  PutFloat(s + offsetof(tele_c_k417t_ac, ib), u["ib"]);
  PutFloat(s + offsetof(tele_c_k417t_ac, ic), u["ic"]);
  s[offsetof(tele_c_k417t_ac, channel_count)] = static_cast<unsigned char>(inputs.size());
  s[offsetof(tele_c_k417t_ac, ia_alert)] = static_cast<unsigned char>(u["ia_alert"].asUInt());
  s[offsetof(tele_c_k417t_ac, ib_alert)] = static_cast<unsigned char>(u["ib_alert"].asUInt());
  s[offsetof(tele_c_k417t_ac, ic_alert)] = static_cast<unsigned char>(u["ic_alert"].asUInt());
  PutTime(s + offsetof(tele_c_k417t_ac, ttime));
  for (Json::ArrayIndex k = 0; k < inputs.size(); ++k) {
    unsigned char* c = s + sizeof(tele_c_k417t_ac) + sizeof(tele_c_k417t_ac_channel) * k;
    const Json::Value& in = inputs[k];
    PutFloat(c + offsetof(tele_c_k417t_ac_channel, a), in["a"]);
    PutFloat(c + offsetof(tele_c_k417t_ac_channel, b), in["b"]);
    PutFloat(c + offsetof(tele_c_k417t_ac_channel, c), in["c"]);
    PutFloat(c + offsetof(tele_c_k417t_ac_channel, f), in["f"]);
    c[offsetof(tele_c_k417t_ac_channel, a_alert)] =
        static_cast<unsigned char>(in["a_alert"].asUInt());
    c[offsetof(tele_c_k417t_ac_channel, b_alert)] =
        static_cast<unsigned char>(in["b_alert"].asUInt());
    c[offsetof(tele_c_k417t_ac_channel, c_alert)] =
        static_cast<unsigned char>(in["c_alert"].asUInt());
    c[offsetof(tele_c_k417t_ac_channel, f_alert)] =
        static_cast<unsigned char>(in["f_alert"].asUInt());
  }
  return img;
}

std::vector<unsigned char> RectifierImage(const Json::Value& u) {
  const Json::Value& modules = u["modules"];
  std::vector<unsigned char> img(sizeof(tele_c_k417t_rc) +
                                 sizeof(tele_c_k417t_rc_channel) * modules.size());
  unsigned char* g = img.data();
  const uint32_t id = u["data_id"].asUInt();
  std::memcpy(g, &id, 4);
  for (Json::ArrayIndex k = 0; k < 5; ++k)
    PutFloat(g + offsetof(tele_c_k417t_rc, ac_param) + 4 * k, u["ac_param"].get(k, 0));
  for (Json::ArrayIndex k = 0; k < 2; ++k)
    PutFloat(g + offsetof(tele_c_k417t_rc, dc_param) + 4 * k, u["dc_param"].get(k, 0));
  PutFloat(g + offsetof(tele_c_k417t_rc, rc_value), u["rc_value"]);
  g[offsetof(tele_c_k417t_rc, module_count)] = static_cast<unsigned char>(modules.size());
  PutTime(g + offsetof(tele_c_k417t_rc, ttime));
  for (Json::ArrayIndex k = 0; k < modules.size(); ++k) {
    unsigned char* m = g + sizeof(tele_c_k417t_rc) + sizeof(tele_c_k417t_rc_channel) * k;
    const Json::Value& in = modules[k];
    PutFloat(m + offsetof(tele_c_k417t_rc_channel, module_value), in["current"]);
    for (Json::ArrayIndex s = 0; s < 3; ++s)
      m[offsetof(tele_c_k417t_rc_channel, module_state) + s] =
          static_cast<unsigned char>(in["state"].get(s, 0).asUInt());
    m[offsetof(tele_c_k417t_rc_channel, fault_state)] =
        static_cast<unsigned char>(in["fault"].asUInt());
  }
  return img;
}

std::vector<unsigned char> DcImage(const Json::Value& u) {
  std::vector<unsigned char> img(sizeof(tele_c_k417t_dc));
  unsigned char* d = img.data();
  const uint32_t id = u["data_id"].asUInt();
  std::memcpy(d, &id, 4);
  PutFloat(d + offsetof(tele_c_k417t_dc, v), u["v"]);
  PutFloat(d + offsetof(tele_c_k417t_dc, i), u["i"]);
  d[offsetof(tele_c_k417t_dc, v_state)] = static_cast<unsigned char>(u["v_state"].asUInt());
  d[offsetof(tele_c_k417t_dc, dc_m)] = static_cast<unsigned char>(u["m"].size());
  for (Json::ArrayIndex k = 0; k < u["m"].size(); ++k)
    PutFloat(d + offsetof(tele_c_k417t_dc, m_value) + 4 * k, u["m"][k]);
  d[offsetof(tele_c_k417t_dc, p_count)] = static_cast<unsigned char>(u["user"].size());
  for (Json::ArrayIndex k = 0; k < u["user"].size(); ++k)
    PutFloat(d + offsetof(tele_c_k417t_dc, user_p) + 4 * k, u["user"][k]);
  d[offsetof(tele_c_k417t_dc, alert_m)] = static_cast<unsigned char>(u["fuses"].size());
  for (Json::ArrayIndex k = 0; k < u["fuses"].size(); ++k)
    d[offsetof(tele_c_k417t_dc, alert_m_state) + k] =
        static_cast<unsigned char>(u["fuses"][k].asUInt());
  PutTime(d + offsetof(tele_c_k417t_dc, ttime));
  return img;
}

struct Case {
  std::string name;
  fs::path dir;
  std::vector<DeviceView> devices;
};

Json::Value ReadJson(const fs::path& p) {
  std::ifstream in(p);
  Json::Value v;
  Json::CharReaderBuilder b;
  std::string err;
  EXPECT_TRUE(Json::parseFromStream(b, in, &v, &err)) << p << ": " << err;
  return v;
}

Case Load(const fs::path& dir) {
  Case c;
  c.name = dir.filename().string();
  c.dir = dir;
  const Json::Value site = ReadJson(dir / "site.json");
  for (const Json::Value& dj : site["devices"]) {
    DeviceView d;
    d.id = dj["id"].asUInt();
    d.name = dj["name"].asString();
    d.line = dj.get("line", "/dev/ttyUSB0").asString();
    d.model = dj.get("model", "K417T").asString();
    d.version = dj.get("version", "1.20").asString();
    d.line_open = dj.get("line_open", true).asBool();
    d.answering = dj.get("answering", true).asBool();
    d.stale = dj.get("stale", false).asBool();
    d.rounds = dj.get("rounds", 10).asUInt64();
    d.last_round = dj.get("last_round", 1700000000).asInt64();
    qmx::view::UnitLabels labels;
    for (const Json::Value& n : dj["m_names"])
      labels.m.push_back({n[0].asString(), n[1].asString()});
    for (const Json::Value& n : dj["user_names"])
      labels.user.push_back({n[0].asString(), n[1].asString()});
    for (const Json::Value& u : dj["units"]) {
      const std::string type = u["type"].asString();
      const unsigned id = u["data_id"].asUInt();
      if (type == "ac") d.units.push_back(qmx::view::ReadUnit(id, qmx::view::kAcType, AcImage(u)));
      if (type == "rectifier")
        d.units.push_back(qmx::view::ReadUnit(id, qmx::view::kRectifierType, RectifierImage(u)));
      if (type == "dc")
        d.units.push_back(qmx::view::ReadUnit(id, qmx::view::kDcType, DcImage(u), &labels));
    }
    for (const Json::Value& a : dj["alarms"]) {
      qmx::store::ActiveAlarm x;
      x.data_id = a["data_id"].asUInt();
      x.key = a["key"].asString();
      x.seq = a["seq"].asUInt();
      x.level = a["level"].asInt();
      x.code = a["code"].asString();
      x.name = a["name"].asString();
      x.text = a["text"].asString();
      x.since = a.get("since", 1700000000).asInt64();
      d.alarms.push_back(x);
      d.worst = std::max(d.worst, qmx::view::SeverityOf(x.level));
    }
    if (d.stale || (!d.answering && d.rounds > 0))
      d.health = qmx::view::Health::kLost;
    else if (!d.alarms.empty())
      d.health = qmx::view::Health::kAlarm;
    else
      d.health = qmx::view::Health::kHealthy;
    c.devices.push_back(std::move(d));
  }
  return c;
}

std::vector<Case> Cases() {
  std::vector<Case> out;
  for (const auto& e : fs::directory_iterator(K417T_GOLDEN_DIR))
    if (e.is_directory() && fs::exists(e.path() / "site.json")) out.push_back(Load(e.path()));
  std::sort(out.begin(), out.end(), [](const Case& a, const Case& b) { return a.name < b.name; });
  return out;
}

const qmx::snmp::Oid kRoot = {1, 3, 6, 1, 4, 1, 32473, 1};

// --- Each front end's output as text.

std::string Api(const Case& c) {
  Json::Value all(Json::arrayValue);
  for (const DeviceView& d : c.devices) {
    Json::Value dv(Json::objectValue);
    dv["id"] = d.id;
    dv["health"] = qmx::view::HealthWord(d.health);
    dv["stale"] = d.stale;
    Json::Value units(Json::arrayValue);
    for (const UnitValues& u : d.units) units.append(qmx::view::UnitJson(u));
    dv["units"] = units;
    Json::Value alarms(Json::arrayValue);
    for (const auto& a : d.alarms) alarms.append(qmx::view::AlarmPointJson(a));
    dv["alarms"] = alarms;
    all.append(dv);
  }
  Json::StreamWriterBuilder w;
  w["indentation"] = "  ";
  return Json::writeString(w, all) + "\n";
}

std::string Snmp(const Case& c) {
  const qmx::snmp::MibSnapshot s(kRoot, c.devices, 0);
  std::ostringstream out;
  for (const auto& [oid, var] : s.vars()) {
    for (size_t k = kRoot.size(); k < oid.size(); ++k)
      out << (k > kRoot.size() ? "." : "") << oid[k];
    out << " = ";
    if (var.type == qmx::snmp::Var::Type::kOctets) {
      Json::Value text(var.text);
      out << Json::FastWriter().write(text).substr(0, Json::FastWriter().write(text).size() - 1);
    } else {
      out << var.number;
    }
    out << "\n";
  }
  return out.str();
}

qmx::exporter::MqttConfig Mqtt() {
  qmx::exporter::MqttConfig cfg;
  cfg.client_id = "k417t-golden";
  return cfg;
}

qmx::exporter::DiscoveryDevice Discovery(const DeviceView& d) {
  qmx::exporter::DiscoveryDevice dd;
  dd.name = d.name;
  dd.topic = d.name;
  dd.model = d.model;
  dd.version = d.version;
  for (const UnitValues& u : d.units) {
    qmx::exporter::DiscoveryUnit du;
    du.type = u.type;
    for (const auto& v : u.values) du.fields.push_back(v.field);
    dd.units[u.data_id] = du;
  }
  for (const auto& a : d.alarms)
    dd.alarm_points[qmx::exporter::PointId(a.data_id, a.key, a.seq)] =
        qmx::exporter::AlarmPointRecord(a);
  return dd;
}

std::string Mqtt(const Case& c) {
  std::ostringstream out;
  const qmx::exporter::MqttConfig cfg = Mqtt();
  for (const DeviceView& d : c.devices) {
    auto msgs = qmx::exporter::DeviceDiscovery(cfg, Discovery(d));
    std::sort(msgs.begin(), msgs.end(),
              [](const auto& a, const auto& b) { return a.topic < b.topic; });
    for (const auto& m : msgs) out << m.topic << " " << m.payload << "\n";
    for (const UnitValues& u : d.units)
      out << "state " << u.data_id << " "
          << qmx::exporter::UnitStatePayload(d.name, d.rounds, d.last_round, u, nullptr) << "\n";
  }
  return out.str();
}

std::string Metrics(const Case& c) { return qmx::web::MetricsText(c.devices, nullptr); }

void Compare(const Case& c, const std::string& file, const std::string& got) {
  const fs::path p = c.dir / file;
  if (std::getenv("K417T_GOLDEN_UPDATE") != nullptr) {
    std::ofstream(p) << got;
    return;
  }
  std::ifstream in(p);
  ASSERT_TRUE(in.good()) << p << " missing (K417T_GOLDEN_UPDATE=1 writes it)";
  const std::string want((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (want == got) return;
  // The first line that differs, for a readable failure.
  std::istringstream a(want), b(got);
  std::string la, lb;
  int n = 1;
  while (std::getline(a, la) && std::getline(b, lb) && la == lb) ++n;
  ADD_FAILURE() << c.name << "/" << file << " differs at line " << n << "\n  want: " << la
                << "\n  got:  " << lb;
}

TEST(Golden, EveryFrontEndMatchesItsExpectedOutput) {
  const auto cases = Cases();
  ASSERT_GE(cases.size(), 4u);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Compare(c, "api.json", Api(c));
    Compare(c, "snmp.txt", Snmp(c));
    Compare(c, "mqtt.txt", Mqtt(c));
    Compare(c, "metrics.txt", Metrics(c));
  }
}

TEST(Golden, SnmpHasOneAlarmRowPerActiveAlarmInRange) {
  for (const Case& c : Cases()) {
    SCOPED_TRACE(c.name);
    const qmx::snmp::MibSnapshot s(kRoot, c.devices, 0);
    for (const DeviceView& d : c.devices) {
      qmx::snmp::Oid count = kRoot;
      count.insert(count.end(), {1, 1, 1, 22, d.id});
      ASSERT_NE(nullptr, s.Get(count));
      size_t rows = 0;
      for (const auto& [oid, var] : s.vars()) {
        // k417tAlarmEntry column 2 (the unit) of this device.
        if (oid.size() <= kRoot.size() + 5 || oid[kRoot.size()] != 1 ||
            oid[kRoot.size() + 1] != 10 || oid[kRoot.size() + 3] != 2 ||
            oid[kRoot.size() + 4] != d.id)
          continue;
        ++rows;
        for (size_t k = kRoot.size() + 4; k < oid.size(); ++k)
          EXPECT_GE(oid[k], 1u) << "an index below the MIB's range";
      }
      EXPECT_EQ(static_cast<size_t>(s.Get(count)->number), rows);
      EXPECT_EQ(d.alarms.size(), rows);
    }
  }
}

TEST(Golden, LostDevicesKeepTheirCommAlarmAvailableAndLeaveMetrics) {
  const qmx::exporter::MqttConfig cfg = Mqtt();
  size_t lost = 0;
  for (const Case& c : Cases()) {
    SCOPED_TRACE(c.name);
    const std::string metrics = Metrics(c);
    for (const DeviceView& d : c.devices) {
      if (d.health != qmx::view::Health::kLost) continue;
      ++lost;
      // No reading of a lost device in /metrics; its up and stale remain.
      const std::string dev = "device=\"" + std::to_string(d.id) + "\"";
      std::istringstream lines(metrics);
      std::string line;
      bool up = false;
      while (std::getline(lines, line)) {
        if (line.empty() || line[0] == '#' || line.find(dev) == std::string::npos) continue;
        for (const UnitValues& u : d.units)
          for (const auto& v : u.values)
            if (!v.field.metric.empty()) {
              EXPECT_NE(0u, line.rfind(v.field.metric + "{", 0)) << line;
            }
        if (line.rfind("k417t_up{", 0) == 0) {
          up = true;
          EXPECT_EQ(' ', line[line.size() - 2]);
          EXPECT_EQ('0', line.back());
        }
      }
      EXPECT_TRUE(up) << "k417t_up of a lost device";
      // The communication alarm's entity does not follow the device's
      // availability (which goes offline when it is lost).
      bool found = false;
      for (const auto& m : qmx::exporter::DeviceDiscovery(cfg, Discovery(d))) {
        if (m.topic.find("_comm_") == std::string::npos) continue;
        found = true;
        const std::string devtopic = qmx::exporter::DeviceTopicOf(cfg, d.name, "availability");
        EXPECT_EQ(std::string::npos, m.payload.find("\"" + devtopic + "\"")) << m.payload;
      }
      EXPECT_TRUE(found) << "no communication alarm entity";
    }
  }
  EXPECT_GE(lost, 1u) << "no case has a lost device";
}

// Every row of every unit kind, at its most instances, reaches every front
// end its row names: the API and the MQTT state (every value), /metrics
// (rows with a metric), SNMP (rows with a place), Home Assistant (every
// measurement, and states with an entity).
TEST(Golden, EveryRowReachesEveryFrontEnd) {
  Json::Value ac, rc, dc;
  ac["data_id"] = 11;
  for (int k = 0; k < 3; ++k) {
    Json::Value in;
    for (const char* m : {"a", "b", "c", "f"}) in[m] = 200 + k;
    ac["inputs"].append(in);
  }
  for (const char* m : {"ia", "ib", "ic"}) ac[m] = 10.5;
  rc["data_id"] = 100;
  rc["rc_value"] = 53.5;
  for (int k = 0; k < 4; ++k) {
    Json::Value m;
    m["current"] = 10 + k;
    rc["modules"].append(m);
  }
  dc["data_id"] = 21;
  dc["v"] = 53.5;
  dc["i"] = 40;
  for (unsigned k = 0; k < tele_c_k417t_dc::M_SIZE(); ++k) dc["m"].append(1.5);
  for (unsigned k = 0; k < tele_c_k417t_dc::P_SIZE(); ++k) dc["user"].append(20 + k);
  for (unsigned k = 0; k < tele_c_k417t_dc::ALERT_M_SIZE(); ++k) dc["fuses"].append(0);
  DeviceView d;
  d.id = 100;
  d.name = "walk";
  d.answering = true;
  d.rounds = 1;
  d.health = qmx::view::Health::kHealthy;
  d.units = {qmx::view::ReadUnit(11, qmx::view::kAcType, AcImage(ac)),
             qmx::view::ReadUnit(100, qmx::view::kRectifierType, RectifierImage(rc)),
             qmx::view::ReadUnit(21, qmx::view::kDcType, DcImage(dc))};
  Case c;
  c.devices = {d};
  const std::string metrics = Metrics(c);
  const qmx::snmp::MibSnapshot snmp(kRoot, c.devices, 0);
  std::string discovery;
  for (const auto& m : qmx::exporter::DeviceDiscovery(Mqtt(), Discovery(d))) discovery += m.payload;
  std::set<const qmx::view::Row*> seen;
  for (const UnitValues& u : d.units) {
    ASSERT_EQ("", u.error);
    const Json::Value api = qmx::view::ValuesJson(u);
    const Json::Value state = [&] {
      Json::Value v;
      Json::CharReaderBuilder b;
      std::string err;
      std::istringstream in(qmx::exporter::UnitStatePayload(d.name, 1, 0, u, nullptr));
      EXPECT_TRUE(Json::parseFromStream(b, in, &v, &err));
      return v;
    }();
    for (const auto& v : u.values) {
      ASSERT_NE(nullptr, v.field.row) << v.field.key;
      seen.insert(v.field.row);
      const std::string& key = v.field.key;
      EXPECT_TRUE(api.isMember(key)) << "API: " << key;
      EXPECT_TRUE(state["values"].isMember(key)) << "MQTT state: " << key;
      // States offered neither as words nor as a problem stay off Home Assistant.
      if (!(v.is_state() && v.field.entity == qmx::view::StateEntity::kNone)) {
        EXPECT_NE(std::string::npos, discovery.find("'" + key + "'")) << "HA: " << key;
      }
      if (!v.field.metric.empty()) {
        EXPECT_NE(std::string::npos, metrics.find("\n" + v.field.metric + "{")) << key;
      }
      const qmx::view::SnmpPlace& p = v.field.row->snmp;
      if (p.as != qmx::view::SnmpPlace::As::kNone) {
        qmx::snmp::Oid o = kRoot;
        o.insert(o.end(), {1, p.table, 1,
                           p.as == qmx::view::SnmpPlace::As::kReading ? p.status_column : p.column,
                           d.id, u.data_id});
        if (p.list != 0) o.push_back(p.list);
        if (v.field.instance != 0) o.push_back(v.field.instance);
        if (p.fixed != 0) o.push_back(p.fixed);
        EXPECT_NE(nullptr, snmp.Get(o)) << "SNMP: " << key;
      }
    }
  }
  size_t rows = 0;
  for (int type : qmx::view::RowTypes()) rows += qmx::view::RowsOf(type).size();
  EXPECT_EQ(rows, seen.size()) << "a row made no value";
}

}  // namespace
