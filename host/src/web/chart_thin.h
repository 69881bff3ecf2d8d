#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qmx::web {

// Which rows of a chart to send when there are more than fit. Rows are the
// stored records of a range, oldest first: `time[k]` and, per charted series,
// `columns[s][k]` (NaN where the record has no such value). The range
// [from, to] is cut into equal spans of whole seconds; each span keeps its
// first row and the rows holding each series' lowest and highest value in it,
// so a short dip or peak survives the thinning; the newest row is always
// kept. The spans get fewer until the rows kept fit in `room`; when even one
// span keeps too many, the newest and first rows go first, then the extremes
// of the series that swing most. Returns indexes into the rows, ascending;
// every row when they fit.
std::vector<size_t> ThinRows(const std::vector<int64_t>& time,
                             const std::vector<std::vector<double>>& columns, int64_t from,
                             int64_t to, size_t room);

}  // namespace qmx::web
