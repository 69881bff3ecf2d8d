#pragma once

// Dead bands for units whose own round verdict says every round changed (the
// rectifier group has no dead band in its device setting): compares two
// images of a unit value by value.
#include <optional>
#include <vector>

namespace qmx::view {

struct DeadBand {
  double diff_v = 0.5;  // volts
  double diff_i = 2.0;  // amperes
};

// Whether `now` moved past the dead band against `before`: a voltage by
// diff_v or more, a current by diff_i or more, any state, the number of
// values or a value turning into "no value" or back. Other quantities
// (temperatures, settings) wait for the heartbeat. No value when either
// image cannot be read (then the unit's own verdict stands).
std::optional<bool> MovedPast(int type, const std::vector<unsigned char>& before,
                              const std::vector<unsigned char>& now, const DeadBand& band);

}  // namespace qmx::view
