#pragma once

// What a notification sink lets through, and when: the upssched-style delay
// ("only if still standing after T": a raise held, cancelled with its clear
// when that comes first) and the rate limit (at most N a minute; beyond it
// the notices are folded into one digest sent when the minute ends).
// Single-threaded: the sink's worker owns it. Times are milliseconds of a
// steady clock.
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "view/alarm_board.h"

namespace qmx::notify {

// A message for a sink: a board notice, or a digest (notice.kind "digest",
// notice.text the summary, `folded` the notices it stands for).
struct Outgoing {
  view::AlarmNotice notice;
  uint64_t folded = 0;
};

class NoticeGate {
 public:
  NoticeGate(double delay_s, int max_per_minute);

  // A notice the sink takes; what goes out now is appended to `out`.
  void Offer(const view::AlarmNotice& n, int64_t now_ms, std::vector<Outgoing>& out);
  // Notices lost before the gate (a full queue): told in the next digest.
  void Fold(uint64_t count, const std::string& what, int64_t now_ms);
  // Delays that ran out and a digest whose minute ended.
  void Tick(int64_t now_ms, std::vector<Outgoing>& out);
  // When Tick has something to do next; INT64_MAX: nothing pending.
  int64_t NextDue() const;

  size_t held() const;                               // notices waiting for their delay
  uint64_t cancelled() const { return cancelled_; }  // held notices dropped by a clear
  uint64_t folded() const { return folded_total_; }  // notices folded into digests

 private:
  struct Hold {
    int64_t due_ms = 0;
    std::vector<view::AlarmNotice> notices;  // the raise first, then what followed it
  };
  void Pass(const view::AlarmNotice& n, int64_t now_ms, std::vector<Outgoing>& out);
  void FoldOne(const std::string& what, uint64_t count, int64_t now_ms);

  int64_t delay_ms_;
  int max_per_minute_;
  std::map<std::string, Hold> holds_;
  // The rate window: when it began, how many went out in it.
  int64_t window_start_ = INT64_MIN;
  int sent_in_window_ = 0;
  // The digest being gathered.
  uint64_t pending_folded_ = 0;
  std::vector<std::string> pending_summary_;
  uint64_t cancelled_ = 0;
  uint64_t folded_total_ = 0;
};

// "DEVICE: alarm raised: NAME at PLACE (major, code 06017: TEXT)": the one
// line of English a hook gets as its argument (upsmon's NOTIFYCMD message);
// without control characters.
std::string NoticeLine(const Outgoing& o);
// The JSON a webhook posts: the board's notice JSON, plus "count" (notices
// folded) for a digest.
Json::Value OutgoingJson(const Outgoing& o);
// Device text for an environment variable or an argument: control
// characters become spaces; at most `max` bytes.
std::string PlainText(const std::string& text, size_t max = 1024);

}  // namespace qmx::notify
