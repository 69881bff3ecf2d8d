#pragma once

// One remote-write request from stored records: every record read through
// the view into the same samples /metrics shows, grouped into series
// (labels sorted by name, "__name__" first among them as names sort),
// samples of a series oldest first with the record's time in milliseconds;
// then the protobuf WriteRequest, compressed in snappy's block format.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "view/site_view.h"

namespace qmx::remote_write {

using Labels = std::vector<std::pair<std::string, std::string>>;

struct Series {
  Labels labels;                                    // sorted by name
  std::vector<std::pair<int64_t, double>> samples;  // (ms, value), oldest first
};

struct Batch {
  std::vector<Series> series;
  uint64_t records = 0;  // records that gave samples or were read without any
  uint64_t skipped = 0;  // records of no known device or with an unreadable image
  uint64_t samples = 0;
  int64_t last_id = 0;  // the newest record's id (0: no records)
};

// `fleet` labels (sorted, none of the series' own names) go on every series.
// Within one series a second sample at the same millisecond replaces the
// first (a receiver refuses two values for one time).
Batch BuildBatch(const view::SiteView& view, const std::vector<store::HistoryRecord>& records,
                 const Labels& fleet);

// The WriteRequest of `series` in protobuf, then in snappy's block format:
// the request's body. False when the request cannot be encoded.
bool EncodeBody(const std::vector<Series>& series, std::string& body);

}  // namespace qmx::remote_write
