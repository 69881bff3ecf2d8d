#pragma once

// The simulated K417T: takes request bytes as they come off the line and says
// what to send back, built from a scenario with its timeline and faults.
#include <json/json.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim/answers.h"
#include "sim/battery_model.h"
#include "sim/scenario.h"
#include "wire/frame_codec.h"

namespace k417t::sim {

// One answer as it should go out: its bytes (garbage included) and how.
struct Outgoing {
  Bytes bytes;
  int delay_ms = 0;
  bool byte_by_byte = false;
  int byte_gap_ms = 0;
};

struct SimStats {
  uint64_t requests = 0;          // valid frames addressed to this controller
  uint64_t foreign = 0;           // valid frames for another address (not answered)
  uint64_t corrupt_requests = 0;  // frames the decoder refused
  uint64_t answers = 0;           // answers built, the dropped ones included
  uint64_t dropped = 0;
  uint64_t corrupted = 0;
  uint64_t wrong_counts = 0;
  uint64_t control_commands = 0;
  unsigned rounds_started = 0;
};

// Rounds: a round starts at each 0x40/0x41 request (0x41/0x41 when the
// scenario has no AC screens), except a re-send of that request after an
// answer to it was dropped, corrupted or carried a wrong count. A change with
// "after_rounds": N takes effect when round N+1 starts (N = 0: at once).
class Simulator {
 public:
  using LogSink = std::function<void(const std::string&)>;

  // The scenario object, with an optional "changes" timeline. nullptr (and
  // *error) when a field is wrong or an answer would not fit in a frame.
  static std::unique_ptr<Simulator> Create(const Json::Value& scenario, std::string* error,
                                           LogSink log = nullptr);

  // Request bytes in any chunking; returns the answers to send, in order.
  std::vector<Outgoing> Feed(const uint8_t* data, size_t n);
  std::vector<Outgoing> Feed(const Bytes& data) { return Feed(data.data(), data.size()); }

  // The information field this controller would answer now (no faults);
  // empty for requests it does not know or for the control command.
  Bytes InfoFor(uint8_t cid1, uint8_t cid2) const;

  const Scenario& scenario() const { return scenario_; }
  const SimStats& stats() const { return stats_; }
  // Information bytes of every control command (0x41/0x45) received.
  const std::vector<Bytes>& commands() const { return commands_; }
  // The battery string's clock, in seconds (tests set their own; default
  // the steady clock).
  void SetClock(std::function<double()> seconds) { clock_ = std::move(seconds); }
  // The battery string's state of charge (0..1; 1 without a battery).
  double battery_soc() const;
  bool battery_test_running() const { return test_on_; }

 private:
  Simulator(Json::Value root, Scenario scenario, std::vector<Change> changes, LogSink log);

  void OnFrame(const uint8_t* frame, size_t len, std::vector<Outgoing>* out);
  void OnReject(const qmx::wire::Rejection& r, std::vector<Outgoing>* out);
  void StartRound();
  // The scenario of this round with noise, steps and alarms; false when
  // nothing moves.
  bool Move(unsigned completed, Json::Value& next);
  // The battery string's round: its current, the bus voltage and what mains
  // loss or a test does to the AC inputs and the modules; false without a
  // battery.
  bool Discharge(unsigned completed, Json::Value& next);
  // Frames and sends one answer through the fault stage.
  void Answer(uint8_t cid1, uint8_t rtn, const Bytes& info, bool wrong_count,
              std::vector<Outgoing>* out);
  bool Every(unsigned n, uint64_t seq) const { return n != 0 && seq % n == 0; }
  void Log(const std::string& line) const {
    if (log_) log_(line);
  }

  Json::Value root_;  // the scenario as changed so far
  Scenario scenario_;
  std::vector<Change> changes_;
  Motion motion_;
  uint64_t rng_ = 1;  // the noise's own generator: equal seeds, equal runs everywhere
  size_t next_step_ = 0;
  size_t next_change_ = 0;
  LogSink log_;
  qmx::wire::FrameDecoder decoder_;
  SimStats stats_;
  uint64_t count_answers_ = 0;  // answers carrying a unit count
  uint16_t last_command_ = 0;
  bool last_answer_intact_ = true;
  std::vector<Bytes> commands_;
  BatteryPlant plant_;
  std::shared_ptr<BatteryModel> battery_;
  std::function<double()> clock_;
  double last_step_s_ = -1;
  bool test_on_ = false;
  bool mains_lost_ = false;
};

// Checks that every answer of the scenario fits in one frame.
bool CheckAnswerSizes(const Scenario& s, std::string* error);

}  // namespace k417t::sim
