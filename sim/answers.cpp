#include "sim/answers.h"

namespace k417t::sim {
namespace {

uint8_t biased(size_t n, int bias) { return static_cast<uint8_t>(static_cast<int>(n) + bias); }

}  // namespace

Bytes ModelInfo(const Scenario& s) {
  Bytes out(20, s.model_nul_padded ? 0x00 : 0x20);
  for (size_t i = 0; i < s.model.size() && i < out.size(); ++i) {
    out[i] = static_cast<uint8_t>(s.model[i]);
  }
  out.push_back(s.version[0]);
  out.push_back(s.version[1]);
  return out;
}

Bytes AcAnalogInfo(const Scenario& s, int count_bias) {
  BlockWriter w;
  w.u8(s.ac_flag).u8(biased(s.ac.size(), count_bias));
  for (const AcScreen& screen : s.ac) {
    w.u8(static_cast<uint8_t>(screen.inputs.size()));
    for (const AcInput& in : screen.inputs)
      w.f32(in.a).f32(in.b).f32(in.c).f32(in.f).counted(in.user);
    w.f32(screen.ia).f32(screen.ib).f32(screen.ic);
  }
  return w.take();
}

Bytes AcSwitchInfo(const Scenario& s, int count_bias) {
  BlockWriter w;
  w.u8(0).u8(biased(s.ac.size(), count_bias));
  for (const AcScreen& screen : s.ac) w.counted(screen.air_switches).counted(screen.user_switches);
  return w.take();
}

Bytes AcAlarmInfo(const Scenario& s, int count_bias) {
  BlockWriter w;
  w.u8(0).u8(biased(s.ac.size(), count_bias));
  for (const AcScreen& screen : s.ac) {
    w.u8(static_cast<uint8_t>(screen.inputs.size()));
    for (const AcInput& in : screen.inputs) {
      w.raw(in.alerts).counted(in.other_states).counted(in.user_alarms);
    }
    w.raw(screen.current_alerts);
  }
  return w.take();
}

Bytes DcAnalogInfo(const Scenario& s, int count_bias) {
  BlockWriter w;
  // Up to three units the count byte stands on its own. With four or more the
  // controller starts the first unit's block at the count byte: the count
  // takes the place of the low byte of that unit's voltage.
  const bool shared = s.dc.size() >= 4;
  w.u8(s.dc_flag);
  if (!shared) w.u8(biased(s.dc.size(), count_bias));
  for (const DcUnit& d : s.dc) w.f32(d.v).f32(d.i).counted(d.m).counted(d.n).counted(d.user);
  Bytes out = w.take();
  if (shared) out[1] = biased(s.dc.size(), count_bias);
  return out;
}

Bytes DcStateInfo(const Scenario& s, int count_bias) {
  BlockWriter w;
  w.u8(0).u8(biased(s.dc.size(), count_bias));
  for (const DcUnit& d : s.dc) w.u8(d.v_state).counted(d.fuses).counted(d.user_states);
  return w.take();
}

Bytes RcAnalogInfo(const Scenario& s, int count_bias) {
  BlockWriter w;
  w.u8(s.rc_flag).f32(s.rectifier.value);
  w.u8(biased(s.rectifier.modules.size(), count_bias));
  for (const RcModule& m : s.rectifier.modules) w.f32(m.value).counted(m.user);
  return w.take();
}

Bytes RcStateInfo(const Scenario& s, int count_bias) {
  BlockWriter w;
  w.u8(0).u8(biased(s.rectifier.modules.size(), count_bias));
  for (const RcModule& m : s.rectifier.modules) w.raw(m.states).counted(m.user_states);
  return w.take();
}

Bytes RcAlarmInfo(const Scenario& s, int count_bias) {
  BlockWriter w;
  w.u8(0).u8(biased(s.rectifier.modules.size(), count_bias));
  for (const RcModule& m : s.rectifier.modules) w.u8(m.fault).counted(m.user_alarms);
  return w.take();
}

Bytes AcParamInfo(const Scenario& s) {
  BlockWriter w;
  for (const WireFloat& v : s.ac_params) w.f32(v);
  return w.counted(s.ac_params_user).take();
}

Bytes DcParamInfo(const Scenario& s) {
  BlockWriter w;
  for (const WireFloat& v : s.dc_params) w.f32(v);
  return w.counted(s.dc_params_user).take();
}

}  // namespace k417t::sim
