// The JSON API, /metrics and control over a polling site, without sockets:
// answers carry the values the simulated controllers report, and bad requests
// get a 4xx with a message, never an exception or a crash.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <ctime>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>
#include <thread>

#include "input/checked_json.h"
#include "web_site.h"

extern "C" int __wrap_usleep(useconds_t) { return 0; }

namespace {

using k417t_web_test::Site;
using qmx::web::Request;
using qmx::web::Response;
using qmx::web::WebApi;

Request Get(const std::string& path, const std::string& query = "") {
  Request r;
  r.method = "GET";
  r.path = path;
  r.query = query;
  return r;
}

Json::Value Body(const Response& r) {
  Json::Value v;
  std::string err;
  EXPECT_TRUE(qmx::json::Parse(r.body, "answer", v, err)) << err << "\n" << r.body;
  return v;
}

const Json::Value* Unit(const Json::Value& device, unsigned id) {
  for (const Json::Value& u : device["units"])
    if (u["data_id"].asUInt() == id) return &u;
  return nullptr;
}

class WebApiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    site_ = std::make_unique<Site>(1, "web_api_test");
    api_ = std::make_unique<WebApi>(*site_->view, opts_);
    site_->host->Start();
    ASSERT_TRUE(site_->WaitRounds(3));
  }
  void TearDown() override {
    site_->host->Shutdown();
    site_.reset();
  }
  qmx::web::ApiOptions opts_;
  std::unique_ptr<WebApi> api_;
  std::unique_ptr<Site> site_;
};

TEST_F(WebApiTest, DeviceAnswersWithTheSimulatedValuesOfEveryUnit) {
  const Response r = api_->Handle(Get("/api/devices/100"));
  ASSERT_EQ(r.status, 200) << r.body;
  const Json::Value d = Body(r);
  EXPECT_TRUE(d["answering"].asBool());
  EXPECT_GE(d["rounds"].asUInt64(), 3u);
  // The site name is returned as it is, a JSON string, for the page to show as text.
  EXPECT_EQ(d["name"].asString(), k417t_web_test::kName);
  EXPECT_EQ(d["health"].asString(), "healthy");
  EXPECT_EQ(d["severity"].asString(), "none");
  EXPECT_EQ(d["alarm_count"].asUInt(), 0u);
  EXPECT_TRUE(d["model"].isString() && d["version"].isString());
  const Json::Value* ac = Unit(d, 101);
  const Json::Value* dc = Unit(d, 102);
  const Json::Value* rc = Unit(d, 100);
  ASSERT_TRUE(ac && dc && rc) << r.body;
  // The keys every front end uses.
  EXPECT_EQ((*ac)["kind"].asString(), "ac");
  EXPECT_EQ((*dc)["type"].asString(), "k417t-dc");
  EXPECT_NEAR((*ac)["values"]["channel_0_a"].asDouble(), 230.0, 1e-3);
  EXPECT_NEAR((*dc)["values"]["v"].asDouble(), 53.5, 1e-3);
  EXPECT_NEAR((*rc)["values"]["module_0_current"].asDouble(), 40.0, 1e-3);
  EXPECT_NEAR((*rc)["values"]["total_current"].asDouble(), 79.0, 1e-3);
  EXPECT_TRUE((*rc)["values"]["module_2_state"].isString());
  EXPECT_TRUE((*rc)["values"]["module_2_fault"].isString());
  // Every unit's fields are its values in the same order, with the labels
  // and units the page shows.
  for (const Json::Value* u : {ac, dc, rc}) {
    const Json::Value& values = (*u)["values"];
    const Json::Value& fields = (*u)["fields"];
    ASSERT_EQ(fields.size(), values.size()) << *u;
    std::vector<std::string> keys;
    for (const Json::Value& f : fields) {
      keys.push_back(f["key"].asString());
      EXPECT_EQ(f["value"], values[f["key"].asString()]) << f;
      EXPECT_FALSE(f["label"].asString().empty()) << f;
      EXPECT_FALSE(f["group"].asString().empty()) << f;
      if (f["quantity"].asString() == "state") {
        EXPECT_TRUE(f["alert"].isBool() && f["raw"].isArray()) << f;
      }
    }
    EXPECT_EQ(std::set<std::string>(keys.begin(), keys.end()).size(), keys.size()) << *u;
    EXPECT_TRUE((*u)["time"].isIntegral()) << *u;
  }
  for (const Json::Value& f : (*dc)["fields"])
    if (f["key"].asString() == "v") {
      EXPECT_EQ(f["label"].asString(), "Output voltage");
      EXPECT_EQ(f["unit"].asString(), "V");
    }
  // The round's timing against what the wire needs, counted by the view.
  EXPECT_GT(d["round"]["wire_limit_ms"].asDouble(), 0.0);
  EXPECT_GT(d["round"]["ratio"].asDouble(), 0.0);
  EXPECT_GT(d["line_stats"]["answers"].asUInt64(), 0u);

  const Json::Value list = Body(api_->Handle(Get("/api/devices")));
  ASSERT_EQ(list["devices"].size(), 1u);
  EXPECT_EQ(list["devices"][0]["id"].asUInt(), 100u);
  EXPECT_EQ(list["devices"][0]["name"].asString(), k417t_web_test::kName);
  EXPECT_EQ(list["devices"][0]["health"].asString(), "healthy");
}

TEST_F(WebApiTest, BadPathsIdsAndMethodsGetClientErrors) {
  struct Case {
    const char* method;
    const char* path;
    const char* query;
    int status;
  } cases[] = {
      {"GET", "/api/devices/999", "", 404},
      {"GET", "/api/devices/abc", "", 400},
      {"GET", "/api/devices/-1", "", 400},
      {"GET", "/api/devices/99999999999999999999", "", 400},
      {"GET", "/api/devices/4294967296", "", 400},
      {"GET", "/api/devices/100/values", "", 404},
      {"GET", "/api/nothing", "", 404},
      {"GET", "/../etc/passwd", "", 404},
      {"GET", "/vendor/../index.html", "", 404},
      {"GET", "/index.html/", "", 404},
      {"DELETE", "/api/devices", "", 405},
      {"POST", "/metrics", "", 405},
      {"PUT", "/", "", 405},
      {"GET", "/api/devices/100/control", "", 405},
      {"GET", "/api/alarms", "a=%zz", 400},
      {"GET", "/api/alarms", "a=%4", 400},
      {"GET", "/api/events", "from=1&from=2", 400},
  };
  for (const Case& c : cases) {
    Request r = Get(c.path, c.query);
    r.method = c.method;
    const Response a = api_->Handle(r);
    EXPECT_EQ(a.status, c.status) << c.method << " " << c.path << "?" << c.query;
    EXPECT_FALSE(Body(a)["error"].asString().empty()) << c.path;
  }
  EXPECT_EQ(api_->Handle(Get("/api/devices/100/control")).allow, "POST");
  // The built-in page, and only it.
  const Response page = api_->Handle(Get("/"));
  EXPECT_EQ(page.status, 200);
  EXPECT_NE(page.content_type.find("text/html"), std::string::npos);
  EXPECT_EQ(api_->Handle(Get("/vendor/uplot/uPlot.iife.min.js")).status, 200);
}

TEST_F(WebApiTest, RangesAreCheckedBeforeTheStoreIsAsked) {
  const std::string now = std::to_string(std::time(nullptr));
  struct Case {
    const char* path;
    std::string query;
    int status;
  } cases[] = {
      {"/api/events", "from=10&to=5", 400},
      {"/api/events", "from=abc", 400},
      {"/api/events", "from=1e9", 400},
      {"/api/events", "from=0&to=99999999999999", 400},              // too many digits
      {"/api/events", "from=-9000000000000&to=9000000000000", 400},  // too long a range
      {"/api/events", "device=999", 404},
      {"/api/events", "device=x", 400},
      {"/api/events", "colour=red", 400},
      {"/api/history", "", 400},  // no unit
      {"/api/history", "unit=", 400},
      {"/api/history", "unit=55", 404},
      {"/api/history", "unit=102&from=0&to=" + now, 400},  // 56 years
      {"/api/history", "unit=102&to=5&from=6", 400},
      {"/api/history", "unit=102&limit=5", 400},
      {"/api/events", "from=0&to=0", 200},
      {"/api/history", "unit=102", 200},
  };
  for (const Case& c : cases) {
    const Response a = api_->Handle(Get(c.path, c.query));
    EXPECT_EQ(a.status, c.status) << c.path << "?" << c.query << " -> " << a.body;
  }
}

TEST_F(WebApiTest, HistoryCarriesTheStoredPointsThinnedToTheLimit) {
  ASSERT_TRUE(site_->WaitRounds(6));
  site_->host->history()->Flush();
  const int64_t now = std::time(nullptr);
  Json::Value h =
      Body(api_->Handle(Get("/api/history", "unit=102&from=" + std::to_string(now - 3600) +
                                                "&to=" + std::to_string(now + 1))));
  ASSERT_GE(h["time"].size(), 1u) << h;
  ASSERT_EQ(h["series"].size(), 2u);
  EXPECT_EQ(h["series"][0]["key"].asString(), "v");
  EXPECT_EQ(h["series"][0]["values"].size(), h["time"].size());
  EXPECT_NEAR(h["series"][0]["values"][0].asDouble(), 53.5, 1e-3);
  // A store with many records over a long range: at most max_points.
  qmx::store::HistoryStore& store = *site_->host->history();
  const std::vector<unsigned char> image = site_->host->LastImage(102, 5093);
  ASSERT_EQ(image.size(), 238u);
  for (int64_t t = 0; t < 5000; ++t) {
    store.AppendRecord(102, 5093, now - 7 * 86400 + t * 120, image.data(), image.size());
    if (t % 1000 == 999) store.Flush();  // the pending bound is 4096
  }
  opts_.max_points = 100;
  WebApi small(*site_->view, opts_);
  h = Body(small.Handle(Get("/api/history", "unit=102&from=" + std::to_string(now - 7 * 86400) +
                                                "&to=" + std::to_string(now))));
  EXPECT_LE(h["time"].size(), 100u);
  EXPECT_GE(h["time"].size(), 90u);
  EXPECT_TRUE(h["thinned"].asBool());
  for (Json::ArrayIndex k = 1; k < h["time"].size(); ++k)
    EXPECT_LT(h["time"][k - 1].asInt64(), h["time"][k].asInt64());
  // AC: a series per measured quantity under the keys of the unit's values
  // (states and plain numbers are not charted), labelled as its fields are.
  h = Body(api_->Handle(Get("/api/history", "unit=101")));
  std::vector<std::string> keys;
  for (const Json::Value& s : h["series"]) keys.push_back(s["key"].asString());
  EXPECT_EQ(keys, (std::vector<std::string>{"channel_0_a", "channel_0_b", "channel_0_c",
                                            "channel_0_f", "ia", "ib", "ic"}))
      << h;
  EXPECT_EQ(h["series"][0]["label"].asString(), "Input 1 voltage AB/A");
  EXPECT_EQ(h["series"][0]["unit"].asString(), "V");
  EXPECT_EQ(h["series"][3]["unit"].asString(), "Hz");
  EXPECT_NEAR(h["series"][0]["values"][0].asDouble(), 230.0, 1e-3);
}

// A DC image with its voltage (v, a little-endian float at byte 4) set.
std::vector<unsigned char> WithVoltage(std::vector<unsigned char> image, float volts) {
  uint32_t bits = 0;
  std::memcpy(&bits, &volts, 4);
  for (int k = 0; k < 4; ++k) image[4 + k] = static_cast<unsigned char>(bits >> (8 * k));
  return image;
}

// The "v" series of a history answer.
const Json::Value& Volts(const Json::Value& h) {
  for (const Json::Value& s : h["series"])
    if (s["key"].asString() == "v") return s["values"];
  static const Json::Value none;
  return none;
}

// A DC unit's 20 records over the last 20 minutes with an undervoltage of
// 2.5 minutes among them, charted over a week with room for a few points:
// the dip's lowest value and the newest value are in the chart, and the
// answer tells the records stored from the points sent.
TEST_F(WebApiTest, ThinnedHistoryKeepsTheDipAndTheNewestValue) {
  const std::vector<unsigned char> image = site_->host->LastImage(102, 5093);
  ASSERT_EQ(image.size(), 238u);
  // Two days ago, so the site's own rounds stay out of the range.
  const int64_t now = std::time(nullptr) - 2 * 86400;
  const int64_t t0 = now - 20 * 60;
  const float volts[20] = {53.5f,  53.62f, 53.41f, 53.16f, 53.55f, 53.7f,  53.48f,
                           53.52f, 53.6f,  53.44f, 53.58f, 46.4f,  46.23f, 46.31f,
                           53.3f,  53.5f,  53.66f, 53.71f, 53.6f,  53.87f};
  qmx::store::HistoryStore& store = *site_->host->history();
  for (int k = 0; k < 20; ++k) {
    // The dip: three records 75 s apart.
    const int64_t t = t0 + k * 60 + (k >= 12 && k <= 13 ? (k - 11) * 15 : 0);
    const std::vector<unsigned char> one = WithVoltage(image, volts[k]);
    store.AppendRecord(102, 5093, t, one.data(), one.size());
  }
  store.Flush();
  const int64_t newest = t0 + 19 * 60;
  opts_.clock = [now] { return now; };
  const std::string week =
      "unit=102&from=" + std::to_string(now - 7 * 86400) + "&to=" + std::to_string(now);
  auto lowest = [](const Json::Value& values) {
    double low = 1e9;
    for (const Json::Value& x : values)
      if (x.isDouble()) low = std::min(low, x.asDouble());
    return low;
  };
  for (size_t max_points : {8u, 12u}) {
    opts_.max_points = max_points;
    WebApi small(*site_->view, opts_);
    const Json::Value h = Body(small.Handle(Get("/api/history", week)));
    EXPECT_EQ(h["records"].asUInt(), 20u) << h;
    EXPECT_EQ(h["points"].asUInt(), h["time"].size());
    EXPECT_LE(h["time"].size(), max_points);
    EXPECT_TRUE(h["thinned"].asBool());
    EXPECT_TRUE(h["held_to_now"].asBool());
    const Json::Value& v = Volts(h);
    ASSERT_EQ(v.size(), h["time"].size()) << h;
    EXPECT_NEAR(lowest(v), 46.23, 1e-3) << h;
    // The newest record, and its value carried to now.
    const Json::ArrayIndex n = h["time"].size();
    ASSERT_GE(n, 2u);
    EXPECT_EQ(h["time"][n - 2].asInt64(), newest) << h;
    EXPECT_EQ(h["time"][n - 1].asInt64(), now);
    EXPECT_NEAR(v[n - 1].asDouble(), 53.87, 1e-3);
    for (Json::ArrayIndex k = 1; k < n; ++k)
      EXPECT_LT(h["time"][k - 1].asInt64(), h["time"][k].asInt64()) << h;
  }
  // During the undervoltage: what is carried to now is the low value.
  const int64_t dip_end = t0 + 13 * 60 + 30;
  opts_.max_points = 8;
  opts_.clock = [dip_end] { return dip_end + 20; };
  WebApi during(*site_->view, opts_);
  Json::Value h =
      Body(during.Handle(Get("/api/history", "unit=102&from=" + std::to_string(now - 7 * 86400) +
                                                 "&to=" + std::to_string(dip_end))));
  EXPECT_EQ(h["records"].asUInt(), 14u) << h;
  ASSERT_GE(Volts(h).size(), 1u);
  EXPECT_NEAR(Volts(h)[Volts(h).size() - 1].asDouble(), 46.31, 1e-3) << h;
  EXPECT_EQ(h["time"][h["time"].size() - 1].asInt64(), dip_end);
  // Room for every record: nothing is dropped, so nothing is thinned.
  opts_.max_points = 2000;
  opts_.clock = [now] { return now; };
  WebApi roomy(*site_->view, opts_);
  h = Body(roomy.Handle(Get("/api/history", week)));
  EXPECT_EQ(h["records"].asUInt(), 20u);
  EXPECT_FALSE(h["thinned"].asBool()) << h;
  EXPECT_EQ(h["points"].asUInt(), 21u);  // the records and the newest carried to now
  EXPECT_EQ(h["time"].size(), 21u);
}

// 5,000 records in a week: "records" counts them all while the points stay
// within max_points; over the read limit the newest are charted and the
// answer says so.
TEST_F(WebApiTest, HistoryCountsEveryRecordOfTheRange) {
  const std::vector<unsigned char> image = site_->host->LastImage(102, 5093);
  ASSERT_EQ(image.size(), 238u);
  const int64_t now = std::time(nullptr) - 3 * 86400;
  qmx::store::HistoryStore& store = *site_->host->history();
  for (int64_t k = 0; k < 5000; ++k) {
    const std::vector<unsigned char> one =
        WithVoltage(image, 53.0f + static_cast<float>(k % 10) * 0.1f);
    store.AppendRecord(102, 5093, now - 7 * 86400 + 60 + k * 120, one.data(), one.size());
    if (k % 1000 == 999) store.Flush();  // the pending bound is 4096
  }
  store.Flush();
  const int64_t newest = now - 7 * 86400 + 60 + 4999 * 120;
  const std::string week =
      "unit=102&from=" + std::to_string(now - 7 * 86400) + "&to=" + std::to_string(now);
  opts_.clock = [now] { return now; };
  opts_.max_points = 100;
  WebApi small(*site_->view, opts_);
  Json::Value h = Body(small.Handle(Get("/api/history", week)));
  EXPECT_EQ(h["records"].asUInt(), 5000u);
  EXPECT_EQ(h["points"].asUInt(), h["time"].size());
  EXPECT_LE(h["time"].size(), 100u);
  EXPECT_GE(h["time"].size(), 50u);
  EXPECT_TRUE(h["thinned"].asBool());
  EXPECT_FALSE(h["truncated"].asBool());
  EXPECT_EQ(h["time"][h["time"].size() - 2].asInt64(), newest);
  // More records than one answer reads: the newest, and a note saying so.
  opts_.max_records = 1000;
  WebApi capped(*site_->view, opts_);
  h = Body(capped.Handle(Get("/api/history", week)));
  EXPECT_EQ(h["records"].asUInt(), 5000u);
  EXPECT_TRUE(h["truncated"].asBool());
  EXPECT_TRUE(h["thinned"].asBool());
  EXPECT_NE(h["note"].asString().find("1000 of 5000"), std::string::npos) << h["note"];
  EXPECT_LE(h["time"].size(), 100u);
  EXPECT_GE(h["time"][0].asInt64(), newest - 999 * 120);  // no value from before the newest 1000
  EXPECT_EQ(h["time"][h["time"].size() - 2].asInt64(), newest);
}

TEST_F(WebApiTest, EventsAndAlarmsComeFromTheUnitsOfTheDevice) {
  // An alarm event of one of the device's units, as a round would store it.
  qmx::store::AlarmEvent e;
  e.time = std::time(nullptr);
  e.data_id = 102;
  e.key = "DC_1";
  e.code = "01001";
  e.name = "fuse \"blown\" <i>";
  e.text = "line\nbreak";
  e.raised = true;
  e.level = 1;
  site_->host->history()->AppendEvent(e);
  site_->host->history()->Flush();
  const Json::Value ev = Body(api_->Handle(Get("/api/events", "device=100")));
  ASSERT_EQ(ev["events"].size(), 1u) << ev;
  EXPECT_EQ(ev["events"][0]["name"].asString(), e.name);
  EXPECT_EQ(ev["events"][0]["text"].asString(), e.text);
  EXPECT_EQ(ev["events"][0]["state"].asString(), "raised");
  EXPECT_EQ(ev["events"][0]["level"].asUInt(), 1u);
  EXPECT_EQ(ev["events"][0]["severity"].asString(), "critical");
  EXPECT_EQ(ev["events"][0]["device"].asUInt(), 100u);
  // More events than an answer takes: the newest, flagged.
  for (int k = 0; k < 30; ++k) site_->host->history()->AppendEvent(e);
  site_->host->history()->Flush();
  opts_.max_events = 10;
  WebApi small(*site_->view, opts_);
  const Json::Value few = Body(small.Handle(Get("/api/events", "device=100")));
  EXPECT_EQ(few["events"].size(), 10u);
  EXPECT_TRUE(few["truncated"].asBool());
  EXPECT_EQ(Body(api_->Handle(Get("/api/alarms")))["alarms"].size(), 0u);
}

TEST_F(WebApiTest, MetricsNameEveryFamilyAndEscapeLabels) {
  // An alarm on the board, with a key that needs escaping in a label.
  qmx::store::AlarmEvent e;
  e.time = std::time(nullptr);
  e.data_id = 102;
  e.key = "DC\"1";
  e.seq = 2;
  e.level = 1;
  e.code = "01001";
  e.name = "fuse";
  e.raised = true;
  site_->view->Board().OnEvents(100, {e}, e.time);
  const Response m = api_->Handle(Get("/metrics"));
  ASSERT_EQ(m.status, 200);
  EXPECT_NE(m.content_type.find("version=0.0.4"), std::string::npos);
  const std::string name = qmx::web::LabelValue(k417t_web_test::kName);
  for (const std::string& want :
       {std::string("k417t_up{device=\"100\"} 1"),
        "k417t_device_info{device=\"100\",name=\"" + name +
            "\",line=\"line-100:a\",model=\"K417T\",version=\"1.20\"} 1",
        std::string("k417t_dc_voltage_volts{device=\"100\",unit=\"102\"} 53.5"),
        std::string("k417t_rectifier_module_current_amperes{device=\"100\",module=\"1\"} 40"),
        std::string("k417t_rectifier_module_fault{device=\"100\",module=\"1\"} 0"),
        std::string(
            "k417t_ac_voltage_volts{device=\"100\",unit=\"101\",input=\"1\",phase=\"a\"} 230"),
        std::string("k417t_rectifier_current_amperes{device=\"100\"} 79"),
        std::string("k417t_ac_input_alert{device=\"100\",unit=\"101\",input=\"1\",phase=\"f\"} 0"),
        std::string("k417t_dc_voltage_alert{device=\"100\",unit=\"102\"} 0"),
        std::string("k417t_round_duration_seconds_bucket{device=\"100\",le=\"0.25\"}"),
        std::string("k417t_round_duration_seconds_bucket{device=\"100\",le=\"8\"}"),
        std::string("k417t_round_duration_seconds_count{device=\"100\"}"),
        std::string("k417t_line_timeouts_total{line=\"line-100:a\"} 0"),
        std::string("k417t_history_pending_writes "),
        // The board: the alarm by its state, the device's maintenance, the
        // figures of the alarm load.
        std::string("k417t_alarm_state{device=\"100\",unit=\"102\",key=\"DC\\\"1\",seq=\"2\","
                    "code=\"01001\",severity=\"critical\",state=\"active_unacknowledged\"} 1"),
        std::string("k417t_device_maintenance{device=\"100\"} 0"),
        std::string("\nk417t_alarms_annunciated_10min 1\n"), std::string("\nk417t_alarm_flood 0\n"),
        std::string("\nk417t_alarms_standing 1\n"), std::string("\nk417t_alarms_stale 0\n"),
        std::string("\nk417t_alarms_unacknowledged 1\n"),
        std::string("\nk417t_alarms_chattering 0\n"), std::string("\nk417t_alarms_shelved 0\n"),
        std::string("\nk417t_alarms_suppressed 0\n"), std::string("\nk417t_alarms_unknown 0\n"),
        std::string("\nk417t_alarm_annunciations_total 1\n"),
        std::string("# TYPE k417t_alarm_transitions_total counter\n")})
    EXPECT_NE(m.body.find(want), std::string::npos) << want << "\n" << m.body;
  // The rectifier group is the device's own unit: no unit label repeating it.
  EXPECT_EQ(m.body.find("k417t_rectifier_output_voltage_volts{device=\"100\",unit="),
            std::string::npos);

  // Every family has HELP and TYPE before its samples, every sample belongs
  // to the family declared last (a histogram's _bucket, _sum and _count to
  // it), label values are closed quoted strings, each series is there once
  // and its value is a number.
  std::map<std::string, std::string> help, type;
  std::set<std::string> series;
  std::string family;
  std::istringstream lines(m.body);
  for (std::string line; std::getline(lines, line);) {
    ASSERT_FALSE(line.empty());
    if (line.rfind("# HELP ", 0) == 0) {
      std::istringstream w(line.substr(7));
      w >> family;
      std::string text;
      std::getline(w, text);
      EXPECT_FALSE(text.empty()) << line;
      EXPECT_EQ(help.count(family), 0u) << "family declared twice: " << family;
      help[family] = text;
      continue;
    }
    if (line.rfind("# TYPE ", 0) == 0) {
      std::istringstream w(line.substr(7));
      std::string f, t;
      w >> f >> t;
      EXPECT_EQ(f, family) << "TYPE without its HELP: " << line;
      EXPECT_TRUE(t == "gauge" || t == "counter" || t == "histogram") << line;
      type[f] = t;
      continue;
    }
    ASSERT_NE(line[0], '#') << line;
    const size_t end = line.find_first_of("{ ");
    ASSERT_NE(end, std::string::npos) << line;
    const std::string sample = line.substr(0, end);
    std::string owner = sample;
    for (const char* suffix : {"_bucket", "_sum", "_count"}) {
      const std::string base = sample.size() > std::strlen(suffix)
                                   ? sample.substr(0, sample.size() - std::strlen(suffix))
                                   : "";
      if (sample.size() > std::strlen(suffix) &&
          sample.compare(base.size(), std::string::npos, suffix) == 0 && type.count(base) != 0 &&
          type[base] == "histogram")
        owner = base;
    }
    EXPECT_EQ(owner, family) << "sample outside its family: " << line;
    EXPECT_EQ(type.count(owner), 1u) << "sample of an undeclared family: " << line;
    size_t at = end;
    if (line[at] == '{') {
      // name="value" pairs; a value ends at the first unescaped quote.
      ++at;
      while (at < line.size() && line[at] != '}') {
        const size_t eq = line.find("=\"", at);
        ASSERT_NE(eq, std::string::npos) << line;
        for (size_t k = at; k < eq; ++k)
          ASSERT_TRUE(std::isalnum(static_cast<unsigned char>(line[k])) || line[k] == '_') << line;
        at = eq + 2;
        while (at < line.size() && line[at] != '"') at += line[at] == '\\' ? 2 : 1;
        ASSERT_LT(at, line.size()) << "unclosed label value: " << line;
        ++at;
        if (at < line.size() && line[at] == ',') ++at;
      }
      ASSERT_LT(at, line.size()) << line;
      ++at;
    }
    ASSERT_EQ(line[at], ' ') << line;
    EXPECT_TRUE(series.insert(line.substr(0, at)).second) << "series twice: " << line;
    const std::string value = line.substr(at + 1);
    char* stop = nullptr;
    std::strtod(value.c_str(), &stop);
    EXPECT_TRUE(!value.empty() && *stop == '\0') << line;
  }
  EXPECT_GE(type.size(), 25u);
  for (const auto& [f, t] : type) EXPECT_EQ(help.count(f), 1u) << f;
  EXPECT_EQ(qmx::web::LabelValue("a\\b\"c\nd"), "a\\\\b\\\"c\\nd");
}

// An active point carries the board's members beside its own, in the
// device's answer and in /api/alarms; the board's own answer lists it with
// the figures of the alarm load.
TEST(WebApiAlarms, ActivePointsCarryTheBoardsState) {
  Json::Value scen = k417t_test::SmallScenario(1);
  scen["dc"][0]["v_state"] = 1;  // the first DC unit's voltage alarm, standing
  Site site(1, "web_api_alarms", scen);
  WebApi api(*site.view, qmx::web::ApiOptions{});
  site.host->Start();
  ASSERT_TRUE(site.WaitRounds(2));
  std::optional<qmx::view::DeviceView> d = site.view->Device(100);
  ASSERT_TRUE(d && !d->alarms.empty());
  // Before the board heard of it: the point as it was, its state empty.
  Json::Value before = Body(api.Handle(Get("/api/alarms")));
  ASSERT_EQ(before["alarms"].size(), d->alarms.size()) << before;
  EXPECT_EQ(before["alarms"][0]["state"].asString(), "");
  EXPECT_FALSE(before["alarms"][0]["acknowledged"].asBool());
  std::vector<qmx::store::AlarmEvent> raised;
  for (const auto& a : d->alarms) raised.push_back(qmx::store::EventOf(a, true, a.since));
  site.view->Board().OnEvents(100, raised, std::time(nullptr));
  const auto& first = d->alarms.front();
  const std::string id = qmx::view::AlarmIdText(first.data_id, first.key, first.seq);
  qmx::view::AlarmAction ack{"http", "otto", "", "acknowledge", 100, id, "seen", 0};
  ASSERT_TRUE(site.view->Act(ack).ok);
  const Json::Value device = Body(api.Handle(Get("/api/devices/100")));
  const Json::Value all = Body(api.Handle(Get("/api/alarms")));
  for (const Json::Value* list : {&device["alarms"], &all["alarms"]}) {
    ASSERT_EQ(list->size(), d->alarms.size()) << *list;
    const Json::Value& a = (*list)[0];
    // The members it had stay as they were.
    EXPECT_EQ(a["data_id"].asUInt(), first.data_id);
    EXPECT_EQ(a["key"].asString(), first.key);
    EXPECT_EQ(a["since"].asInt64(), first.since);
    EXPECT_EQ(a["device"].asUInt(), 100u);
    EXPECT_EQ(a["id"].asString(), id);
    EXPECT_EQ(a["state"].asString(), "active_acknowledged") << a;
    EXPECT_TRUE(a["acknowledged"].asBool());
    EXPECT_EQ(a["ack"]["who"].asString(), "otto");
    EXPECT_FALSE(a["shelved"].asBool());
    EXPECT_TRUE(a["shelf"].isNull());
    for (const char* m : {"maintenance", "unknown", "chattering", "annunciated"})
      EXPECT_TRUE(a[m].isBool()) << m;
    EXPECT_TRUE(a["suppressed_by"].isString() && a["attached"].isArray());
    EXPECT_TRUE(a["name_en"].isString() && a["place_en"].isString());
  }
  const Json::Value board = Body(api.Handle(Get("/api/alarm-board")));
  ASSERT_EQ(board["alarms"].size(), d->alarms.size()) << board;
  EXPECT_EQ(board["alarms"][0]["device_name"].asString(), k417t_web_test::kName);
  EXPECT_EQ(board["kpis"]["standing"].asUInt(), d->alarms.size());
  EXPECT_EQ(board["kpis"]["unacknowledged"].asUInt(), d->alarms.size() - 1);
  EXPECT_EQ(board["kpis"]["flood_per_10min"].asInt(), 10);
  EXPECT_TRUE(board["maintenance"].isArray() && board["maintenance"].empty());
  EXPECT_TRUE(board["time"].isIntegral());
  const Json::Value list = Body(api.Handle(Get("/api/devices")));
  EXPECT_EQ(list["devices"][0]["unacknowledged"].asUInt(), d->alarms.size() - 1);
  EXPECT_TRUE(list["devices"][0]["maintenance"].isNull());
  EXPECT_EQ(api.Handle(Get("/api/alarm-board", "x=1")).status, 200);
  Request post = Get("/api/alarm-board");
  post.method = "POST";
  EXPECT_EQ(api.Handle(post).status, 405);
  site.host->Shutdown();
}

// A sample's number in the text, NaN when the series is not there.
double Sample(const std::string& metrics, const std::string& series) {
  const size_t at = metrics.find("\n" + series + " ");
  if (at == std::string::npos) return std::nan("");
  return std::strtod(metrics.c_str() + at + series.size() + 2, nullptr);
}

template <class Pred>
bool Eventually(Pred pred) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(40);
  while (std::chrono::steady_clock::now() < end) {
    if (pred()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

// While the controller does not answer, its last readings are not exported
// as if they were live (only its state, port, line counters and alarms
// are); the round that brought it back began before the loss and is not
// timed as a round; with its answers back the readings come back.
TEST_F(WebApiTest, LostControllerExportsNoReadingsAndItsOutageIsNoRound) {
  auto metrics = [&] { return api_->Handle(Get("/metrics")).body; };
  std::vector<std::string> readings;
  for (const auto& [name, help] : qmx::view::MetricHelp()) readings.push_back("\n" + name + "{");
  const std::string live = metrics();
  EXPECT_NE(live.find("\nk417t_dc_voltage_volts{device=\"100\",unit=\"102\"} 53.5\n"),
            std::string::npos)
      << live;

  site_->power[0]->SetSilent(true);
  ASSERT_TRUE(Eventually([&] { return site_->view->Device(100)->stale; }));
  const std::string lost = metrics();
  EXPECT_EQ(Sample(lost, "k417t_up{device=\"100\"}"), 0) << lost;
  EXPECT_EQ(Sample(lost, "k417t_values_stale{device=\"100\"}"), 1) << lost;
  EXPECT_EQ(Sample(lost, "k417t_alarms_active{device=\"100\"}"), 1) << lost;
  EXPECT_GT(Sample(lost, "k417t_line_timeouts_total{line=\"line-100:a\"}"), 0) << lost;
  for (const char* kept : {"\nk417t_device_info{device=\"100\",",
                           "\nk417t_alarm_active{device=\"100\",unit=\"100\",key=\"comm\","})
    EXPECT_NE(lost.find(kept), std::string::npos) << kept << "\n" << lost;
  for (const std::string& reading : readings)
    EXPECT_EQ(lost.find(reading), std::string::npos) << reading << "\n" << lost;
  // Every family is still declared, with or without samples.
  for (const auto& [name, help] : qmx::view::MetricHelp())
    EXPECT_NE(lost.find("# TYPE " + name + " gauge\n"), std::string::npos) << name;

  // Silent for well over the slowest bucket but one (2 s) before answering again.
  const uint64_t rounds_lost = site_->host->rounds(100);
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  site_->power[0]->SetSilent(false);
  const std::string before = "k417t_round_duration_seconds";
  const double counted = Sample(live, before + "_count{device=\"100\"}");
  ASSERT_TRUE(Eventually([&] {
    const std::string m = metrics();
    return site_->host->rounds(100) >= rounds_lost + 2 &&
           Sample(m, before + "_count{device=\"100\"}") >= counted + 1 &&
           Sample(m, "k417t_alarms_active{device=\"100\"}") == 0;
  }));
  const std::string back = metrics();
  EXPECT_EQ(Sample(back, "k417t_up{device=\"100\"}"), 1) << back;
  EXPECT_EQ(Sample(back, "k417t_dc_voltage_volts{device=\"100\",unit=\"102\"}"), 53.5) << back;
  // Rounds at this line's pace take milliseconds; one of over 2.5 s is the outage.
  const double count = Sample(back, before + "_count{device=\"100\"}");
  EXPECT_EQ(Sample(back, before + "_bucket{device=\"100\",le=\"2\"}"), count) << back;
  EXPECT_LT(Sample(back, before + "_sum{device=\"100\"}"), 2.0) << back;
}

TEST_F(WebApiTest, ControlNeedsTheSwitchTheTokenAndAWellFormedBody) {
  Request r;
  r.method = "POST";
  r.path = "/api/devices/100/control";
  r.content_type = "application/json";
  r.body = "{\"code\":100}";
  r.authorization = "Bearer 0123456789abcdef";
  EXPECT_EQ(api_->Handle(r).status, 403);  // off by default

  opts_.control = true;
  opts_.token = "0123456789abcdef";
  WebApi on(*site_->view, opts_);
  const Response ok = on.Handle(r);
  ASSERT_EQ(ok.status, 200) << ok.body;
  EXPECT_EQ(Body(ok)["result"].asInt(), 7);  // the scenario's return code for command 100

  struct Case {
    const char* auth;
    const char* type;
    const char* body;
    const char* path;
    int status;
  } cases[] = {
      {"", "application/json", "{\"code\":100}", "/api/devices/100/control", 401},
      {"Bearer 0123456789abcdeF", "application/json", "{\"code\":100}", "/api/devices/100/control",
       401},
      {"Bearer 0123456789abcdef0", "application/json", "{\"code\":100}", "/api/devices/100/control",
       401},
      {"Bearer ", "application/json", "{\"code\":100}", "/api/devices/100/control", 401},
      {"Basic 0123456789abcdef", "application/json", "{\"code\":100}", "/api/devices/100/control",
       401},
      {"Bearer 0123456789abcdef", "text/plain", "{\"code\":100}", "/api/devices/100/control", 415},
      {"Bearer 0123456789abcdef", "application/json", "{\"code\":101}", "/api/devices/100/control",
       400},
      {"Bearer 0123456789abcdef", "application/json", "{\"code\":118}", "/api/devices/100/control",
       400},
      {"Bearer 0123456789abcdef", "application/json", "{\"code\":\"100\"}",
       "/api/devices/100/control", 400},
      {"Bearer 0123456789abcdef", "application/json", "{\"code\":1e30}", "/api/devices/100/control",
       400},
      {"Bearer 0123456789abcdef", "application/json", "{\"code\":106}", "/api/devices/100/control",
       400},
      {"Bearer 0123456789abcdef", "application/json", "{\"code\":106,\"byte\":256}",
       "/api/devices/100/control", 400},
      {"Bearer 0123456789abcdef", "application/json", "{\"code\":100,\"byte\":1}",
       "/api/devices/100/control", 400},
      {"Bearer 0123456789abcdef", "application/json", "{\"code\":100,\"code\":102}",
       "/api/devices/100/control", 400},
      {"Bearer 0123456789abcdef", "application/json", "{\"code\":100,\"x\":1}",
       "/api/devices/100/control", 400},
      {"Bearer 0123456789abcdef", "application/json", "[100]", "/api/devices/100/control", 400},
      {"Bearer 0123456789abcdef", "application/json", "", "/api/devices/100/control", 400},
      {"Bearer 0123456789abcdef", "application/json", "[[[[[[[[[[[[]]]]]]]]]]]]",
       "/api/devices/100/control", 400},
      {"Bearer 0123456789abcdef", "application/json", "{\"code\":100}", "/api/devices/7/control",
       404},
  };
  for (const Case& c : cases) {
    Request b = r;
    b.authorization = c.auth;
    b.content_type = c.type;
    b.body = c.body;
    b.path = c.path;
    const Response a = on.Handle(b);
    EXPECT_EQ(a.status, c.status) << c.auth << " " << c.type << " " << c.body << " -> " << a.body;
    EXPECT_FALSE(Body(a)["error"].asString().empty());
  }
  // A browser's request from another page is refused before anything is
  // sent; one from this server's own page (or without Origin) is taken.
  struct OriginCase {
    const char* origin;
    const char* host;
    int status;
  } origins[] = {
      {"http://evil.example", "gateway:8080", 403},
      {"http://gateway:8081", "gateway:8080", 403},
      {"https://gateway:8080.evil", "gateway:8080", 403},
      {"null", "gateway:8080", 403},
      {"", "gateway:8080", 403},
      {"gateway:8080", "gateway:8080", 403},
      {"http://gateway:8080", "", 403},
  };
  for (const OriginCase& c : origins) {
    Request b = r;
    b.origin = c.origin;
    b.origin_sent = true;
    b.host = c.host;
    EXPECT_EQ(on.Handle(b).status, c.status) << c.origin << " on " << c.host;
  }
  Request same = r;
  same.origin = "http://GATEWAY:8080";
  same.origin_sent = true;
  same.host = "gateway:8080";
  const Response taken = on.Handle(same);
  EXPECT_EQ(taken.status, 200) << taken.body;
  // An empty token never matches, even an empty one.
  opts_.token = "";
  WebApi empty(*site_->view, opts_);
  r.authorization = "Bearer ";
  EXPECT_EQ(empty.Handle(r).status, 401);
}

// The no-value patterns of examples/scenarios/no_values.json (AC ia and ic,
// the rectifier's output and its module's current, DC user values 1 and 2)
// are null in the API and have no sample in /metrics; the values next to
// them are numbers.
TEST(WebApiValues, NoValuePatternsAreNullAndHaveNoSample) {
  Json::Value scen;
  std::string err;
  std::ifstream in(std::string(K417T_EXAMPLES) + "/scenarios/no_values.json");
  std::stringstream text;
  text << in.rdbuf();
  ASSERT_TRUE(qmx::json::Parse(text.str(), "no_values.json", scen, err)) << err;
  scen["dc"][1]["v"] = 53.4;  // the test site's second DC unit
  Site site(1, "web_api_none", scen);
  WebApi api(*site.view, qmx::web::ApiOptions{});
  site.host->Start();
  ASSERT_TRUE(site.WaitRounds(1));
  const Response r = api.Handle(Get("/api/devices/100"));
  ASSERT_EQ(r.status, 200);
  const Json::Value d = Body(r);  // strictly valid JSON
  const Json::Value& ac = (*Unit(d, 101))["values"];
  const Json::Value& rc = (*Unit(d, 100))["values"];
  const Json::Value& dc = (*Unit(d, 102))["values"];
  for (const Json::Value* none : {&ac["ia"], &ac["ic"], &rc["rc_value"], &rc["module_0_current"],
                                  &rc["total_current"], &dc["user_0"], &dc["user_1"]})
    EXPECT_TRUE(none->isNull()) << d;
  EXPECT_EQ(ac["ib"].asDouble(), 0.0);
  EXPECT_EQ(dc["user_2"].asDouble(), 0.0);
  EXPECT_NEAR(dc["v"].asDouble(), 53.5, 1e-3);
  for (const Json::Value& f : (*Unit(d, 102))["fields"])
    if (f["key"].asString() == "user_0") {
      EXPECT_TRUE(f["value"].isNull()) << f;
    }

  const std::string m = api.Handle(Get("/metrics")).body;
  for (const char* none :
       {"k417t_ac_current_amperes{device=\"100\",unit=\"101\",phase=\"a\"}",
        "k417t_ac_current_amperes{device=\"100\",unit=\"101\",phase=\"c\"}",
        "k417t_rectifier_output_voltage_volts{", "k417t_rectifier_current_amperes{",
        "k417t_rectifier_module_current_amperes{",
        "k417t_dc_user_value{device=\"100\",unit=\"102\",index=\"1\"",
        "k417t_dc_user_value{device=\"100\",unit=\"102\",index=\"2\"", " NaN", " +Inf\n", " -Inf"})
    EXPECT_EQ(m.find(none), std::string::npos) << none;
  for (const char* some :
       {"k417t_ac_current_amperes{device=\"100\",unit=\"101\",phase=\"b\"} 0",
        "k417t_dc_user_value{device=\"100\",unit=\"102\",index=\"3\",value_name=\"User value 3\","
        "uom=\"\"} 0",
        "k417t_dc_voltage_volts{device=\"100\",unit=\"102\"} 53.5"})
    EXPECT_NE(m.find(some), std::string::npos) << some << "\n" << m;
}

// Stored records the view cannot read (a wrong length) are left out of the
// history; a stored value that is no value is null there.
TEST(WebApiValues, HistorySkipsUnreadableRecordsAndKeepsNoValueAsNull) {
  Site site(1, "web_api_history");
  WebApi api(*site.view, qmx::web::ApiOptions{});
  site.host->Start();
  ASSERT_TRUE(site.WaitRounds(1));
  qmx::store::HistoryStore& store = *site.host->history();
  std::vector<unsigned char> image = site.host->LastImage(102, 5093);
  ASSERT_EQ(image.size(), 238u);
  const int64_t t0 = std::time(nullptr) - 3000;
  store.AppendRecord(102, 5093, t0, image.data(), image.size());
  const std::vector<unsigned char> odd(100, 0x20);
  store.AppendRecord(102, 5093, t0 + 1, odd.data(), odd.size());
  store.AppendRecord(102, 5093, t0 + 2, image.data(), 237);
  std::memset(image.data() + 4, 0xFF, 4);  // v: four equal bytes
  store.AppendRecord(102, 5093, t0 + 3, image.data(), image.size());
  store.Flush();
  const Json::Value h = Body(api.Handle(Get(
      "/api/history", "unit=102&from=" + std::to_string(t0) + "&to=" + std::to_string(t0 + 3))));
  ASSERT_EQ(h["time"].size(), 2u) << h;
  EXPECT_EQ(h["time"][0].asInt64(), t0);
  EXPECT_EQ(h["time"][1].asInt64(), t0 + 3);
  ASSERT_EQ(h["series"][0]["key"].asString(), "v");
  EXPECT_NEAR(h["series"][0]["values"][0].asDouble(), 53.5, 1e-3);
  EXPECT_TRUE(h["series"][0]["values"][1].isNull()) << h;
  for (const Json::Value& s : h["series"]) EXPECT_EQ(s["values"].size(), 2u) << s;
}

TEST(WebHelpers, QueryStringsDecodeAndRefuseWhatIsMalformed) {
  std::map<std::string, std::string> q;
  std::string err;
  ASSERT_TRUE(qmx::web::ParseQuery("a=1&b=x%20y+z&&c", q, err));
  EXPECT_EQ(q["a"], "1");
  EXPECT_EQ(q["b"], "x y z");
  EXPECT_EQ(q.count("c"), 1u);
  EXPECT_FALSE(qmx::web::ParseQuery("a=%", q, err));
  EXPECT_FALSE(qmx::web::ParseQuery("a=%g1", q, err));
  EXPECT_FALSE(qmx::web::ParseQuery("a=1&a=2", q, err));
  EXPECT_FALSE(qmx::web::ParseQuery(std::string(3000, 'a'), q, err));
  std::string many;
  for (int k = 0; k < 17; ++k) many += "k" + std::to_string(k) + "=1&";
  EXPECT_FALSE(qmx::web::ParseQuery(many, q, err));
  // 9600 baud: 960 bytes a second, plus 20 ms per answer.
  EXPECT_DOUBLE_EQ(qmx::view::WireLimitMs(960, 2, 9600), 1040.0);
  EXPECT_DOUBLE_EQ(qmx::view::WireLimitMs(480, 0, 4800), 1000.0);
}

}  // namespace
