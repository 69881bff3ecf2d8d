// The runner pushes to a real Prometheus (Debian's, unpacked into
// build-tools/bin by scripts/install-deps.sh) started here on loopback with
// its remote-write receiver. Prometheus is stopped for a while and started
// again on the same data: the records stored meanwhile must arrive with their
// own times, so the DC bus voltage has no gap longer than the heartbeat.
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>

#include "e2e/e2e_util.h"

namespace {

using namespace e2e;

size_t Append(char* p, size_t s, size_t n, void* out) {
  static_cast<std::string*>(out)->append(p, s * n);
  return s * n;
}

// GET `url`: the body, "" when there is no 200.
std::string Get(const std::string& url) {
  CURL* h = curl_easy_init();
  std::string body;
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, Append);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &body);
  curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, 3000L);
  long code = 0;
  if (curl_easy_perform(h) == CURLE_OK) curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &code);
  curl_easy_cleanup(h);
  return code == 200 ? body : "";
}

class Prometheus {
 public:
  Prometheus(const TempDir& t) : t_(t), port_(FreePort()) {
    Write(t.File("prometheus.yml"),
          "global:\n  scrape_interval: 1h\nstorage:\n  tsdb:\n    out_of_order_time_window: 1h\n");
  }
  ~Prometheus() { Stop(); }
  bool Start() {
    const std::string bin = K417T_PROMETHEUS;
    if (access(bin.c_str(), X_OK) != 0) return false;
    pid_ = Spawn({bin, "--config.file=" + t_.File("prometheus.yml"),
                  "--storage.tsdb.path=" + t_.File("data"),
                  "--web.listen-address=127.0.0.1:" + std::to_string(port_),
                  "--web.enable-remote-write-receiver"},
                 t_.File("prometheus.out." + std::to_string(++starts_)));
    return WaitFor([&] { return !Get(base() + "/-/ready").empty(); }, 30);
  }
  void Stop() {
    if (pid_ > 0) e2e::Stop(pid_, 20);
    pid_ = -1;
  }
  std::string base() const { return "http://127.0.0.1:" + std::to_string(port_); }
  std::string write_url() const { return base() + "/api/v1/write"; }
  // The raw samples of `selector` over the last `seconds`: times in ms.
  std::vector<int64_t> Samples(const std::string& selector, int seconds) const {
    CURL* h = curl_easy_init();
    const std::string q = selector + "[" + std::to_string(seconds) + "s]";
    char* e = curl_easy_escape(h, q.c_str(), static_cast<int>(q.size()));
    const std::string body = Get(base() + "/api/v1/query?query=" + e);
    curl_free(e);
    curl_easy_cleanup(h);
    std::vector<int64_t> out;
    const Json::Value v = ParseText(body);
    for (const Json::Value& series : v["data"]["result"])
      for (const Json::Value& s : series["values"])
        out.push_back(std::llround(s[0].asDouble() * 1000));
    std::sort(out.begin(), out.end());
    return out;
  }

 private:
  const TempDir& t_;
  int port_;
  pid_t pid_ = -1;
  int starts_ = 0;
};

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

TEST(RemoteWriteE2E, SamplesStoredDuringAReceiverOutageArriveWithTheirTimes) {
  TempDir t;
  Prometheus prom(t);
  ASSERT_TRUE(prom.Start()) << "Prometheus is needed in build-tools/bin (scripts/install-deps.sh)";
  Json::Value site = ParseFile(Example("site.json"));
  site["devices"][0]["setting"]["timeout_ms"] = 300;
  const std::string site_path =
      Write(t.File("site.json"), Json::writeString(Json::StreamWriterBuilder(), site));
  const int heartbeat_s = 2;
  const pid_t runner =
      SpawnRunner({"--site", site_path, "--simulate", Example("scenario.json"), "--db",
                   t.File("h.db"), "--log", t.File("log"), "--quiet", "--history-heartbeat",
                   std::to_string(heartbeat_s), "--history-commit", "1", "--remote-write",
                   prom.write_url(), "--remote-write-label", "site=e2e"},
                  t.File("out"));
  const std::string series = R"(k417t_dc_voltage_volts{unit="21",site="e2e"})";
  ASSERT_TRUE(WaitFor([&] { return prom.Samples(series, 600).size() >= 2; }, 20))
      << ReadText(t.File("log"));

  // The receiver goes away for 15 s; the runner polls and stores on.
  prom.Stop();
  const int64_t outage_from = NowMs();
  std::this_thread::sleep_for(std::chrono::seconds(15));
  const int64_t outage_to = NowMs();
  ASSERT_TRUE(prom.Start());
  // Delivered once it is back: samples from after the outage.
  ASSERT_TRUE(WaitFor(
      [&] {
        auto s = prom.Samples(series, 600);
        return !s.empty() && s.back() > outage_to + 1000;
      },
      30))
      << ReadText(t.File("log"));
  EXPECT_EQ(0, Stop(runner));

  const std::vector<int64_t> times = prom.Samples(series, 600);
  ASSERT_GE(times.size(), 2u);
  EXPECT_LT(times.front(), outage_from);
  EXPECT_GT(times.back(), outage_to);
  int64_t widest = 0, at = 0;
  for (size_t i = 1; i < times.size(); ++i)
    if (times[i] - times[i - 1] > widest) {
      widest = times[i] - times[i - 1];
      at = times[i - 1];
    }
  // Record times are whole seconds and the heartbeat is checked at round
  // ends: a second either way.
  EXPECT_LE(widest, (heartbeat_s + 2) * 1000)
      << "a gap of " << widest << " ms from " << at << " (outage " << outage_from << " to "
      << outage_to << ")\n"
      << ReadText(t.File("log"));
  const std::string log = ReadText(t.File("log"));
  EXPECT_NE(std::string::npos, log.find("remote write: delivering again")) << log;
  EXPECT_NE(std::string::npos, log.find("remote write: stopped")) << log;
}

}  // namespace
