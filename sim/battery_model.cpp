#include "sim/battery_model.h"

#include <algorithm>
#include <cmath>

namespace k417t::sim {

namespace {
// Recharge is counted back at this Ah efficiency.
constexpr double kChargeEfficiency = 0.97;
}  // namespace

BatteryModel::BatteryModel(const Params& p) : p_(p) {}

// Colder strings give less: a little more than linear below 25 °C; warmer
// ones a little more, up to 6 %.
double BatteryModel::Usable() const {
  const double d = 25.0 - p_.temp_c;
  const double f = d > 0 ? 1.0 - 0.0075 * d - 0.00012 * d * d : std::min(1.06, 1.0 - 0.003 * d);
  return p_.capacity_ah * std::max(0.05, f);
}

double BatteryModel::soc() const { return 1.0 - used_ / Usable(); }

void BatteryModel::Step(double dt_s, double current_a) {
  current_ = current_a;
  if (!(dt_s > 0)) return;
  if (current_a > 0) {
    // Peukert: at a higher rate each Ah delivered uses more of the store.
    const double ir = p_.capacity_ah / p_.rate_h;
    const double ratio = std::max(current_a / ir, 0.1);
    used_ += current_a * std::pow(ratio, p_.peukert - 1.0) * dt_s / 3600.0;
  } else if (current_a < 0) {
    used_ = std::max(0.0, used_ + current_a * kChargeEfficiency * dt_s / 3600.0);
  }
}

double BatteryModel::VoltageAt(double current_a) const {
  if (current_a < 0) return p_.float_v_per_cell * p_.cells;
  const double s = soc();
  // Open circuit: 2.05 V per cell full, 1.90 empty.
  const double ocv = 1.90 + 0.15 * std::clamp(s, 0.0, 1.0);
  // Polarisation grows with the rate, and with the cold.
  const double ir = p_.capacity_ah / p_.rate_h;
  const double eta25 = current_a > 0 ? 0.06 * std::pow(current_a / ir, 0.7) : 0.0;
  const double eta = eta25 * (1.0 + 0.015 * std::max(0.0, 25.0 - p_.temp_c));
  // The knee: the acid at the plates runs out near the end of the charge.
  // Its depth makes a string at 25 °C reach 1.75 V per cell as its charge
  // runs out at any rate, which is what a capacity rated to 1.75 V per cell
  // with a Peukert exponent says; in the cold the polarisation takes it
  // there earlier.
  const double depth = std::max(0.02, 1.90 - eta25 - 1.75);
  const double knee = current_a > 0 ? std::min(1.0, depth * std::exp(-s / 0.06)) : 0.0;
  return (ocv - eta - knee) * p_.cells;
}

double BatteryModel::voltage() const { return VoltageAt(current_); }

double BatteryModel::TimeToVoltage(double end_v, double current_a) const {
  BatteryModel copy = *this;
  copy.current_ = current_a;
  if (copy.voltage() <= end_v) return 0;
  for (int s = 1; s <= 100 * 3600; ++s) {
    copy.Step(1.0, current_a);
    if (copy.voltage() <= end_v) return s;
  }
  return -1;
}

}  // namespace k417t::sim
