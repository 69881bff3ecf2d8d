#pragma once

// One AC distribution screen of the power system: its screen record, one
// record per AC input, the three parsers of the 0x40 answers, value reads,
// cache restore and the round end (image, alarm rows, batch job).
//
// Threads: parsers, InitV and RoundDone run on the poll thread; Get_Value and
// LoadFromCache come from host threads. `mutex_` guards the records,
// data_valid, last_update and the image. Host services that may call back
// (SendSP, CheckThresholdBool, CheckThresholdWork) are called without it.
#include <json/value.h>

#include <algorithm>
#include <boost/date_time/posix_time/posix_time.hpp>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "qmx/qmx_spdevice.h"
#include "qmx/ttime.h"
#include "units/common/byte_cursor.h"
#include "units/common/channel_key.h"
#include "units/common/round_job.h"
#include "units/common/trace.h"

template <typename TeleAC, typename TeleACChannel, int RT_AC>
class PMBusPowerAC : public QMXSPDevice {
 public:
  PMBusPowerAC() = default;
  ~PMBusPowerAC() override = default;

  float Get_Value(unsigned int id, const std::string& key) const override;
  using QMXSPDevice::LoadFromCache;
  bool LoadFromCache(const unsigned char* data, int len) override;
  void RoundDone() override;
  bool InitV(QMXVDevice* parent, unsigned int data_id, const Json::Value& setting) override;

  virtual int parse40_41(const unsigned char* block, int length);
  virtual int parse40_43(const unsigned char* block, int length);
  virtual int parse40_44(const unsigned char* block, int length);
  virtual void DoImpCheckAlert() = 0;

  // The controller checks that an answer was consumed to its last byte only
  // after every unit has parsed its slice. Between HoldAnswer and
  // CommitAnswer/DropAnswer the 0x40/0x41 and 0x40/0x44 parsers keep their
  // result (input count included) aside: CommitAnswer takes it over,
  // DropAnswer forgets it, so a refused answer leaves the unit as it was.
  // Without HoldAnswer a parser takes over its result at once.
  void HoldAnswer();
  void CommitAnswer();
  void DropAnswer();

  TeleAC ac{};
  std::vector<TeleACChannel> channels;
  float diff_v = 20.0f;
  float diff_i = 20.0f;
  std::unique_ptr<unsigned char[]> image;
  int image_len = 0;

 protected:
  static constexpr int kAcSize = static_cast<int>(sizeof(TeleAC));
  static constexpr int kChannelSize = static_cast<int>(sizeof(TeleACChannel));

  // Copy of the input records taken under the lock, for alarm evaluation.
  std::vector<TeleACChannel> SnapshotChannels() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return channels;
  }

  mutable std::mutex mutex_;
  // Parsers build the new input records here and swap them in only when the
  // whole block was read; kept between answers so that costs no allocation.
  std::vector<TeleACChannel> staging_;
  // A parsed result waiting for the controller's verdict (see HoldAnswer).
  bool holding_ = false;
  bool held_ = false;
  bool held_recount_ = false;
  TeleAC held_screen_{};
  std::vector<TeleACChannel> held_inputs_;

 private:
  // One float field from the wire. The device marks "no value" with four
  // equal non-zero bytes; such a value is stored as 0.0, or as the -0.1
  // marker where the screen keeps it (user values, phase currents).
  static void StoreFloat(void* field, const unsigned char raw[4], bool invalid_as_marker) {
    unsigned char out[4];
    if (!k417t::IsInvalidFloatBytes(raw)) {
      std::memcpy(out, raw, 4);
    } else if (invalid_as_marker) {
      k417t::StoreInvalidMarker(out);
    } else {
      std::memset(out, 0, 4);
    }
    std::memcpy(field, out, 4);
  }

  bool ReadFloat(k417t::ByteCursor& cur, void* field, bool invalid_as_marker) {
    unsigned char raw[4];
    if (!cur.raw4(raw)) return false;
    StoreFloat(field, raw, invalid_as_marker);
    return true;
  }

  int Overflow(const char* format, long extent, int length) const {
    InfoLog(format, DataId(), extent, length);
    return -1;
  }

  bool ChangedSince(const unsigned char* prev, int prev_len) const;
  // Takes over a parsed screen and input list (under mutex_); `staged` is
  // left with the old inputs.
  void Adopt(const TeleAC& screen, std::vector<TeleACChannel>& staged, bool recount);
  // Holds a parsed result, or takes it over when nothing is held (under mutex_).
  void Settle(const TeleAC& screen, std::vector<TeleACChannel>& staged, bool recount);
  void IssueInputAndCurrentRows(const TeleAC& screen, const std::vector<TeleACChannel>& inputs);
};

// ---------------------------------------------------------------------------
// Parsers. Each one reads through a bounds-checked cursor, works on copies of
// the records and commits them only when the whole block was present, so a
// refused block leaves the unit as it was.

template <typename TeleAC, typename TeleACChannel, int RT_AC>
int PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::parse40_41(const unsigned char* block, int length) {
  static const char* kOverflow = "PMBusPowerAC:ProcotolError {} read 40_41 read overflow {} - {}";
  std::lock_guard<std::mutex> lock(mutex_);
  k417t::ByteCursor cur(block, length);
  uint8_t n = 0;
  if (!cur.u8(n)) return Overflow(kOverflow, cur.wanted(), length);

  TeleAC screen = ac;
  std::vector<TeleACChannel>& inputs = staging_;
  // The first answer (or one after an answer without inputs) sets the input
  // count. A later complete block with another count is the screen's truth
  // (an input added or removed, also while the gateway was down): it is
  // adopted, the inputs that remain keep their records and new ones start
  // empty. A block that does not parse to its end changes nothing.
  const bool recount = !channels.empty() && n != ac.channel_count;
  inputs = channels;
  if (channels.empty() || recount) {
    screen.channel_count = n;
    inputs.resize(n, TeleACChannel{});
  }

  for (TeleACChannel& in : inputs) {
    if (!ReadFloat(cur, &in.a, false) || !ReadFloat(cur, &in.b, false) ||
        !ReadFloat(cur, &in.c, false) || !ReadFloat(cur, &in.f, false)) {
      return Overflow(kOverflow, cur.wanted(), length);
    }
    k417t::Trace("a:", k417t::LoadF32(&in.a), " b:", k417t::LoadF32(&in.b),
                 " c:", k417t::LoadF32(&in.c), " f:", k417t::LoadF32(&in.f));
    uint8_t p = 0;
    if (!cur.u8(p)) return Overflow(kOverflow, cur.wanted(), length);
    in.p41_count = p;
    if (p != TeleACChannel::P40_41_SIZE()) {
      InfoLog("PMBusPowerAC:ProcotolError {} read 40_41 p is {} not {}", DataId(), p,
              static_cast<int>(TeleACChannel::P40_41_SIZE()));
      if (!cur.skip(4L * p)) return Overflow(kOverflow, cur.wanted(), length);
      continue;
    }
    for (int i = 0; i < p; ++i) {
      if (!ReadFloat(cur, in.p41_value + 4 * i, true)) {
        return Overflow(kOverflow, cur.wanted(), length);
      }
    }
  }
  if (!ReadFloat(cur, &screen.ia, true) || !ReadFloat(cur, &screen.ib, true) ||
      !ReadFloat(cur, &screen.ic, true)) {
    return Overflow(kOverflow, cur.wanted(), length);
  }
  Settle(screen, inputs, recount);
  return cur.pos();
}

template <typename TeleAC, typename TeleACChannel, int RT_AC>
void PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::Adopt(const TeleAC& screen,
                                                       std::vector<TeleACChannel>& staged,
                                                       bool recount) {
  if (recount) {
    InfoLog("PMBusPowerAC:ProcotolError {} input count changed from {} to {}", DataId(),
            static_cast<int>(ac.channel_count), static_cast<int>(screen.channel_count));
  }
  ac = screen;
  channels.swap(staged);
}

template <typename TeleAC, typename TeleACChannel, int RT_AC>
void PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::Settle(const TeleAC& screen,
                                                        std::vector<TeleACChannel>& staged,
                                                        bool recount) {
  if (!holding_) {
    Adopt(screen, staged, recount);
    return;
  }
  held_ = true;
  held_recount_ = recount;
  held_screen_ = screen;
  held_inputs_.swap(staged);
}

template <typename TeleAC, typename TeleACChannel, int RT_AC>
void PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::HoldAnswer() {
  std::lock_guard<std::mutex> lock(mutex_);
  holding_ = true;
  held_ = false;
}

template <typename TeleAC, typename TeleACChannel, int RT_AC>
void PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::CommitAnswer() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (held_) Adopt(held_screen_, held_inputs_, held_recount_);
  holding_ = false;
  held_ = false;
}

template <typename TeleAC, typename TeleACChannel, int RT_AC>
void PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::DropAnswer() {
  std::lock_guard<std::mutex> lock(mutex_);
  holding_ = false;
  held_ = false;
}

template <typename TeleAC, typename TeleACChannel, int RT_AC>
int PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::parse40_43(const unsigned char* block, int length) {
  static const char* kOverflow = "PMBusPowerAC:ProcotolError {} read 40_43 read overflow {} - {}";
  std::lock_guard<std::mutex> lock(mutex_);
  k417t::ByteCursor cur(block, length);
  uint8_t m = 0;
  if (!cur.u8(m)) return Overflow(kOverflow, cur.wanted(), length);
  ac.airlock_m = m;  // kept as received, also when refused below
  if (m > TeleAC::AIRLOCK_MAX()) {
    InfoLog("ProcotolError %u read 40_43 m is %d max %d", DataId(), m,
            static_cast<int>(TeleAC::AIRLOCK_MAX()));
    return -1;
  }
  unsigned char airlock[TeleAC::AIRLOCK_MAX() + 1];
  uint8_t p = 0;
  if (!cur.copy(airlock, m) || !cur.u8(p)) return Overflow(kOverflow, cur.wanted(), length);
  if (p != TeleAC::P40_43_SIZE()) {
    InfoLog("PMBusPowerAC:ProcotolError P{} read 40_43 p is {} not {}", DataId(), p,
            static_cast<int>(TeleAC::P40_43_SIZE()));
    // The states are skipped unread, but a block running past the end is
    // still refused: the next unit must not start beyond the data.
    if (!cur.skip(p)) return Overflow(kOverflow, cur.wanted(), length);
    std::memcpy(ac.airlock_state, airlock, m);
    ac.p43_count = p;
    return cur.pos();
  }
  unsigned char states[TeleAC::P40_43_SIZE() + 1];
  if (!cur.copy(states, p)) return Overflow(kOverflow, cur.wanted(), length);
  std::memcpy(ac.airlock_state, airlock, m);
  ac.p43_count = p;
  std::memcpy(ac.p43_state, states, p);
  return cur.pos();
}

template <typename TeleAC, typename TeleACChannel, int RT_AC>
int PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::parse40_44(const unsigned char* block, int length) {
  static const char* kOverflow = "PMBusPowerAC:ProcotolError {} read 40_44 read overflow {} - {}";
  std::lock_guard<std::mutex> lock(mutex_);
  k417t::ByteCursor cur(block, length);
  // Byte 0 repeats the input count; the adopted count governs.
  if (!cur.skip(1)) return Overflow(kOverflow, cur.wanted(), length);

  TeleAC screen = ac;
  std::vector<TeleACChannel>& inputs = staging_;
  inputs = channels;
  const size_t count = std::min<size_t>(screen.channel_count, inputs.size());
  for (size_t k = 0; k < count; ++k) {
    TeleACChannel& in = inputs[k];
    uint8_t m = 0;
    uint8_t p = 0;
    if (!cur.u8(in.a_alert) || !cur.u8(in.b_alert) || !cur.u8(in.c_alert) || !cur.u8(in.f_alert) ||
        !cur.u8(m)) {
      return Overflow(kOverflow, cur.wanted(), length);
    }
    if (m != 0) {
      InfoLog("PMBusPowerAC:ProcotolError {} read 40_44 m is {}", DataId(), m);
      if (!cur.skip(m)) return Overflow(kOverflow, cur.wanted(), length);
    }
    if (!cur.u8(p)) return Overflow(kOverflow, cur.wanted(), length);
    in.p44_count = p;
    if (p != TeleACChannel::p40_44_SIZE()) {
      InfoLog("PMBusPowerAC:ProcotolError {} read 40_44 p is {} not {}", DataId(), p,
              static_cast<int>(TeleACChannel::p40_44_SIZE()));
      if (!cur.skip(p)) return Overflow(kOverflow, cur.wanted(), length);
    } else if (!cur.copy(in.p44_state, p)) {
      return Overflow(kOverflow, cur.wanted(), length);
    }
  }
  if (!cur.u8(screen.ia_alert) || !cur.u8(screen.ib_alert) || !cur.u8(screen.ic_alert)) {
    return Overflow(kOverflow, cur.wanted(), length);
  }
  Settle(screen, inputs, false);
  return cur.pos();
}

// ---------------------------------------------------------------------------
// Cache image: the screen record followed by the input records. The whole
// image is checked before anything is taken over.

template <typename TeleAC, typename TeleACChannel, int RT_AC>
bool PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::LoadFromCache(const unsigned char* data, int len) {
  if (data == nullptr || len <= kAcSize) return false;
  TeleAC screen;
  std::memcpy(&screen, data, sizeof screen);
  const long count = screen.channel_count;
  if (static_cast<long>(len) - kAcSize != count * kChannelSize) return false;

  std::vector<TeleACChannel> inputs(static_cast<size_t>(count));
  for (long k = 0; k < count; ++k) {
    std::memcpy(&inputs[k], data + kAcSize + k * kChannelSize, sizeof(TeleACChannel));
  }
  const auto now = boost::posix_time::second_clock::local_time();
  std::lock_guard<std::mutex> lock(mutex_);
  ac = screen;
  channels.swap(inputs);
  data_valid = 1;
  last_update = now;
  return true;
}

// ---------------------------------------------------------------------------
// Configuration and value reads.

template <typename TeleAC, typename TeleACChannel, int RT_AC>
bool PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::InitV(QMXVDevice* parent, unsigned int data_id,
                                                       const Json::Value& setting) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    k417t::StoreU32(&ac.data_id, data_id);
    if (setting.isObject() && setting.isMember("appSetting")) {
      const Json::Value& app = setting["appSetting"];
      if (app.isObject()) {
        // Dead bands come as numbers or numeric text; text that is not a
        // number counts as 0, as atof reads it.
        auto take = [&app](const char* name, float& out) {
          if (!app.isMember(name)) return;
          const Json::Value& v = app[name];
          switch (v.type()) {
            case Json::intValue:
            case Json::uintValue:
            case Json::realValue:
              out = static_cast<float>(v.asDouble());
              break;
            case Json::stringValue:
            case Json::booleanValue:
              out = static_cast<float>(std::atof(v.asString().c_str()));
              break;
            default:  // null, array, object: nothing to take
              break;
          }
        };
        take("diff_v", diff_v);
        take("diff_i", diff_i);
      }
    }
  }
  return QMXSPDevice::InitV(parent, data_id, setting);
}

template <typename TeleAC, typename TeleACChannel, int RT_AC>
float PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::Get_Value(unsigned int /*id*/,
                                                            const std::string& key) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (data_valid != 1) throw std::out_of_range("数据未就绪");
  const auto age = boost::posix_time::second_clock::local_time() - last_update;
  if (age.total_seconds() >= 61) throw std::out_of_range("数据已超时");

  if (key == "ia") return k417t::LoadF32(&ac.ia);
  if (key == "ib") return k417t::LoadF32(&ac.ib);
  if (key == "ic") return k417t::LoadF32(&ac.ic);
  if (key == "ia_alert") return static_cast<float>(ac.ia_alert);
  if (key == "ib_alert") return static_cast<float>(ac.ib_alert);
  if (key == "ic_alert") return static_cast<float>(ac.ic_alert);

  size_t k = 0;
  char field = 0;
  if (!k417t::FindChannelKey(key, k, field)) throw std::out_of_range("数据未提供");
  if (k >= channels.size()) throw std::out_of_range("通道参数越界");
  const TeleACChannel& in = channels[static_cast<size_t>(k)];
  switch (field) {
    case 'a': return k417t::LoadF32(&in.a);
    case 'b': return k417t::LoadF32(&in.b);
    case 'c': return k417t::LoadF32(&in.c);
    case 'f': return k417t::LoadF32(&in.f);
    default: break;
  }
  throw std::out_of_range("数据未提供");
}

// ---------------------------------------------------------------------------
// Round end.

// Dead bands against the previous image: any voltage moved by diff_v or any
// phase current by diff_i. The frequency is not compared.
template <typename TeleAC, typename TeleACChannel, int RT_AC>
bool PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::ChangedSince(const unsigned char* prev,
                                                              int prev_len) const {
  if (prev == nullptr || prev_len != kAcSize + kChannelSize * static_cast<int>(channels.size())) {
    return true;
  }
  auto moved = [](const void* now_field, const void* old_field, float band) {
    return std::fabs(k417t::LoadF32(now_field) - k417t::LoadF32(old_field)) >= band;
  };
  TeleAC old_screen;
  std::memcpy(&old_screen, prev, sizeof old_screen);
  if (moved(&ac.ia, &old_screen.ia, diff_i) || moved(&ac.ib, &old_screen.ib, diff_i) ||
      moved(&ac.ic, &old_screen.ic, diff_i)) {
    return true;
  }
  for (size_t k = 0; k < channels.size(); ++k) {
    TeleACChannel old_in;
    std::memcpy(&old_in, prev + kAcSize + k * kChannelSize, sizeof old_in);
    const TeleACChannel& in = channels[k];
    if (moved(&in.a, &old_in.a, diff_v) || moved(&in.b, &old_in.b, diff_v) ||
        moved(&in.c, &old_in.c, diff_v)) {
      return true;
    }
  }
  return false;
}

template <typename TeleAC, typename TeleACChannel, int RT_AC>
void PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::RoundDone() {
  const auto now = boost::posix_time::second_clock::local_time();
  const qmx_ttime stamp = get_ttime(now);
  std::vector<unsigned char> published;
  TeleAC screen;
  std::vector<TeleACChannel> inputs;
  bool changed = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    last_update = now;
    std::memcpy(ac.ttime, stamp.data(), sizeof ac.ttime);

    changed = data_valid != 1 || ChangedSince(image.get(), image_len);
    // The image always matches the current input count: rebuild it when the
    // count changed since it was made.
    const int needed = kAcSize + kChannelSize * static_cast<int>(channels.size());
    if (!image || image_len != needed) {
      image.reset(new unsigned char[needed]());
      image_len = needed;
    }
    std::memcpy(image.get(), &ac, sizeof ac);
    for (size_t k = 0; k < channels.size(); ++k) {
      std::memcpy(image.get() + kAcSize + k * kChannelSize, &channels[k], sizeof(TeleACChannel));
    }
    data_valid = 1;
    published.assign(image.get(), image.get() + image_len);
    screen = ac;
    inputs = channels;
  }

  round_changed = changed ? 1 : 0;
  SendSP(RT_AC, published.data(), static_cast<int>(published.size()), false);

  rule_seq = 1;
  IssueInputAndCurrentRows(screen, inputs);
  DoImpCheckAlert();

  k417t::QueueRoundJob(*this, mutex_, std::move(published));
}

template <typename TeleAC, typename TeleACChannel, int RT_AC>
void PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::IssueInputAndCurrentRows(
    const TeleAC& screen, const std::vector<TeleACChannel>& inputs) {
  struct Row {
    int level;
    const char* key;
    const char* code;
    const char* name;
    const char* text;
    int field;  // 0 a_alert, 1 b_alert, 2 c_alert, 3 f_alert (ia/ib/ic for currents)
    uint8_t value;
  };
  static const Row kInputRows[] = {
      {3, "AC_0", "06015", "交流输入电压过低告警", "输入线/相电压AB/A", 0, 1},
      {3, "AC_1", "06015", "交流输入电压过低告警", "输入线/相电压BC/B", 1, 1},
      {3, "AC_2", "06015", "交流输入电压过低告警", "输入线/相电压CA/C", 2, 1},
      {3, "AC_3", "06019", "交流输入频率过低告警", "频率", 3, 1},
      {2, "AC_4", "06014", "交流输入电压过高告警", "输入线/相电压AB/A", 0, 2},
      {2, "AC_5", "06014", "交流输入电压过高告警", "输入线/相电压BC/B", 1, 2},
      {2, "AC_6", "06014", "交流输入电压过高告警", "输入线/相电压CA/C", 2, 2},
      {2, "AC_7", "06018", "交流输入频率过高告警", "频率", 3, 2},
      {2, "AC_8", "06017", "交流输入缺相告警", "输入线/相电压AB/A", 0, 3},
      {2, "AC_9", "06017", "交流输入缺相告警", "输入线/相电压BC/B", 1, 3},
      {2, "AC_10", "06017", "交流输入缺相告警", "输入线/相电压CA/C", 2, 3},
  };
  static const Row kCurrentRows[] = {
      {3, "AC_12", "06029", "A相输入电流低于下限", "其他告警", 0, 1},
      {3, "AC_13", "06029", "B相输入电流低于下限", "其他告警", 1, 1},
      {3, "AC_14", "06029", "C相输入电流低于下限", "其他告警", 2, 1},
      {3, "AC_15", "06029", "A相输入电流高于上限", "其他告警", 0, 2},
      {3, "AC_16", "06029", "B相输入电流高于上限", "其他告警", 1, 2},
      {3, "AC_17", "06029", "C相输入电流高于上限", "其他告警", 2, 2},
      {3, "AC_18", "06029", "A相输入电流缺项", "其他告警", 0, 3},
      {3, "AC_19", "06029", "B相输入电流缺项", "其他告警", 1, 3},
      {3, "AC_20", "06029", "C相输入电流缺项", "其他告警", 2, 3},
  };
  for (size_t k = 0; k < inputs.size(); ++k) {
    const uint8_t states[4] = {inputs[k].a_alert, inputs[k].b_alert, inputs[k].c_alert,
                               inputs[k].f_alert};
    const std::string prefix = "交流屏" + std::to_string(k + 1);
    for (const Row& r : kInputRows) {
      CheckThresholdBool(r.level, r.key, r.code, r.name, prefix + r.text,
                         states[r.field] == r.value, rule_seq++);
    }
  }
  const uint8_t currents[3] = {screen.ia_alert, screen.ib_alert, screen.ic_alert};
  for (const Row& r : kCurrentRows) {
    CheckThresholdBool(r.level, r.key, r.code, r.name, r.text, currents[r.field] == r.value,
                       rule_seq++);
  }
}
