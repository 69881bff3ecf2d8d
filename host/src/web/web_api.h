#pragma once

#include <json/value.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "view/site_view.h"
#include "web/auth.h"

namespace qmx::web {

// One HTTP request as the server hands it over: the path already
// percent-decoded, the query string still encoded.
struct Request {
  std::string method;
  std::string path;
  std::string query;
  std::string authorization;  // the Authorization header, "" when absent
  std::string content_type;
  std::string origin;  // the Origin header; a control request must come from this page
  bool origin_sent = false;
  std::string host;        // the Host header
  std::string peer;        // the client's address, as the front line saw it
  std::string request_id;  // the X-Request-Id header, "" when absent
  std::string cookie;      // the Cookie header, "" when absent
  // X-Requested-With sent: the page's own fetch, which gets no Basic
  // challenge on 401 (a browser would pop its own dialog over the page's
  // login form).
  bool from_page = false;
  std::string body;
};

struct Response {
  int status = 200;
  std::string content_type = "application/json";
  std::string body;
  bool cacheable = false;  // static assets; the API is never cached
  std::string allow;       // for 405: the methods the path takes
  bool challenge = true;   // a 401 names the Basic realm (WWW-Authenticate)
  std::string set_cookie;  // a Set-Cookie header's value, "" none
};

struct ApiOptions {
  bool control = false;
  std::string token;  // an operator's credential (Bearer) for scripts; compared in constant time
  std::vector<User> users;  // the users file
  // Reads (/api/*, /metrics) need a user; forced on beyond loopback. The
  // page's assets are always served (the page shows its login form).
  bool reads_need_user = false;
  std::function<void(const std::string&)> log;  // logins, limited addresses
  std::function<int64_t()> clock;               // epoch seconds; default time()
  size_t max_points = 2000;                     // per history series
  // Records read for one history answer (the newest of a range); the
  // answer says when a range held more.
  size_t max_records = 20000;
  size_t max_events = 1000;     // per events answer
  size_t max_discharges = 500;  // per discharges answer (a larger limit is cut to it)
  int64_t max_range_s = 400LL * 24 * 3600;
  std::chrono::milliseconds control_limit{0};  // 0: the host's default wait
};

// The page's assets, the JSON API and /metrics over the site's view. Handle()
// may be called from any number of threads at once; it only reads the view
// (snapshots as named values, alarms, round timing) and the history store,
// and hands control commands to SiteHost::Control (one at a time). It never
// throws: a bad request is a 4xx answer with {"error": "..."}.
class WebApi {
 public:
  WebApi(view::SiteView& view, ApiOptions options);

  Response Handle(const Request& req);
  // Rows for rate-limited control attempts that wait for one (an address
  // audited once per 30 s): the due ones, or with `all` every one (at stop).
  void AuditLimitedAttempts(bool all);

 private:
  Response Dispatch(const Request& req);
  Response Devices();
  Response Outbox();
  Response Device(unsigned int id);
  Response Alarms();
  Response Events(const std::map<std::string, std::string>& q);
  Response History(const std::map<std::string, std::string>& q);
  Response Metrics();
  Response Config(const Identity& who);
  Response Control(unsigned int id, const Request& req);
  // Energy and batteries (battery_api.cpp).
  Response Batteries();
  Response Battery(unsigned int id);
  Response Discharges(const std::map<std::string, std::string>& q);
  Response BatteryTest(unsigned int id, const Request& req);
  // A command's body as one endpoint takes it: its name for errors, its
  // shape for the message, its members, and how it reads into an attempt
  // ("" or why not).
  struct CommandForm {
    std::string what;
    std::string shape;
    std::vector<std::string> members;
    std::function<std::string(const Json::Value&, view::ControlAttempt&)> read;
    std::string label;  // put before the audit's reason of a refusal ("battery test start: ")
  };
  // The checks every command to a device passes (control_api.cpp): nullopt
  // when it may run (with `a` filled in), else the refusal, audited.
  std::optional<Response> AdmitCommand(unsigned int id, const Request& req, const CommandForm& form,
                                       view::ControlAttempt& a);
  Response AlarmBoard();
  Response AlarmAct(const Request& req);
  Response Login(const Request& req);
  Response Logout(const Request& req);
  Response Audit(const Identity& who, const std::map<std::string, std::string>& q);
  // 401 (with the reason) or 429 for a request that may not read, else
  // nullopt with `who` set.
  std::optional<Response> MayRead(const Request& req, Identity& who);

  bool Range(const std::map<std::string, std::string>& q, int64_t& from, int64_t& to,
             std::string& error) const;
  int64_t Now() const;

  view::SiteView& view_;
  ApiOptions opt_;
  Auth auth_;
  std::mutex control_mu_;  // one control command at a time
  // The last rate-limited control attempt of each address not audited yet.
  std::mutex limited_mu_;
  std::map<std::string, view::ControlAttempt> limited_last_;
  std::atomic<int> history_busy_{0};  // history queries running now
};

// Helpers with their own tests.
// Splits "a=1&b=x%20y" into decoded pairs; false on a malformed escape, a
// repeated key, more than 16 keys or a longer string than 2048 bytes.
bool ParseQuery(const std::string& query, std::map<std::string, std::string>& out,
                std::string& error);
// True when a browser's Origin ("scheme://host[:port]") is this server's
// own page: the same host and port as the Host header.
bool SameOrigin(const std::string& origin, const std::string& host);
// The alarm board's figures: {"annunciated_10min","flood","flood_per_10min",
// "annunciated_total","transitions_total","standing","stale",
// "unacknowledged","chattering","shelved","suppressed","unknown",
// "devices_in_maintenance"}.
Json::Value AlarmKpisJson(const view::AlarmKpis& k, const view::AlarmRules& rules);
// A device's maintenance mark {"who","time","comment","until"}, null when none.
Json::Value MaintenanceJson(const std::optional<view::AlarmMark>& m);
// A Prometheus label value: backslash, double quote and line feed escaped.
std::string LabelValue(const std::string& v);

}  // namespace qmx::web
