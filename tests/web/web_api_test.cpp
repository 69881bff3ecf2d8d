// The JSON API, /metrics and control over a polling site, without sockets:
// answers carry the values the simulated controllers report, and bad requests
// get a 4xx with a message, never an exception or a crash.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <ctime>

#include "input/checked_json.h"
#include "web_site.h"

extern "C" int __wrap_usleep(useconds_t) { return 0; }

namespace {

using k417t_web_test::Options;
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
    site_->host->SetReportSink([this](const qmx::RoundReport& r) { api_->OnRound(r); });
    api_ = std::make_unique<WebApi>(*site_->host, opts_);
    site_->host->Start();
    ASSERT_TRUE(site_->WaitRounds(3));
  }
  void TearDown() override {
    site_->host->Shutdown();
    site_.reset();
  }
  qmx::web::ApiOptions opts_ = Options();
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
  EXPECT_EQ(d["name"].asString(), "<b>bold</b><script>alert(1)</script>");
  const Json::Value* ac = Unit(d, 101);
  const Json::Value* dc = Unit(d, 102);
  const Json::Value* rc = Unit(d, 100);
  ASSERT_TRUE(ac && dc && rc) << r.body;
  EXPECT_NEAR((*ac)["values"]["inputs"][0]["a"].asDouble(), 230.0, 1e-3);
  EXPECT_NEAR((*dc)["values"]["v"].asDouble(), 53.5, 1e-3);
  EXPECT_EQ((*rc)["values"]["modules"].size(), 3u);
  EXPECT_NEAR((*rc)["values"]["modules"][0]["value"].asDouble(), 40.0, 1e-3);
  // The round's timing against what the wire needs.
  EXPECT_GT(d["round"]["wire_limit_ms"].asDouble(), 0.0);
  EXPECT_GT(d["line_stats"]["answers"].asUInt64(), 0u);

  const Json::Value list = Body(api_->Handle(Get("/api/devices")));
  ASSERT_EQ(list["devices"].size(), 1u);
  EXPECT_EQ(list["devices"][0]["id"].asUInt(), 100u);
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
      {"/api/events", "from=0&to=99999999999999", 400},  // too many digits
      {"/api/events", "from=-9000000000000&to=9000000000000", 400},  // too long a range
      {"/api/events", "device=999", 404},
      {"/api/events", "device=x", 400},
      {"/api/events", "colour=red", 400},
      {"/api/history", "", 400},                 // no unit
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
  Json::Value h = Body(api_->Handle(
      Get("/api/history", "unit=102&from=" + std::to_string(now - 3600) + "&to=" + std::to_string(now + 1))));
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
  WebApi small(*site_->host, opts_);
  h = Body(small.Handle(
      Get("/api/history", "unit=102&from=" + std::to_string(now - 7 * 86400) + "&to=" + std::to_string(now))));
  EXPECT_LE(h["time"].size(), 100u);
  EXPECT_GE(h["time"].size(), 90u);
  EXPECT_TRUE(h["thinned"].asBool());
  for (Json::ArrayIndex k = 1; k < h["time"].size(); ++k)
    EXPECT_LT(h["time"][k - 1].asInt64(), h["time"][k].asInt64());
  // AC: one voltage series per phase of each input.
  h = Body(api_->Handle(Get("/api/history", "unit=101")));
  ASSERT_EQ(h["series"].size(), 3u) << h;
  EXPECT_EQ(h["series"][0]["key"].asString(), "input1_a");
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
  site_->host->history()->AppendEvent(e);
  site_->host->history()->Flush();
  const Json::Value ev = Body(api_->Handle(Get("/api/events", "device=100")));
  ASSERT_EQ(ev["events"].size(), 1u) << ev;
  EXPECT_EQ(ev["events"][0]["name"].asString(), e.name);
  EXPECT_EQ(ev["events"][0]["text"].asString(), e.text);
  EXPECT_EQ(ev["events"][0]["state"].asString(), "raised");
  // More events than an answer takes: the newest, flagged.
  for (int k = 0; k < 30; ++k) site_->host->history()->AppendEvent(e);
  site_->host->history()->Flush();
  opts_.max_events = 10;
  WebApi small(*site_->host, opts_);
  const Json::Value few = Body(small.Handle(Get("/api/events", "device=100")));
  EXPECT_EQ(few["events"].size(), 10u);
  EXPECT_TRUE(few["truncated"].asBool());
  EXPECT_EQ(Body(api_->Handle(Get("/api/alarms")))["alarms"].size(), 0u);
}

TEST_F(WebApiTest, MetricsNameEveryFamilyAndEscapeLabels) {
  const Response m = api_->Handle(Get("/metrics"));
  ASSERT_EQ(m.status, 200);
  EXPECT_NE(m.content_type.find("version=0.0.4"), std::string::npos);
  for (const char* want :
       {"k417t_up{device=\"100\"} 1", "k417t_dc_voltage_volts{device=\"100\",unit=\"102\"} 53.5",
        "k417t_rectifier_module_current_amperes{device=\"100\",unit=\"100\",module=\"1\"} 40",
        "k417t_ac_voltage_volts{device=\"100\",unit=\"101\",input=\"1\",phase=\"a\"} 230",
        "k417t_rectifier_current_amperes{device=\"100\",unit=\"100\"} 79",
        "# TYPE k417t_round_duration_seconds histogram", "k417t_round_duration_seconds_count{device=\"100\"}",
        "k417t_line_timeouts_total{line=\"line-100:a\"} 0", "k417t_history_pending_writes "})
    EXPECT_NE(m.body.find(want), std::string::npos) << want;
  // Every family has HELP and TYPE, every sample line a family.
  EXPECT_EQ(qmx::web::LabelValue("a\\b\"c\nd"), "a\\\\b\\\"c\\nd");
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
  WebApi on(*site_->host, opts_);
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
      {"Bearer 0123456789abcdeF", "application/json", "{\"code\":100}", "/api/devices/100/control", 401},
      {"Bearer 0123456789abcdef0", "application/json", "{\"code\":100}", "/api/devices/100/control", 401},
      {"Bearer ", "application/json", "{\"code\":100}", "/api/devices/100/control", 401},
      {"Basic 0123456789abcdef", "application/json", "{\"code\":100}", "/api/devices/100/control", 401},
      {"Bearer 0123456789abcdef", "text/plain", "{\"code\":100}", "/api/devices/100/control", 415},
      {"Bearer 0123456789abcdef", "application/json", "{\"code\":101}", "/api/devices/100/control", 400},
      {"Bearer 0123456789abcdef", "application/json", "{\"code\":118}", "/api/devices/100/control", 400},
      {"Bearer 0123456789abcdef", "application/json", "{\"code\":\"100\"}", "/api/devices/100/control", 400},
      {"Bearer 0123456789abcdef", "application/json", "{\"code\":1e30}", "/api/devices/100/control", 400},
      {"Bearer 0123456789abcdef", "application/json", "{\"code\":106}", "/api/devices/100/control", 400},
      {"Bearer 0123456789abcdef", "application/json", "{\"code\":106,\"byte\":256}", "/api/devices/100/control", 400},
      {"Bearer 0123456789abcdef", "application/json", "{\"code\":100,\"byte\":1}", "/api/devices/100/control", 400},
      {"Bearer 0123456789abcdef", "application/json", "{\"code\":100,\"code\":102}", "/api/devices/100/control", 400},
      {"Bearer 0123456789abcdef", "application/json", "{\"code\":100,\"x\":1}", "/api/devices/100/control", 400},
      {"Bearer 0123456789abcdef", "application/json", "[100]", "/api/devices/100/control", 400},
      {"Bearer 0123456789abcdef", "application/json", "", "/api/devices/100/control", 400},
      {"Bearer 0123456789abcdef", "application/json", "[[[[[[[[[[[[]]]]]]]]]]]]", "/api/devices/100/control", 400},
      {"Bearer 0123456789abcdef", "application/json", "{\"code\":100}", "/api/devices/7/control", 404},
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
  // An empty token never matches, even an empty one.
  opts_.token = "";
  WebApi empty(*site_->host, opts_);
  r.authorization = "Bearer ";
  EXPECT_EQ(empty.Handle(r).status, 401);
}

TEST(WebApiValues, NonFiniteDeviceValuesBecomeNullAndUnreadableImagesSayWhy) {
  Site site(1, "web_api_nan");
  qmx::web::ApiOptions o = Options();
  o.decode = [](int type, const std::vector<unsigned char>& image) {
    if (type == 5091) return Json::Value();  // as for an image of a bad length
    Json::Value v = k417t_run::DecodeImage(type, image);
    if (type == 5093) v["v"] = std::nan("");
    if (type == 5092) v["rc_value"] = HUGE_VAL;
    return v;
  };
  WebApi api(*site.host, o);
  site.host->Start();
  ASSERT_TRUE(site.WaitRounds(1));
  const Response r = api.Handle(Get("/api/devices/100"));
  ASSERT_EQ(r.status, 200);
  const Json::Value d = Body(r);  // strictly valid JSON
  EXPECT_TRUE((*Unit(d, 102))["values"]["v"].isNull());
  EXPECT_TRUE((*Unit(d, 100))["values"]["rc_value"].isNull());
  EXPECT_FALSE((*Unit(d, 101))["error"].asString().empty());
  const std::string m = api.Handle(Get("/metrics")).body;
  EXPECT_NE(m.find("k417t_dc_voltage_volts{device=\"100\",unit=\"102\"} NaN"), std::string::npos);
  EXPECT_NE(m.find("k417t_rectifier_output_voltage_volts{device=\"100\",unit=\"100\"} +Inf"),
            std::string::npos);
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
  EXPECT_DOUBLE_EQ(qmx::web::WireLimitMs(960, 2, 9600), 1040.0);
  EXPECT_DOUBLE_EQ(qmx::web::WireLimitMs(480, 0, 4800), 1000.0);
}

TEST(WebImages, ShortOrOddImagesAreRefusedNotRead) {
  EXPECT_TRUE(k417t_run::DecodeImage(5091, std::vector<unsigned char>(31)).isNull());
  EXPECT_TRUE(k417t_run::DecodeImage(5091, std::vector<unsigned char>(33)).isNull());
  EXPECT_EQ(k417t_run::DecodeImage(5091, std::vector<unsigned char>(92))["inputs"].size(), 2u);
  EXPECT_TRUE(k417t_run::DecodeImage(5093, std::vector<unsigned char>(237)).isNull());
  EXPECT_TRUE(k417t_run::DecodeImage(5092, std::vector<unsigned char>(44)).isNull());
  EXPECT_TRUE(k417t_run::DecodeImage(1, std::vector<unsigned char>(238)).isNull());
  std::vector<unsigned char> dc(238);
  const float v = 48.25f;
  std::memcpy(dc.data() + 4, &v, 4);
  dc[133 + 2] = 3;
  const Json::Value d = k417t_run::DecodeImage(5093, dc);
  EXPECT_FLOAT_EQ(d["v"].asFloat(), 48.25f);
  EXPECT_EQ(d["fuses"][2].asUInt(), 3u);
}

}  // namespace
