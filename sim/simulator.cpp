#include "sim/simulator.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace k417t::sim {
namespace {

using qmx::wire::kRtnChksumError;
using qmx::wire::kRtnFormatError;
using qmx::wire::kRtnInvalidCid2;
using qmx::wire::kRtnLchksumError;
using qmx::wire::kRtnNormal;
using qmx::wire::kRtnVerError;
using qmx::wire::RejectReason;

constexpr uint16_t Cmd(uint8_t cid1, uint8_t cid2) {
  return static_cast<uint16_t>(cid1 << 8 | cid2);
}

// Answers that carry a unit (or module) count.
bool HasUnitCount(uint16_t cmd) {
  switch (cmd) {
    case Cmd(0x40, 0x41):
    case Cmd(0x40, 0x43):
    case Cmd(0x40, 0x44):
    case Cmd(0x41, 0x41):
    case Cmd(0x41, 0x43):
    case Cmd(0x41, 0x44):
    case Cmd(0x42, 0x41):
    case Cmd(0x42, 0x44):
      return true;
    default:
      return false;
  }
}

Bytes BuildInfo(const Scenario& s, uint16_t cmd, int bias, bool* known) {
  *known = true;
  switch (cmd) {
    case Cmd(0x40, 0x51):
      return ModelInfo(s);
    case Cmd(0x40, 0x41):
      return AcAnalogInfo(s, bias);
    case Cmd(0x40, 0x43):
      return AcSwitchInfo(s, bias);
    case Cmd(0x40, 0x44):
      return AcAlarmInfo(s, bias);
    case Cmd(0x40, 0x46):
      return AcParamInfo(s);
    case Cmd(0x41, 0x41):
      return RcAnalogInfo(s, bias);
    case Cmd(0x41, 0x43):
      return RcStateInfo(s, bias);
    case Cmd(0x41, 0x44):
      return RcAlarmInfo(s, bias);
    case Cmd(0x42, 0x41):
      return DcAnalogInfo(s, bias);
    case Cmd(0x42, 0x44):
      return DcStateInfo(s, bias);
    case Cmd(0x42, 0x46):
      return DcParamInfo(s);
    default:
      *known = false;
      return {};
  }
}

constexpr uint16_t kDataCommands[] = {Cmd(0x40, 0x51), Cmd(0x40, 0x41), Cmd(0x40, 0x43),
                                      Cmd(0x40, 0x44), Cmd(0x40, 0x46), Cmd(0x41, 0x41),
                                      Cmd(0x41, 0x43), Cmd(0x41, 0x44), Cmd(0x42, 0x41),
                                      Cmd(0x42, 0x44), Cmd(0x42, 0x46)};

}  // namespace

bool CheckAnswerSizes(const Scenario& s, std::string* error) {
  for (uint16_t cmd : kDataCommands) {
    bool known = false;
    const size_t n = BuildInfo(s, cmd, 0, &known).size();
    if (n > qmx::wire::kMaxInfoBytes) {
      char text[96];
      std::snprintf(text, sizeof text, "answer %02X/%02X would carry %zu bytes (at most %zu)",
                    cmd >> 8, cmd & 0xFF, n, qmx::wire::kMaxInfoBytes);
      if (error != nullptr) *error = text;
      return false;
    }
  }
  return true;
}

namespace {
BatteryModel::Params PlantModel(const BatteryPlant& p);
}  // namespace

std::unique_ptr<Simulator> Simulator::Create(const Json::Value& root, std::string* error,
                                             LogSink log) {
  Scenario scenario;
  std::vector<Change> changes;
  Motion motion;
  BatteryPlant plant;
  if (!ParseScenario(root, &scenario, error) || !ParseChanges(root, &changes, error) ||
      !ParseMotion(root, &motion, error) || !ParseBatteryPlant(root, &plant, error) ||
      !CheckAnswerSizes(scenario, error)) {
    return nullptr;
  }
  // Every state the timeline will reach is checked now, so a bad change is a
  // bad file at start-up rather than a surprise on the serving thread.
  Json::Value state = root;
  for (size_t i = 0; i < changes.size(); ++i) {
    MergeJson(state, changes[i].set);
    Scenario later;
    std::string err;
    if (!ParseScenario(state, &later, &err) || !CheckAnswerSizes(later, &err)) {
      if (error != nullptr) *error = "changes[" + std::to_string(i) + "]: " + err;
      return nullptr;
    }
  }
  std::unique_ptr<Simulator> sim(
      new Simulator(root, std::move(scenario), std::move(changes), std::move(log)));
  sim->motion_ = motion;
  if (plant.on) {
    sim->plant_ = plant;
    sim->battery_ = std::make_shared<BatteryModel>(PlantModel(plant));
  }
  sim->rng_ = motion.seed == 0 ? 1 : motion.seed;
  return sim;
}

Simulator::Simulator(Json::Value root, Scenario scenario, std::vector<Change> changes, LogSink log)
    : root_(std::move(root)),
      scenario_(std::move(scenario)),
      changes_(std::move(changes)),
      log_(std::move(log)) {
  root_.removeMember("changes");
  for (const char* m : {"noise", "steps", "alarms", "battery"}) root_.removeMember(m);
  // Changes are applied in file order; each waits for its round count.
  // Those due at 0 rounds take effect at once.
  while (next_change_ < changes_.size() && changes_[next_change_].after_rounds == 0) {
    MergeJson(root_, changes_[next_change_++].set);
  }
  if (next_change_ > 0) {
    Scenario changed;
    std::string err;
    if (ParseScenario(root_, &changed, &err) && CheckAnswerSizes(changed, &err)) {
      scenario_ = std::move(changed);
    } else {
      Log("scenario change refused: " + err);
    }
  }
}

std::vector<Outgoing> Simulator::Feed(const uint8_t* data, size_t n) {
  std::vector<Outgoing> out;
  decoder_.feed(
      data, n, [&](const uint8_t* frame, size_t len) { OnFrame(frame, len, &out); },
      [&](const qmx::wire::Rejection& r) { OnReject(r, &out); });
  return out;
}

Bytes Simulator::InfoFor(uint8_t cid1, uint8_t cid2) const {
  bool known = false;
  return BuildInfo(scenario_, Cmd(cid1, cid2), 0, &known);
}

void Simulator::StartRound() {
  ++stats_.rounds_started;
  const unsigned completed = stats_.rounds_started - 1;
  bool changed = false;
  Json::Value next = root_;
  while (next_change_ < changes_.size() && changes_[next_change_].after_rounds <= completed) {
    MergeJson(next, changes_[next_change_++].set);
    changed = true;
  }
  if (changed) {
    Scenario s;
    std::string err;
    if (!ParseScenario(next, &s, &err) || !CheckAnswerSizes(s, &err)) {
      Log("scenario change after round " + std::to_string(completed) + " refused: " + err);
      next = root_;
    } else {
      root_ = next;
      scenario_ = std::move(s);
      Log("scenario changed after round " + std::to_string(completed));
    }
  }
  const bool moved = Move(completed, next);
  if (!Discharge(completed, next) && !moved) return;
  Scenario s;
  std::string err;
  if (ParseScenario(next, &s, &err)) {
    scenario_ = std::move(s);
  } else {
    Log("moving values after round " + std::to_string(completed) + " refused: " + err);
  }
}

bool Simulator::Move(unsigned completed, Json::Value& next) {
  if (!motion_.any()) return false;
  // xorshift64: the same numbers from the same seed on every platform.
  auto uniform = [this] {
    rng_ ^= rng_ << 13;
    rng_ ^= rng_ >> 7;
    rng_ ^= rng_ << 17;
    return static_cast<double>(rng_ >> 11) / static_cast<double>(1ull << 53) * 2.0 - 1.0;
  };
  if (motion_.step_every > 0 && completed > 0 && completed % motion_.step_every == 0) {
    // One value in turn steps and stays there (in the base, not the noise).
    size_t k = 0, total = 0;
    ForEachAnalog(root_, [&total](Json::Value&, bool) { ++total; });
    if (total > 0) {
      const size_t pick = next_step_++ % total;
      const double sign = uniform() < 0 ? -1.0 : 1.0;
      ForEachAnalog(root_, [&](Json::Value& v, bool voltage) {
        if (k++ == pick) v = v.asDouble() + sign * (voltage ? motion_.step_v : motion_.step_i);
      });
      next = root_;
    }
  }
  if (motion_.noise_v > 0 || motion_.noise_i > 0) {
    ForEachAnalog(next, [&](Json::Value& v, bool voltage) {
      v = v.asDouble() + uniform() * (voltage ? motion_.noise_v : motion_.noise_i);
    });
  }
  if (motion_.alarm_every > 0 && next.isMember("dc") && next["dc"].isArray() &&
      !next["dc"].empty() && completed >= motion_.alarm_every) {
    const unsigned phase = completed % motion_.alarm_every;
    if (phase < motion_.alarm_rounds) next["dc"][0]["v_state"] = 1;
    // The controller tells of an alarm change in the DC answer's data flag;
    // without it the alarm block is not asked for.
    if (phase == 0 || phase == motion_.alarm_rounds) next["data_flags"]["dc"] = 17;
  }
  return true;
}

namespace {
BatteryModel::Params PlantModel(const BatteryPlant& p) {
  BatteryModel::Params m;
  m.capacity_ah = p.capacity_ah;
  m.rate_h = p.rate_h;
  m.peukert = p.peukert;
  m.cells = static_cast<int>(p.cells);
  m.temp_c = p.temp_c;
  return m;
}
}  // namespace

double Simulator::battery_soc() const { return battery_ != nullptr ? battery_->soc() : 1.0; }

bool Simulator::Discharge(unsigned completed, Json::Value& next) {
  if (battery_ == nullptr) return false;
  const double now =
      clock_ ? clock_()
             : std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
                   .count();
  const double dt = last_step_s_ < 0 ? 0 : std::max(0.0, now - last_step_s_) * plant_.time_scale;
  last_step_s_ = now;
  const bool lost = plant_.lost_after > 0 && completed >= plant_.lost_after &&
                    (plant_.back_after == 0 || completed < plant_.back_after);
  const bool changed = lost != mains_lost_;
  mains_lost_ = lost;
  Json::Value& dc = next["dc"];
  if (!dc.isArray() || plant_.dc >= dc.size()) return false;
  Json::Value& unit = dc[plant_.dc];
  const double load =
      plant_.load_a >= 0 ? plant_.load_a : (unit["i"].isNumeric() ? unit["i"].asDouble() : 0.0);
  const bool discharging = lost || test_on_;
  // Discharge positive for the model; the plant's shunt reads it negative.
  double current = 0;
  if (discharging) {
    current = load;
  } else if (battery_->soc() < 0.999) {
    current = -plant_.charge_a;
  }
  battery_->Step(dt, current);
  const double bus =
      discharging
          ? battery_->voltage()
          : (next["rectifier"]["value"].isNumeric() ? next["rectifier"]["value"].asDouble() : 53.5);
  unit["v"] = bus;
  if (!unit["m"].isArray()) unit["m"] = Json::Value(Json::arrayValue);
  while (unit["m"].size() <= plant_.m) unit["m"].append(0.0);
  unit["m"][plant_.m] = -current;
  if (plant_.temp_user >= 0) {
    if (!unit["user"].isArray()) unit["user"] = Json::Value(Json::arrayValue);
    while (unit["user"].size() <= static_cast<unsigned>(plant_.temp_user)) unit["user"].append(0.0);
    unit["user"][plant_.temp_user] = plant_.temp_c;
  }
  if (discharging) {
    next["rectifier"]["value"] = bus;
    for (Json::Value& module : next["rectifier"]["modules"]) {
      module["value"] = 0.0;
      // A test puts the modules into test mode (they hold back); a lost
      // mains leaves them without input.
      if (test_on_ && module["states"].isArray() && module["states"].size() >= 3)
        module["states"][2] = 2;
    }
  }
  if (lost) {
    for (Json::Value& screen : next["ac"])
      for (Json::Value& input : screen["inputs"]) {
        for (const char* phase : {"a", "b", "c", "f"}) input[phase] = 0.0;
        input["alerts"] = Json::Value(Json::arrayValue);
        for (int k : {3, 3, 3, 1}) input["alerts"].append(k);
      }
  }
  // The controller flags a change of its alarm blocks; the poller asks for
  // them only then.
  if (changed) next["data_flags"]["ac"] = 17;
  return true;
}

void Simulator::OnReject(const qmx::wire::Rejection& r, std::vector<Outgoing>* out) {
  ++stats_.corrupt_requests;
  // A frame whose header arrived whole can be told what was wrong with it.
  if (!r.header_known || r.adr != scenario_.address) return;
  if (r.reason == RejectReason::kBadChksum) {
    Answer(r.cid1, kRtnChksumError, {}, false, out);
  } else if (r.reason == RejectReason::kBadLchksum) {
    Answer(r.cid1, kRtnLchksumError, {}, false, out);
  }
}

void Simulator::OnFrame(const uint8_t* frame, size_t len, std::vector<Outgoing>* out) {
  const uint8_t ver = frame[0], adr = frame[1], cid1 = frame[2], cid2 = frame[3];
  if (adr != scenario_.address) {
    ++stats_.foreign;
    return;
  }
  ++stats_.requests;
  if (ver != scenario_.ver) {
    Answer(cid1, kRtnVerError, {}, false, out);
    return;
  }
  const uint16_t cmd = Cmd(cid1, cid2);
  const uint8_t* info = frame + qmx::wire::kDecodedHeaderBytes;
  const size_t info_len = len - qmx::wire::kDecodedHeaderBytes;

  if (cmd == Cmd(0x41, 0x45)) {
    last_command_ = cmd;
    if (info_len != 2) {
      Answer(cid1, kRtnFormatError, {}, false, out);
      return;
    }
    ++stats_.control_commands;
    commands_.emplace_back(info, info + info_len);
    if (battery_ != nullptr && plant_.test_command >= 0 && info[0] == plant_.test_command) {
      test_on_ = true;
    } else if (battery_ != nullptr && plant_.float_command >= 0 &&
               info[0] == plant_.float_command) {
      test_on_ = false;
    }
    const auto it = scenario_.control_rtn.find(info[0]);
    const uint8_t rtn = it == scenario_.control_rtn.end() ? uint8_t{kRtnNormal} : it->second;
    Answer(cid1, rtn, {}, false, out);
    return;
  }

  // A round starts at the first request of the cycle; a re-send after an answer
  // that did not get through whole belongs to the same round.
  const uint16_t lead = scenario_.ac.empty() ? Cmd(0x41, 0x41) : Cmd(0x40, 0x41);
  if (cmd == lead && (last_command_ != lead || last_answer_intact_)) StartRound();
  last_command_ = cmd;

  bool wrong_count = false;
  if (HasUnitCount(cmd))
    wrong_count = Every(scenario_.faults.wrong_unit_count_every, ++count_answers_);
  bool known = false;
  const Bytes answer_info = BuildInfo(scenario_, cmd, wrong_count ? 1 : 0, &known);
  if (!known) {
    Answer(cid1, kRtnInvalidCid2, {}, false, out);
    return;
  }
  Answer(cid1, kRtnNormal, answer_info, wrong_count, out);
}

void Simulator::Answer(uint8_t cid1, uint8_t rtn, const Bytes& info, bool wrong_count,
                       std::vector<Outgoing>* out) {
  const Faults& f = scenario_.faults;
  const uint64_t seq = ++stats_.answers;
  last_answer_intact_ = !wrong_count;
  if (wrong_count) ++stats_.wrong_counts;
  if (Every(f.drop_every, seq)) {
    ++stats_.dropped;
    last_answer_intact_ = false;
    return;
  }
  Bytes frame = qmx::wire::encode_frame(scenario_.ver, scenario_.address, cid1, rtn, info);
  if (Every(f.corrupt_checksum_every, seq)) {
    // Last CHKSUM character, just before CR.
    uint8_t& c = frame[frame.size() - 2];
    c = c == '0' ? '1' : '0';
    ++stats_.corrupted;
    last_answer_intact_ = false;
  }
  Outgoing o;
  if (!f.garbage.empty() && Every(f.garbage_every, seq)) {
    o.bytes.assign(f.garbage.begin(), f.garbage.end());
  }
  o.bytes.insert(o.bytes.end(), frame.begin(), frame.end());
  o.delay_ms = f.delay_ms;
  o.byte_by_byte = f.byte_by_byte;
  o.byte_gap_ms = f.byte_gap_ms;
  out->push_back(std::move(o));
}

}  // namespace k417t::sim
