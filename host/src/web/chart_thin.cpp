#include "web/chart_thin.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace qmx::web {
namespace {

constexpr size_t kNone = std::numeric_limits<size_t>::max();

// A series' value of a row, or NaN when it has none (also for a non-finite
// value: the chart shows no number there).
double At(const std::vector<double>& column, size_t row) {
  if (row >= column.size()) return std::nan("");
  const double v = column[row];
  return std::isfinite(v) ? v : std::nan("");
}

struct Extremes {
  size_t low = kNone;
  size_t high = kNone;
};

// Per span: the first row and every series' extremes; `spans` >= 1.
std::vector<size_t> Select(const std::vector<int64_t>& time,
                           const std::vector<std::vector<double>>& columns, int64_t from,
                           int64_t to, uint64_t spans) {
  const size_t n = time.size();
  const uint64_t width = static_cast<uint64_t>(to - from) + 1;
  const uint64_t span = std::max<uint64_t>(1, (width + spans - 1) / spans);
  auto span_of = [&](size_t row) {
    return time[row] <= from ? 0 : static_cast<uint64_t>(time[row] - from) / span;
  };
  std::vector<size_t> keep;
  std::vector<Extremes> ext(columns.size());
  auto close = [&] {
    for (Extremes& e : ext) {
      if (e.low != kNone) keep.push_back(e.low);
      if (e.high != kNone) keep.push_back(e.high);
      e = Extremes{};
    }
  };
  for (size_t row = 0; row < n; ++row) {
    if (row == 0 || span_of(row) != span_of(row - 1)) {
      close();
      keep.push_back(row);
    }
    for (size_t s = 0; s < columns.size(); ++s) {
      const double v = At(columns[s], row);
      if (std::isnan(v)) continue;
      Extremes& e = ext[s];
      // Strictly lower or higher: on a tie the earlier row (often the
      // span's first) stands, so a steady value costs one row per span.
      if (e.low == kNone || v < At(columns[s], e.low)) e.low = row;
      if (e.high == kNone || v > At(columns[s], e.high)) e.high = row;
    }
  }
  close();
  if (n > 0) keep.push_back(n - 1);
  std::sort(keep.begin(), keep.end());
  keep.erase(std::unique(keep.begin(), keep.end()), keep.end());
  return keep;
}

// One span keeps too many rows for `room`: the newest and the first, then
// the extremes of the series by how far each swings against its size.
std::vector<size_t> Fewest(const std::vector<int64_t>& time,
                           const std::vector<std::vector<double>>& columns, size_t room) {
  const size_t n = time.size();
  std::vector<size_t> keep{n - 1};
  if (room > 1 && n > 1) keep.push_back(0);
  struct Candidate {
    double swing;
    size_t s;
    size_t low, high;
  };
  std::vector<Candidate> by_swing;
  for (size_t s = 0; s < columns.size(); ++s) {
    Candidate c{0, s, kNone, kNone};
    for (size_t row = 0; row < n; ++row) {
      const double v = At(columns[s], row);
      if (std::isnan(v)) continue;
      if (c.low == kNone || v < At(columns[s], c.low)) c.low = row;
      if (c.high == kNone || v > At(columns[s], c.high)) c.high = row;
    }
    if (c.low == kNone) continue;
    const double lo = At(columns[s], c.low), hi = At(columns[s], c.high);
    const double size = std::max({std::fabs(lo), std::fabs(hi), 1e-9});
    c.swing = (hi - lo) / size;
    by_swing.push_back(c);
  }
  std::stable_sort(by_swing.begin(), by_swing.end(),
                   [](const Candidate& a, const Candidate& b) { return a.swing > b.swing; });
  auto add = [&](size_t row) {
    if (keep.size() < room && std::find(keep.begin(), keep.end(), row) == keep.end())
      keep.push_back(row);
  };
  for (const Candidate& c : by_swing) {
    add(c.low);
    add(c.high);
  }
  std::sort(keep.begin(), keep.end());
  return keep;
}

}  // namespace

std::vector<size_t> ThinRows(const std::vector<int64_t>& time,
                             const std::vector<std::vector<double>>& columns, int64_t from,
                             int64_t to, size_t room) {
  const size_t n = time.size();
  std::vector<size_t> all(n);
  for (size_t k = 0; k < n; ++k) all[k] = k;
  if (n <= room) return all;
  if (room == 0) return {};
  if (to < from) to = from;
  std::vector<size_t> keep = Select(time, columns, from, to, room);
  if (keep.size() <= room) return keep;
  std::vector<size_t> best = Select(time, columns, from, to, 1);
  if (best.size() > room) return Fewest(time, columns, room);
  // The most spans that fit, by bisection: the rows kept grow with the
  // spans (not strictly), so a dozen passes find a span count that fills
  // most of the room.
  uint64_t fits = 1, fails = room;
  while (fails - fits > 1) {
    const uint64_t mid = fits + (fails - fits) / 2;
    keep = Select(time, columns, from, to, mid);
    if (keep.size() <= room) {
      fits = mid;
      best.swap(keep);
    } else {
      fails = mid;
    }
  }
  return best;
}

}  // namespace qmx::web
