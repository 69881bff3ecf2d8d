#include "remote_write/remote_write_front_end.h"

#include <curl/curl.h>
#include <fmt/format.h>
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <ctime>

#include "remote_write/http_reply.h"
#include "remote_write/remote_write_request.h"

namespace qmx::remote_write {

namespace {

using Clock = std::chrono::steady_clock;
constexpr int64_t kMaxBackoffMs = 60000;
// A receiver's Retry-After is honoured up to this.
constexpr int64_t kMaxRetryAfterS = 600;

}  // namespace

RemoteWriteFrontEnd::RemoteWriteFrontEnd(view::SiteView& view, RemoteWriteConfig cfg, Log log)
    : view_(view), cfg_(std::move(cfg)), log_(std::move(log)) {
  if (!log_) log_ = [](const std::string&) {};
}

RemoteWriteFrontEnd::~RemoteWriteFrontEnd() { Stop(); }

bool RemoteWriteFrontEnd::Start(std::string& error) {
  if (started_) return true;
  outbox_ = view_.OpenOutbox("remote_write", false);  // records alone
  if (!outbox_) {
    error = "remote write needs the history (--db): it sends what the history stores";
    return false;
  }
  PostTarget t;
  t.url = cfg_.url;
  t.timeout_s = cfg_.timeout_s;
  t.user_agent = cfg_.user_agent;
  t.headers = {"Content-Encoding: snappy", "Content-Type: application/x-protobuf",
               "X-Prometheus-Remote-Write-Version: 0.1.0",
               // No "100 Continue" round trip before every body.
               "Expect:"};
  t.bearer_token = cfg_.bearer_token;
  t.username = cfg_.username;
  t.password = cfg_.password;
  t.ca_file = cfg_.ca_file;
  t.cert_file = cfg_.cert_file;
  t.key_file = cfg_.key_file;
  curl_ = OpenPost(t, "remote write", error);
  if (!curl_) return false;
  if (SecretInClear(cfg_))
    log_("remote write: warning: the password or token goes in clear over http:// to " +
         view::SafeText(cfg_.url) + "; use https://");
  std::string labels;
  for (const auto& [n, v] : cfg_.labels) labels += (labels.empty() ? "" : ",") + n + "=" + v;
  const view::OutboxHealth h0 = outbox_->Health();
  log_(fmt::format("remote write: to {}{}; {} stored record{} to deliver", view::SafeText(cfg_.url),
                   labels.empty() ? "" : " with " + view::SafeText(labels), h0.pending_records,
                   h0.pending_records == 1 ? "" : "s"));
  outbox_->SetConnected(false);
  {
    std::lock_guard<std::mutex> lock(mu_);
    stop_ = false;
  }
  thread_ = std::thread(&RemoteWriteFrontEnd::Run, this);
  started_ = true;
  return true;
}

void RemoteWriteFrontEnd::Stop() {
  if (!started_) return;
  {
    std::lock_guard<std::mutex> lock(mu_);
    stop_ = true;
  }
  cv_.notify_all();
  if (thread_.joinable()) thread_.join();
  started_ = false;
  outbox_->SetConnected(false);
  const Counts c = counts();
  const view::OutboxHealth h = outbox_->Health();
  const int64_t now = time(nullptr);
  std::string line = fmt::format(
      "remote write: stopped; this run delivered {} record{} ({} samples in {} requests)",
      c.records, c.records == 1 ? "" : "s", c.samples, c.requests);
  if (c.rejected) line += fmt::format(", {} refused by the receiver and dropped", c.rejected);
  if (c.skipped) line += fmt::format(", {} unreadable and skipped", c.skipped);
  if (h.pending_records > 0)
    line += "; left in the history for the next run: " + BacklogText(h, now);
  else
    line += "; nothing left to deliver";
  if (h.lost_records > 0)
    line += fmt::format("; {} records were removed from the history before they could be sent",
                        h.lost_records);
  log_(line);
  curl_.reset();
}

void RemoteWriteFrontEnd::OnRound(const view::RoundView&) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    wake_ = true;
  }
  cv_.notify_all();
}

RemoteWriteFrontEnd::Counts RemoteWriteFrontEnd::counts() const {
  std::lock_guard<std::mutex> lock(counts_mu_);
  return counts_;
}

void RemoteWriteFrontEnd::LogLimited(Kind kind, const std::string& line) {
  const int64_t now = time(nullptr);
  if (last_limited_log_[kind] != 0 && now - last_limited_log_[kind] < 60) {
    ++held_back_[kind];
    return;
  }
  std::string text = line;
  if (held_back_[kind] > 0)
    text += fmt::format(" ({} more such line{} held back)", held_back_[kind],
                        held_back_[kind] == 1 ? "" : "s");
  held_back_[kind] = 0;
  last_limited_log_[kind] = now;
  log_(text);
}

RemoteWriteFrontEnd::Answer RemoteWriteFrontEnd::Post(const std::string& body) {
  Answer a;
  HttpReply r;
  CURL* h = curl_->h;
  curl_->error[0] = '\0';
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &r);
  curl_easy_setopt(h, CURLOPT_HEADERDATA, &r);
  curl_easy_setopt(h, CURLOPT_POSTFIELDS, body.data());
  curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
  const CURLcode rc = curl_easy_perform(h);
  if (rc != CURLE_OK) {
    a.error = curl_->error[0] ? curl_->error : curl_easy_strerror(rc);
    a.error = view::SafeText(a.error);
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

void RemoteWriteFrontEnd::Run() {
  int64_t after = outbox_->cursor().record_id;
  int64_t backoff_ms = 0;
  uint64_t failed_in_row = 0;
  bool more = true;  // the last look found records: look again without waiting
  const auto spacing = std::chrono::microseconds(
      static_cast<int64_t>(1e6 / std::max(0.001, cfg_.max_requests_per_second)));
  Clock::time_point next = Clock::now();
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(mu_);
      if (stop_) break;
      if (Clock::now() < next) {
        // Back-off or pacing: only Stop cuts it short.
        cv_.wait_until(lock, next, [this] { return stop_; });
      } else if (!more) {
        cv_.wait_for(lock, std::chrono::seconds(1), [this] { return stop_ || wake_; });
      }
      if (stop_) break;
      wake_ = false;
    }
    if (Clock::now() < next) continue;

    std::vector<store::HistoryRecord> records = outbox_->RecordsAfter(after, cfg_.batch_records);
    more = !records.empty();
    if (records.empty()) continue;
    Batch b = BuildBatch(view_, records, cfg_.labels);
    const int64_t now_s = time(nullptr);
    if (b.skipped) {
      {
        std::lock_guard<std::mutex> lock(counts_mu_);
        counts_.skipped += b.skipped;
      }
      LogLimited(
          kSkipped,
          fmt::format(
              "remote write: {} stored record{} skipped: no device of the site has the unit, or "
              "the image cannot be read",
              b.skipped, b.skipped == 1 ? "" : "s"));
    }
    if (b.series.empty()) {
      // Nothing to say for these records (all skipped or without numbers).
      outbox_->AckRecords(b.last_id, b.records);
      after = b.last_id;
      continue;
    }
    std::string body;
    Answer a;
    if (!EncodeBody(b.series, body)) {
      a.status = 400;
      a.error = "the request could not be encoded";
    } else {
      a = Post(body);
    }
    const bool retry = a.status == 0 || a.status == 429 || a.status >= 500 ||
                       (a.status >= 300 && a.status < 400) || (a.status > 0 && a.status < 200);
    if (a.status >= 200 && a.status <= 299) {
      outbox_->AckRecords(b.last_id, b.records);
      outbox_->Success(now_s);
      outbox_->SetConnected(true);
      {
        std::lock_guard<std::mutex> lock(counts_mu_);
        ++counts_.requests;
        counts_.records += b.records;
        counts_.samples += b.samples;
      }
      if (failed_in_row > 0)
        log_(fmt::format("remote write: delivering again after {} failed attempt{}", failed_in_row,
                         failed_in_row == 1 ? "" : "s"));
      failed_in_row = 0;
      backoff_ms = 0;
      after = b.last_id;
      next = Clock::now() + spacing;
    } else if (retry) {
      backoff_ms = backoff_ms == 0 ? first_backoff_ms_ : std::min(kMaxBackoffMs, backoff_ms * 2);
      int64_t wait_ms = backoff_ms;
      if (a.retry_after_s >= 0) wait_ms = std::min(a.retry_after_s, kMaxRetryAfterS) * 1000;
      next = Clock::now() + std::chrono::milliseconds(wait_ms);
      outbox_->Error(a.error, now_s);
      outbox_->SetConnected(false);
      {
        std::lock_guard<std::mutex> lock(counts_mu_);
        ++counts_.failures;
      }
      ++failed_in_row;
      const view::OutboxHealth h = outbox_->Health();
      LogLimited(kFailure,
                 fmt::format("remote write: {}; kept in the history: {}; next attempt in {:.1f} s",
                             a.error, BacklogText(h, now_s), wait_ms / 1000.0));
    } else {
      outbox_->RejectRecords(b.last_id, b.records, a.error, now_s);
      outbox_->SetConnected(true);
      {
        std::lock_guard<std::mutex> lock(counts_mu_);
        counts_.rejected += b.records;
      }
      LogLimited(kRefused,
                 fmt::format("remote write: the receiver refused {} record{} for good ({}); "
                             "they are not sent again",
                             b.records, b.records == 1 ? "" : "s", a.error));
      after = b.last_id;
      next = Clock::now() + spacing;
    }
  }
}

}  // namespace qmx::remote_write
