#pragma once

#include <json/value.h>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/lexical_cast.hpp>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
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
#include "units/common/round_job.h"
#include "units/common/trace.h"

// The rectifier group of the power system: one group record plus one channel
// record per rectifier module, in the order the controller reports them. The
// module count is learned from the first 0x41/0x41 answer (or a cache image).
// The unit also keeps the fixed values of the AC (0x40/0x46) and DC (0x42/0x46)
// parameter answers.
//
// Threads: parsers and RoundDone run on the poll thread; Get_Value and
// LoadFromCache come from host threads. `mu_` guards group, channels, image,
// data_valid and last_update; host services are called without it.
template <typename TeleRC, typename TeleRCChannel, int RT_RC>
class PMBusPowerRC : public QMXSPDevice {
 public:
  static constexpr int kGroupLen = static_cast<int>(sizeof(TeleRC));
  static constexpr int kChannelLen = static_cast<int>(sizeof(TeleRCChannel));

  PMBusPowerRC() { std::memset(&group, 0, sizeof group); }
  ~PMBusPowerRC() override = default;

  using QMXSPDevice::LoadFromCache;

  bool InitV(QMXVDevice* parent, unsigned int data_id, const Json::Value& setting) override {
    {
      std::lock_guard<std::mutex> lock(mu_);
      k417t::StoreU32(&group.data_id, data_id);
    }
    return QMXVDevice::InitV(parent, data_id, setting);
  }

  // The unit publishes no single values: every read ends in one of the two
  // messages, chosen by freshness.
  float Get_Value(unsigned int /*id*/, const std::string& /*key*/) const override {
    std::unique_lock<std::mutex> lock(mu_);
    if (data_valid != 1) throw std::out_of_range("数据未就绪");
    const boost::posix_time::time_duration age =
        boost::posix_time::second_clock::local_time() - last_update;
    if (age.total_seconds() >= 61) throw std::out_of_range("数据已超时");
    throw std::out_of_range("数据未就绪");
  }

  // A rectifier image: group record, then exactly module_count channel
  // records. The whole image is checked before anything is taken from it.
  bool LoadFromCache(const unsigned char* data, int len) override {
    k417t::Trace("rc data_len:", len, " vs ", kGroupLen);
    if (data == nullptr || len < kGroupLen) return false;
    const unsigned count = data[offsetof(TeleRC, module_count)];
    k417t::Trace("rc channelLen ", kChannelLen, " and ", count, " left:", len - kGroupLen);
    if (static_cast<int64_t>(len) - kGroupLen != static_cast<int64_t>(kChannelLen) * count) {
      return false;
    }

    std::lock_guard<std::mutex> lock(mu_);
    std::memcpy(&group, data, sizeof group);
    channels.assign(count, ZeroChannel());
    for (unsigned k = 0; k < count; ++k) {
      std::memcpy(&channels[k], data + kGroupLen + kChannelLen * k, sizeof(TeleRCChannel));
    }
    data_valid = 1;
    last_update = boost::posix_time::second_clock::local_time();
    return true;
  }

  // 0x41/0x41: data flag, rc_value (float), M, then M blocks of
  // module_value (float), P, P floats.
  virtual int parse41_41(const unsigned char* info, int length) {
    std::lock_guard<std::mutex> lock(mu_);
    k417t::ByteCursor cur(info, length);
    uint8_t m = 0;
    unsigned char rc_value[4];
    if (!cur.skip(1) || !cur.copy(rc_value, 4) || !cur.u8(m)) {
      return Overflow("41_41", cur, length);
    }
    // The count is learned only from an answer that parses to its end: a
    // truncated or corrupt first answer must not fix a wrong count for good.
    // A later answer with another count (a module plugged in or pulled, also
    // while the gateway was down) is adopted when it is complete to its last
    // byte; the modules that remain keep their records, new ones start empty.
    // Everything is parsed into a copy, taken over only when complete.
    const bool learning = channels.empty();
    const bool recount = !learning && group.module_count != m;
    std::vector<TeleRCChannel>& staged = staging_;
    staged = channels;
    if (learning || recount) staged.resize(m, ZeroChannel());
    for (TeleRCChannel& ch : staged) {
      if (!cur.copy(&ch.module_value, 4) || !cur.u8(ch.analog_p)) {
        return InChannelOverflow(cur, length);
      }
      if (ch.analog_p != TeleRCChannel::P41_41_SIZE()) {
        InfoLog(
            "PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError {} read 41_41 p is {} not {}",
            DataId(), ch.analog_p, TeleRCChannel::P41_41_SIZE());
        if (!cur.skip(4L * ch.analog_p)) return Overflow("41_41", cur, length);
        continue;
      }
      const unsigned char* values = cur.here();
      if (!cur.skip(4L * TeleRCChannel::P41_41_SIZE())) return InChannelOverflow(cur, length);
      unsigned char* out = reinterpret_cast<unsigned char*>(ch.user_analog);
      for (int k = 0; k < TeleRCChannel::P41_41_SIZE(); ++k) {
        const unsigned char* b = values + 4 * k;
        // Four equal bytes (00.., 20.., FF..) mean "no value": stored as 0.0.
        if (b[0] == b[1] && b[1] == b[2] && b[2] == b[3]) {
          std::memset(out + 4 * k, 0, 4);
        } else {
          std::memcpy(out + 4 * k, b, 4);
        }
      }
    }
    if (recount && cur.pos() != length) return -1;
    if (holding_) {
      held_ = true;
      held_count_ = m;
      std::memcpy(held_rc_value_, rc_value, 4);
      held_channels_.swap(staged);
    } else {
      Adopt(m, rc_value, staged);
    }
    return cur.pos();
  }

  // The controller checks that the 0x41/0x41 answer was consumed to its last
  // byte after the parser ran. Between HoldAnswer and CommitAnswer/DropAnswer
  // the parser keeps its result (module count included) aside: CommitAnswer
  // takes it over, DropAnswer forgets it, so a refused answer leaves the unit
  // as it was. Without HoldAnswer the parser takes over its result at once.
  void HoldAnswer() {
    std::lock_guard<std::mutex> lock(mu_);
    holding_ = true;
    held_ = false;
  }
  void CommitAnswer() {
    std::lock_guard<std::mutex> lock(mu_);
    if (held_) Adopt(held_count_, held_rc_value_, held_channels_);
    holding_ = false;
    held_ = false;
  }
  void DropAnswer() {
    std::lock_guard<std::mutex> lock(mu_);
    holding_ = false;
    held_ = false;
  }

  // 0x41/0x43: data flag, M, then M blocks of three state bytes, P, P bytes.
  virtual int parse41_43(const unsigned char* info, int length) {
    std::lock_guard<std::mutex> lock(mu_);
    k417t::ByteCursor cur(info, length);
    uint8_t m = 0;
    if (!cur.skip(1) || !cur.u8(m)) return Overflow("41_43", cur, length);
    if (m > group.module_count || m > channels.size()) return -1;
    for (size_t k = 0; k < m; ++k) {
      TeleRCChannel& ch = channels[k];
      if (!cur.copy(ch.module_state, 3) || !cur.u8(ch.state_p))
        return Overflow("41_43", cur, length);
      if (ch.state_p != TeleRCChannel::P41_43_SIZE()) {
        InfoLog(
            "PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError {} read 41_43 p is {}, not {}",
            DataId(), ch.state_p, TeleRCChannel::P41_43_SIZE());
        if (!cur.skip(ch.state_p)) return Overflow("41_43", cur, length);
      } else if (!cur.copy(ch.user_state, TeleRCChannel::P41_43_SIZE())) {
        return Overflow("41_43", cur, length);
      }
    }
    return cur.pos();
  }

  // 0x41/0x44: data flag, M, then M blocks of fault state, P, P bytes.
  virtual int parse41_44(const unsigned char* info, int length) {
    std::lock_guard<std::mutex> lock(mu_);
    k417t::ByteCursor cur(info, length);
    uint8_t m = 0;
    if (!cur.skip(1) || !cur.u8(m)) return Overflow("41_44", cur, length);
    if (m > group.module_count || m > channels.size()) {
      InfoLog(
          "PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError {} parse p41_44 channel_count "
          "not "
          "equal {} != {} ",
          DataId(), m, group.module_count);
      return 0;
    }
    for (size_t k = 0; k < m; ++k) {
      TeleRCChannel& ch = channels[k];
      if (!cur.u8(ch.fault_state) || !cur.u8(ch.alarm_p)) return Overflow("41_44", cur, length);
      const unsigned char* alarms = cur.here();
      if (ch.alarm_p != TeleRCChannel::P41_44_SIZE()) {
        InfoLog(
            "PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError {} read 41_44 p is {}, not {}",
            DataId(), ch.alarm_p, TeleRCChannel::P41_44_SIZE());
        if (!cur.skip(ch.alarm_p)) return Overflow("41_44", cur, length);
      } else {
        if (!cur.skip(ch.alarm_p)) return Overflow("41_44", cur, length);
        std::memcpy(ch.user_alarm, alarms, TeleRCChannel::P41_44_SIZE());
      }
    }
    return cur.pos();
  }

  // 0x40/0x46: five floats, P, P user floats (not kept).
  virtual int parse40_46(const unsigned char* info, int length) {
    std::lock_guard<std::mutex> lock(mu_);
    k417t::ByteCursor cur(info, length);
    if (!cur.has(21)) {
      cur.skip(21);
      return Overflow("40_46", cur, length);
    }
    cur.copy(group.ac_param, sizeof group.ac_param);
    uint8_t p = 0;
    cur.u8(p);
    // The user values are not kept; the controller checks the extent.
    if (p != 0) return 21 + 4 * p;
    return cur.pos();
  }

  // 0x42/0x46: two floats, P, P user floats.
  virtual int parse42_46(const unsigned char* info, int length) {
    std::lock_guard<std::mutex> lock(mu_);
    k417t::ByteCursor cur(info, length);
    if (!cur.has(9)) {
      cur.skip(9);
      return Overflow("42_46", cur, length);
    }
    cur.copy(group.dc_param, sizeof group.dc_param);
    cur.u8(group.dc_param_p);
    if (group.dc_param_p != TeleRC::P42_46_NUMBER()) {
      InfoLog("QTR41B:ProcotolError parse42_46 {} p:{} != {}", DataId(), group.dc_param_p,
              TeleRC::P42_46_NUMBER());
      return 9 + 4 * group.dc_param_p;
    }
    const int n = cur.left() < TeleRC::P42_46_SIZE() ? cur.left() : TeleRC::P42_46_SIZE();
    cur.copy(group.dc_user_param, n);
    return cur.pos();
  }

  virtual void DoImpCheckAlert() {}

  void RoundDone() override {
    std::vector<unsigned char> snapshot;
    std::vector<uint8_t> faults;
    {
      std::lock_guard<std::mutex> lock(mu_);
      data_valid = 1;
      last_update = boost::posix_time::second_clock::local_time();
      const qmx_ttime stamp = get_ttime(boost::posix_time::second_clock::local_time());
      std::memcpy(group.ttime, stamp.data(), sizeof group.ttime);
      // The image follows the module count, which a later answer or cache
      // image may still change.
      const int want = kGroupLen + kChannelLen * static_cast<int>(channels.size());
      if (!image || image_len != want) {
        image.reset(new unsigned char[want]());
        image_len = want;
      }
      std::memcpy(image.get(), &group, sizeof group);
      for (size_t k = 0; k < channels.size(); ++k) {
        std::memcpy(image.get() + kGroupLen + kChannelLen * k, &channels[k], sizeof(TeleRCChannel));
        faults.push_back(channels[k].fault_state);
      }
      snapshot.assign(image.get(), image.get() + image_len);
    }

    round_changed = 1;
    SendSP(RT_RC, snapshot.data(), static_cast<int>(snapshot.size()), false);

    rule_seq = 1;
    for (size_t k = 0; k < faults.size(); ++k) {
      const std::string text =
          "模块" + boost::lexical_cast<std::string>(k + 1) + "整流模块故障告警";
      CheckThresholdBool(2, "RC_0", "06024", "整流模块故障告警", text, faults[k] == 1, rule_seq++);
    }
    DoImpCheckAlert();
    k417t::QueueRoundJob(*this, mu_, std::move(snapshot));
  }

  TeleRC group;
  std::vector<TeleRCChannel> channels;
  int32_t image_len = 0;
  std::unique_ptr<unsigned char[]> image;  // built at the first round end

 protected:
  mutable std::mutex mu_;

 private:
  // Takes over a parsed 0x41/0x41 answer (under mu_); `staged` is left with
  // the old module records.
  void Adopt(uint8_t count, const unsigned char rc_value[4], std::vector<TeleRCChannel>& staged) {
    if (!channels.empty() && group.module_count != count) {
      InfoLog(
          "PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError {} module count changed "
          "from {} to {}",
          DataId(), static_cast<int>(group.module_count), static_cast<int>(count));
    }
    std::memcpy(&group.rc_value, rc_value, 4);
    group.module_count = count;
    channels.swap(staged);
  }

  // Parsers build the module records here (kept between answers: no
  // allocation per answer), and a held answer waits in held_*.
  std::vector<TeleRCChannel> staging_;
  bool holding_ = false;
  bool held_ = false;
  uint8_t held_count_ = 0;
  unsigned char held_rc_value_[4] = {0, 0, 0, 0};
  std::vector<TeleRCChannel> held_channels_;

  static TeleRCChannel ZeroChannel() {
    TeleRCChannel ch;
    std::memset(&ch, 0, sizeof ch);
    return ch;
  }

  int Overflow(const char* which, const k417t::ByteCursor& cur, int length) {
    const std::string format =
        std::string("PMBusPowerAC:ProcotolError {} read ") + which + " read overflow {} - {}";
    InfoLog(format.c_str(), DataId(), cur.wanted(), length);
    return -1;
  }

  int InChannelOverflow(const k417t::ByteCursor& cur, int length) {
    InfoLog("PMBusPowerAC:ProcotolError {} read 41_41 in channel overflow {} - {}", DataId(),
            cur.wanted(), length);
    return -1;
  }
};
