#pragma once

// One serial port and the controllers on it (one, or several on an RS-485
// multi-drop bus, told apart by their address).
//
// The bus is half-duplex and the controllers only ever answer: at most one
// request is on the line at a time. The exchange it starts ends with a valid
// answer from the address it was sent to, or when the answer time-out passes
// without a byte from the line (counted again from every byte received, so a
// long answer at 9600 baud is not cut off). Controllers take turns exchange by
// exchange: a follow-up request a controller makes while handling an answer
// waits in its own slot until the bus comes round to it.
//
// The line's wire decoder cuts the frames out of the byte stream and checks
// them; every frame it hands over is routed from its decoded copy, never cut
// or decoded again:
//   - a frame that decodes to the request just sent is the adapter's echo:
//     dropped and counted, never taken as the answer;
//   - a frame from the address of the exchange in flight is its answer: the
//     exchange is over, and the controller's protocol layer gets the copy
//     (return code 0 to process_payload, any other to process_error);
//   - a frame from another controller on the bus, or with nothing asked, came
//     after its time-out: dropped and counted as late;
//   - a frame from an address no controller here has, a frame the decoder
//     refuses (what is left of it up to its CR goes with it), and bytes
//     outside any frame, are dropped and counted.
//
// Threads: everything runs on the line's own thread (the one calling
// RunOnce/Service/Receive), except Send and SubmitControl, which may come from
// any thread, and the Stats/Rounds readers. Plug-in calls for the controllers on
// this line are made from the line's thread only, so they never overlap.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "qmx/pmbus_protocol.h"
#include "wire/frame_codec.h"
#include "wire/line_keeper.h"
#include "wire/transport.h"

namespace qmx::line {

struct LineStats {
  uint64_t requests = 0;  // requests written
  uint64_t answers = 0;   // answers taken by the exchange in flight
  uint64_t timeouts = 0;  // exchanges that ended without an answer
  uint64_t late = 0;      // answers with no request of theirs in flight
  uint64_t echoes = 0;    // our own request read back (echoing adapter)
  uint64_t dropped = 0;   // corrupt, foreign or cut-off frames, stray bytes
  uint64_t bytes_out = 0, bytes_in = 0;
};

// First request of a round of one controller to its end.
struct RoundTiming {
  double duration_ms = 0;
  uint64_t bytes_out = 0, bytes_in = 0;  // on the line during the round (all controllers)
  uint64_t exchanges = 0;                // requests sent during the round (all controllers)
};

// Outcome of a control command: the controller's return code (0 normal), or
// -1 with the reason.
struct ControlResult {
  int result = -1;
  std::string reason;
};

// A control command waiting for its line, shared by the caller and the line.
class ControlTicket {
 public:
  // Waits at most `limit` for the result. When the command has not gone out by
  // then, it is withdrawn and never sent.
  ControlResult Wait(std::chrono::milliseconds limit);
  bool Done() const;

 private:
  friend class LineSession;
  // True when this call moved the ticket on (it was still queued).
  bool StartSending();
  void Complete(ControlResult r);

  mutable std::mutex mu_;
  std::condition_variable cv_;
  enum class State { kQueued, kSending, kDone, kWithdrawn } state_ = State::kQueued;
  ControlResult result_;
};

class LineSession {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;
  using Clock = std::function<TimePoint()>;
  // (key, line): the host's rate-limited log; the key groups repeats.
  using LogSink = std::function<void(const std::string& key, const std::string& line)>;
  // A round of `ctrl` ended on this line's thread.
  using RoundSink = std::function<void(PMBusProtocol& ctrl, const RoundTiming& timing)>;
  // The controller stopped answering (`missed` answers in a row, answering
  // false; `missed` 0 when the port itself was down or could not be opened
  // for as long as that many answers take) or completed a round again after
  // that (answering true); on this line's thread, once per change.
  using LinkSink = std::function<void(PMBusProtocol& ctrl, bool answering, int missed)>;
  // The answer to a request of `ctrl` (its CID1 and CID2), as decoded (VER ADR
  // CID1 RTN LENID-low LENID-high, information), before the controller gets
  // it; on this line's thread.
  using AnswerSink = std::function<void(PMBusProtocol& ctrl, uint8_t cid1, uint8_t cid2,
                                        const uint8_t* frame, size_t len)>;

  struct Options {
    int poll_tick_ms = 100;             // how often an idle controller is asked to poll
    int missed_answers_invalidate = 3;  // exchanges in a row without an answer
    size_t read_budget = 4096;          // bytes taken per pass before time-outs are checked
  };

  // clock and sleep default to the steady clock and a real sleep.
  LineSession(std::unique_ptr<wire::Transport> transport, Options options, LogSink log,
              Clock clock = {}, wire::LineKeeper::Sleep sleep = {});
  ~LineSession();
  LineSession(const LineSession&) = delete;
  LineSession& operator=(const LineSession&) = delete;

  // Before the line runs. False when another controller here has its address.
  bool Add(std::shared_ptr<PMBusProtocol> ctrl);
  void SetRoundSink(RoundSink sink) { round_sink_ = std::move(sink); }
  void SetLinkSink(LinkSink sink) { link_sink_ = std::move(sink); }
  void SetAnswerSink(AnswerSink sink) { answer_sink_ = std::move(sink); }
  std::string name() const { return name_; }

  // --- the line's thread ---
  // Does what is due now: reopening, time-outs, a queued control command, the
  // next request. Returns when something is next due.
  TimePoint Service();
  // Takes what the line delivers, waiting at most wait_ms for the first bytes.
  void Receive(int wait_ms);
  // Service, then Receive until the next thing is due (at most max_wait_ms).
  void RunOnce(int max_wait_ms);
  // Runs RunOnce on a thread of its own until Stop().
  void Start();
  void Stop();
  // Start()ed and not stopped since (the thread that starts and stops it).
  bool running() const { return thread_.joinable(); }
  // After Stop(), for a line let go: closes the port now, not when the last
  // reader lets go of this session (a new line may open the same port).
  void Close();
  // Interrupts a Receive that waits on the line.
  void Wake();

  // --- host services of the controllers on this line ---
  int RefreshStatus(const PMBusProtocol& ctrl);  // 1: the controller may send now
  void Reset(PMBusProtocol& ctrl);               // ends its exchange; may end its round
  void Published(const PMBusProtocol& ctrl);     // a unit of ctrl published its image
  // A request to frame and send. From the line's thread it waits for the
  // controller's turn on the bus; from any other thread (a control command
  // made directly through DeviceIoControl) it is handed to the line's thread.
  bool Send(PMBusProtocol& ctrl, uint8_t cid1, uint8_t cid2, const unsigned char* info,
            int info_len);
  bool OpenPort();

  // --- any thread ---
  // Hands a control command (DeviceIoControl code and input) to this line;
  // it goes out when the line is between exchanges. The ticket completes with
  // the controller's return code, or -1 and why.
  std::shared_ptr<ControlTicket> SubmitControl(PMBusProtocol& ctrl, int code,
                                               std::vector<unsigned char> in);
  LineStats stats() const;
  uint64_t rounds(const PMBusProtocol& ctrl) const;
  // The controller completed a round and has not missed answers since.
  bool answering(const PMBusProtocol& ctrl) const;
  bool is_open() const { return open_.load(); }
  // The line has tried its port at least once (opened it or failed to).
  bool tried() const { return serviced_.load(); }
  // When the line's thread last began a pass (Service), on the steady clock:
  // a line stuck in a plug-in call or a device driver stops moving it.
  std::chrono::steady_clock::time_point last_turn() const {
    return std::chrono::steady_clock::time_point(
        std::chrono::steady_clock::duration(last_turn_.load()));
  }
  // An exchange (or a request waiting for the bus) is on the line.
  bool busy() const { return busy_.load(); }

 private:
  // A request as it goes on the line, and the copy the wire decoder makes of
  // it when an echoing adapter sends it back.
  struct Request {
    std::vector<uint8_t> frame;    // '~' to CR
    std::vector<uint8_t> decoded;  // VER ADR CID1 CID2 LENID-low LENID-high, information
    bool empty() const { return frame.empty(); }
    void clear() {
      frame.clear();
      decoded.clear();
    }
  };
  struct Member {
    std::shared_ptr<PMBusProtocol> ctrl;
    TimePoint next_poll{};
    Request outbox;  // the controller's next request, waiting for the bus
    int missed = 0;
    bool published = false;  // a unit published since the last Reset: a round ended
    bool round_open = false;
    TimePoint round_start{};
    LineStats at_round_start;
    std::atomic<uint64_t> rounds{0};
    std::atomic<bool> answering{false};  // a round ended, and no answer has been missed since
    bool lost = false;                   // missed_answers_invalidate answers missed, no round since
  };
  struct ControlJob {
    Member* member;
    int code;
    std::vector<unsigned char> in;
    std::shared_ptr<ControlTicket> ticket;
  };
  struct Foreign {  // a request made on another thread
    Member* member;
    Request request;
  };

  Member* Find(const PMBusProtocol& ctrl) const;
  Member* FindByAddress(int address) const;
  bool OnLineThread() const;
  void TakeForeignRequests();
  void EndExchangeWithoutAnswer();
  // The port is down: each controller that has not answered for as long as
  // its missed answers would take is lost. Returns when the next one would be.
  TimePoint PortDown(TimePoint now);
  void StartControl();
  void FinishControl(ControlResult r);
  void FailQueuedControls(const std::string& why);
  bool SendNext(TimePoint now);
  bool Transmit(Member& m, TimePoint now);
  void Consume(const uint8_t* data, size_t n);
  void Outside(uint8_t b);
  void OnFrame(const uint8_t* frame, size_t len);
  void OnRefused(const wire::Rejection& r);
  void Drop(const std::string& key, const std::string& why);
  void Log(const std::string& key, const std::string& line) {
    if (log_) log_(key, line);
  }
  void UpdateBusy();

  Options options_;
  LogSink log_;
  Clock clock_;
  std::unique_ptr<wire::LineKeeper> keeper_;
  std::string name_;
  RoundSink round_sink_;
  LinkSink link_sink_;
  AnswerSink answer_sink_;
  std::vector<std::unique_ptr<Member>> members_;

  // Line-thread state.
  Member* in_flight_ = nullptr;  // whose exchange is on the line
  TimePoint deadline_{};
  size_t turn_ = 0;                      // where the search for the next sender starts
  Request last_sent_;                    // the request of the exchange in flight (or the last one)
  wire::FrameDecoder decoder_;           // cuts and checks every frame that comes in
  bool refused_rest_ = false;            // the bytes coming in are what is left of a refused frame
  size_t frame_chars_ = 0;               // bytes since the '~' of that frame
  bool stray_run_ = false;               // inside a run of bytes outside any frame
  bool frame_predates_request_ = false;  // the frame coming in began before our request
  ControlJob* control_ = nullptr;        // the command whose exchange is on the line or due
  std::unique_ptr<ControlJob> control_holder_;
  bool control_sent_ = false;

  // Shared with other threads.
  mutable std::mutex mu_;
  LineStats stats_;
  std::deque<ControlJob> controls_;
  std::vector<Foreign> foreign_;
  std::atomic<bool> open_{false};
  std::atomic<bool> serviced_{false};  // the line has been tried at least once
  std::atomic<std::chrono::steady_clock::rep> last_turn_{0};
  // Line thread: since when the port has been down (open refused or lost);
  // unset while it is open.
  bool down_ = false;
  TimePoint down_since_{};
  std::atomic<bool> busy_{false};
  std::atomic<std::thread::id> owner_{};
  int wake_fd_ = -1;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace qmx::line
