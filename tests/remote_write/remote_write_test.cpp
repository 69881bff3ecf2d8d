// Remote write from the history: a controller simulated through the real
// plug-in and host fills a history in a temporary folder; the front end
// pushes it to a receiver in this test that decodes every body (snappy
// block, protobuf WriteRequest) and answers 204, 500, 429 or 400 on demand.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <json/json.h>
#include <netinet/in.h>
#include <poll.h>
#include <snappy-c.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include "controller/k417t.h"
#include "remote.pb-c.h"
#include "remote_write/remote_write_config.h"
#include "remote_write/remote_write_front_end.h"
#include "remote_write/remote_write_request.h"
#include "sim/simulator.h"
#include "support/one_round.h"
#include "view/site_view.h"
#include "wire/memory_transport.h"

extern "C" int __wrap_usleep(useconds_t) { return 0; }

namespace {

namespace rw = qmx::remote_write;
using namespace std::chrono_literals;

Json::Value Parse(const std::string& text) {
  Json::Value v;
  Json::CharReaderBuilder b;
  std::string err;
  std::istringstream in(text);
  EXPECT_TRUE(Json::parseFromStream(b, in, &v, &err)) << err;
  return v;
}

// ---- The receiver.

struct Received {
  std::map<std::string, std::string> headers;  // lower-case names
  int answered = 0;
  std::vector<rw::Series> series;
  bool decoded = false;
};

class Receiver {
 public:
  Receiver() {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(0, bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a));
    socklen_t len = sizeof a;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    listen(fd_, 8);
    thread_ = std::thread([this] { Serve(); });
  }
  ~Receiver() {
    stop_ = true;
    thread_.join();
    close(fd_);
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/api/v1/write"; }
  // The next answers, in order; then 204.
  void Answer(int status, const std::string& retry_after = "") {
    std::lock_guard<std::mutex> l(mu_);
    answers_.push_back({status, retry_after});
  }
  std::vector<Received> requests() const {
    std::lock_guard<std::mutex> l(mu_);
    return requests_;
  }

 private:
  void Serve() {
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      int c = accept(fd_, nullptr, nullptr);
      if (c < 0) continue;
      ServeOne(c);
      close(c);
    }
  }
  void ServeOne(int c) {
    std::string in;
    char buf[65536];
    size_t head_end = std::string::npos;
    size_t length = 0;
    auto deadline = std::chrono::steady_clock::now() + 5s;
    while (std::chrono::steady_clock::now() < deadline) {
      pollfd p{c, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      ssize_t n = read(c, buf, sizeof buf);
      if (n <= 0) return;
      in.append(buf, static_cast<size_t>(n));
      if (head_end == std::string::npos && (head_end = in.find("\r\n\r\n")) != std::string::npos) {
        head_end += 4;
        length = 0;
        std::istringstream h(in.substr(0, head_end));
        std::string line;
        std::getline(h, line);
        while (std::getline(h, line)) {
          if (!line.empty() && line.back() == '\r') line.pop_back();
          auto colon = line.find(':');
          if (colon == std::string::npos) continue;
          std::string name = line.substr(0, colon);
          for (char& ch : name)
            ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
          std::string value = line.substr(colon + 1);
          value.erase(0, value.find_first_not_of(' '));
          current_.headers[name] = value;
          if (name == "content-length") length = std::stoul(value);
        }
      }
      if (head_end != std::string::npos && in.size() >= head_end + length) break;
    }
    if (head_end == std::string::npos) return;
    const std::string body = in.substr(head_end, length);
    Decode(body);
    int status = 204;
    std::string retry_after;
    {
      std::lock_guard<std::mutex> l(mu_);
      if (!answers_.empty()) {
        status = answers_.front().first;
        retry_after = answers_.front().second;
        answers_.pop_front();
      }
      current_.answered = status;
      requests_.push_back(current_);
      current_ = Received{};
    }
    std::string out = "HTTP/1.1 " + std::to_string(status) + " X\r\nConnection: close\r\n";
    if (!retry_after.empty()) out += "Retry-After: " + retry_after + "\r\n";
    const std::string text = status == 204 ? "" : "answer " + std::to_string(status) + "\n";
    out += "Content-Length: " + std::to_string(text.size()) + "\r\n\r\n" + text;
    (void)!write(c, out.data(), out.size());
  }
  void Decode(const std::string& body) {
    size_t n = 0;
    if (snappy_uncompressed_length(body.data(), body.size(), &n) != SNAPPY_OK || n > (64u << 20))
      return;
    std::string raw(n, '\0');
    if (snappy_uncompress(body.data(), body.size(), raw.data(), &n) != SNAPPY_OK) return;
    Prometheus__WriteRequest* req =
        prometheus__write_request__unpack(nullptr, n, reinterpret_cast<const uint8_t*>(raw.data()));
    if (!req) return;
    for (size_t i = 0; i < req->n_timeseries; ++i) {
      rw::Series s;
      for (size_t k = 0; k < req->timeseries[i]->n_labels; ++k)
        s.labels.emplace_back(req->timeseries[i]->labels[k]->name,
                              req->timeseries[i]->labels[k]->value);
      for (size_t k = 0; k < req->timeseries[i]->n_samples; ++k)
        s.samples.emplace_back(req->timeseries[i]->samples[k]->timestamp,
                               req->timeseries[i]->samples[k]->value);
      current_.series.push_back(std::move(s));
    }
    current_.decoded = true;
    prometheus__write_request__free_unpacked(req, nullptr);
  }

  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  mutable std::mutex mu_;
  std::deque<std::pair<int, std::string>> answers_;
  std::vector<Received> requests_;
  Received current_;
};

// ---- The site: one controller (AC 11, DC 21, rectifier group 100) with a
// history in `db`, polled for one round so the view knows its units.

struct Site : k417t_test::OneRound {
  std::unique_ptr<qmx::view::SiteView> view;
  std::map<unsigned, std::pair<int, std::vector<unsigned char>>> images;  // by unit

  explicit Site(const std::string& db)
      : OneRound(Parse(R"({"ac": [{"inputs": [{"a": 230, "b": 231, "c": 229, "f": 50}]}],
                           "dc": [{"v": 53.5, "i": 40.0}], "rectifier": {"value": 53.6}})"),
                 db) {
    const int64_t head = host->history()->Heads().record_id;
    Poll(1);
    // The round's records are committed by its round-end jobs, on their own
    // thread: wait for them, or a slow machine stores them after the test's.
    for (int i = 0; i < 2000 && host->history()->Heads().record_id < head + 3; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(head + 3, host->history()->Heads().record_id);
    view = std::make_unique<qmx::view::SiteView>(*host);
    const std::optional<qmx::DeviceSnapshot> snap = host->Snapshot(100);
    EXPECT_TRUE(snap.has_value());
    if (snap)
      for (const auto& img : snap->images) images[img.data_id] = {img.type, img.image};
    EXPECT_EQ(3u, images.size());
  }
  ~Site() { view.reset(); }
  // Records of every unit at `time`, committed.
  void Store(int64_t time) {
    for (const auto& [id, img] : images)
      host->history()->AppendRecord(id, img.first, time, img.second.data(), img.second.size());
    EXPECT_TRUE(host->history()->Flush());
  }
};

struct TempDir {
  std::string path;
  TempDir() {
    char t[] = "/tmp/k417t-rw-XXXXXX";
    path = mkdtemp(t);
  }
  ~TempDir() { std::system(("rm -rf '" + path + "'").c_str()); }
};

// Waits until `done` or 20 s.
template <typename F>
bool WaitFor(F done) {
  for (int i = 0; i < 2000; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(10ms);
  }
  return done();
}

rw::RemoteWriteConfig Config(const Receiver& r) {
  rw::RemoteWriteConfig c;
  c.url = r.url();
  c.labels = {{"site", "north-7"}};
  c.max_requests_per_second = 100;
  c.timeout_s = 5;
  return c;
}

const rw::Series* Find(const std::vector<rw::Series>& all, const std::string& name,
                       const std::string& unit_label = "") {
  for (const rw::Series& s : all) {
    bool name_ok = false, unit_ok = unit_label.empty();
    for (const auto& [n, v] : s.labels) {
      if (n == "__name__" && v == name) name_ok = true;
      if (n == "unit" && v == unit_label) unit_ok = true;
    }
    if (name_ok && unit_ok) return &s;
  }
  return nullptr;
}

// Every sample time of the DC bus voltage series in the accepted requests,
// in the order they arrived.
std::vector<int64_t> AcceptedVoltageTimes(const std::vector<Received>& reqs) {
  std::vector<int64_t> out;
  for (const Received& r : reqs) {
    if (r.answered / 100 != 2) continue;
    if (const rw::Series* s = Find(r.series, "k417t_dc_voltage_volts", "21"))
      for (const auto& x : s->samples) out.push_back(x.first);
  }
  return out;
}

std::string Text(const std::vector<std::string>& lines) {
  std::string t;
  for (const auto& l : lines) t += l + "\n";
  return t;
}

// ---- Tests.

TEST(RemoteWriteRequest, SeriesAreSortedNamedLabelledAndTimedAsTheRecordsWithTheWireHeaders) {
  TempDir dir;
  Receiver receiver;
  Site site(dir.path + "/h.db");
  const int64_t t0 = 1700000000;
  rw::RemoteWriteFrontEnd fe(*site.view, Config(receiver), nullptr);
  std::string err;
  ASSERT_TRUE(fe.Start(err)) << err;
  // Written after the front end opened its outbox: owed from now on.
  site.Store(t0);
  site.Store(t0 + 10);
  site.Store(t0 + 20);
  ASSERT_TRUE(WaitFor([&] { return fe.counts().records >= 9; }));
  fe.Stop();

  auto reqs = receiver.requests();
  ASSERT_FALSE(reqs.empty());
  for (const Received& r : reqs) {
    ASSERT_TRUE(r.decoded) << "the body is not a snappy-compressed WriteRequest";
    EXPECT_EQ("snappy", r.headers.at("content-encoding"));
    EXPECT_EQ("application/x-protobuf", r.headers.at("content-type"));
    EXPECT_EQ("0.1.0", r.headers.at("x-prometheus-remote-write-version"));
    EXPECT_EQ("k417t-run", r.headers.at("user-agent"));
    for (const rw::Series& s : r.series) {
      ASSERT_FALSE(s.labels.empty());
      std::set<std::string> names;
      for (size_t i = 0; i < s.labels.size(); ++i) {
        names.insert(s.labels[i].first);
        if (i > 0) {
          EXPECT_LT(s.labels[i - 1].first, s.labels[i].first) << "labels not sorted";
        }
      }
      EXPECT_TRUE(names.count("__name__"));
      EXPECT_TRUE(names.count("device"));
      EXPECT_TRUE(std::count(s.labels.begin(), s.labels.end(),
                             std::make_pair(std::string("site"), std::string("north-7"))));
      for (size_t i = 1; i < s.samples.size(); ++i) {
        EXPECT_LT(s.samples[i - 1].first, s.samples[i].first) << "samples not in time order";
      }
    }
  }
  // The DC bus voltage: the simulator's 53.5 V at each record's time in ms.
  std::vector<int64_t> times;
  for (const Received& r : reqs)
    if (const rw::Series* s = Find(r.series, "k417t_dc_voltage_volts", "21"))
      for (const auto& x : s->samples) {
        times.push_back(x.first);
        EXPECT_NEAR(53.5, x.second, 1e-3);
      }
  EXPECT_EQ((std::vector<int64_t>{t0 * 1000, (t0 + 10) * 1000, (t0 + 20) * 1000}), times);
  // The rectifier group is the device's own unit: no unit label.
  bool rectifier = false;
  for (const Received& r : reqs)
    if (const rw::Series* s = Find(r.series, "k417t_rectifier_output_voltage_volts")) {
      rectifier = true;
      for (const auto& l : s->labels) EXPECT_NE("unit", l.first);
    }
  EXPECT_TRUE(rectifier);
}

TEST(RemoteWriteDelivery, RetriesServerErrorsAndDropsOtherRefusalsKeepingOrder) {
  TempDir dir;
  Receiver receiver;
  Site site(dir.path + "/h.db");
  const int64_t t0 = 1700000000;
  rw::RemoteWriteConfig cfg = Config(receiver);
  cfg.batch_records = 3;  // one request per stored time (three units)
  std::mutex log_mu;
  std::vector<std::string> log;
  rw::RemoteWriteFrontEnd fe(*site.view, cfg, [&](const std::string& l) {
    std::lock_guard<std::mutex> g(log_mu);
    log.push_back(l);
  });
  fe.SetFirstBackoffMs(100);
  // t0: 500 then 429 (Retry-After 1) then accepted; t0+10: refused with 400
  // and dropped; t0+20 and t0+30: accepted.
  receiver.Answer(500);
  receiver.Answer(429, "1");
  receiver.Answer(204);
  receiver.Answer(400);
  std::string err;
  ASSERT_TRUE(fe.Start(err)) << err;
  auto outbox = site.view->OpenOutbox("remote_write");
  for (int64_t k = 0; k < 4; ++k) site.Store(t0 + 10 * k);
  ASSERT_TRUE(WaitFor([&] { return outbox->Health().pending_records == 0; }))
      << outbox->Health().pending_records << " pending";
  fe.Stop();

  auto reqs = receiver.requests();
  ASSERT_EQ(6u, reqs.size());
  EXPECT_EQ((std::vector<int>{500, 429, 204, 400, 204, 204}),
            (std::vector<int>{reqs[0].answered, reqs[1].answered, reqs[2].answered,
                              reqs[3].answered, reqs[4].answered, reqs[5].answered}));
  // The retries carried the same samples as the first attempt.
  for (int i = 0; i < 3; ++i) {
    const rw::Series* s = Find(reqs[i].series, "k417t_dc_voltage_volts", "21");
    ASSERT_NE(nullptr, s);
    EXPECT_EQ(t0 * 1000, s->samples.at(0).first);
  }
  // Delivered once each, in order; the refused one is not sent again.
  EXPECT_EQ((std::vector<int64_t>{t0 * 1000, (t0 + 20) * 1000, (t0 + 30) * 1000}),
            AcceptedVoltageTimes(reqs));
  const qmx::view::OutboxHealth h = outbox->Health();
  EXPECT_EQ(3u, h.rejected);  // the three units' records of t0+10
  EXPECT_EQ(9u, h.sent_records);
  EXPECT_NE(std::string::npos, h.last_error.find("400")) << h.last_error;
  EXPECT_GT(h.last_success, 0);
  const auto c = fe.counts();
  EXPECT_EQ(2u, c.failures);
  EXPECT_EQ(3u, c.rejected);
  EXPECT_EQ(9u, c.records);
  const std::string text = Text(log);
  EXPECT_NE(std::string::npos, text.find("HTTP 500")) << text;
  EXPECT_NE(std::string::npos, text.find("refused 3 records for good")) << text;
  EXPECT_NE(std::string::npos, text.find("nothing left to deliver")) << text;
}

TEST(RemoteWriteDelivery, RetryAfterIsHonoured) {
  TempDir dir;
  Receiver receiver;
  Site site(dir.path + "/h.db");
  rw::RemoteWriteFrontEnd fe(*site.view, Config(receiver), nullptr);
  fe.SetFirstBackoffMs(50);
  receiver.Answer(429, "2");
  std::string err;
  ASSERT_TRUE(fe.Start(err)) << err;
  const auto start = std::chrono::steady_clock::now();
  site.Store(1700000000);
  ASSERT_TRUE(WaitFor([&] { return fe.counts().records == 3; }));
  // The first attempt may wait up to a second for its wake-up.
  EXPECT_GE(std::chrono::steady_clock::now() - start, 1900ms);
  fe.Stop();
  EXPECT_EQ(2u, receiver.requests().size());
}

TEST(RemoteWriteDelivery, AnOutageAndARestartLoseNothingAndSendNothingTwice) {
  TempDir dir;
  const std::string db = dir.path + "/h.db";
  const int64_t t0 = 1700000000;
  Receiver receiver;
  std::vector<std::string> log;
  {
    Site site(db);
    rw::RemoteWriteFrontEnd fe(*site.view, Config(receiver), nullptr);
    std::string err;
    ASSERT_TRUE(fe.Start(err)) << err;
    site.Store(t0);
    site.Store(t0 + 10);
    ASSERT_TRUE(WaitFor([&] { return fe.counts().records == 6; }));
    // The receiver goes away: every attempt fails from now on.
    for (int i = 0; i < 100; ++i) receiver.Answer(503);
    site.Store(t0 + 20);
    ASSERT_TRUE(WaitFor([&] { return fe.counts().failures >= 1; }));
    fe.Stop();
  }
  {
    // Stored while nothing ran.
    Site site(db);
    site.Store(t0 + 30);
  }
  // The receiver is back; a new process starts on the same history.
  Receiver back;
  Site site(db);
  rw::RemoteWriteConfig cfg = Config(back);
  rw::RemoteWriteFrontEnd fe(*site.view, cfg, [&](const std::string& l) { log.push_back(l); });
  std::string err;
  ASSERT_TRUE(fe.Start(err)) << err;
  ASSERT_TRUE(WaitFor(
      [&] { return site.view->OpenOutbox("remote_write")->Health().pending_records == 0; }));
  fe.Stop();
  // The first round of each Site stored its own records too (at the
  // clock's time): only the test's times are checked, in order, each once.
  std::vector<int64_t> mine;
  for (int64_t t : AcceptedVoltageTimes(back.requests()))
    if (t < (t0 + 1000) * 1000) mine.push_back(t);
  EXPECT_EQ((std::vector<int64_t>{(t0 + 20) * 1000, (t0 + 30) * 1000}), mine);
  std::vector<int64_t> before;
  for (int64_t t : AcceptedVoltageTimes(receiver.requests())) before.push_back(t);
  EXPECT_EQ((std::vector<int64_t>{t0 * 1000, (t0 + 10) * 1000}), before);
  EXPECT_NE(std::string::npos, Text(log).find("stored records to deliver")) << Text(log);
}

TEST(RemoteWriteFrontEnd, RefusesToStartWithoutHistory) {
  qmx::SiteHost::Options o;  // no db_path
  auto host = std::make_shared<qmx::SiteHost>(o, [](const std::string&) {});
  qmx::view::SiteView view(*host);
  rw::RemoteWriteConfig cfg;
  cfg.url = "http://127.0.0.1:9/api/v1/write";
  rw::RemoteWriteFrontEnd fe(view, cfg, nullptr);
  std::string err;
  EXPECT_FALSE(fe.Start(err));
  EXPECT_NE(std::string::npos, err.find("history")) << err;
  host->Shutdown();
}

TEST(RemoteWriteConfig, SiteFileMembersAreCheckedAndNamed) {
  const std::set<std::string> none;
  struct Bad {
    const char* json;
    const char* names;  // what the error must mention
  };
  const Bad bad[] = {
      {R"({"url": "ftp://h/x"})", "url"},
      {R"({"url": "http://u:p@h/x"})", "url"},
      {R"({"url": "http://h/x", "colour": 1})", "colour"},
      {R"({"url": "http://h/x", "labels": {"device": "x"}})", "device"},
      {R"({"url": "http://h/x", "labels": {"unit": "x"}})", "unit"},
      {R"({"url": "http://h/x", "labels": {"phase": "x"}})", "phase"},
      {R"({"url": "http://h/x", "labels": {"__name__": "x"}})", "__name__"},
      {R"({"url": "http://h/x", "labels": {"1a": "x"}})", "1a"},
      {R"({"url": "http://h/x", "labels": {"site": 5}})", "site"},
      {R"({"url": "http://h/x", "labels": ["site"]})", "labels"},
      {R"({"url": "http://h/x", "batch_records": 0})", "batch_records"},
      {R"({"url": "http://h/x", "batch_records": 2.5})", "batch_records"},
      {R"({"url": "http://h/x", "max_requests_per_second": -1})", "max_requests_per_second"},
      {R"({"url": "http://h/x", "timeout_s": "10"})", "timeout_s"},
      {R"({"url": "http://h/x", "username": "gw"})", "password_file"},
      {R"({"url": "http://h/x", "username": "gw", "password_file": "/p",
           "bearer_token_file": "/t"})",
       "bearer_token_file"},
      {R"({"url": "http://h/x", "cert_file": "/c"})", "key_file"},
      {R"([1])", "remote_write"},
  };
  for (const Bad& b : bad) {
    rw::RemoteWriteConfig cfg;
    std::string err;
    EXPECT_FALSE(rw::ReadSiteRemoteWrite(Parse(b.json), "site.json", none, cfg, err)) << b.json;
    EXPECT_NE(std::string::npos, err.find(b.names)) << b.json << " -> " << err;
  }
  rw::RemoteWriteConfig cfg;
  std::string err;
  ASSERT_TRUE(rw::ReadSiteRemoteWrite(
      Parse(R"({"url": "https://prom:9090/api/v1/write", "labels": {"site": "n7", "region": "eu"},
               "batch_records": 50, "max_requests_per_second": 2, "timeout_s": 3})"),
      "site.json", none, cfg, err))
      << err;
  EXPECT_EQ((rw::Labels{{"region", "eu"}, {"site", "n7"}}), cfg.labels);
  EXPECT_EQ(50u, cfg.batch_records);
  // The command line wins over the site file.
  rw::RemoteWriteConfig over;
  over.url = "http://127.0.0.1:1/w";
  ASSERT_TRUE(rw::AddLabelOption(over, "site=cli", err)) << err;
  EXPECT_FALSE(rw::AddLabelOption(over, "nolabel", err));
  EXPECT_FALSE(rw::AddLabelOption(over, "device=3", err));
  ASSERT_TRUE(rw::ReadSiteRemoteWrite(Parse(R"({"url": "http://h/x", "labels": {"site": "f"}})"),
                                      "site.json", {"url", "labels"}, over, err))
      << err;
  EXPECT_EQ("http://127.0.0.1:1/w", over.url);
  EXPECT_EQ((rw::Labels{{"site", "cli"}}), over.labels);
}

TEST(RemoteWriteConfig, SecretsComeFromPrivateFilesAndCleartextIsNoticed) {
  TempDir dir;
  const std::string pass = dir.path + "/pass";
  std::ofstream(pass) << "s3cret\n";
  chmod(pass.c_str(), 0644);
  rw::RemoteWriteConfig cfg;
  cfg.url = "http://prom.example/api/v1/write";
  cfg.username = "gw";
  cfg.password_file = pass;
  std::string err;
  EXPECT_FALSE(rw::LoadSecrets(cfg, err));
  EXPECT_NE(std::string::npos, err.find("chmod 600")) << err;
  chmod(pass.c_str(), 0600);
  ASSERT_TRUE(rw::LoadSecrets(cfg, err)) << err;
  EXPECT_EQ("s3cret", cfg.password);
  EXPECT_TRUE(rw::SecretInClear(cfg));
  cfg.url = "https://prom.example/api/v1/write";
  EXPECT_FALSE(rw::SecretInClear(cfg));
  cfg.url = "http://127.0.0.1:9090/api/v1/write";
  EXPECT_FALSE(rw::SecretInClear(cfg));
  const std::string empty = dir.path + "/empty";
  std::ofstream(empty) << "\n";
  chmod(empty.c_str(), 0600);
  rw::RemoteWriteConfig tok;
  tok.bearer_token_file = empty;
  EXPECT_FALSE(rw::LoadSecrets(tok, err));
}

}  // namespace
