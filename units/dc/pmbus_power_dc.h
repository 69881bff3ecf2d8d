#pragma once

#include <json/value.h>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/lexical_cast.hpp>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
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

// One DC distribution of the power system. The controller hands it its slice of
// the 0x42/0x41 (analog) and 0x42/0x44 (state) answers; at each round end it
// publishes its record, states its voltage and fuse alarms and queues the
// batch check and history save.
//
// Threads: parsers and RoundDone run on the poll thread; Get_Value and
// LoadFromCache come from host threads. `mu_` guards the record, data_valid,
// last_update and the dead-band fields; host services are called without it.
template <typename TeleDC, int RT_DC>
class PMBusPowerDC : public QMXSPDevice {
 public:
  PMBusPowerDC() { std::memset(&record, 0, sizeof record); }
  explicit PMBusPowerDC(const std::string& model) : model_(model) {
    std::memset(&record, 0, sizeof record);
  }
  ~PMBusPowerDC() override = default;

  using QMXSPDevice::LoadFromCache;

  bool InitV(QMXVDevice* parent, unsigned int data_id, const Json::Value& setting) override {
    {
      std::lock_guard<std::mutex> lock(mu_);
      k417t::StoreU32(&record.data_id, data_id);
      if (setting.isObject()) {
        const Json::Value& app = setting["appSetting"];
        if (app.isObject()) {
          ReadDeadBand(app["diff_v"], diff_v);
          ReadDeadBand(app["diff_i"], diff_i);
        }
      }
    }
    return QMXVDevice::InitV(parent, data_id, setting);
  }

  float Get_Value(unsigned int /*id*/, const std::string& key) const override {
    std::unique_lock<std::mutex> lock(mu_);
    if (data_valid != 1) throw std::out_of_range("数据未就绪");
    const boost::posix_time::time_duration age =
        boost::posix_time::second_clock::local_time() - last_update;
    if (age.total_seconds() >= 61) throw std::out_of_range("数据已超时");
    if (key == "v") return k417t::LoadF32(&record.v);
    if (key == "i") return k417t::LoadF32(&record.i);
    throw std::out_of_range("数据未就绪");
  }

  // A cache image is exactly one record.
  bool LoadFromCache(const unsigned char* data, int length) override {
    if (data == nullptr || length != static_cast<int>(sizeof(TeleDC))) return false;
    std::lock_guard<std::mutex> lock(mu_);
    std::memcpy(&record, data, sizeof(TeleDC));
    data_valid = 1;
    last_update = boost::posix_time::second_clock::local_time();
    return true;
  }

  // Analog block: v, i (floats), dc_m + m list, dc_n + n list, p_count + user
  // values; 11 + 4*(dc_m + dc_n + p_count) bytes. `length` counts the bytes
  // left in the field from `block` on (this unit's and the following units').
  virtual int parse42_41(const unsigned char* block, int length) {
    std::lock_guard<std::mutex> lock(mu_);
    k417t::ByteCursor cur(block, length);
    if (cur.has(4)) {
      k417t::Trace("parse 42 41: ", k417t::Hex{block[0]}, " ", k417t::Hex{block[1]}, " ",
                   k417t::Hex{block[2]}, " ", k417t::Hex{block[3]});
    }
    if (!cur.copy(&record.v, 4) || !cur.copy(&record.i, 4)) return Overflow4241(cur, length);

    if (!cur.u8(record.dc_m)) return Overflow4241(cur, length);
    if (record.dc_m > TeleDC::M_SIZE()) {
      InfoLog("PMBusPowerDC<TeleDC, RT_DC>:ProcotolError {} read dc_m is {}, MAX_M is {}", DataId(),
              record.dc_m, TeleDC::M_SIZE());
      if (!cur.skip(4L * record.dc_m)) return Overflow4241(cur, length);
    } else if (!cur.copy(record.m_value, 4L * record.dc_m)) {
      return Overflow4241(cur, length);
    }

    if (!cur.u8(record.dc_n)) return Overflow4241(cur, length);
    if (record.dc_n > TeleDC::N_SIZE()) {
      InfoLog("PMBusPowerDC<TeleDC, RT_DC>:ProcotolError {} read dc_n is {}, MAX_N is {}", DataId(),
              record.dc_n, TeleDC::N_SIZE());
      if (!cur.skip(4L * record.dc_n)) return Overflow4241(cur, length);
    } else if (!cur.copy(record.n_value, 4L * record.dc_n)) {
      return Overflow4241(cur, length);
    }

    if (!cur.u8(record.p_count)) return Overflow4241(cur, length);
    if (record.p_count > TeleDC::P_SIZE()) {
      // The device's user list cannot be placed: the rest of the field is
      // given up as consumed.
      InfoLog(
          "PMBusPowerDC<TeleDC, RT_DC>:ProcotolError {} read p_count is {}, support user_p max is "
          "{}",
          DataId(), record.p_count, TeleDC::P_SIZE());
      return length;
    }
    const unsigned char* values = cur.here();
    if (!cur.skip(4L * record.p_count)) return Overflow4241(cur, length);
    unsigned char* out = reinterpret_cast<unsigned char*>(record.user_p);
    for (int k = 0; k < record.p_count; ++k) {
      const unsigned char* b = values + 4 * k;
      if (k417t::IsInvalidFloatBytes(b)) {
        k417t::StoreInvalidMarker(out + 4 * k);
      } else {
        std::memcpy(out + 4 * k, b, 4);
      }
    }
    return cur.pos();
  }

  // State block: v_state, alert_m + fuse states, alert_p + user states;
  // 3 + alert_m + alert_p bytes.
  virtual int parse42_44(const unsigned char* block, int length) {
    std::lock_guard<std::mutex> lock(mu_);
    k417t::ByteCursor cur(block, length);
    if (!cur.u8(record.v_state) || !cur.u8(record.alert_m)) return Overflow4244(cur, length);

    const unsigned char* fuses = cur.here();
    if (!cur.skip(record.alert_m)) return Overflow4244(cur, length);
    // More fuses than the record holds: the first ones are kept, the count
    // byte keeps the reported number (which switches the fuse alarms off).
    std::memcpy(record.alert_m_state, fuses,
                record.alert_m < TeleDC::ALERT_M_SIZE() ? record.alert_m : TeleDC::ALERT_M_SIZE());

    if (!cur.u8(record.alert_p)) return Overflow4244(cur, length);
    size_t keep = record.alert_p;
    if (record.alert_p > TeleDC::ALERT_P_SIZE()) {
      InfoLog("PMBusPowerDC<TeleDC, RT_DC>:ProcotolError {} read 42_44 p is {},  alert_p is {}",
              DataId(), record.alert_p, TeleDC::ALERT_P_SIZE());
      keep = TeleDC::ALERT_P_SIZE();
    }
    const unsigned char* states = cur.here();
    if (!cur.skip(record.alert_p)) return Overflow4244(cur, length);
    std::memcpy(record.alert_p_state, states, keep);
    return cur.pos();
  }

  virtual void DoImpCheckAlert() = 0;

  void RoundDone() override {
    std::vector<unsigned char> image(sizeof(TeleDC));
    uint8_t v_state = 0;
    uint8_t alert_m = 0;
    uint8_t fuse[TeleDC::ALERT_M_SIZE() > 0 ? TeleDC::ALERT_M_SIZE() : 1] = {};
    bool changed = true;
    {
      std::lock_guard<std::mutex> lock(mu_);
      const boost::posix_time::ptime now = boost::posix_time::second_clock::local_time();
      last_update = now;
      const qmx_ttime stamp = get_ttime(now);
      std::memcpy(record.ttime, stamp.data(), sizeof record.ttime);
      const float v = k417t::LoadF32(&record.v);
      const float i = k417t::LoadF32(&record.i);
      if (data_valid == 1) {
        changed = std::fabs(last_v - v) >= diff_v || std::fabs(last_i - i) >= diff_i;
      }
      data_valid = 1;
      last_v = v;
      last_i = i;
      std::memcpy(image.data(), &record, sizeof(TeleDC));
      v_state = record.v_state;
      alert_m = record.alert_m;
      std::memcpy(fuse, record.alert_m_state, TeleDC::ALERT_M_SIZE());
    }

    round_changed = changed ? 1 : 0;
    SendSP(RT_DC, image.data(), static_cast<int>(image.size()), false);

    rule_seq = 1;
    CheckThresholdBool(3, "DC_0", "06008", "输出电压过低告警", "输出电压过低告警", v_state == 1,
                       rule_seq++);
    CheckThresholdBool(3, "DC_1", "06009", "输出电压过高告警", "输出电压过高告警", v_state == 2,
                       rule_seq++);
    if (alert_m == TeleDC::ALERT_M_SIZE()) {
      for (int k = 1; k <= TeleDC::ALERT_M_SIZE(); ++k) {
        const std::string text = "直流" + boost::lexical_cast<std::string>(k) + "电池熔丝故障告警";
        CheckThresholdBool(1, "DC_3", "06001", "电池熔丝故障告警", text, fuse[k - 1] == 3,
                           rule_seq++);
      }
    }
    DoImpCheckAlert();
    k417t::QueueRoundJob(*this, mu_, std::move(image));
  }

  TeleDC record;
  float diff_v = 0.1f;   // voltage dead band
  float diff_i = 20.0f;  // current dead band
  float last_v = 0.0f;   // v at the previous round end
  float last_i = 0.0f;   // i at the previous round end

 protected:
  mutable std::mutex mu_;

 private:
  // A dead band given as a number or as numeric text; text that does not start
  // with a number reads as 0. Arrays and objects are not dead bands: ignored.
  static void ReadDeadBand(const Json::Value& value, float& out) {
    if (value.isNull()) return;
    if (value.isNumeric()) {
      out = static_cast<float>(value.asDouble());
    } else if (value.isString() || value.isBool()) {
      out = static_cast<float>(std::atof(value.asString().c_str()));
    }
  }

  int Overflow4241(const k417t::ByteCursor& cur, int length) {
    InfoLog("PMBusPowerAC:ProcotolError {} read 42_41 read overflow {} - {}", DataId(),
            cur.wanted(), length);
    return -1;
  }

  int Overflow4244(const k417t::ByteCursor& cur, int length) {
    InfoLog("PMBusPowerAC:ProcotolError {} read 42_44 read overflow {} - {}", DataId(),
            cur.wanted(), length);
    return -1;
  }

  std::string model_;  // the controller's model text; kept, not used
};
