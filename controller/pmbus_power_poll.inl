// Polling cycle and response dispatch of PMBusPower (included by pmbus_power.h).
//
// Steps (cmd_step) and their requests, CID1/CID2:
//   14 40/51 model   0 40/41  1 40/43  2 40/44   AC analog, switch, alarm (info FF)
//    4 41/41  5 41/43  6 41/44                    rectifier analog, state, alarm
//    7 42/41  8 42/44                              DC analog, alarm (info FF when VER 0x21)
//    3 40/46  9 42/46                              AC and DC parameters (rectifier unit)
// Every answer is cut among the units; the last one of a round ends it.
#pragma once

#include <unistd.h>

#include <algorithm>

#include "units/common/model_text.h"
#include "units/common/safe_text.h"

#include <boost/date_time/posix_time/posix_time.hpp>

namespace k417t_poll {

// I/O-control steps: the even control codes 100 to 116.
inline bool IsIoControlStep(int step) { return step >= 100 && step <= 116 && step % 2 == 0; }

// The one-byte information field FF (commandGroup_) of a request.
enum class GroupByte : uint8_t { kNone, kAlways, kIfVer21 };

// One polling step: its request, the information bytes its answer must carry
// before it is cut among the units (data flag, count, ...), and whether a
// shorter answer is logged. Every polling step's request is re-sent after a
// lost answer, the parameter steps included, so a lost answer cannot stall
// the cycle.
struct PollStep {
  int step;
  uint8_t cid1;
  uint8_t cid2;
  GroupByte group;
  int min_info;
  bool log_short;
};

inline constexpr PollStep kPollSteps[] = {
    {14, 0x40, 0x51, GroupByte::kNone, 0, false},    // model text, as many bytes as came
    {0, 0x40, 0x41, GroupByte::kAlways, 2, true},    // AC analog: flag, screen count
    {1, 0x40, 0x43, GroupByte::kAlways, 0, true},    // AC switch states
    {2, 0x40, 0x44, GroupByte::kAlways, 2, false},   // AC alarm states (refused silently)
    {4, 0x41, 0x41, GroupByte::kNone, 1, true},      // rectifier analog: flag
    {5, 0x41, 0x43, GroupByte::kNone, 0, true},      // rectifier states
    {6, 0x41, 0x44, GroupByte::kNone, 0, true},      // rectifier alarm states
    {7, 0x42, 0x41, GroupByte::kIfVer21, 2, true},   // DC analog: flag, DC count
    {8, 0x42, 0x44, GroupByte::kIfVer21, 2, true},   // DC alarm states: flag, DC count
    {3, 0x40, 0x46, GroupByte::kNone, 0, true},      // AC parameters
    {9, 0x42, 0x46, GroupByte::kNone, 0, true},      // DC parameters
};

// The polling step `step`, or null for an I/O-control or unknown step.
inline const PollStep* FindPollStep(int step) {
  for (const PollStep& s : kPollSteps) {
    if (s.step == step) return &s;
  }
  return nullptr;
}

}  // namespace k417t_poll

template <typename AC, typename DC, typename RC>
void PMBusPower<AC, DC, RC>::SendStep(int step) {
  const k417t_poll::PollStep* s = k417t_poll::FindPollStep(step);
  if (s == nullptr) return;
  cmd_step = step;
  const bool group_byte = s->group == k417t_poll::GroupByte::kAlways ||
                          (s->group == k417t_poll::GroupByte::kIfVer21 && protocol_ver == 0x21);
  if (group_byte) {
    write_pmbus_cmd(s->cid1, s->cid2, &commandGroup_, 1);
  } else {
    write_pmbus_cmd(s->cid1, s->cid2);
  }
}

template <typename AC, typename DC, typename RC>
int PMBusPower<AC, DC, RC>::RefreshStatus() {
  if (QMXSPDevice::RefreshStatus() == 0) return 0;
  if (!rc_device) {
    // InitSetting failed or never ran: there is nothing to route answers to.
    if (!unconfigured_logged_) {
      InfoLog("PMBusPower:ProcotolError {} not configured (no rectifier unit), not polling", DataId());
      unconfigured_logged_ = true;
    }
    processing = 0;
    return 0;
  }
  // The host lets us poll again: a control exchange is over (answered or
  // timed out), so the line goes back to polling with a fresh round.
  if (k417t_poll::IsIoControlStep(cmd_step)) cmd_step = 0;

  if (check_model != 1) {
    const boost::posix_time::time_duration age =
        boost::posix_time::second_clock::local_time() - last_update;
    // A negative age (clock stepped back) must not hold polling off.
    if (!age.is_special() && !age.is_negative() && age.total_seconds() < 2) {
      processing = 0;
      return 0;
    }
  }
  if (check_model == 1) {
    SendStep(14);
    return 1;
  }
  const int step = cmd_step;
  if (step == 0) {
    SendStep(ac_devices.empty() ? 4 : 0);
  } else if (step != 14) {
    SendStep(step);  // re-sends the step's request; other steps send nothing
  }
  return 1;
}

// Hands each unit its slice, in list order, starting `start` bytes into the
// information field. Returns false when a unit refused its slice; otherwise
// `consumed` is the distance from the start of the field to the end of the
// last slice (more than L when a unit claimed more than was left, in which
// case no later unit is called).
template <typename AC, typename DC, typename RC>
template <typename Unit, typename Base>
bool PMBusPower<AC, DC, RC>::Split(const std::vector<std::shared_ptr<Unit>>& units,
                                   int (Base::*parse)(const unsigned char*, int),
                                   const unsigned char* info, int L, int start, long& consumed) {
  long pos = start;
  for (const auto& unit : units) {
    const long remaining = L - pos;
    const unsigned char* slice = remaining >= 0 ? info + pos : info + L;
    const int c = ((*unit).*parse)(slice, static_cast<int>(std::max(remaining, -1L)));
    if (c < 0) return false;
    pos += c;
    if (pos > L) break;
  }
  consumed = pos;
  return true;
}

template <typename AC, typename DC, typename RC>
void PMBusPower<AC, DC, RC>::EndRound() {
  for (const auto& ac : ac_devices) ac->RoundDone();
  for (const auto& dc : dc_devices) dc->RoundDone();
  if (rc_device) rc_device->RoundDone();
  cmd_step = 0;
  Reset();
}

template <typename AC, typename DC, typename RC>
int PMBusPower<AC, DC, RC>::LeaveRectifierGroup() {
  if (!dc_devices.empty()) {
    SendStep(7);
    return 1;
  }
  EndRound();
  return 0;
}

template <typename AC, typename DC, typename RC>
int PMBusPower<AC, DC, RC>::ParameterRequests() {
  SendStep(ac_devices.empty() ? 9 : 3);
  return 1;
}

template <typename AC, typename DC, typename RC>
int PMBusPower<AC, DC, RC>::process_payload() {
  usleep(20000);
  const int step = cmd_step;
  const unsigned char* frame = recv_frame;
  if (frame == nullptr) return 1;
  const int L = (frame[4] | (frame[5] << 8)) >> 1;
  const unsigned char* info = frame + 6;
  const uint8_t cid1 = frame[2];

  const k417t_poll::PollStep* s = k417t_poll::FindPollStep(step);
  if (s == nullptr) return 1;
  if (cid1 != s->cid1) {
    if (step == 0) {
      Reset();
      return 0;
    }
    return 1;
  }
  if (L < s->min_info) {
    if (s->log_short) {
      InfoLog("PMBusPower:ProcotolError {} step {} answer too short: {} bytes", DataId(), step, L);
    }
    return 1;
  }
  const bool full = data_valid != 1;
  long consumed = 0;

  switch (step) {
    case 14: {
      // The text goes into an alarm text and the traces: control bytes in it
      // are shown, never passed on.
      detected_model = k417t_text::Safe(
          std::string_view(reinterpret_cast<const char*>(info),
                           k417t_model::TextLength(info, L > 0 ? static_cast<size_t>(L) : 0)));
      if (std::find(support_models.begin(), support_models.end(), detected_model) ==
          support_models.end()) {
        CheckThresholdBool(3, "device_model", "70319", "设备配置检测",
                           "本驱动类型:" + DeviceType() + " 检测型号:" + detected_model, true, 0);
      }
      check_model = 0;
      SendStep(ac_devices.empty() ? 4 : 0);
      return 1;
    }
    case 0: {
      ac_dataflag = info[0];
      const unsigned n = info[1];
      if (n != ac_devices.size()) {
        InfoLog("PMBusPower:ProcotolError {} read ac_number is {}, configured ac_number is {}",
                DataId(), n, ac_devices.size());
        Reset();
        return 0;
      }
      // The units' new records (an input count among them) count only once
      // the whole answer is accepted.
      for (const auto& ac : ac_devices) ac->HoldAnswer();
      const bool split = Split(ac_devices, &AC::parse40_41, info, L, 2, consumed);
      const bool whole = split && consumed == L;
      for (const auto& ac : ac_devices) whole ? ac->CommitAnswer() : ac->DropAnswer();
      if (!split) return 1;
      if (!whole) {
        InfoLog("PMBusPower:ProcotolError {} parse 40_41 overflow memory boundary", DataId());
        return 1;
      }
      if (full || (ac_dataflag & 0x10)) {
        SendStep(1);
      } else if (ac_dataflag & 0x01) {
        SendStep(2);
      } else {
        SendStep(4);
      }
      return 1;
    }
    case 1: {
      if (L - 2 > 0) {
        if (!Split(ac_devices, &AC::parse40_43, info, L, 2, consumed)) return 1;
        if (consumed != L) {
          InfoLog("PMBusPower:ProcotolError {} parse 40_43 overflow memory boundary", DataId());
          return 1;
        }
      }
      SendStep(full || (ac_dataflag & 0x01) ? 2 : 4);
      return 1;
    }
    case 2: {
      for (const auto& ac : ac_devices) ac->HoldAnswer();
      const bool whole = Split(ac_devices, &AC::parse40_44, info, L, 2, consumed) && consumed == L;
      for (const auto& ac : ac_devices) whole ? ac->CommitAnswer() : ac->DropAnswer();
      if (!whole) return 1;
      SendStep(4);
      return 1;
    }
    case 4: {
      rc_dataflag = info[0];
      // The module count and values count only once the whole answer is accepted.
      if (rc_device) rc_device->HoldAnswer();
      const int c = rc_device ? rc_device->parse41_41(info, L) : -1;
      if (rc_device) c == L ? rc_device->CommitAnswer() : rc_device->DropAnswer();
      if (c != L) {
        InfoLog("PMBusPower:ProcotolError {} parse p41_41 overflow memory boundary", DataId());
        return 1;
      }
      if (full || (rc_dataflag & 0x10)) {
        SendStep(5);
        return 1;
      }
      if (rc_dataflag & 0x01) {
        SendStep(6);
        return 1;
      }
      return LeaveRectifierGroup();
    }
    case 5: {
      const int c = rc_device ? rc_device->parse41_43(info, L) : -1;
      if (c != L) {
        InfoLog("PMBusPower:ProcotolError {} parse p41_43 overflow memory boundary", DataId());
        return 1;
      }
      if (full || (rc_dataflag & 0x01)) {
        SendStep(6);
        return 1;
      }
      return LeaveRectifierGroup();
    }
    case 6: {
      const int c = rc_device ? rc_device->parse41_44(info, L) : -1;
      if (c != L) {
        InfoLog("PMBusPower:ProcotolError {} parse p41_44 overflow memory boundary", DataId());
        return 1;
      }
      return LeaveRectifierGroup();
    }
    case 7: {
      const uint8_t f = info[0];
      const unsigned n = info[1];
      if (n != dc_devices.size()) {
        InfoLog("PMBusPower:ProcotolError {} read dc_number is {}, configured dc_number is {}",
                DataId(), n, dc_devices.size());
        return 1;
      }
      // With four or more units the device starts the first slice at the
      // count byte.
      const int start = n <= 3 ? 2 : 1;
      if (!Split(dc_devices, &DC::parse42_41, info, L, start, consumed)) return 1;
      if (consumed > L) {
        InfoLog("PMBusPower:ProcotolError {} parse 42_41 overflow memory boundary", DataId());
      }
      if (full || (f & 0x11)) {
        SendStep(8);
        return 1;
      }
      return ParameterRequests();
    }
    case 8: {
      const unsigned n = info[1];
      if (n != dc_devices.size()) {
        InfoLog("PMBusPower:ProcotolError {} read dc_number is {}, configured dc_number is {}",
                DataId(), n, dc_devices.size());
        return 1;
      }
      if (!Split(dc_devices, &DC::parse42_44, info, L, 2, consumed)) return 1;
      if (consumed > L) {
        InfoLog("PMBusPower:ProcotolError {} parse 42_44 overflow memory boundary", DataId());
      }
      return ParameterRequests();
    }
    case 3: {
      const int c = rc_device ? rc_device->parse40_46(info, L) : -1;
      if (c == -1) return 1;
      if (c > L) {
        InfoLog("PMBusPower:ProcotolError {} parse 40_46 overflow memory boundary", DataId());
      }
      SendStep(9);
      return 1;
    }
    case 9: {
      const int c = rc_device ? rc_device->parse42_46(info, L) : -1;
      if (c == -1) return 1;
      EndRound();
      return 0;
    }
    default:
      return 1;
  }
}
