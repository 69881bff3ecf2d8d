#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <json/value.h>

#include "site/site_host.h"

namespace qmx::web {

// One HTTP request as the server hands it over: the path already
// percent-decoded, the query string still encoded.
struct Request {
  std::string method;
  std::string path;
  std::string query;
  std::string authorization;  // the Authorization header, "" when absent
  std::string content_type;
  std::string body;
};

struct Response {
  int status = 200;
  std::string content_type = "application/json";
  std::string body;
  bool cacheable = false;  // static assets; the API is never cached
  std::string allow;       // for 405: the methods the path takes
};

// What the runner knows about a device beyond its snapshot.
struct DeviceInfo {
  std::string name;  // from the site file
  int baud = 9600;   // for the round's wire limit
};

struct ApiOptions {
  std::map<unsigned int, DeviceInfo> devices;
  // A unit's image as values (by image type); null for one it cannot read.
  std::function<Json::Value(int type, const std::vector<unsigned char>& image)> decode;
  bool control = false;
  std::string token;  // required for control; compared in constant time
  std::function<int64_t()> clock;  // epoch seconds; default time()
  size_t max_points = 2000;        // per history series
  size_t max_events = 1000;        // per events answer
  int64_t max_range_s = 400LL * 24 * 3600;
  std::chrono::milliseconds control_limit{0};  // 0: the host's default wait
};

// The page's assets, the JSON API and /metrics over a SiteHost. Handle() may
// be called from any number of threads at once; it only reads snapshots, the
// alarm state and the history store, and hands control commands to
// SiteHost::Control (one at a time). It never throws: a bad request is a 4xx
// answer with {"error": "..."}.
class WebApi {
 public:
  WebApi(SiteHost& host, ApiOptions options);

  Response Handle(const Request& req);

  // Names and line speeds of the devices (any time; replaces ApiOptions::devices).
  void SetDevices(std::map<unsigned int, DeviceInfo> devices);

  // From the host's report sink (job worker): round timing for the page and
  // /metrics.
  void OnRound(const RoundReport& report);

  static constexpr double kBuckets[] = {0.1, 0.25, 0.5, 1, 2, 5, 10, 30};
  static constexpr size_t kBucketCount = sizeof(kBuckets) / sizeof(kBuckets[0]);

 private:
  struct RoundStats {
    double last_ms = 0;
    double last_limit_ms = 0;
    uint64_t last_exchanges = 0;
    uint64_t count = 0;
    double sum_s = 0;
    uint64_t buckets[kBucketCount] = {};
  };

  Response Dispatch(const Request& req);
  Response Devices();
  Response Device(unsigned int id);
  Response Alarms();
  Response Events(const std::map<std::string, std::string>& q);
  Response History(const std::map<std::string, std::string>& q);
  Response Metrics();
  Response Config();
  Response Control(unsigned int id, const Request& req);

  Json::Value DeviceSummary(const DeviceSnapshot& s) const;
  Json::Value Units(const DeviceSnapshot& s) const;
  bool Range(const std::map<std::string, std::string>& q, int64_t& from, int64_t& to,
             std::string& error) const;
  int64_t Now() const;

  SiteHost& host_;
  ApiOptions opt_;
  mutable std::mutex mu_;  // guards rounds_ and devices_
  std::map<unsigned int, DeviceInfo> devices_;
  std::map<unsigned int, RoundStats> rounds_;
  std::mutex control_mu_;           // one control command at a time
  std::atomic<int> history_busy_{0};  // history queries running now
};

// Helpers with their own tests.
// Splits "a=1&b=x%20y" into decoded pairs; false on a malformed escape, a
// repeated key, more than 16 keys or a longer string than 2048 bytes.
bool ParseQuery(const std::string& query, std::map<std::string, std::string>& out,
                std::string& error);
// A Prometheus label value: backslash, double quote and line feed escaped.
std::string LabelValue(const std::string& v);
// The duration the wire needs for a round: its bytes at `baud` (10 bits a
// byte) plus the controller's 20 ms pause per answer.
double WireLimitMs(uint64_t bytes, uint64_t exchanges, int baud);

}  // namespace qmx::web
