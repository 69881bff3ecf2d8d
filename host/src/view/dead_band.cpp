#include "view/dead_band.h"

#include <cmath>

#include "view/unit_values.h"

namespace qmx::view {

std::optional<bool> MovedPast(int type, const std::vector<unsigned char>& before,
                              const std::vector<unsigned char>& now, const DeadBand& band) {
  const UnitValues a = ReadUnit(0, type, before);
  const UnitValues b = ReadUnit(0, type, now);
  if (!a.error.empty() || !b.error.empty()) return std::nullopt;
  if (a.values.size() != b.values.size()) return true;
  for (size_t k = 0; k < a.values.size(); ++k) {
    const Value& x = a.values[k];
    const Value& y = b.values[k];
    if (x.field.key != y.field.key) return true;
    const Quantity q = x.field.quantity;
    if (q == Quantity::kState) {
      if (x.raw != y.raw) return true;
      continue;
    }
    if (x.number.has_value() != y.number.has_value()) return true;
    if (!x.number) continue;
    const double d = std::fabs(*x.number - *y.number);
    if (q == Quantity::kVoltage && d >= band.diff_v) return true;
    if (q == Quantity::kCurrent && d >= band.diff_i) return true;
    // Plain counts (the module count) change the image's shape.
    if (q == Quantity::kValue && d != 0) return true;
  }
  return false;
}

}  // namespace qmx::view
