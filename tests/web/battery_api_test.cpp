// Energy and batteries over the JSON API: the answers' envelopes, bad
// parameters, unknown devices, and the battery test's request refused by the
// same checks as control (switch, credentials, role, the operator's codes,
// the body), each refusal leaving one audit row.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "input/checked_json.h"
#include "web_site.h"

extern "C" int __wrap_usleep(useconds_t) { return 0; }

namespace {

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

std::string Base64(const std::string& in) {
  static const char* abc = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t i = 0;
  for (; i + 2 < in.size(); i += 3) {
    const unsigned n = (static_cast<unsigned char>(in[i]) << 16) |
                       (static_cast<unsigned char>(in[i + 1]) << 8) |
                       static_cast<unsigned char>(in[i + 2]);
    out += std::string{abc[(n >> 18) & 63], abc[(n >> 12) & 63], abc[(n >> 6) & 63], abc[n & 63]};
  }
  if (i + 1 == in.size()) {
    const unsigned n = static_cast<unsigned char>(in[i]) << 16;
    out += std::string{abc[(n >> 18) & 63], abc[(n >> 12) & 63], '=', '='};
  } else if (i + 2 == in.size()) {
    const unsigned n =
        (static_cast<unsigned char>(in[i]) << 16) | (static_cast<unsigned char>(in[i + 1]) << 8);
    out += std::string{abc[(n >> 18) & 63], abc[(n >> 12) & 63], abc[(n >> 6) & 63], '='};
  }
  return out;
}

constexpr const char* kToken = "0123456789abcdef0123456789abcdef";

class BatteryApiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    site_ = std::make_unique<k417t_web_test::Site>(1, "battery_api_test");
    // A battery string on the first DC unit's m value 0, and tests allowed
    // with the plant's commands 100 (start) and 102 (stop).
    qmx::view::SiteInfo info = site_->view->site();
    qmx::view::BatteryString s;
    s.name = "String <1>";
    s.current = {102, "m", 0};
    s.capacity_ah = 200;
    s.end_v = 44;
    info[100].battery.strings.push_back(s);
    info[100].battery.test.allowed = true;
    info[100].battery.test.start_code = 100;
    info[100].battery.test.stop_code = 102;
    site_->view->SetSite(info);
    site_->host->Start();
    ASSERT_TRUE(site_->WaitRounds(2));
  }
  void TearDown() override {
    site_->host->Shutdown();
    site_.reset();
  }
  static Request Test(const std::string& body, const std::string& auth, unsigned device = 100) {
    Request r;
    r.method = "POST";
    r.path = "/api/devices/" + std::to_string(device) + "/battery-test";
    r.content_type = "application/json";
    r.body = body;
    r.authorization = auth;
    r.peer = "192.0.2.7";
    return r;
  }
  // The audit rows once there are at least `n` (the history commits them
  // on its next flush).
  std::vector<qmx::store::AuditEntry> AuditRows(size_t n) {
    std::vector<qmx::store::AuditEntry> rows;
    for (int i = 0; i < 200; ++i) {
      rows = site_->view->History()->Audit(0, INT64_MAX / 2, 1000);
      if (rows.size() >= n) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return rows;
  }
  std::unique_ptr<k417t_web_test::Site> site_;
};

TEST_F(BatteryApiTest, EnvelopesNameEveryDeviceAndUnknownDevicesAre404) {
  WebApi api(*site_->view, qmx::web::ApiOptions{});
  const Response all = api.Handle(Get("/api/battery"));
  ASSERT_EQ(all.status, 200) << all.body;
  const Json::Value v = Body(all);
  ASSERT_EQ(v["devices"].size(), 1u) << all.body;
  const Json::Value& d = v["devices"][0];
  EXPECT_EQ(d["device"].asUInt(), 100u);
  // The site's name as it is: markup stays a JSON string for the page's textContent.
  EXPECT_EQ(d["name"].asString(), k417t_web_test::kName);
  // The device's own answer is the list's member.
  const Response one = api.Handle(Get("/api/devices/100/battery"));
  if (d["battery"].isNull()) {
    EXPECT_EQ(one.status, 503) << one.body;
  } else {
    ASSERT_EQ(one.status, 200) << one.body;
    EXPECT_TRUE(Body(one).isMember("configured")) << one.body;
    EXPECT_EQ(Body(one)["configured"], d["battery"]["configured"]);
  }
  EXPECT_EQ(all.body.find("NaN"), std::string::npos);

  struct Case {
    const char* method;
    const char* path;
    const char* query;
    int status;
  } cases[] = {
      {"GET", "/api/devices/7/battery", "", 404},
      {"GET", "/api/devices/x/battery", "", 400},
      {"POST", "/api/devices/100/battery", "", 405},
      {"POST", "/api/battery", "", 405},
      {"GET", "/api/devices/100/battery-test", "", 405},
      {"GET", "/api/discharges", "device=7", 404},
      {"GET", "/api/discharges", "device=-1", 400},
      {"GET", "/api/discharges", "device=abc", 400},
      {"GET", "/api/discharges", "limit=0", 400},
      {"GET", "/api/discharges", "limit=-3", 400},
      {"GET", "/api/discharges", "limit=ten", 400},
      {"GET", "/api/discharges", "from=1000&to=10", 400},
      {"GET", "/api/discharges", "from=yesterday", 400},
      {"GET", "/api/discharges", "to=1e9", 400},
      {"GET", "/api/discharges", "from=0&to=99999999999", 400},  // beyond the longest range
      {"GET", "/api/discharges", "unit=102", 400},
      {"GET", "/api/discharges", "limit=1&limit=2", 400},
      {"POST", "/api/discharges", "", 405},
  };
  for (const Case& c : cases) {
    Request r = Get(c.path, c.query);
    r.method = c.method;
    const Response a = api.Handle(r);
    EXPECT_EQ(a.status, c.status) << c.method << " " << c.path << "?" << c.query << " -> "
                                  << a.body;
    EXPECT_FALSE(Body(a)["error"].asString().empty()) << a.body;
  }
}

TEST_F(BatteryApiTest, DischargeListTakesItsRangeAndCutsItsLimit) {
  qmx::web::ApiOptions o;
  o.clock = [] { return int64_t{1760000000}; };
  o.max_discharges = 20;
  WebApi api(*site_->view, o);
  // Without a range: back as far as a range may reach, to now.
  Response r = api.Handle(Get("/api/discharges"));
  ASSERT_EQ(r.status, 200) << r.body;
  Json::Value v = Body(r);
  EXPECT_TRUE(v["discharges"].isArray());
  EXPECT_EQ(v["to"].asInt64(), 1760000000);
  EXPECT_EQ(v["from"].asInt64(), 1760000000 - 400LL * 86400);
  EXPECT_EQ(v["limit"].asUInt(), 20u);  // the default (50) within the cut
  // A larger limit is cut to the gateway's, not refused.
  r = api.Handle(Get("/api/discharges", "device=100&from=10&to=20&limit=100000"));
  ASSERT_EQ(r.status, 200) << r.body;
  v = Body(r);
  EXPECT_EQ(v["limit"].asUInt(), 20u);
  EXPECT_EQ(v["from"].asInt64(), 10);
  EXPECT_EQ(v["to"].asInt64(), 20);
  EXPECT_LE(v["discharges"].size(), 20u);
}

// Every way the battery test's request is turned away before the view's
// interlocks: the status, the message, and one audit row each naming the
// battery test, the peer and the device.
TEST_F(BatteryApiTest, BatteryTestRefusalsAreTheControlChecksAndEachIsAudited) {
  std::string error;
  const std::string vera = qmx::web::HashPassword("vera-password", error);
  const std::string olga = qmx::web::HashPassword("olga-password", error);
  ASSERT_FALSE(vera.empty() || olga.empty()) << error;
  qmx::web::ApiOptions o;
  ASSERT_TRUE(qmx::web::ParseUsers("vera:" + vera + ":viewer\nolga:" + olga + ":operator:*=102\n",
                                   o.users, error))
      << error;
  o.token = kToken;
  const std::string token = std::string("Bearer ") + kToken;
  const std::string start = "{\"action\":\"start\"}";

  // Control off (the default): refused whoever asks.
  WebApi off(*site_->view, o);
  struct Case {
    WebApi* api;
    Request req;
    int status;
    const char* error;  // in the answer's message and the audit's reason
    const char* outcome;
  };
  o.control = true;
  WebApi on(*site_->view, o);
  Request cross = Test(start, "");
  cross.cookie = "k417t_session=00";
  std::vector<Case> cases = {
      {&off, Test(start, token), 403, "control is off", "refused"},
      {&on, Test(start, ""), 401, "control needs an operator", "bad credentials"},
      {&on, Test(start, "Bearer wrong-token-0123456789"), 401, "", "bad credentials"},
      {&on, Test(start, "Basic " + Base64("vera:vera-password")), 403, "user vera may not",
       "refused"},
      // olga may send 102 (the stop) but not 100, the site's start command.
      {&on, Test(start, "Basic " + Base64("olga:olga-password")), 403,
       "user olga may not send code 100", "refused"},
      {&on, Test("{\"action\":\"jump\"}", token), 400, "\"action\" must be", "refused"},
      {&on, Test("{}", token), 400, "\"action\" must be", "refused"},
      {&on, Test("{\"action\":\"start\",\"code\":106}", token), 400, "unknown member 'code'",
       "refused"},
      {&on, Test("{\"action\":\"start\",\"time\":\"now\"}", token), 400, "\"time\" must be",
       "refused"},
      {&on, Test("{\"action\":\"start\",\"request_id\":\"" + std::string(129, 'r') + "\"}", token),
       400, "\"request_id\" must be", "refused"},
      {&on, Test("[\"start\"]", token), 400, "must be an object", "refused"},
      {&on, Test("{\"action\":", token), 400, "", "refused"},
      {&on, Test(start, token, 7), 404, "no device 7", "refused"},
  };
  Request text = Test(start, token);
  text.content_type = "text/plain";
  cases.push_back({&on, text, 415, "application/json", "refused"});
  Request other = Test(start, token);
  other.origin = "http://evil.example";
  other.origin_sent = true;
  other.host = "gateway:8080";
  cases.push_back({&on, other, 403, "own page", "refused"});

  size_t rows = site_->view->History()->Audit(0, INT64_MAX / 2, 1000).size();
  for (const Case& c : cases) {
    const Response a = c.api->Handle(c.req);
    EXPECT_EQ(a.status, c.status) << c.req.body << " -> " << a.body;
    const std::string message = Body(a)["error"].asString();
    EXPECT_NE(message.find(c.error), std::string::npos) << message;
    const std::vector<qmx::store::AuditEntry> audit = AuditRows(rows + 1);
    ASSERT_EQ(audit.size(), rows + 1) << c.req.body << " left no audit row";
    rows = audit.size();
    const qmx::store::AuditEntry& e = audit.back();
    EXPECT_EQ(e.via, "http");
    EXPECT_EQ(e.peer, "192.0.2.7");
    EXPECT_EQ(e.outcome, c.outcome) << e.reason;
    EXPECT_EQ(e.reason.rfind("battery test: ", 0), 0u) << e.reason;
    EXPECT_NE(e.reason.find(c.error), std::string::npos) << e.reason;
    EXPECT_EQ(e.device, c.req.path.find("/7/") != std::string::npos ? 7u : 100u);
  }
  // What could be read of the command goes to the row: the site's start
  // command, and the user.
  const std::vector<qmx::store::AuditEntry> audit = AuditRows(rows);
  EXPECT_EQ(audit[0].code, 100) << audit[0].reason;
  EXPECT_EQ(audit[4].who, "olga");
  EXPECT_EQ(audit[4].code, 100);
}

// Past the front end's checks the request reaches the view's door, whose
// answer (a refusal here: the test's interlocks or the skeleton) comes back
// as the result with its reason, like a control command's.
TEST_F(BatteryApiTest, AnAdmittedRequestGetsTheViewsAnswer) {
  qmx::web::ApiOptions o;
  o.control = true;
  o.token = kToken;
  WebApi api(*site_->view, o);
  const Response r =
      api.Handle(Test("{\"action\":\"stop\",\"request_id\":\"r-1\",\"time\":" +
                          std::to_string(static_cast<long long>(std::time(nullptr))) + "}",
                      std::string("Bearer ") + kToken));
  ASSERT_EQ(r.status, 200) << r.body;
  const Json::Value v = Body(r);
  EXPECT_EQ(v["device"].asUInt(), 100u);
  EXPECT_EQ(v["action"].asString(), "stop");
  // No test runs: nothing to stop.
  EXPECT_EQ(v["result"].asInt(), -1) << r.body;
  EXPECT_FALSE(v["reason"].asString().empty()) << r.body;
}

}  // namespace
