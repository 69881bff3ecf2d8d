#include "notify/webhook.h"

#include <curl/curl.h>
#include <fmt/format.h>
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <climits>
#include <ctime>

#include "input/checked_json.h"
#include "remote_write/http_reply.h"
#include "remote_write/remote_write_config.h"
#include "view/site_view.h"

namespace qmx::notify {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int64_t kMaxBackoffMs = 60000;
constexpr int64_t kMaxRetryAfterS = 600;
constexpr size_t kReadBatch = 32;

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
      .count();
}

}  // namespace

Webhook::Webhook(WebhookConfig cfg, std::shared_ptr<view::NoticeOutbox> kept, Log log)
    : cfg_(std::move(cfg)), kept_(std::move(kept)), log_(std::move(log)) {
  if (!log_) log_ = [](const std::string&) {};
}

Webhook::~Webhook() { Stop(); }

bool Webhook::Start(std::string& error) {
  if (started_) return true;
  remote_write::PostTarget t;
  t.url = cfg_.url;
  t.timeout_s = cfg_.timeout_s;
  t.user_agent = cfg_.user_agent;
  t.headers = {"Content-Type: application/json", "Expect:"};
  t.bearer_token = cfg_.bearer_token;
  t.username = cfg_.username;
  t.password = cfg_.password;
  t.ca_file = cfg_.ca_file;
  curl_ = remote_write::OpenPost(t, "webhook", error);
  if (!curl_) return false;
  remote_write::RemoteWriteConfig clear;
  clear.url = cfg_.url;
  clear.password = cfg_.password;
  clear.bearer_token = cfg_.bearer_token;
  if (remote_write::SecretInClear(clear))
    log_("notify: webhook: warning: the password or token goes in clear over http:// to " +
         view::SafeText(cfg_.url) + "; use https://");

  std::string where;
  owed_.clear();
  if (kept_) {
    const uint64_t owed = kept_->Owed();
    where = fmt::format("notices kept in the history; {} owed from before", owed);
    std::lock_guard<std::mutex> lock(counts_mu_);
    counts_.owed = owed;
  } else {
    where = fmt::format("no history: notices wait in memory (at most {}) and are lost at a restart",
                        cfg_.memory_queue);
  }
  std::string kinds;
  for (const std::string& k : cfg_.rules.kinds) kinds += (kinds.empty() ? "" : ",") + k;
  log_(fmt::format("notify: webhook to {} for {}; delay {} s, at most {} a minute; {}",
                   view::SafeText(cfg_.url), kinds, cfg_.rules.delay_s, cfg_.rules.max_per_minute,
                   where));
  {
    std::lock_guard<std::mutex> lock(mu_);
    stop_ = false;
  }
  thread_ = std::thread(&Webhook::Run, this);
  started_ = true;
  return true;
}

void Webhook::Stop() {
  if (!started_) return;
  {
    std::lock_guard<std::mutex> lock(mu_);
    stop_ = true;
  }
  cv_.notify_all();
  if (thread_.joinable()) thread_.join();
  started_ = false;
  const Counts c = counts();
  std::string line = fmt::format("notify: webhook stopped; this run delivered {} notice{}",
                                 c.delivered, c.delivered == 1 ? "" : "s");
  if (c.refused) line += fmt::format(", {} refused by the endpoint", c.refused);
  if (kept_) {
    kept_->Flush();  // the cursor, now
    const uint64_t owed = kept_->Owed();
    line += owed > 0 ? fmt::format("; {} left in the history for the next run", owed)
                     : "; nothing owed";
  } else if (!owed_.empty()) {
    line += fmt::format("; {} lost with the memory queue", owed_.size());
  }
  log_(line);
  curl_.reset();
}

void Webhook::Offer(const view::AlarmNotice& n) {
  if (!cfg_.rules.kinds.count(n.kind)) return;
  bool full = false;
  {
    std::lock_guard<std::mutex> lock(mu_);
    // Bounded: the worker takes what came in before each request (at most
    // timeout_s), so only a flood far beyond any rate limit meets this.
    if (in_.size() >= 4096) {
      in_.pop_front();
      full = true;
    }
    in_.push_back(n);
  }
  if (full) {
    std::lock_guard<std::mutex> lock(counts_mu_);
    if (++counts_.dropped % 1000 == 1)
      log_(
          fmt::format("notify: webhook: 4096 notices waiting for the worker; the oldest dropped "
                      "({} so far)",
                      counts_.dropped));
  }
  cv_.notify_all();
}

Webhook::Counts Webhook::counts() const {
  Counts c;
  {
    std::lock_guard<std::mutex> lock(counts_mu_);
    c = counts_;
  }
  if (kept_) c.owed = kept_->Owed();
  return c;
}

void Webhook::LogLimited(LogKind kind, const std::string& line) {
  const int64_t now = time(nullptr);
  if (last_log_[kind] != 0 && now - last_log_[kind] < 60) {
    ++held_back_[kind];
    return;
  }
  std::string text = line;
  if (held_back_[kind] > 0)
    text += fmt::format(" ({} more such line{} held back)", held_back_[kind],
                        held_back_[kind] == 1 ? "" : "s");
  held_back_[kind] = 0;
  last_log_[kind] = now;
  log_(text);
}

void Webhook::Keep(const Outgoing& o) {
  const std::string body = json::CompactAscii(OutgoingJson(o));
  if (kept_) {
    kept_->Keep(o.notice.time, body);
  } else {
    owed_.push_back({0, body});
    {
      std::lock_guard<std::mutex> lock(counts_mu_);
      counts_.owed = std::min(owed_.size(), cfg_.memory_queue);
    }
    if (owed_.size() > cfg_.memory_queue) {
      owed_.pop_front();
      std::lock_guard<std::mutex> lock(counts_mu_);
      ++counts_.dropped;
      if (counts_.dropped == 1 || counts_.dropped % 100 == 0)
        log_(
            fmt::format("notify: webhook: {} notices waiting in memory; the oldest dropped ({} "
                        "so far)",
                        cfg_.memory_queue, counts_.dropped));
    }
  }
  std::lock_guard<std::mutex> lock(counts_mu_);
  ++counts_.queued;
}

void Webhook::Refill() {
  if (!kept_ || !owed_.empty()) return;
  for (store::StoredNotice& n : kept_->Next(kReadBatch)) owed_.push_back({n.id, std::move(n.body)});
}

Webhook::Answer Webhook::Post(const std::string& body) {
  Answer a;
  remote_write::HttpReply r;
  CURL* h = curl_->h;
  curl_->error[0] = '\0';
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &r);
  curl_easy_setopt(h, CURLOPT_HEADERDATA, &r);
  curl_easy_setopt(h, CURLOPT_POSTFIELDS, body.data());
  curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
  const CURLcode rc = curl_easy_perform(h);
  if (rc != CURLE_OK) {
    a.error = view::SafeText(curl_->error[0] ? curl_->error : curl_easy_strerror(rc));
    return a;
  }
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &a.status);
  a.retry_after_s = r.retry_after_s;
  if (a.status < 200 || a.status > 299) {
    std::string text = r.body.substr(0, r.body.find('\n'));
    if (text.size() > 200) text.resize(200);
    a.error = fmt::format("HTTP {}", a.status);
    if (!text.empty()) a.error += ": " + view::SafeText(text);
  }
  return a;
}

void Webhook::Run() {
  NoticeGate gate(cfg_.rules.delay_s, cfg_.rules.max_per_minute);
  int64_t next_attempt = 0;  // steady ms; back-off
  int64_t backoff_ms = 0;
  uint64_t failed_in_row = 0;
  bool delivered_since_flush = false;
  for (;;) {
    std::deque<view::AlarmNotice> in;
    Refill();
    {
      std::unique_lock<std::mutex> lock(mu_);
      int64_t due = gate.NextDue();
      if (!owed_.empty()) due = std::min(due, next_attempt);
      auto ready = [this] { return stop_ || !in_.empty(); };
      if (due == INT64_MAX) {
        cv_.wait(lock, ready);
      } else {
        const int64_t wait = std::max<int64_t>(0, due - NowMs());
        cv_.wait_for(lock, std::chrono::milliseconds(wait), ready);
      }
      if (stop_) break;
      in.swap(in_);
    }
    std::vector<Outgoing> out;
    const int64_t now = NowMs();
    for (const view::AlarmNotice& n : in) gate.Offer(n, now, out);
    gate.Tick(now, out);
    for (const Outgoing& o : out) Keep(o);
    {
      std::lock_guard<std::mutex> lock(counts_mu_);
      counts_.cancelled = gate.cancelled();
    }

    // Deliver in order until the endpoint fails or new notices come in.
    while (NowMs() >= next_attempt) {
      Refill();
      if (owed_.empty()) break;
      {
        std::lock_guard<std::mutex> lock(mu_);
        if (stop_) break;
      }
      const Owed o = owed_.front();
      const Answer a = Post(o.body);
      const bool retry = a.status == 0 || a.status == 429 || a.status >= 500 ||
                         (a.status >= 300 && a.status < 400) || (a.status > 0 && a.status < 200);
      if (retry) {
        backoff_ms = backoff_ms == 0 ? first_backoff_ms_ : std::min(kMaxBackoffMs, backoff_ms * 2);
        int64_t wait_ms = backoff_ms;
        if (a.retry_after_s >= 0) wait_ms = std::min(a.retry_after_s, kMaxRetryAfterS) * 1000;
        next_attempt = NowMs() + wait_ms;
        ++failed_in_row;
        uint64_t owed = 0;
        {
          std::lock_guard<std::mutex> lock(counts_mu_);
          ++counts_.failures;
          owed = kept_ ? kept_->Owed() : owed_.size();
          if (!kept_) counts_.owed = owed;
        }
        LogLimited(kFailure,
                   fmt::format("notify: webhook: {}; {} notice{} kept; next attempt in {:.1f} s",
                               a.error, owed, owed == 1 ? "" : "s", wait_ms / 1000.0));
        break;
      }
      owed_.pop_front();
      if (o.id > 0) {
        kept_->Done(o.id);
        delivered_since_flush = true;
      }
      backoff_ms = 0;
      {
        std::lock_guard<std::mutex> lock(counts_mu_);
        if (a.status >= 200 && a.status <= 299)
          ++counts_.delivered;
        else
          ++counts_.refused;
        if (!kept_) counts_.owed = owed_.size();
      }
      if (a.status < 200 || a.status > 299)
        LogLimited(kRefused,
                   fmt::format("notify: webhook: the endpoint refused a notice for good ({}); it "
                               "is not sent again",
                               a.error));
      if (failed_in_row > 0)
        log_(fmt::format("notify: webhook: delivering again after {} failed attempt{}",
                         failed_in_row, failed_in_row == 1 ? "" : "s"));
      failed_in_row = 0;
      std::lock_guard<std::mutex> lock(mu_);
      if (!in_.empty()) break;  // new notices are kept before the next is sent
    }
    if (delivered_since_flush && owed_.empty() && kept_) {
      // The cursor written now, not with the next round's commit: a crash
      // after this does not send these again.
      kept_->Flush();
      delivered_since_flush = false;
    }
  }
  const size_t held = gate.held();
  if (held > 0)
    log_(fmt::format("notify: webhook stopped with {} delayed notice{} not sent", held,
                     held == 1 ? "" : "s"));
}

}  // namespace qmx::notify
