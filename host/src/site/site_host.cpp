#include "site/site_host.h"

#include <poll.h>

#include <algorithm>
#include <ctime>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <fmt/format.h>

#include "wire/frame_codec.h"

namespace qmx {
namespace {

constexpr auto kLogRepeat = std::chrono::seconds(30);

int64_t Now() { return static_cast<int64_t>(std::time(nullptr)); }

}  // namespace

int UnitTypeNumber(const std::string& device_type) {
  if (device_type == "k417t-ac") return 5091;
  if (device_type == "k417t-rc") return 5092;
  if (device_type == "k417t-dc") return 5093;
  return 0;
}

SiteHost::SiteHost(Options options, LogSink log)
    : options_(std::move(options)),
      log_(std::move(log)),
      alarms_(log_),
      jobs_(std::max<size_t>(options_.job_queue, 1), log_) {
  if (!options_.db_path.empty()) {
    store::HistoryOptions h;
    h.path = options_.db_path;
    h.retention = options_.retention;
    h.log = log_;
    history_ = std::make_unique<store::HistoryStore>(std::move(h));
  }
}

SiteHost::~SiteHost() { Shutdown(); }

bool SiteHost::OpenHistory() { return history_ && history_->Open(); }

void SiteHost::RestoreUnits(PMBusProtocol& ctrl) {
  if (!history_) return;
  for (const auto& unit : ctrl.GetAllChildVDevices()) {
    if (!unit) continue;  // no rectifier unit configured
    const int type = UnitTypeNumber(unit->DeviceType());
    auto image = history_->LastImage(unit->DataId(), type);
    if (!image) continue;
    const std::string bytes(image->begin(), image->end());
    if (!unit->LoadFromCache(bytes)) {
      Log(fmt::format("restore: unit {} ({}) refused its stored image of {} bytes, starts empty",
                      unit->DataId(), type, bytes.size()));
    } else {
      Log(fmt::format("restore: unit {} ({}) restored from {} bytes", unit->DataId(), type,
                      bytes.size()));
      std::lock_guard<std::mutex> lock(mu_);
      last_images_[type == 5092 ? unit->DataId() ^ 0x80000000u : unit->DataId()] = *image;
    }
  }
}

void SiteHost::AddDevice(std::shared_ptr<PMBusProtocol> ctrl, std::unique_ptr<wire::Transport> t) {
  Line line;
  line.ctrl = std::move(ctrl);
  line.keeper = std::make_unique<wire::LineKeeper>(std::move(t), log_);
  line.next_poll = Clock::now();
  lines_.push_back(std::move(line));
}

SiteHost::Line* SiteHost::FindLine(const QMXSPDevice& dev) {
  for (Line& l : lines_)
    if (l.ctrl.get() == &dev) return &l;
  return nullptr;
}

SiteHost::Line* SiteHost::LineOfUnit(const QMXVDevice& unit) {
  const std::shared_ptr<QMXController> host = unit.controller();
  for (Line& l : lines_)
    if (host != nullptr && l.ctrl->controller() == host) return &l;
  return nullptr;
}

const SiteHost::Line* SiteHost::FindLine(const QMXSPDevice& dev) const {
  for (const Line& l : lines_)
    if (l.ctrl.get() == &dev) return &l;
  return nullptr;
}

void SiteHost::RunOnce(int max_wait_ms) {
  Clock::time_point now = Clock::now();
  auto until = now + std::chrono::milliseconds(std::max(max_wait_ms, 0));
  for (Line& l : lines_) {
    if (!l.keeper->ensure_open()) {
      until = std::min(until, now + std::chrono::milliseconds(std::max(l.keeper->retry_in_ms(), 1)));
      continue;
    }
    if (l.in_flight && now >= l.deadline) {
      // No valid answer in time: the exchange ends without a handler; the
      // next poll sends the step's request again.
      l.in_flight = false;
      ++l.stats.timeouts;
      ++l.missed;
      RateLimitedLog("timeout" + std::to_string(l.ctrl->DataId()),
                     fmt::format("line {}: no answer from device {} within {} ms",
                                 l.keeper->transport().name(), l.ctrl->DataId(),
                                 l.ctrl->response_timeout_ms));
      if (l.missed >= options_.missed_answers_invalidate && l.ctrl->data_valid) {
        l.ctrl->data_valid = 0;
        Log(fmt::format("device {}: {} answers missed, next round fetches everything",
                        l.ctrl->DataId(), l.missed));
      }
    }
    if (!l.in_flight && now >= l.next_poll) {
      l.next_poll = now + std::chrono::milliseconds(options_.poll_tick_ms);
      l.ctrl->RefreshStatus();
    }
    until = std::min(until, l.in_flight ? l.deadline : l.next_poll);
  }

  std::vector<pollfd> fds;
  std::vector<Line*> polled;
  bool memory_line = false;
  for (Line& l : lines_) {
    if (!l.keeper->is_open()) continue;
    if (l.keeper->fd() < 0) {
      memory_line = true;
      continue;
    }
    fds.push_back({l.keeper->fd(), POLLIN, 0});
    polled.push_back(&l);
  }
  now = Clock::now();
  int wait = static_cast<int>(
      std::max<int64_t>(0, std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count()));
  if (memory_line) wait = std::min(wait, 2);
  if (fds.empty()) {
    if (wait > 0 && !memory_line) ::poll(nullptr, 0, wait);
  } else if (::poll(fds.data(), fds.size(), wait) < 0) {
    return;  // interrupted by a signal: the caller loops
  }

  unsigned char buf[512];
  // At most a few frames' worth per pass, so that a line that never stops
  // talking cannot starve the others or the caller's stop check.
  auto drain = [&](Line& l) {
    for (size_t taken = 0; taken < 4096;) {
      const long n = l.keeper->read(buf, sizeof buf, 0);
      if (n <= 0) break;
      taken += static_cast<size_t>(n);
      l.stats.bytes_in += static_cast<uint64_t>(n);
      // An answer still coming in is not late: the time-out counts from the
      // last byte received (a long answer takes seconds at 9600 baud).
      if (l.in_flight)
        l.deadline = Clock::now() + std::chrono::milliseconds(l.ctrl->response_timeout_ms);
      l.ctrl->process(buf, static_cast<int>(n));
    }
  };
  for (size_t i = 0; i < fds.size(); ++i) {
    if (fds[i].revents == 0) continue;
    polled[i]->keeper->on_poll_events(fds[i].revents);
    if (fds[i].revents & POLLIN) drain(*polled[i]);
  }
  for (Line& l : lines_) {
    if (l.keeper->is_open() && l.keeper->fd() < 0) {
      if (l.in_flight) ::poll(nullptr, 0, 1);
      drain(l);
    }
  }
}

void SiteHost::Shutdown() {
  jobs_.Stop();
  if (history_) history_->Flush();
}

uint64_t SiteHost::rounds(unsigned int device_id) const {
  for (const Line& l : lines_)
    if (l.ctrl->DataId() == device_id) return l.rounds;
  return 0;
}

bool SiteHost::Busy(const PMBusProtocol& ctrl) const {
  const Line* l = FindLine(ctrl);
  return l != nullptr && l->in_flight;
}

SiteHost::LineStats SiteHost::stats(const PMBusProtocol& ctrl) const {
  const Line* l = FindLine(ctrl);
  return l != nullptr ? l->stats : LineStats{};
}

std::vector<unsigned char> SiteHost::LastImage(unsigned int data_id) const {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = last_images_.find(data_id);
  return it == last_images_.end() ? std::vector<unsigned char>{} : it->second;
}

bool SiteHost::Publish(QMXVDevice& dev, int type, const unsigned char* data, int len, bool,
                       bool) {
  if (Line* l = LineOfUnit(dev)) l->published = true;
  std::lock_guard<std::mutex> lock(mu_);
  // The rectifier unit shares its controller's identifier; keep its image
  // under its own type so it cannot shadow a unit's.
  const unsigned int key = type == 5092 ? dev.DataId() ^ 0x80000000u : dev.DataId();
  last_images_[key].assign(data, data + len);
  return true;
}

// A controller has no round end of its own: its points (the model check)
// are committed as they come. Units' points wait for their batch check.
bool SiteHost::ThresholdPoint(QMXVDevice& dev, const rule_value& rule) {
  bool is_controller = false;
  for (const Line& l : lines_) is_controller = is_controller || l.ctrl.get() == &dev;
  if (!is_controller) return true;
  CommitEvents(alarms_.Commit(dev.DataId(), {rule}, Now()).events);
  return false;
}

bool SiteHost::BatchCheck(QMXVDevice& dev, const std::vector<rule_value>& rules) {
  store::AlarmService::CommitResult r = alarms_.Commit(dev.DataId(), rules, Now());
  CommitEvents(r.events);
  return r.changed;
}

void SiteHost::CommitEvents(const std::vector<store::AlarmEvent>& events) {
  for (const store::AlarmEvent& e : events) {
    if (history_) history_->AppendEvent(e);
    if (event_sink_) event_sink_(e);
    std::lock_guard<std::mutex> lock(mu_);
    round_events_.push_back(e);
  }
}

void SiteHost::QueueJob(QMXVDevice&, std::function<void()> job) { jobs_.Post(std::move(job)); }

void SiteHost::SaveHistory(QMXVDevice& dev, const unsigned char* data, int len) {
  if (history_)
    history_->AppendRecord(dev.DataId(), UnitTypeNumber(dev.DeviceType()), Now(), data,
                           static_cast<size_t>(len));
}

// The plug-in logs every bad answer; a line that keeps coming back (a unit
// count mismatch on every poll) is written once per period with a count.
void SiteHost::Log(const std::string& line) { RateLimitedLog(line, line); }

void SiteHost::WriteLog(const std::string& line) {
  if (log_) log_(line);
}

void SiteHost::RateLimitedLog(const std::string& key, const std::string& line) {
  const auto now = Clock::now();
  uint64_t suppressed = 0;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (log_limits_.size() > 4096) log_limits_.clear();
    auto& slot = log_limits_[key];
    if (slot.first != Clock::time_point() && now - slot.first < kLogRepeat) {
      ++slot.second;
      return;
    }
    suppressed = slot.second;
    slot = {now, 0};
  }
  WriteLog(suppressed ? fmt::format("{} ({} more since the last report)", line, suppressed) : line);
}

int SiteHost::RefreshStatus(QMXSPDevice& dev) {
  const Line* l = FindLine(dev);
  if (l == nullptr || l->in_flight || !l->keeper->is_open()) return 0;
  return 1;
}

void SiteHost::Reset(QMXSPDevice& dev) {
  Line* l = FindLine(dev);
  if (l == nullptr) return;
  l->in_flight = false;
  const bool completed = l->published;
  l->published = false;
  if (completed) RoundCompleted(*l);
}

void SiteHost::RoundCompleted(Line& l) {
  l.ctrl->data_valid = 1;
  l.ctrl->last_update = boost::posix_time::second_clock::local_time();
  l.missed = 0;
  ++l.rounds;
  auto report = std::make_shared<RoundReport>();
  report->device_id = l.ctrl->DataId();
  report->round = l.rounds;
  report->time = Now();
  if (snapshot_) report->values = snapshot_(*l.ctrl);
  if (l.round_open) {
    report->duration_ms =
        std::chrono::duration<double, std::milli>(Clock::now() - l.round_start).count();
    report->bytes_out = l.stats.bytes_out - l.at_round_start.bytes_out;
    report->bytes_in = l.stats.bytes_in - l.at_round_start.bytes_in;
    report->exchanges = l.stats.requests - l.at_round_start.requests;
    l.round_open = false;
  }
  // Queued behind the units' round-end jobs: when it runs, the round's alarm
  // changes are committed and its records appended.
  jobs_.Post([this, report] {
    if (history_) history_->Flush();
    {
      std::lock_guard<std::mutex> lock(mu_);
      report->events.swap(round_events_);
    }
    if (report_) report_(*report);
  });
}

bool SiteHost::OpenPort(QMXSPDevice& dev) {
  Line* l = FindLine(dev);
  return l != nullptr && l->keeper->ensure_open();
}

bool SiteHost::SendRequest(PMBusProtocol& dev, uint8_t cid1, uint8_t cid2,
                           const unsigned char* info, int info_len) {
  Line* l = FindLine(dev);
  if (l == nullptr) return false;
  const std::vector<uint8_t> frame = wire::encode_frame(dev.protocol_ver, dev.address, cid1, cid2,
                                                        info, static_cast<size_t>(info_len));
  if (!l->round_open) {
    l->round_open = true;
    l->round_start = Clock::now();
    l->at_round_start = l->stats;
  }
  l->in_flight = true;
  l->deadline = Clock::now() + std::chrono::milliseconds(dev.response_timeout_ms);
  ++l->stats.requests;
  if (frame.empty() || !l->keeper->ensure_open()) return false;
  const long n = l->keeper->write(frame.data(), frame.size());
  if (n != static_cast<long>(frame.size())) {
    RateLimitedLog("write" + std::to_string(dev.DataId()),
                   fmt::format("line {}: request {:02X}/{:02X} not written",
                               l->keeper->transport().name(), cid1, cid2));
    return false;
  }
  l->stats.bytes_out += frame.size();
  return true;
}

bool SiteHost::AnswerReceived(PMBusProtocol& dev, uint8_t) {
  Line* l = FindLine(dev);
  if (l == nullptr) return true;
  if (!l->in_flight) {
    // Nothing was asked: an answer that came after its time-out. Taken as the
    // answer to the next request it would be parsed by the wrong step.
    ++l->stats.dropped;
    RateLimitedLog("late" + std::to_string(dev.DataId()),
                   fmt::format("line {}: answer with no request in flight dropped",
                               l->keeper->transport().name()));
    return false;
  }
  l->in_flight = false;
  l->missed = 0;
  ++l->stats.answers;
  return true;
}

void SiteHost::FrameDropped(PMBusProtocol& dev, const std::string& why) {
  Line* l = FindLine(dev);
  if (l == nullptr) return;
  ++l->stats.dropped;
  RateLimitedLog("drop" + std::to_string(dev.DataId()),
                 fmt::format("line {}: frame dropped: {}", l->keeper->transport().name(), why));
}

}  // namespace qmx
