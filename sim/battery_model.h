#pragma once

// A valve-regulated lead-acid string as the simulator discharges it: a
// charge store whose usable size depends on the rate (Peukert) and the
// temperature, and a terminal voltage from the open-circuit voltage, the
// polarisation at the present current and the knee toward the end of the
// charge. Plausible, not exact: it stands in for a real string when the
// gateway's estimates are compared with what the string would really do.
namespace k417t::sim {

class BatteryModel {
 public:
  struct Params {
    double capacity_ah = 200;  // delivered to 1.75 V per cell at rate_h, 25 °C
    double rate_h = 10;
    double peukert = 1.15;
    int cells = 24;  // 24 for a -48 V plant
    double temp_c = 25;
    double float_v_per_cell = 2.25;
  };
  explicit BatteryModel(const Params& p);

  // `dt_s` seconds at `current_a` (discharge positive; zero or less: the
  // rectifiers hold the string on float and recharge it).
  void Step(double dt_s, double current_a);
  void set_temp_c(double t) { p_.temp_c = t; }
  // The terminal voltage at the last step's current.
  double voltage() const;
  // Charge left, 0..1 (of the capacity at the rated current and this temperature).
  double soc() const;
  // Seconds until the terminal voltage falls to `end_v` at a constant
  // `current_a`, by stepping a copy; -1 when it does not within 100 h.
  double TimeToVoltage(double end_v, double current_a) const;
  const Params& params() const { return p_; }

 private:
  double Usable() const;  // Ah available at the rated current and this temperature
  double VoltageAt(double current_a) const;
  Params p_;
  double used_ = 0;  // rated-equivalent Ah taken out
  double current_ = 0;
};

}  // namespace k417t::sim
