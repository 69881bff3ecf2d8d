#include "remote_write/remote_write_request.h"

#include <snappy-c.h>

#include <algorithm>
#include <map>

#include "remote.pb-c.h"

namespace qmx::remote_write {

Batch BuildBatch(const view::SiteView& view, const std::vector<store::HistoryRecord>& records,
                 const Labels& fleet) {
  Batch b;
  std::map<Labels, size_t> index;  // labels -> position in b.series
  for (const store::HistoryRecord& r : records) {
    b.last_id = std::max(b.last_id, r.id);
    std::optional<view::SiteView::StoredUnit> stored = view.ReadRecord(r);
    if (!stored || !stored->unit.error.empty()) {
      ++b.skipped;
      continue;
    }
    ++b.records;
    const int64_t ms = r.time * 1000;
    for (view::Sample& s : view::UnitSamples(stored->device, stored->unit)) {
      Labels labels;
      labels.reserve(s.labels.size() + fleet.size() + 1);
      labels.emplace_back("__name__", std::move(s.metric));
      for (auto& l : s.labels) labels.push_back(std::move(l));
      labels.insert(labels.end(), fleet.begin(), fleet.end());
      std::stable_sort(labels.begin(), labels.end(),
                       [](const auto& x, const auto& y) { return x.first < y.first; });
      auto [it, fresh] = index.emplace(std::move(labels), b.series.size());
      if (fresh) b.series.push_back(Series{it->first, {}});
      auto& samples = b.series[it->second].samples;
      samples.emplace_back(ms, s.value);
    }
  }
  // Records come in id order, which is the order they were written; order
  // by time all the same, and keep the later of two samples at one time.
  for (Series& s : b.series) {
    std::stable_sort(s.samples.begin(), s.samples.end(),
                     [](const auto& x, const auto& y) { return x.first < y.first; });
    std::vector<std::pair<int64_t, double>> unique;
    unique.reserve(s.samples.size());
    for (const auto& x : s.samples) {
      if (!unique.empty() && unique.back().first == x.first)
        unique.back() = x;
      else
        unique.push_back(x);
    }
    s.samples = std::move(unique);
    b.samples += s.samples.size();
  }
  return b;
}

bool EncodeBody(const std::vector<Series>& series, std::string& body) {
  // protobuf-c points at the strings and arrays; these own them for the
  // packing.
  std::vector<Prometheus__TimeSeries> ts(series.size());
  std::vector<Prometheus__TimeSeries*> ts_ptrs(series.size());
  std::vector<std::vector<Prometheus__Label>> labels(series.size());
  std::vector<std::vector<Prometheus__Label*>> label_ptrs(series.size());
  std::vector<std::vector<Prometheus__Sample>> samples(series.size());
  std::vector<std::vector<Prometheus__Sample*>> sample_ptrs(series.size());
  for (size_t i = 0; i < series.size(); ++i) {
    const Series& s = series[i];
    prometheus__time_series__init(&ts[i]);
    labels[i].resize(s.labels.size());
    label_ptrs[i].resize(s.labels.size());
    for (size_t k = 0; k < s.labels.size(); ++k) {
      prometheus__label__init(&labels[i][k]);
      labels[i][k].name = const_cast<char*>(s.labels[k].first.c_str());
      labels[i][k].value = const_cast<char*>(s.labels[k].second.c_str());
      label_ptrs[i][k] = &labels[i][k];
    }
    samples[i].resize(s.samples.size());
    sample_ptrs[i].resize(s.samples.size());
    for (size_t k = 0; k < s.samples.size(); ++k) {
      prometheus__sample__init(&samples[i][k]);
      samples[i][k].timestamp = s.samples[k].first;
      samples[i][k].value = s.samples[k].second;
      sample_ptrs[i][k] = &samples[i][k];
    }
    ts[i].n_labels = label_ptrs[i].size();
    ts[i].labels = label_ptrs[i].data();
    ts[i].n_samples = sample_ptrs[i].size();
    ts[i].samples = sample_ptrs[i].data();
    ts_ptrs[i] = &ts[i];
  }
  Prometheus__WriteRequest req;
  prometheus__write_request__init(&req);
  req.n_timeseries = ts_ptrs.size();
  req.timeseries = ts_ptrs.data();

  std::string packed(prometheus__write_request__get_packed_size(&req), '\0');
  if (prometheus__write_request__pack(&req, reinterpret_cast<uint8_t*>(packed.data())) !=
      packed.size())
    return false;
  size_t n = snappy_max_compressed_length(packed.size());
  body.assign(n, '\0');
  if (snappy_compress(packed.data(), packed.size(), body.data(), &n) != SNAPPY_OK) return false;
  body.resize(n);
  return true;
}

}  // namespace qmx::remote_write
