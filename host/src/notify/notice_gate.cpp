#include "notify/notice_gate.h"

#include <fmt/format.h>

#include <algorithm>
#include <climits>
#include <ctime>

namespace qmx::notify {
namespace {

constexpr int64_t kMinuteMs = 60000;
constexpr size_t kSummaryItems = 5;

// The hold a notice belongs to: its alarm, or its device for the device's
// own notices.
std::string HoldKey(const view::AlarmNotice& n) {
  if (!n.key.empty()) return fmt::format("a{}/{}", n.device, n.id());
  return fmt::format("d{}", n.device);
}

bool StartsHold(const view::AlarmNotice& n) {
  return n.key.empty() ? n.kind == "unknown" : n.kind == "raised";
}

bool EndsHold(const view::AlarmNotice& n) {
  if (n.key.empty()) return n.kind == "known";
  return n.kind == "cleared" || n.kind == "acknowledged" || n.kind == "shelved";
}

std::string Who(const view::AlarmNotice& n) {
  return n.device_name.empty() ? fmt::format("device {}", n.device) : n.device_name;
}

std::string Short(const view::AlarmNotice& n) {
  std::string s = n.kind;
  if (!n.key.empty()) s += " " + n.id();
  return s + " on " + Who(n);
}

}  // namespace

std::string PlainText(const std::string& text, size_t max) {
  std::string out = text.substr(0, max);
  for (char& c : out) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) c = ' ';
  }
  return out;
}

NoticeGate::NoticeGate(double delay_s, int max_per_minute)
    : delay_ms_(static_cast<int64_t>(delay_s * 1000)), max_per_minute_(max_per_minute) {}

size_t NoticeGate::held() const {
  size_t n = 0;
  for (const auto& [k, h] : holds_) n += h.notices.size();
  return n;
}

void NoticeGate::Offer(const view::AlarmNotice& n, int64_t now_ms, std::vector<Outgoing>& out) {
  Tick(now_ms, out);
  if (delay_ms_ > 0) {
    const std::string key = HoldKey(n);
    auto it = holds_.find(key);
    if (it != holds_.end()) {
      if (EndsHold(n)) {
        // Gone again before anyone needed telling: neither is sent.
        cancelled_ += it->second.notices.size() + 1;
        holds_.erase(it);
      } else {
        it->second.notices.push_back(n);  // kept behind the raise, in order
      }
      return;
    }
    if (StartsHold(n)) {
      holds_[key] = Hold{now_ms + delay_ms_, {n}};
      return;
    }
  }
  Pass(n, now_ms, out);
}

void NoticeGate::Pass(const view::AlarmNotice& n, int64_t now_ms, std::vector<Outgoing>& out) {
  if (max_per_minute_ <= 0) {
    out.push_back({n, 0});
    return;
  }
  if (window_start_ == INT64_MIN || now_ms - window_start_ >= kMinuteMs) {
    window_start_ = now_ms;
    sent_in_window_ = 0;
  }
  if (pending_folded_ == 0 && sent_in_window_ < max_per_minute_) {
    ++sent_in_window_;
    out.push_back({n, 0});
    return;
  }
  FoldOne(Short(n), 1, now_ms);
}

void NoticeGate::FoldOne(const std::string& what, uint64_t count, int64_t now_ms) {
  if (window_start_ == INT64_MIN) window_start_ = now_ms;
  pending_folded_ += count;
  folded_total_ += count;
  if (pending_summary_.size() < kSummaryItems) pending_summary_.push_back(what);
}

void NoticeGate::Fold(uint64_t count, const std::string& what, int64_t now_ms) {
  if (count == 0) return;
  FoldOne(what, count, now_ms);
}

void NoticeGate::Tick(int64_t now_ms, std::vector<Outgoing>& out) {
  // Delays first, oldest first: what ran out belongs before the digest.
  for (;;) {
    auto first = holds_.end();
    for (auto it = holds_.begin(); it != holds_.end(); ++it)
      if (it->second.due_ms <= now_ms &&
          (first == holds_.end() || it->second.due_ms < first->second.due_ms))
        first = it;
    if (first == holds_.end()) break;
    std::vector<view::AlarmNotice> ready = std::move(first->second.notices);
    holds_.erase(first);
    for (const view::AlarmNotice& n : ready) Pass(n, now_ms, out);
  }
  if (pending_folded_ > 0 && now_ms - window_start_ >= kMinuteMs) {
    Outgoing d;
    d.folded = pending_folded_;
    d.notice.kind = "digest";
    d.notice.time = time(nullptr);
    std::string list;
    for (const std::string& s : pending_summary_) list += (list.empty() ? "" : ", ") + s;
    const uint64_t told = pending_summary_.size();
    d.notice.text = fmt::format("{} more alarm notice{}: {}", pending_folded_,
                                pending_folded_ == 1 ? "" : "s", list);
    if (pending_folded_ > told)
      d.notice.text += fmt::format(" and {} more", pending_folded_ - told);
    d.notice.name_en = fmt::format("{} more alarm notices", pending_folded_);
    pending_folded_ = 0;
    pending_summary_.clear();
    // The digest opens the next minute and counts in it.
    window_start_ = now_ms;
    sent_in_window_ = 1;
    out.push_back(std::move(d));
  }
}

int64_t NoticeGate::NextDue() const {
  int64_t due = INT64_MAX;
  for (const auto& [k, h] : holds_) due = std::min(due, h.due_ms);
  if (pending_folded_ > 0) due = std::min(due, window_start_ + kMinuteMs);
  return due;
}

std::string NoticeLine(const Outgoing& o) {
  const view::AlarmNotice& n = o.notice;
  if (n.kind == "digest") return PlainText("k417t: " + n.text, 1024);
  std::string what;
  if (!n.key.empty()) {
    what = n.name_en.empty() ? n.name : n.name_en;
    if (!n.place_en.empty()) what += " at " + n.place_en;
    what += fmt::format(" ({}, code {}", view::AlarmNoticeJson(n)["severity"].asString(), n.code);
    if (!n.text.empty()) what += ": " + n.text;
    what += ")";
  }
  const std::string by = n.who.empty() ? "" : " by " + n.who;
  std::string line = "k417t " + Who(n) + ": ";
  if (n.kind == "raised")
    line += "alarm raised: " + what;
  else if (n.kind == "cleared")
    line += "alarm cleared: " + what;
  else if (n.kind == "acknowledged")
    line += "alarm acknowledged" + by + ": " + what;
  else if (n.kind == "shelved")
    line += "alarm shelved" + by + ": " + what;
  else if (n.kind == "unshelved")
    line += "alarm unshelved" + by + ": " + what;
  else if (n.kind == "chattering")
    line += "alarm chattering: " + what;
  else if (n.kind == "settled")
    line += "alarm settled: " + what;
  else if (n.kind == "maintenance")
    line += "device in maintenance" + by;
  else if (n.kind == "maintenance_end")
    line += "maintenance ended" + by;
  else if (n.kind == "unknown")
    line += "the controller does not answer";
  else if (n.kind == "known")
    line += "the controller answers again";
  else
    line += n.kind + (what.empty() ? "" : ": " + what);
  if (!n.comment.empty()) line += " (" + n.comment + ")";
  return PlainText(line, 1024);
}

Json::Value OutgoingJson(const Outgoing& o) {
  Json::Value j = view::AlarmNoticeJson(o.notice);
  if (o.notice.kind == "digest") {
    j["severity"] = "none";
    j["count"] = Json::UInt64(o.folded);
  }
  return j;
}

}  // namespace qmx::notify
