#pragma once

// The K417T's AC distribution screen: the AC unit template over the K417T
// records, with the K417T's user-defined alarm states.
#include <cstdint>
#include <string>
#include <vector>

#include "units/ac/pmbus_power_ac.h"
#include "units/ac/tele_c_k417t_ac.h"

class K417TAC : public PMBusPowerAC<tele_c_k417t_ac, tele_c_k417t_ac_channel, 5091> {
 public:
  K417TAC() { device_type_ = "k417t-ac"; }

  // User-defined alarm states of each input, evaluated only when the input
  // reported exactly the expected number of them.
  void DoImpCheckAlert() override {
    struct Row {
      const char* key;
      const char* code;
      const char* text;
      int index;      // position in p44_state
      uint8_t value;  // state byte that means "alarm"
    };
    static const Row kRows[] = {
        {"p40_44_0", "401410701", "交流输入空开跳", 0, 0x05},
        {"p40_44_2", "401410901", "防雷器断", 2, 0x05},
        {"p40_44_3", "401415001", "交流输入1停电", 3, 0xE1},
        {"p40_44_4", "401415001", "交流输入2停电", 4, 0xE1},
        {"p40_44_5", "401415001", "交流输入3停电", 5, 0xE1},
        {"p40_44_6", "401400101", "市电切换失败", 6, 0xE3},
        {"p40_44_7", "401400201", "交流屏通讯中断", 7, 0xE2},
    };
    static_assert(tele_c_k417t_ac_channel::p40_44_SIZE() >= 8, "rows index p44_state[0..7]");
    const std::vector<tele_c_k417t_ac_channel> inputs = SnapshotChannels();
    for (size_t k = 0; k < inputs.size(); ++k) {
      if (inputs[k].p44_count != tele_c_k417t_ac_channel::p40_44_SIZE()) continue;
      const std::string prefix = "第" + std::to_string(k + 1) + "路交流输入-";
      for (const Row& r : kRows) {
        CheckThresholdBool(1, r.key, r.code, "0", prefix + r.text,
                           inputs[k].p44_state[r.index] == r.value, rule_seq++);
      }
    }
  }
};
