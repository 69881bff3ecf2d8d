#include "line/line_session.h"

#include <fmt/format.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <boost/date_time/posix_time/posix_time.hpp>

#include "wire/frame_codec.h"

namespace qmx::line {
namespace {

// '~', VER ADR CID1 RTN LENGTH (12 chars), INFO, CHKSUM (4), CR.
constexpr size_t kMaxFrameChars = wire::kFrameOverheadChars + 2 * wire::kMaxInfoBytes;

// The wire decoder's copy of a frame: VER, ADR, CID1, CID2|RTN, LENID low
// byte first, then the information field.
std::vector<uint8_t> DecodedCopy(uint8_t ver, uint8_t adr, uint8_t cid1, uint8_t cid2,
                                 const uint8_t* info, size_t len) {
  const size_t lenid = 2 * len;
  std::vector<uint8_t> out{ver,
                           adr,
                           cid1,
                           cid2,
                           static_cast<uint8_t>(lenid & 0xFF),
                           static_cast<uint8_t>((lenid >> 8) & 0xFF)};
  if (len > 0) out.insert(out.end(), info, info + len);
  return out;
}

}  // namespace

// ---- ControlTicket ----

ControlResult ControlTicket::Wait(std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(mu_);
  if (cv_.wait_for(lock, limit, [this] { return state_ == State::kDone; })) return result_;
  if (state_ == State::kQueued) {
    state_ = State::kWithdrawn;
    return {-1,
            fmt::format("the line stayed busy for {} ms; the command was not sent", limit.count())};
  }
  return {-1, fmt::format("no result within {} ms; the command was sent", limit.count())};
}

bool ControlTicket::Done() const {
  std::lock_guard<std::mutex> lock(mu_);
  return state_ == State::kDone || state_ == State::kWithdrawn;
}

bool ControlTicket::StartSending() {
  std::lock_guard<std::mutex> lock(mu_);
  if (state_ != State::kQueued) return false;
  state_ = State::kSending;
  return true;
}

void ControlTicket::Complete(ControlResult r) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (state_ == State::kDone || state_ == State::kWithdrawn) return;
    state_ = State::kDone;
    result_ = std::move(r);
  }
  cv_.notify_all();
}

// ---- LineSession ----

LineSession::LineSession(std::unique_ptr<wire::Transport> transport, Options options, LogSink log,
                         Clock clock, wire::LineKeeper::Sleep sleep)
    : options_(options),
      log_(std::move(log)),
      clock_(clock ? std::move(clock) : Clock([] { return std::chrono::steady_clock::now(); })),
      name_(transport->name()) {
  keeper_ = std::make_unique<wire::LineKeeper>(
      std::move(transport), [this](const std::string& l) { Log(l, l); }, wire::ReopenBackoff{},
      clock_, std::move(sleep));
  wake_fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  owner_ = std::this_thread::get_id();
}

LineSession::~LineSession() {
  Stop();
  if (wake_fd_ >= 0) ::close(wake_fd_);
}

bool LineSession::Add(std::shared_ptr<PMBusProtocol> ctrl) {
  if (!ctrl || FindByAddress(ctrl->address) != nullptr) return false;
  auto m = std::make_unique<Member>();
  m->ctrl = std::move(ctrl);
  m->next_poll = clock_();
  members_.push_back(std::move(m));
  return true;
}

LineSession::Member* LineSession::Find(const PMBusProtocol& ctrl) const {
  for (const auto& m : members_)
    if (m->ctrl.get() == &ctrl) return m.get();
  return nullptr;
}

LineSession::Member* LineSession::FindByAddress(int address) const {
  for (const auto& m : members_)
    if (m->ctrl->address == address) return m.get();
  return nullptr;
}

bool LineSession::OnLineThread() const { return owner_.load() == std::this_thread::get_id(); }

void LineSession::Wake() {
  if (wake_fd_ < 0) return;
  const uint64_t one = 1;
  if (::write(wake_fd_, &one, sizeof one) < 0) {
  }  // already signalled: the counter is full enough
}

void LineSession::Start() {
  if (thread_.joinable()) return;
  stop_ = false;
  std::lock_guard<std::mutex> lock(mu_);
  thread_ = std::thread([this] {
    { std::lock_guard<std::mutex> wait_for_owner(mu_); }
    while (!stop_) RunOnce(500);
  });
  owner_ = thread_.get_id();
}

void LineSession::Close() {
  Stop();
  keeper_->transport().close();
  open_ = false;
}

void LineSession::Stop() {
  if (thread_.joinable()) {
    stop_ = true;
    Wake();
    thread_.join();
    owner_ = std::this_thread::get_id();
  }
  if (control_ != nullptr) FinishControl({-1, "the line was stopped"});
  FailQueuedControls("the line was stopped");
}

void LineSession::RunOnce(int max_wait_ms) {
  const TimePoint due = Service();
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(due - clock_()).count();
  Receive(static_cast<int>(std::clamp<int64_t>(left, 0, std::max(max_wait_ms, 0))));
}

LineSession::TimePoint LineSession::Service() {
  TimePoint now = clock_();
  last_turn_ = std::chrono::steady_clock::now().time_since_epoch().count();
  TakeForeignRequests();
  const bool open = keeper_->ensure_open();
  serviced_ = true;
  if (!open) {
    open_ = false;
    const TimePoint lost_due = PortDown(now);
    in_flight_ = nullptr;  // whatever was asked is lost with the line
    for (auto& m : members_) m->outbox.clear();
    if (control_ != nullptr) FinishControl({-1, "line " + name_ + " is down"});
    FailQueuedControls("line " + name_ + " is down");
    UpdateBusy();
    return std::min(lost_due, now + std::chrono::milliseconds(std::max(keeper_->retry_in_ms(), 1)));
  }
  open_ = true;
  down_ = false;
  if (in_flight_ != nullptr && now >= deadline_) EndExchangeWithoutAnswer();
  if (in_flight_ == nullptr) {
    if (control_ == nullptr) StartControl();
    SendNext(now);
  }
  UpdateBusy();
  if (in_flight_ != nullptr) return deadline_;
  TimePoint next = now + std::chrono::milliseconds(std::max(options_.poll_tick_ms, 1));
  for (const auto& m : members_) next = std::min(next, m->outbox.empty() ? m->next_poll : now);
  return next;
}

void LineSession::UpdateBusy() {
  bool busy = in_flight_ != nullptr || control_ != nullptr;
  for (const auto& m : members_) busy = busy || !m->outbox.empty();
  busy_ = busy;
}

void LineSession::TakeForeignRequests() {
  std::vector<Foreign> taken;
  {
    std::lock_guard<std::mutex> lock(mu_);
    taken.swap(foreign_);
  }
  for (Foreign& f : taken) {
    // A command made outside the line's thread replaces the poll request the
    // controller had waiting: its step has moved on to the command.
    f.member->outbox = std::move(f.request);
    f.member->round_open = false;
  }
}

void LineSession::EndExchangeWithoutAnswer() {
  Member& m = *in_flight_;
  in_flight_ = nullptr;
  {
    std::lock_guard<std::mutex> lock(mu_);
    ++stats_.timeouts;
  }
  ++m.missed;
  Log("timeout" + std::to_string(m.ctrl->DataId()),
      fmt::format("line {}: no answer from device {} within {} ms", name_, m.ctrl->DataId(),
                  m.ctrl->response_timeout_ms));
  if (control_ != nullptr && control_sent_ && control_->member == &m)
    FinishControl({-1, fmt::format("no answer from device {} within {} ms", m.ctrl->DataId(),
                                   m.ctrl->response_timeout_ms)});
  if (m.missed >= options_.missed_answers_invalidate && m.ctrl->data_valid) {
    m.ctrl->data_valid = 0;
    m.answering = false;
    Log("invalid" + std::to_string(m.ctrl->DataId()),
        fmt::format("device {}: {} answers missed, next round fetches everything", m.ctrl->DataId(),
                    m.missed));
  }
  // Also a controller that never answered since start-up counts as lost.
  if (m.missed >= options_.missed_answers_invalidate && !m.lost) {
    m.lost = true;
    if (link_sink_) link_sink_(*m.ctrl, false, m.missed);
  }
}

// No request can go out, so no answer is missed: the time the missed answers
// would have taken is what counts. The communication alarm is raised as for a
// silent controller and cleared the same way, by the next completed round.
LineSession::TimePoint LineSession::PortDown(TimePoint now) {
  TimePoint due = TimePoint::max();
  if (!down_) {
    down_ = true;
    down_since_ = now;
  }
  for (auto& m : members_) {
    if (m->lost) continue;
    const auto silent_for =
        std::chrono::milliseconds(static_cast<int64_t>(std::max(m->ctrl->response_timeout_ms, 1)) *
                                  std::max(options_.missed_answers_invalidate, 1));
    if (now - down_since_ < silent_for) {
      due = std::min(due, down_since_ + silent_for);
      continue;
    }
    if (m->ctrl->data_valid) {
      m->ctrl->data_valid = 0;
      Log("invalid" + std::to_string(m->ctrl->DataId()),
          fmt::format("device {}: line {} is down, next round fetches everything",
                      m->ctrl->DataId(), name_));
    }
    m->answering = false;
    m->round_open = false;
    m->lost = true;
    if (link_sink_) link_sink_(*m->ctrl, false, 0);
  }
  return due;
}

void LineSession::StartControl() {
  std::unique_ptr<ControlJob> job;
  {
    std::lock_guard<std::mutex> lock(mu_);
    while (!controls_.empty() && job == nullptr) {
      // A command between two exchanges of a round would start that round
      // again (the controller's step goes back to 0 after a command): it
      // waits for the round's end, when the controller rests before the
      // next. A controller that does not answer finishes no round to wait for.
      const Member& target = *controls_.front().member;
      if (target.round_open && target.answering && !controls_.front().ticket->Done()) break;
      if (controls_.front().ticket->StartSending())
        job = std::make_unique<ControlJob>(std::move(controls_.front()));
      controls_.pop_front();
    }
  }
  if (job == nullptr) return;
  control_holder_ = std::move(job);
  control_ = control_holder_.get();
  control_sent_ = false;
  Member& m = *control_->member;
  // The command takes the controller's next exchange: a poll request it had
  // waiting would be answered as the command's, and its round starts again.
  m.outbox.clear();
  m.round_open = false;
  int out = 0, out_len = 0;
  const std::vector<unsigned char>& in = control_->in;
  m.ctrl->DeviceIoControl(control_->code, in.empty() ? nullptr : in.data(),
                          static_cast<int>(in.size()), &out, sizeof out, out_len);
  if (m.outbox.empty())
    FinishControl({-1, fmt::format("control code {} sent nothing to device {}", control_->code,
                                   m.ctrl->DataId())});
}

void LineSession::FinishControl(ControlResult r) {
  if (control_ == nullptr) return;
  if (r.result < 0)
    Log("control" + std::to_string(control_->member->ctrl->DataId()),
        fmt::format("line {}: control code {} for device {}: {}", name_, control_->code,
                    control_->member->ctrl->DataId(), r.reason));
  control_->ticket->Complete(std::move(r));
  control_holder_.reset();
  control_ = nullptr;
  control_sent_ = false;
}

void LineSession::FailQueuedControls(const std::string& why) {
  std::deque<ControlJob> failed;
  {
    std::lock_guard<std::mutex> lock(mu_);
    failed.swap(controls_);
  }
  for (ControlJob& job : failed) {
    if (!job.ticket->StartSending()) continue;
    Log("control" + std::to_string(job.member->ctrl->DataId()),
        fmt::format("line {}: control code {} for device {}: {}", name_, job.code,
                    job.member->ctrl->DataId(), why));
    job.ticket->Complete({-1, why});
  }
}

bool LineSession::SendNext(TimePoint now) {
  if (in_flight_ != nullptr) return false;
  if (control_ != nullptr && !control_->member->outbox.empty())
    return Transmit(*control_->member, now);
  const size_t n = members_.size();
  for (size_t i = 0; i < n; ++i) {
    const size_t at = (turn_ + i) % n;
    Member& m = *members_[at];
    if (m.outbox.empty() && now >= m.next_poll) {
      m.next_poll = now + std::chrono::milliseconds(std::max(options_.poll_tick_ms, 1));
      m.ctrl->RefreshStatus();
    }
    if (!m.outbox.empty()) {
      turn_ = (at + 1) % n;
      return Transmit(m, now);
    }
  }
  return false;
}

bool LineSession::Transmit(Member& m, TimePoint now) {
  last_sent_ = std::move(m.outbox);
  m.outbox.clear();
  // A control command is no part of a round: it does not start one.
  const bool command = control_ != nullptr && control_->member == &m && !control_sent_;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (!m.round_open && !command) {
      m.round_open = true;
      m.round_start = now;
      m.at_round_start = stats_;
    }
    ++stats_.requests;
  }
  in_flight_ = &m;
  deadline_ = now + std::chrono::milliseconds(m.ctrl->response_timeout_ms);
  // A frame still coming in answers an earlier request, not this one.
  if (decoder_.in_frame()) frame_predates_request_ = true;
  if (control_ != nullptr && control_->member == &m) control_sent_ = true;
  const std::vector<uint8_t>& frame = last_sent_.frame;
  const long n = keeper_->write(frame.data(), frame.size());
  if (n != static_cast<long>(frame.size())) {
    // The exchange runs out its time-out; a lost line ends it sooner.
    Log("write" + std::to_string(m.ctrl->DataId()),
        fmt::format("line {}: request to device {} not written", name_, m.ctrl->DataId()));
    return false;
  }
  {
    std::lock_guard<std::mutex> lock(mu_);
    stats_.bytes_out += frame.size();
  }
  return true;
}

void LineSession::Receive(int wait_ms) {
  wait_ms = std::max(wait_ms, 0);
  if (!keeper_->is_open()) {
    // Sleep until the next reopen attempt, or until woken.
    const int wait = std::min(wait_ms, std::max(keeper_->retry_in_ms(), 1));
    pollfd w{wake_fd_, POLLIN, 0};
    if (wait > 0) ::poll(&w, wake_fd_ >= 0 ? 1 : 0, wait);
    uint64_t drained;
    if (wake_fd_ >= 0 && ::read(wake_fd_, &drained, sizeof drained) < 0) {
    }
    return;
  }
  int first_wait = 0;
  if (keeper_->fd() >= 0) {
    pollfd fds[2] = {{keeper_->fd(), POLLIN, 0}, {wake_fd_, POLLIN, 0}};
    if (::poll(fds, wake_fd_ >= 0 ? 2 : 1, wait_ms) <= 0) return;  // nothing, or a signal
    if (fds[1].revents != 0) {
      uint64_t drained;
      if (::read(wake_fd_, &drained, sizeof drained) < 0) {
      }
    }
    if (fds[0].revents == 0) return;
    keeper_->on_poll_events(fds[0].revents);
    if ((fds[0].revents & POLLIN) == 0) return;
  } else {
    first_wait = std::min(wait_ms, 5);  // a line without a descriptor cannot be woken
  }
  uint8_t buf[512];
  // A line that never stops talking still lets the time-outs and control
  // commands of the next pass through.
  for (size_t taken = 0; taken < options_.read_budget;) {
    const long n = keeper_->read(buf, sizeof buf, taken == 0 ? first_wait : 0);
    if (n <= 0) break;
    taken += static_cast<size_t>(n);
    {
      std::lock_guard<std::mutex> lock(mu_);
      stats_.bytes_in += static_cast<uint64_t>(n);
    }
    Consume(buf, static_cast<size_t>(n));
  }
}

void LineSession::Consume(const uint8_t* data, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    const uint8_t b = data[i];
    // An answer still coming in is not late: the time-out counts from the last
    // byte received (a long answer takes seconds at 9600 baud).
    if (in_flight_ != nullptr)
      deadline_ = clock_() + std::chrono::milliseconds(in_flight_->ctrl->response_timeout_ms);
    if (b == wire::kSoi) {
      // A frame starts (an unfinished one before it is refused by the decoder).
      refused_rest_ = false;
      frame_chars_ = 0;
      stray_run_ = false;
      frame_predates_request_ = false;
    } else if (!decoder_.in_frame()) {
      Outside(b);
      continue;
    }
    ++frame_chars_;
    switch (decoder_.push(b)) {
      case wire::FrameDecoder::Status::kFrame:
        OnFrame(decoder_.frame(), decoder_.frame_size());
        break;
      case wire::FrameDecoder::Status::kRejected:
        OnRefused(decoder_.last_rejection());
        break;
      case wire::FrameDecoder::Status::kNeedMore:
        break;
    }
  }
}

// A byte while the decoder waits for '~'. What follows a refused frame up to
// its CR is the rest of it, counted with it; past the length of the longest
// frame, or after that CR, bytes are a run outside any frame, counted once.
void LineSession::Outside(uint8_t b) {
  if (refused_rest_) {
    if (b == wire::kEoi) {
      refused_rest_ = false;
      return;
    }
    if (++frame_chars_ <= kMaxFrameChars) return;
    refused_rest_ = false;
  }
  if (!stray_run_) Drop("stray", "bytes outside any frame");
  stray_run_ = true;
}

void LineSession::OnRefused(const wire::Rejection& r) {
  // Refused for a '~' inside it, the decoder is already in the next frame.
  refused_rest_ = !decoder_.in_frame();
  const std::string why =
      std::string(wire::to_string(r.reason)) + (r.detail.empty() ? "" : ": " + r.detail);
  const std::string reason = std::to_string(static_cast<int>(r.reason));
  const Member* m = r.header_known ? FindByAddress(r.adr) : nullptr;
  if (m != nullptr) {
    Drop("drop" + reason + "-" + std::to_string(m->ctrl->DataId()),
         fmt::format("frame from device {} dropped: {}", m->ctrl->DataId(), why));
  } else {
    Drop("drop" + reason, "frame dropped: " + why);
  }
}

void LineSession::OnFrame(const uint8_t* frame, size_t len) {
  // The decoder hands over whole frames only: the header is always there.
  if (len < wire::kDecodedHeaderBytes) return;
  const std::vector<uint8_t>& sent = last_sent_.decoded;
  if (sent.size() == len && std::equal(sent.begin(), sent.end(), frame)) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      ++stats_.echoes;
    }
    Log("echo" + name_,
        fmt::format("line {}: the request came back (echoing adapter), ignored", name_));
    return;
  }
  const int address = frame[1];
  Member* m = FindByAddress(address);
  if (m == nullptr) {
    Drop("foreign", fmt::format("frame from address {}, no controller there", address));
    return;
  }
  if (m != in_flight_ || frame_predates_request_) {
    // Nothing was asked of it: an answer that came after its time-out. Taken as
    // the answer to the next request it would be parsed by the wrong step.
    {
      std::lock_guard<std::mutex> lock(mu_);
      ++stats_.late;
    }
    Log("late" + std::to_string(m->ctrl->DataId()),
        fmt::format("line {}: answer from device {} with no request in flight dropped", name_,
                    m->ctrl->DataId()));
    return;
  }
  // The answer: the exchange is over.
  in_flight_ = nullptr;
  m->missed = 0;
  {
    std::lock_guard<std::mutex> lock(mu_);
    ++stats_.answers;
  }
  const bool control_answer = control_ != nullptr && control_sent_ && control_->member == m;
  if (answer_sink_ && sent.size() >= wire::kDecodedHeaderBytes)
    answer_sink_(*m->ctrl, sent[2], sent[3], frame, len);
  m->ctrl->process(frame, static_cast<int>(len));
  if (control_answer && control_ != nullptr && control_->member == m) {
    int result = -1, out_len = 0;
    m->ctrl->DeviceIoControl(1, nullptr, 0, &result, sizeof result, out_len);
    FinishControl(out_len == 4 ? ControlResult{result, result < 0 ? "no result" : ""}
                               : ControlResult{-1, "the controller gave no result"});
  }
  // The follow-up request leaves now, not a pass later.
  if (in_flight_ == nullptr) {
    if (control_ == nullptr) StartControl();
    SendNext(clock_());
    UpdateBusy();
  }
}

void LineSession::Drop(const std::string& key, const std::string& why) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    ++stats_.dropped;
  }
  Log(key + name_, fmt::format("line {}: {}", name_, why));
}

int LineSession::RefreshStatus(const PMBusProtocol& ctrl) {
  const Member* m = Find(ctrl);
  if (m == nullptr || !open_ || in_flight_ == m || !m->outbox.empty()) return 0;
  return 1;
}

void LineSession::Reset(PMBusProtocol& ctrl) {
  Member* m = Find(ctrl);
  if (m == nullptr) return;
  if (in_flight_ == m) in_flight_ = nullptr;
  if (!m->published) return;
  m->published = false;
  m->missed = 0;
  ctrl.data_valid = 1;
  ctrl.last_update = boost::posix_time::second_clock::local_time();
  m->rounds.fetch_add(1);
  m->answering = true;
  RoundTiming t;
  if (m->round_open) {
    std::lock_guard<std::mutex> lock(mu_);
    t.duration_ms = std::chrono::duration<double, std::milli>(clock_() - m->round_start).count();
    t.bytes_out = stats_.bytes_out - m->at_round_start.bytes_out;
    t.bytes_in = stats_.bytes_in - m->at_round_start.bytes_in;
    t.exchanges = stats_.requests - m->at_round_start.requests;
    m->round_open = false;
  }
  if (m->lost) {
    m->lost = false;
    if (link_sink_) link_sink_(ctrl, true, 0);
  }
  if (round_sink_) round_sink_(ctrl, t);
}

void LineSession::Published(const PMBusProtocol& ctrl) {
  if (Member* m = Find(ctrl)) m->published = true;
}

bool LineSession::Send(PMBusProtocol& ctrl, uint8_t cid1, uint8_t cid2, const unsigned char* info,
                       int info_len) {
  Member* m = Find(ctrl);
  if (m == nullptr) return false;
  const size_t len = static_cast<size_t>(std::max(info_len, 0));
  Request request;
  request.frame = wire::encode_frame(ctrl.protocol_ver, ctrl.address, cid1, cid2, info, len);
  if (request.frame.empty()) return false;
  request.decoded = DecodedCopy(ctrl.protocol_ver, ctrl.address, cid1, cid2, info, len);
  if (OnLineThread()) {
    m->outbox = std::move(request);
    return true;
  }
  {
    std::lock_guard<std::mutex> lock(mu_);
    foreign_.push_back({m, std::move(request)});
  }
  Wake();
  return true;
}

bool LineSession::OpenPort() { return OnLineThread() ? keeper_->ensure_open() : open_.load(); }

std::shared_ptr<ControlTicket> LineSession::SubmitControl(PMBusProtocol& ctrl, int code,
                                                          std::vector<unsigned char> in) {
  auto ticket = std::make_shared<ControlTicket>();
  Member* m = Find(ctrl);
  if (m == nullptr) {
    ticket->Complete({-1, "the device is not on line " + name_});
    return ticket;
  }
  if (serviced_ && !open_) {
    // Checked again by the line itself; this only spares the wait.
    const std::string why = "line " + name_ + " is down";
    Log("control" + std::to_string(ctrl.DataId()),
        fmt::format("line {}: control code {} for device {}: {}", name_, code, ctrl.DataId(), why));
    ticket->Complete({-1, why});
    return ticket;
  }
  {
    std::lock_guard<std::mutex> lock(mu_);
    controls_.push_back({m, code, std::move(in), ticket});
  }
  Wake();
  return ticket;
}

LineStats LineSession::stats() const {
  std::lock_guard<std::mutex> lock(mu_);
  return stats_;
}

bool LineSession::answering(const PMBusProtocol& ctrl) const {
  const Member* m = Find(ctrl);
  return m != nullptr && m->answering.load();
}

uint64_t LineSession::rounds(const PMBusProtocol& ctrl) const {
  const Member* m = Find(ctrl);
  return m != nullptr ? m->rounds.load() : 0;
}

}  // namespace qmx::line
