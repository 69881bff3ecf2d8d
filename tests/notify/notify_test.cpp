// Notifications: the delay and rate gate on a fake clock; the exec hook with
// real commands (shell scripts written to a temporary folder); the webhook
// against a small HTTP receiver in this test that can be away, answer 503
// or 400, and a history file shared across restarts.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <json/json.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

#include "input/checked_json.h"
#include "notify/exec_hook.h"
#include "notify/notice_gate.h"
#include "notify/notify_config.h"
#include "notify/webhook.h"
#include "store/history_store.h"

namespace {

namespace nf = qmx::notify;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

qmx::view::AlarmNotice Notice(const std::string& kind, uint32_t seq = 9,
                              const std::string& key = "AC_8") {
  qmx::view::AlarmNotice n;
  n.time = 1700000000 + seq;
  n.kind = kind;
  n.device = 1;
  n.device_name = "plant-1";
  n.data_id = 11;
  n.key = key;
  n.seq = seq;
  n.level = 3;
  n.code = "06017";
  n.name = "AC phase missing";
  n.text = "input 1 phase A";
  n.name_en = "AC phase missing";
  n.place_en = "AC input 1, phase A";
  n.state = kind == "raised" ? "active_unacknowledged" : "cleared_unacknowledged";
  return n;
}

qmx::view::AlarmNotice DeviceNotice(const std::string& kind) {
  qmx::view::AlarmNotice n;
  n.time = 1700000000;
  n.kind = kind;
  n.device = 2;
  n.device_name = "plant-2";
  return n;
}

Json::Value Parse(const std::string& text) {
  Json::Value v;
  std::string err;
  EXPECT_TRUE(qmx::json::Parse(text, "test", v, err)) << err << " in " << text;
  return v;
}

std::string TempDir() {
  char tmpl[] = "/tmp/k417t-notify-XXXXXX";
  const char* d = mkdtemp(tmpl);
  EXPECT_NE(d, nullptr);
  return d ? d : "/tmp";
}

std::string Script(const std::string& dir, const std::string& name, const std::string& body) {
  const std::string path = dir + "/" + name;
  std::ofstream(path) << "#!/bin/sh\n" << body;
  chmod(path.c_str(), 0700);
  return path;
}

template <typename F>
bool WaitFor(F done, std::chrono::milliseconds limit) {
  const auto end = Clock::now() + limit;
  while (Clock::now() < end) {
    if (done()) return true;
    std::this_thread::sleep_for(5ms);
  }
  return done();
}

struct Logs {
  std::mutex mu;
  std::vector<std::string> lines;
  nf::ExecHook::Log sink() {
    return [this](const std::string& l) {
      std::lock_guard<std::mutex> lock(mu);
      lines.push_back(l);
    };
  }
  std::string find(const std::string& part) {
    std::lock_guard<std::mutex> lock(mu);
    for (const std::string& l : lines)
      if (l.find(part) != std::string::npos) return l;
    return "";
  }
};

// ---- The gate: delay and rate limit.

TEST(NoticeGate, DelayedRaiseIsSentOnlyIfStillStandingAndItsClearCancelsBoth) {
  nf::NoticeGate gate(5, 0);
  std::vector<nf::Outgoing> out;
  gate.Offer(Notice("raised", 1), 0, out);
  gate.Offer(Notice("raised", 2), 1000, out);
  gate.Offer(Notice("chattering", 1), 1500, out);  // held behind its raise
  gate.Offer(Notice("cleared", 1), 2000, out);
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(gate.cancelled(), 3u);
  gate.Tick(5999, out);
  EXPECT_TRUE(out.empty());
  gate.Tick(6000, out);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].notice.kind, "raised");
  EXPECT_EQ(out[0].notice.seq, 2u);
  // After the delay the clear is news of its own.
  gate.Offer(Notice("cleared", 2), 7000, out);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[1].notice.kind, "cleared");
  EXPECT_EQ(gate.NextDue(), INT64_MAX);
  // A device that stops answering and answers again within the delay.
  gate.Offer(DeviceNotice("unknown"), 8000, out);
  gate.Offer(DeviceNotice("known"), 9000, out);
  gate.Offer(Notice("acknowledged", 3), 9000, out);  // nothing held for it: sent
  gate.Tick(20000, out);
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(out[2].notice.kind, "acknowledged");
}

TEST(NoticeGate, FloodBeyondTheRateIsFoldedIntoOneDigestWhenTheMinuteEnds) {
  nf::NoticeGate gate(0, 3);
  std::vector<nf::Outgoing> out;
  for (uint32_t i = 1; i <= 10; ++i) gate.Offer(Notice("raised", i), i * 100, out);
  ASSERT_EQ(out.size(), 3u);
  for (uint32_t i = 0; i < 3; ++i) EXPECT_EQ(out[i].notice.seq, i + 1);
  gate.Fold(2, "2 turned away by a full queue", 2000);
  EXPECT_EQ(gate.NextDue(), 100 + 60000);
  gate.Tick(60099, out);
  EXPECT_EQ(out.size(), 3u);
  gate.Tick(60100, out);
  ASSERT_EQ(out.size(), 4u);
  const nf::Outgoing& d = out[3];
  EXPECT_EQ(d.notice.kind, "digest");
  EXPECT_EQ(d.folded, 9u);
  EXPECT_EQ(d.notice.text.rfind("9 more alarm notices: raised 11_AC_8_4 on plant-1", 0), 0u)
      << d.notice.text;
  EXPECT_NE(d.notice.text.find("and 4 more"), std::string::npos) << d.notice.text;
  const Json::Value j = nf::OutgoingJson(d);
  EXPECT_EQ(j["kind"].asString(), "digest");
  EXPECT_EQ(j["count"].asUInt64(), 9u);
  // The digest counts in the new minute: two more go out, the third waits.
  gate.Offer(Notice("cleared", 1), 60200, out);
  gate.Offer(Notice("cleared", 2), 60300, out);
  gate.Offer(Notice("cleared", 3), 60400, out);
  ASSERT_EQ(out.size(), 6u);
  gate.Tick(120100, out);
  ASSERT_EQ(out.size(), 7u);
  EXPECT_EQ(out[6].folded, 1u);
  EXPECT_EQ(gate.folded(), 10u);
}

TEST(NoticeText, LineAndEnvironmentCarryNoControlCharacters) {
  qmx::view::AlarmNotice n = Notice("raised");
  n.text = "phase\x1b[2J A\nX";
  n.device_name = "plant\r1";
  const nf::Outgoing o{n, 0};
  const std::string line = nf::NoticeLine(o);
  EXPECT_EQ(line,
            "k417t plant 1: alarm raised: AC phase missing at AC input 1, phase A (minor, "
            "code 06017: phase [2J A X)");
  for (const std::string& e : nf::NoticeEnvironment(o))
    for (char c : e) EXPECT_GE(static_cast<unsigned char>(c), 0x20) << e;
}

// ---- The site file.

TEST(NotifyConfig, EveryMemberIsCheckedAndNamed) {
  const std::string dir = TempDir();
  const std::string hook = Script(dir, "hook", "exit 0\n");
  const std::string plain = dir + "/plain";
  std::ofstream(plain) << "x";
  auto read = [](const std::string& text, std::string& error) {
    nf::NotifyConfig cfg;
    const bool ok = nf::ReadSiteNotify(Parse(text), "site.json", cfg, error);
    return std::make_pair(ok, cfg);
  };
  std::string error;
  auto [ok, cfg] = read(R"({})", error);
  EXPECT_TRUE(ok);
  EXPECT_FALSE(cfg.on());
  std::tie(ok, cfg) = read(R"({"notify": {"exec": {"command": ")" + hook +
                               R"(", "delay_s": 30, "kinds": ["raised"], "max_per_minute": 0},
                 "webhook": {"url": "https://noc.example/hook", "timeout_s": 5}}})",
                           error);
  ASSERT_TRUE(ok) << error;
  EXPECT_EQ(cfg.exec.rules.delay_s, 30);
  EXPECT_EQ(cfg.exec.rules.kinds, std::set<std::string>{"raised"});
  EXPECT_EQ(cfg.exec.rules.max_per_minute, 0);
  EXPECT_EQ(cfg.webhook.rules.kinds, nf::DefaultKinds());
  EXPECT_EQ(cfg.webhook.timeout_s, 5);

  const std::pair<std::string, std::string> bad[] = {
      {R"({"notify": []})", "notify must be an object"},
      {R"({"notify": {"mail": {}}})", "unknown member \"mail\""},
      {R"({"notify": {"exec": {}}})", "notify.exec needs \"command\""},
      {R"({"notify": {"exec": {"command": "hook.sh"}}})", "must be an absolute path"},
      {R"({"notify": {"exec": {"command": ")" + plain + R"("}}})", "is not an executable file"},
      {R"({"notify": {"exec": {"command": ")" + dir + R"("}}})", "is not an executable file"},
      {R"({"notify": {"exec": {"command": ")" + hook + R"(", "timeout_s": 0}}})",
       "notify.exec.timeout_s must be a number"},
      {R"({"notify": {"exec": {"command": ")" + hook + R"(", "kinds": ["raised", "boom"]}}})",
       "notify.exec.kinds[1] must be one of"},
      {R"({"notify": {"exec": {"command": ")" + hook + R"(", "max_per_minute": 1.5}}})",
       "notify.exec.max_per_minute must be a whole number"},
      {R"({"notify": {"webhook": {"url": "ftp://x/y"}}})", "notify.webhook.url"},
      {R"({"notify": {"webhook": {"url": "http://u:p@x/y"}}})", "must not carry a user"},
      {R"({"notify": {"webhook": {"url": "http://x/", "username": "a"}}})",
       "notify.webhook.username needs password_file"},
      {R"({"notify": {"webhook": {"url": "http://x/", "delay_s": -1}}})",
       "notify.webhook.delay_s must be a number"},
      {R"({"notify": {"webhook": {"url": "http://x/", "kinds": []}}})",
       "notify.webhook.kinds must be a non-empty list"},
  };
  for (const auto& [text, want] : bad) {
    error.clear();
    std::tie(ok, cfg) = read(text, error);
    EXPECT_FALSE(ok) << text;
    EXPECT_NE(error.find(want), std::string::npos) << text << " -> " << error;
    EXPECT_EQ(error.rfind("site.json: notify", 0), 0u) << error;
  }
  // A token file others may read is refused when the secrets are loaded.
  const std::string token = dir + "/token";
  std::ofstream(token) << "secret\n";
  chmod(token.c_str(), 0644);
  std::tie(ok, cfg) = read(
      R"({"notify": {"webhook": {"url": "http://x/", "bearer_token_file": ")" + token + R"("}}})",
      error);
  ASSERT_TRUE(ok) << error;
  EXPECT_FALSE(nf::LoadNotifySecrets(cfg, error));
  EXPECT_NE(error.find("chmod 600"), std::string::npos) << error;
  chmod(token.c_str(), 0600);
  EXPECT_TRUE(nf::LoadNotifySecrets(cfg, error)) << error;
  EXPECT_EQ(cfg.webhook.bearer_token, "secret");
}

// ---- The exec hook.

nf::ExecConfig Exec(const std::string& command, double timeout_s = 10) {
  nf::ExecConfig c;
  c.command = command;
  c.timeout_s = timeout_s;
  c.rules.max_per_minute = 0;
  return c;
}

std::map<std::string, std::string> ReadEnv(const std::string& path) {
  std::map<std::string, std::string> env;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    const size_t eq = line.find('=');
    if (eq != std::string::npos) env[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return env;
}

TEST(ExecHook, RaiseReachesTheHookWithItsEnvironmentAndMessage) {
  const std::string dir = TempDir();
  // Writes its argument and environment, then tells on stdout with an
  // escape sequence, which the log must show escaped.
  const std::string hook =
      Script(dir, "hook",
             "printf 'ARG=%s\\n' \"$1\" > \"" + dir + "/out.tmp\"\n" + "env >> \"" + dir +
                 "/out.tmp\"\n" + "mv \"" + dir + "/out.tmp\" \"" + dir + "/out\"\n" +
                 "printf 'sent \\033[31m ok\\n'\nexit 3\n");
  setenv("K417T_TEST_SERVICE_ONLY", "1", 1);
  Logs logs;
  nf::ExecHook h(Exec(hook), logs.sink());
  h.Start();
  qmx::view::AlarmNotice n = Notice("raised");
  n.text = "input 1\x07 phase A";
  const auto t0 = Clock::now();
  h.Offer(n);
  h.Offer(Notice("settled"));  // not among the default kinds: never run
  ASSERT_TRUE(WaitFor([&] { return access((dir + "/out").c_str(), F_OK) == 0; }, 10s));
  const double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
  std::cout << "raise-to-hook latency: " << ms << " ms\n";
  const auto env = ReadEnv(dir + "/out");
  EXPECT_EQ(env.at("ARG").rfind("k417t plant-1: alarm raised: AC phase missing", 0), 0u);
  EXPECT_EQ(env.at("K417T_KIND"), "raised");
  EXPECT_EQ(env.at("K417T_DEVICE"), "1");
  EXPECT_EQ(env.at("K417T_DEVICE_NAME"), "plant-1");
  EXPECT_EQ(env.at("K417T_ALARM_ID"), "11_AC_8_9");
  EXPECT_EQ(env.at("K417T_CODE"), "06017");
  EXPECT_EQ(env.at("K417T_SEVERITY"), "minor");
  EXPECT_EQ(env.at("K417T_STATE"), "active_unacknowledged");
  EXPECT_EQ(env.at("K417T_TEXT"), "input 1  phase A");
  EXPECT_EQ(env.at("K417T_PLACE_EN"), "AC input 1, phase A");
  EXPECT_EQ(env.at("K417T_TIME"), "1700000009");
  const Json::Value j = Parse(env.at("K417T_JSON"));
  EXPECT_EQ(j["kind"].asString(), "raised");
  EXPECT_EQ(j["id"].asString(), "11_AC_8_9");
  EXPECT_EQ(j["text"].asString(), "input 1\x07 phase A");  // escaped in the JSON, not lost
  EXPECT_EQ(env.count("K417T_TEST_SERVICE_ONLY"), 0u);     // the service's own stays its own
  ASSERT_TRUE(WaitFor([&] { return h.counts().runs == 1; }, 5s));
  std::this_thread::sleep_for(200ms);
  h.Stop();
  EXPECT_EQ(h.counts().runs, 1u);
  EXPECT_EQ(h.counts().failed, 1u);
  const std::string line = logs.find("exit status 3");
  EXPECT_NE(line.find("for raised 11_AC_8_9 of device 1"), std::string::npos) << line;
  EXPECT_NE(line.find("output: \"sent \\x1B[31m ok"), std::string::npos) << line;
  EXPECT_EQ(line.find('\x1b'), std::string::npos);
}

TEST(ExecHook, HungHookIsKilledAtItsTimeOutAndTheNextStillRuns) {
  const std::string dir = TempDir();
  // Ignores SIGTERM (and so does its sleep): only SIGKILL ends it.
  const std::string hook = Script(dir, "hook",
                                  "if [ \"$K417T_KIND\" = raised ]; then trap '' TERM; sleep 60; "
                                  "fi\necho \"$K417T_KIND\" >> \"" +
                                      dir + "/done\"\n");
  Logs logs;
  nf::ExecHook h(Exec(hook, 0.3), logs.sink());
  h.Start();
  const auto t0 = Clock::now();
  h.Offer(Notice("raised"));
  h.Offer(Notice("cleared"));
  ASSERT_TRUE(WaitFor([&] { return h.counts().runs == 2; }, 20s));
  const double s = std::chrono::duration<double>(Clock::now() - t0).count();
  h.Stop();
  EXPECT_LT(s, 15);  // not the hook's 60 s
  const nf::ExecHook::Counts c = h.counts();
  EXPECT_EQ(c.timed_out, 1u);
  EXPECT_EQ(c.succeeded, 1u);
  const std::string line = logs.find("still running after its time-out");
  EXPECT_NE(line.find("for raised"), std::string::npos) << line;
  EXPECT_NE(line.find("SIGKILL"), std::string::npos) << line;
  std::ifstream done(dir + "/done");
  std::string first;
  std::getline(done, first);
  EXPECT_EQ(first, "cleared");
}

TEST(ExecHook, DelayedRaiseClearedInTimeRunsNothing) {
  const std::string dir = TempDir();
  const std::string hook =
      Script(dir, "hook", "echo \"$K417T_KIND $K417T_ALARM_ID\" >> \"" + dir + "/runs\"\n");
  Logs logs;
  nf::ExecConfig cfg = Exec(hook);
  cfg.rules.delay_s = 0.5;
  nf::ExecHook h(cfg, logs.sink());
  h.Start();
  h.Offer(Notice("raised", 1));
  h.Offer(Notice("cleared", 1));
  h.Offer(Notice("raised", 2));
  ASSERT_TRUE(WaitFor([&] { return h.counts().runs == 1; }, 10s));
  std::this_thread::sleep_for(700ms);
  h.Stop();
  EXPECT_EQ(h.counts().runs, 1u);
  EXPECT_EQ(h.counts().cancelled, 2u);
  std::ifstream in(dir + "/runs");
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(all, "raised 11_AC_8_2\n");
}

// ---- The webhook.

// An HTTP receiver on 127.0.0.1 that answers each POST with the next queued
// status (then 204), keeping the bodies it answered with 2xx.
class Receiver {
 public:
  explicit Receiver(uint16_t port = 0) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
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
  uint16_t port() const { return port_; }
  void Answer(int status) {
    std::lock_guard<std::mutex> l(mu_);
    answers_.push_back(status);
  }
  std::vector<Json::Value> delivered() const {
    std::lock_guard<std::mutex> l(mu_);
    return delivered_;
  }
  int requests() const {
    std::lock_guard<std::mutex> l(mu_);
    return requests_;
  }
  std::string content_type() const {
    std::lock_guard<std::mutex> l(mu_);
    return content_type_;
  }
  Clock::time_point first_at() const {
    std::lock_guard<std::mutex> l(mu_);
    return first_at_;
  }

 private:
  void Serve() {
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 20) <= 0) continue;
      const int c = accept(fd_, nullptr, nullptr);
      if (c < 0) continue;
      ServeOne(c);
      close(c);
    }
  }
  void ServeOne(int c) {
    std::string in;
    char buf[8192];
    size_t head_end = std::string::npos, length = 0;
    std::string type;
    const auto deadline = Clock::now() + 5s;
    while (Clock::now() < deadline) {
      pollfd p{c, POLLIN, 0};
      if (poll(&p, 1, 20) <= 0) continue;
      const ssize_t n = read(c, buf, sizeof buf);
      if (n <= 0) return;
      in.append(buf, static_cast<size_t>(n));
      if (head_end == std::string::npos && (head_end = in.find("\r\n\r\n")) != std::string::npos) {
        head_end += 4;
        std::istringstream h(in.substr(0, head_end));
        std::string line;
        while (std::getline(h, line)) {
          if (!line.empty() && line.back() == '\r') line.pop_back();
          std::string lower = line;
          for (char& ch : lower)
            ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
          if (lower.rfind("content-length:", 0) == 0) length = std::stoul(line.substr(15));
          if (lower.rfind("content-type:", 0) == 0) type = line.substr(14);
        }
      }
      if (head_end != std::string::npos && in.size() >= head_end + length) break;
    }
    if (head_end == std::string::npos) return;
    int status = 204;
    {
      std::lock_guard<std::mutex> l(mu_);
      ++requests_;
      if (!answers_.empty()) {
        status = answers_.front();
        answers_.pop_front();
      }
      if (status / 100 == 2) {
        if (delivered_.empty()) first_at_ = Clock::now();
        delivered_.push_back(Parse(in.substr(head_end, length)));
        content_type_ = type;
      }
    }
    const std::string answer = "HTTP/1.1 " + std::to_string(status) +
                               " X\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    (void)!write(c, answer.data(), answer.size());
  }

  int fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  mutable std::mutex mu_;
  std::deque<int> answers_;
  std::vector<Json::Value> delivered_;
  int requests_ = 0;
  std::string content_type_;
  Clock::time_point first_at_;
};

// A port nothing listens on (yet).
uint16_t FreePort() {
  Receiver r;
  return r.port();
}

nf::WebhookConfig Hook(uint16_t port) {
  nf::WebhookConfig c;
  c.url = "http://127.0.0.1:" + std::to_string(port) + "/hook";
  c.timeout_s = 2;
  c.rules.max_per_minute = 0;
  return c;
}

std::unique_ptr<qmx::store::HistoryStore> History(const std::string& path) {
  qmx::store::HistoryOptions o;
  o.path = path;
  auto h = std::make_unique<qmx::store::HistoryStore>(o);
  EXPECT_TRUE(h->Open());
  return h;
}

// The webhook's notices in this history, as the view opens them.
std::shared_ptr<qmx::view::NoticeOutbox> Kept(qmx::store::HistoryStore& history) {
  return std::make_shared<qmx::view::NoticeOutbox>(history, nf::Webhook::kSink);
}

std::vector<uint32_t> Seqs(const std::vector<Json::Value>& bodies) {
  std::vector<uint32_t> s;
  for (const Json::Value& b : bodies) s.push_back(b["seq"].asUInt());
  return s;
}

TEST(Webhook, EndpointAwayThenBackGetsEveryNoticeInOrderOnce) {
  const std::string dir = TempDir();
  auto history = History(dir + "/h.db");
  const uint16_t port = FreePort();
  Logs logs;
  nf::Webhook w(Hook(port), Kept(*history), logs.sink());
  w.SetFirstBackoffMs(50);
  std::string error;
  ASSERT_TRUE(w.Start(error)) << error;
  for (uint32_t i = 1; i <= 5; ++i) w.Offer(Notice("raised", i));
  ASSERT_TRUE(WaitFor([&] { return w.counts().failures >= 2; }, 10s));
  EXPECT_EQ(w.counts().queued, 5u);
  EXPECT_EQ(w.counts().owed, 5u);
  {
    Receiver r(port);
    r.Answer(503);  // back, but not ready
    r.Answer(204);
    r.Answer(400);  // refuses the second for good
    ASSERT_TRUE(WaitFor([&] { return r.delivered().size() == 4; }, 20s));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(Seqs(r.delivered()), (std::vector<uint32_t>{1, 3, 4, 5}));
    EXPECT_EQ(r.requests(), 6);
    EXPECT_EQ(r.content_type(), "application/json");
    const Json::Value first = r.delivered()[0];
    EXPECT_EQ(first["kind"].asString(), "raised");
    EXPECT_EQ(first["id"].asString(), "11_AC_8_1");
    // A new notice while it is up arrives promptly.
    const auto t0 = Clock::now();
    w.Offer(Notice("cleared", 1));
    ASSERT_TRUE(WaitFor([&] { return r.delivered().size() == 5; }, 10s));
    std::cout << "raise-to-webhook latency: "
              << std::chrono::duration<double, std::milli>(Clock::now() - t0).count()
              << " ms (endpoint up)\n";
    EXPECT_EQ(r.delivered()[4]["kind"].asString(), "cleared");
  }
  const nf::Webhook::Counts c = w.counts();
  EXPECT_EQ(c.delivered, 5u);
  EXPECT_EQ(c.refused, 1u);
  EXPECT_EQ(c.owed, 0u);
  w.Stop();
  EXPECT_NE(logs.find("refused a notice for good (HTTP 400)"), "");
}

TEST(Webhook, NoticesOwedAcrossARestartArriveOnceInOrder) {
  const std::string dir = TempDir();
  const std::string db = dir + "/h.db";
  const uint16_t port = FreePort();
  Logs logs;
  {
    auto history = History(db);
    nf::Webhook w(Hook(port), Kept(*history), logs.sink());
    w.SetFirstBackoffMs(50);
    std::string error;
    ASSERT_TRUE(w.Start(error)) << error;
    for (uint32_t i = 1; i <= 3; ++i) w.Offer(Notice("raised", i));
    ASSERT_TRUE(WaitFor([&] { return w.counts().queued == 3 && w.counts().failures >= 1; }, 10s));
    w.Stop();
  }
  EXPECT_NE(logs.find("3 left in the history for the next run"), "");
  Receiver r(port);
  {
    auto history = History(db);
    nf::Webhook w(Hook(port), Kept(*history), logs.sink());
    std::string error;
    ASSERT_TRUE(w.Start(error)) << error;
    EXPECT_NE(logs.find("3 owed from before"), "");
    w.Offer(Notice("raised", 4));
    ASSERT_TRUE(WaitFor([&] { return r.delivered().size() == 4; }, 10s));
    w.Stop();
  }
  EXPECT_EQ(Seqs(r.delivered()), (std::vector<uint32_t>{1, 2, 3, 4}));
  // A third run owes nothing: none is sent twice.
  {
    auto history = History(db);
    nf::Webhook w(Hook(port), Kept(*history), logs.sink());
    std::string error;
    ASSERT_TRUE(w.Start(error)) << error;
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(w.counts().owed, 0u);
    w.Stop();
  }
  EXPECT_EQ(r.requests(), 4);
}

TEST(Webhook, WithoutHistoryNoticesWaitInMemory) {
  const uint16_t port = FreePort();
  Logs logs;
  nf::WebhookConfig cfg = Hook(port);
  cfg.memory_queue = 2;
  nf::Webhook w(cfg, nullptr, logs.sink());
  w.SetFirstBackoffMs(50);
  std::string error;
  ASSERT_TRUE(w.Start(error)) << error;
  EXPECT_NE(logs.find("no history: notices wait in memory (at most 2)"), "");
  for (uint32_t i = 1; i <= 3; ++i) w.Offer(Notice("raised", i));
  ASSERT_TRUE(WaitFor([&] { return w.counts().queued == 3 && w.counts().failures >= 1; }, 10s));
  EXPECT_EQ(w.counts().dropped, 1u);
  Receiver r(port);
  ASSERT_TRUE(WaitFor([&] { return r.delivered().size() == 2; }, 10s));
  w.Stop();
  EXPECT_EQ(Seqs(r.delivered()), (std::vector<uint32_t>{2, 3}));
}

}  // namespace
