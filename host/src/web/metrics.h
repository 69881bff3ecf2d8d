#pragma once

// /metrics: the site's devices in Prometheus' text format (version 0.0.4).
#include <string>
#include <vector>

#include "view/site_view.h"

namespace qmx::web {

// Every family with its HELP and TYPE, then its samples: the device-level
// families of one table (per device, per port, or once from the history
// store), the units' values under the metric names their fields carry, and
// the alarms. A device whose controller is lost keeps its state, line and
// alarm samples but exports no unit value: its last readings are not live.
// With `alarm_kpis`, the alarm board's families: each listed alarm by its
// state, each device's maintenance, and the figures of the alarm load. Then
// each northbound sink's outbox (labelled `sink`).
std::string MetricsText(const std::vector<view::DeviceView>& devices,
                        const store::HistoryStore* history,
                        const std::vector<view::OutboxHealth>& outboxes = {},
                        const view::AlarmKpis* alarm_kpis = nullptr);

// A sample's number: integers without a fraction, NaN and ±Inf as
// Prometheus spells them, anything else as the shortest text that reads
// back the same.
std::string MetricNumber(double v);

}  // namespace qmx::web
