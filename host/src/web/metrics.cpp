#include "web/metrics.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <ctime>
#include <map>
#include <set>

#include "web/web_api.h"

namespace qmx::web {
namespace {

// One metric family: HELP and TYPE once, then its samples.
struct Family {
  std::string name, help, type;
  std::vector<std::string> samples;
  void Add(const std::string& labels, double v) {
    samples.push_back(name + (labels.empty() ? "" : "{" + labels + "}") + " " + MetricNumber(v));
  }
  void AddRaw(const std::string& line) { samples.push_back(line); }
};

std::string Label(const char* name, const std::string& value) {
  return fmt::format("{}=\"{}\"", name, LabelValue(value));
}

// What one sample of a device-level family stands for.
enum class Per {
  kDevice,  // a device: labelled `device`
  kPort,    // a port, counted once on a shared bus: labelled `line`
  kStore,   // the site's history store: no label
};

// A device-level family: its name, type and help, and where its samples
// come from: one a device (`value`), several a device (`samples`: labels
// beyond `device`, a histogram's series), one a port (the line statistics'
// `counter`), or one from the history store (`store`).
struct DeviceFamily {
  const char* name;
  const char* type;
  const char* help;
  Per per;
  double (*value)(const view::DeviceView& d) = nullptr;
  void (*samples)(const view::DeviceView& d, const std::string& device, Family& f) = nullptr;
  uint64_t line::LineStats::*counter = nullptr;
  double (*store)(const store::HistoryStore& h) = nullptr;
};

DeviceFamily OfDevice(const char* name, const char* type, const char* help,
                      double (*value)(const view::DeviceView&)) {
  DeviceFamily f{name, type, help, Per::kDevice};
  f.value = value;
  return f;
}
DeviceFamily SamplesOfDevice(const char* name, const char* type, const char* help,
                             void (*samples)(const view::DeviceView&, const std::string&,
                                             Family&)) {
  DeviceFamily f{name, type, help, Per::kDevice};
  f.samples = samples;
  return f;
}
DeviceFamily OfPort(const char* name, const char* help, uint64_t line::LineStats::*counter) {
  DeviceFamily f{name, "counter", help, Per::kPort};
  f.counter = counter;
  return f;
}
DeviceFamily OfStore(const char* name, const char* type, const char* help,
                     double (*store)(const store::HistoryStore&)) {
  DeviceFamily f{name, type, help, Per::kStore};
  f.store = store;
  return f;
}

double Flag(bool b) { return b ? 1 : 0; }

void Info(const view::DeviceView& d, const std::string& dev, Family& f) {
  f.Add(fmt::format("{},{},{},{},{}", dev, Label("name", d.name), Label("line", d.line),
                    Label("model", d.model), Label("version", d.version)),
        1);
}

void DcLimitSamples(const view::DeviceView& d, const std::string& dev, Family& f) {
  f.Add(dev + "," + Label("bound", "low"), d.dc_limits.low_v);
  f.Add(dev + "," + Label("bound", "high"), d.dc_limits.high_v);
}

void RoundHistogram(const view::DeviceView& d, const std::string& dev, Family& f) {
  const view::RoundStats& r = d.round;
  for (size_t b = 0; b < view::RoundStats::kBuckets.size(); ++b)
    f.AddRaw(fmt::format("{}_bucket{{{},le=\"{}\"}} {}", f.name, dev,
                         MetricNumber(view::RoundStats::kBuckets[b]), r.buckets[b]));
  f.AddRaw(fmt::format("{}_bucket{{{},le=\"+Inf\"}} {}", f.name, dev, r.count));
  f.AddRaw(fmt::format("{}_sum{{{}}} {}", f.name, dev, MetricNumber(r.sum_s)));
  f.AddRaw(fmt::format("{}_count{{{}}} {}", f.name, dev, r.count));
}

void AlarmPoints(const view::DeviceView& d, const std::string& dev, Family& f) {
  for (const auto& a : d.alarms)
    f.Add(fmt::format("{},{},{},{},{},{},{}", dev, Label("unit", std::to_string(a.data_id)),
                      Label("key", a.key), Label("seq", std::to_string(a.seq)),
                      Label("code", a.code), Label("level", std::to_string(a.level)),
                      Label("severity", view::SeverityWord(a.level))),
          1);
}

// Energy and battery figures, from the view's battery figures. The energy
// and charge counters are totals since the first round ever counted: every
// device has them, a lost controller's too (they stop growing, they do not
// go back). The power is a reading: none while the values are not live. The
// battery's own figures need strings named in the site file.
void EnergyCounter(const view::DeviceView& d, const std::string& dev, Family& f,
                   double view::EnergyCounters::*member) {
  f.Add(dev, d.battery.total.*member);
}

void LoadPower(const view::DeviceView& d, const std::string& dev, Family& f) {
  if (view::ValuesLive(d) && d.battery.power_w) f.Add(dev, *d.battery.power_w);
}

void StateOfCharge(const view::DeviceView& d, const std::string& dev, Family& f) {
  if (d.battery.configured) f.Add(dev, d.battery.soc);
}

void Autonomy(const view::DeviceView& d, const std::string& dev, Family& f) {
  const view::AutonomyEstimate& a = d.battery.autonomy;
  if (!d.battery.configured || !a.valid) return;
  // In seconds, Prometheus' base unit of time (its linter refuses minutes).
  f.Add(dev + "," + Label("bound", "estimate"), a.minutes * 60);
  f.Add(dev + "," + Label("bound", "low"), a.low_min * 60);
  f.Add(dev + "," + Label("bound", "high"), a.high_min * 60);
}

void Discharging(const view::DeviceView& d, const std::string& dev, Family& f) {
  if (d.battery.configured) f.Add(dev, Flag(d.battery.discharging.has_value()));
}

void TestRunning(const view::DeviceView& d, const std::string& dev, Family& f) {
  if (d.battery.configured)
    f.Add(dev, Flag(d.battery.test.phase == view::BatteryTestState::Phase::kRunning));
}

// The families before the units' values, in the order they are written.
const std::vector<DeviceFamily>& LeadFamilies() {
  static const std::vector<DeviceFamily> rows = {
      SamplesOfDevice("k417t_device_info", "gauge",
                      "A device of the site: its name, port (joins the line_ metrics on line), "
                      "model and version. Always 1.",
                      Info),
      SamplesOfDevice("k417t_site_dc_voltage_limit_volts", "gauge",
                      "The DC bus voltage band the site holds the plant to (the site file's "
                      "dc_limits): below low or above high is a fault.",
                      DcLimitSamples),
      OfDevice("k417t_up", "gauge", "Whether the controller answers (1) or not (0).",
               [](const view::DeviceView& d) { return Flag(d.answering); }),
      OfDevice("k417t_values_stale", "gauge",
               "Whether the values are the last ones read before the controller was lost.",
               [](const view::DeviceView& d) { return Flag(d.stale); }),
      OfDevice("k417t_line_open", "gauge", "Whether the device's port is open.",
               [](const view::DeviceView& d) { return Flag(d.line_open); }),
      OfDevice("k417t_rounds_total", "counter", "Completed polling rounds.",
               [](const view::DeviceView& d) { return static_cast<double>(d.rounds); }),
      OfDevice("k417t_last_round_timestamp_seconds", "gauge", "End of the last completed round.",
               [](const view::DeviceView& d) { return static_cast<double>(d.last_round); }),
      OfDevice("k417t_round_wire_limit_ratio", "gauge",
               "Last round's duration over what the wire needs for its bytes and pauses.",
               [](const view::DeviceView& d) { return d.round.ratio(); }),
      SamplesOfDevice("k417t_round_duration_seconds", "histogram", "Duration of polling rounds.",
                      RoundHistogram),
      OfPort("k417t_line_requests_total", "Requests written on the line.",
             &line::LineStats::requests),
      OfPort("k417t_line_answers_total", "Answers taken by the exchange in flight.",
             &line::LineStats::answers),
      OfPort("k417t_line_timeouts_total", "Exchanges that ended without an answer.",
             &line::LineStats::timeouts),
      OfPort("k417t_line_late_answers_total", "Answers with no request of theirs in flight.",
             &line::LineStats::late),
      OfPort("k417t_line_echoes_total", "Own requests read back from the line.",
             &line::LineStats::echoes),
      OfPort("k417t_line_dropped_frames_total",
             "Corrupt, foreign or cut-off frames and stray bytes.", &line::LineStats::dropped),
      OfPort("k417t_line_sent_bytes_total", "Bytes written on the line.",
             &line::LineStats::bytes_out),
      OfPort("k417t_line_received_bytes_total", "Bytes read from the line.",
             &line::LineStats::bytes_in),
  };
  return rows;
}

// The families after the units' values.
const std::vector<DeviceFamily>& TrailFamilies() {
  static const std::vector<DeviceFamily> rows = {
      SamplesOfDevice("k417t_dc_load_energy_kwh_total", "counter",
                      "Energy delivered to the DC load (bus voltage times load current), "
                      "since the first round counted.",
                      [](const view::DeviceView& d, const std::string& dev, Family& f) {
                        EnergyCounter(d, dev, f, &view::EnergyCounters::load_kwh);
                      }),
      SamplesOfDevice("k417t_rectifier_energy_kwh_total", "counter",
                      "Energy the rectifiers delivered (output voltage times total current), "
                      "since the first round counted.",
                      [](const view::DeviceView& d, const std::string& dev, Family& f) {
                        EnergyCounter(d, dev, f, &view::EnergyCounters::rectifier_kwh);
                      }),
      SamplesOfDevice("k417t_battery_charge_ah_total", "counter",
                      "Charge taken in by the battery strings, in ampere-hours.",
                      [](const view::DeviceView& d, const std::string& dev, Family& f) {
                        EnergyCounter(d, dev, f, &view::EnergyCounters::charge_ah);
                      }),
      SamplesOfDevice("k417t_battery_discharge_ah_total", "counter",
                      "Charge delivered by the battery strings, in ampere-hours.",
                      [](const view::DeviceView& d, const std::string& dev, Family& f) {
                        EnergyCounter(d, dev, f, &view::EnergyCounters::discharge_ah);
                      }),
      SamplesOfDevice("k417t_battery_charge_kwh_total", "counter",
                      "Energy taken in by the battery strings.",
                      [](const view::DeviceView& d, const std::string& dev, Family& f) {
                        EnergyCounter(d, dev, f, &view::EnergyCounters::charge_kwh);
                      }),
      SamplesOfDevice("k417t_battery_discharge_kwh_total", "counter",
                      "Energy delivered by the battery strings.",
                      [](const view::DeviceView& d, const std::string& dev, Family& f) {
                        EnergyCounter(d, dev, f, &view::EnergyCounters::discharge_kwh);
                      }),
      SamplesOfDevice("k417t_dc_load_power_watts", "gauge",
                      "DC load power of the last live round (bus voltage times load current).",
                      LoadPower),
      SamplesOfDevice("k417t_battery_state_of_charge_ratio", "gauge",
                      "State of charge of the battery strings (0 to 1), counted from the "
                      "charge in and out against their capacity.",
                      StateOfCharge),
      SamplesOfDevice("k417t_battery_autonomy_seconds", "gauge",
                      "Estimated time left on the batteries to the end-of-discharge voltage "
                      "(projected at the present load while on mains), with the low and high "
                      "bounds of its band.",
                      Autonomy),
      SamplesOfDevice("k417t_battery_discharging", "gauge",
                      "Whether a battery discharge is going on (1) or not (0).", Discharging),
      SamplesOfDevice("k417t_battery_test_running", "gauge",
                      "Whether a battery test is running (1) or not (0).", TestRunning),
      SamplesOfDevice("k417t_alarm_active", "gauge", "Active alarm points (1 while raised).",
                      AlarmPoints),
      OfDevice("k417t_alarms_active", "gauge", "Number of active alarm points.",
               [](const view::DeviceView& d) { return static_cast<double>(d.alarms.size()); }),
      OfStore("k417t_history_pending_writes", "gauge",
              "Items waiting to be written to the history store.",
              [](const store::HistoryStore& h) { return static_cast<double>(h.pending()); }),
      OfStore("k417t_history_dropped_total", "counter",
              "Items dropped because the pending bound was hit.",
              [](const store::HistoryStore& h) { return static_cast<double>(h.dropped()); }),
  };
  return rows;
}

std::vector<Family> Declare(const std::vector<DeviceFamily>& rows) {
  std::vector<Family> out;
  for (const DeviceFamily& r : rows) out.push_back(Family{r.name, r.help, r.type, {}});
  return out;
}

void AddDevice(const std::vector<DeviceFamily>& rows, std::vector<Family>& out,
               const view::DeviceView& d, const std::string& dev, bool first_on_port) {
  for (size_t i = 0; i < rows.size(); ++i) {
    const DeviceFamily& r = rows[i];
    if (r.per == Per::kDevice && r.samples != nullptr)
      r.samples(d, dev, out[i]);
    else if (r.per == Per::kDevice)
      out[i].Add(dev, r.value(d));
    else if (r.per == Per::kPort && first_on_port)
      out[i].Add(Label("line", d.line), static_cast<double>(d.line_stats.*r.counter));
  }
}

void AddStore(const std::vector<DeviceFamily>& rows, std::vector<Family>& out,
              const store::HistoryStore& h) {
  for (size_t i = 0; i < rows.size(); ++i)
    if (rows[i].per == Per::kStore) out[i].Add("", rows[i].store(h));
}

// The units' values under the names and labels their fields carry; a value
// the controller sent as no value has no sample.
void AddUnits(const view::DeviceView& d, std::map<std::string, Family>& families) {
  for (const view::UnitValues& u : d.units) {
    for (const view::Sample& x : view::UnitSamples(d.id, u)) {
      auto f = families.find(x.metric);
      // Every family the rows declare has its help already (MetricHelp).
      if (f == families.end())
        f = families.emplace(x.metric, Family{x.metric, x.metric, "gauge", {}}).first;
      std::string labels;
      for (const auto& [k, v] : x.labels)
        labels += (labels.empty() ? "" : ",") + Label(k.c_str(), v);
      f->second.Add(labels, x.value);
    }
  }
}

void Write(const Family& f, std::string& out) {
  out += "# HELP " + f.name + " " + f.help + "\n# TYPE " + f.name + " " + f.type + "\n";
  for (const std::string& line : f.samples) out += line + "\n";
}

// The alarm board's families: what the operators are shown, by state, and
// the figures of the alarm load. Written after the alarm points' own.
void AddBoard(const std::vector<view::DeviceView>& devices, const view::AlarmKpis& k,
              std::string& out) {
  Family state{"k417t_alarm_state",
               "Listed alarms as the operators see them, by state "
               "(active_unacknowledged, active_acknowledged, cleared_unacknowledged, shelved, "
               "out_of_service, suppressed, unknown, chattering, delayed). Always 1.",
               "gauge",
               {}};
  Family maintenance{"k417t_device_maintenance",
                     "Whether the device is in maintenance: its alarms recorded, not annunciated.",
                     "gauge",
                     {}};
  for (const view::DeviceView& d : devices) {
    const std::string dev = Label("device", std::to_string(d.id));
    for (const view::AlarmState& a : d.alarm_states)
      state.Add(fmt::format(
                    "{},{},{},{},{},{},{}", dev, Label("unit", std::to_string(a.point.data_id)),
                    Label("key", a.point.key), Label("seq", std::to_string(a.point.seq)),
                    Label("code", a.point.code),
                    Label("severity", view::SeverityWord(a.point.level)), Label("state", a.state)),
                1);
    maintenance.Add(dev, Flag(d.maintenance.has_value()));
  }
  Write(state, out);
  Write(maintenance, out);
  const struct {
    const char* name;
    const char* type;
    const char* help;
    double value;
  } figures[] = {
      {"k417t_alarms_annunciated_10min", "gauge", "Alarms annunciated in the last 10 minutes.",
       static_cast<double>(k.annunciated_10min)},
      {"k417t_alarm_flood", "gauge",
       "Whether the annunciated alarms of the last 10 minutes make a flood (1) or not (0).",
       Flag(k.flood)},
      {"k417t_alarms_standing", "gauge", "Alarms active and annunciated now.",
       static_cast<double>(k.standing)},
      {"k417t_alarms_stale", "gauge", "Alarms standing longer than 24 hours.",
       static_cast<double>(k.stale)},
      {"k417t_alarms_unacknowledged", "gauge",
       "Listed alarms no operator has acknowledged (cleared ones included).",
       static_cast<double>(k.unacknowledged)},
      {"k417t_alarms_chattering", "gauge", "Alarms chattering now.",
       static_cast<double>(k.chattering)},
      {"k417t_alarms_shelved", "gauge", "Alarms shelved by an operator now.",
       static_cast<double>(k.shelved)},
      {"k417t_alarms_suppressed", "gauge", "Alarms attached to another alarm of the same cause.",
       static_cast<double>(k.suppressed)},
      {"k417t_alarms_unknown", "gauge", "Alarms of devices that do not answer.",
       static_cast<double>(k.unknown)},
      {"k417t_alarm_annunciations_total", "counter",
       "Alarms annunciated to the operators since the service started.",
       static_cast<double>(k.annunciated_total)},
      {"k417t_alarm_transitions_total", "counter",
       "Raises and clears the controllers stated since the service started.",
       static_cast<double>(k.transitions_total)},
  };
  for (const auto& x : figures) {
    Family f{x.name, x.help, x.type, {}};
    f.Add("", x.value);
    Write(f, out);
  }
}

}  // namespace

std::string MetricNumber(double v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v > 0 ? "+Inf" : "-Inf";
  if (v == std::floor(v) && std::fabs(v) < 1e15) return fmt::format("{:.0f}", v);
  return fmt::format("{}", v);  // the shortest text that reads back the same
}

std::string LabelValue(const std::string& v) {
  std::string out;
  out.reserve(v.size());
  for (char c : v) {
    if (c == '\\')
      out += "\\\\";
    else if (c == '"')
      out += "\\\"";
    else if (c == '\n')
      out += "\\n";
    else
      out += c;
  }
  return out;
}

// The outboxes' families: one sample per sink.
struct OutboxFamily {
  const char* name;
  const char* type;
  const char* help;
  double (*value)(const view::OutboxHealth& h, int64_t now);
};

const std::vector<OutboxFamily>& OutboxFamilies() {
  static const std::vector<OutboxFamily> rows = {
      {"k417t_outbox_connected", "gauge",
       "Whether the sink's far end (broker, remote-write receiver) answers now.",
       [](const view::OutboxHealth& h, int64_t) { return h.connected ? 1.0 : 0.0; }},
      {"k417t_outbox_pending_events", "gauge",
       "Alarm events in the history the sink has not had acknowledged yet.",
       [](const view::OutboxHealth& h, int64_t) { return static_cast<double>(h.pending_events); }},
      {"k417t_outbox_pending_records", "gauge",
       "Stored records in the history the sink has not had acknowledged yet.",
       [](const view::OutboxHealth& h, int64_t) { return static_cast<double>(h.pending_records); }},
      {"k417t_outbox_oldest_pending_age_seconds", "gauge",
       "Age of the oldest item the sink still owes (0: none).",
       [](const view::OutboxHealth& h, int64_t now) {
         return h.oldest > 0 ? static_cast<double>(std::max<int64_t>(0, now - h.oldest)) : 0.0;
       }},
      {"k417t_outbox_lost_items", "gauge",
       "Items the history's bounds took before the sink delivered them.",
       [](const view::OutboxHealth& h, int64_t) {
         return static_cast<double>(h.lost_events + h.lost_records);
       }},
      {"k417t_outbox_sent_events_total", "counter",
       "Alarm events delivered and acknowledged since the service started.",
       [](const view::OutboxHealth& h, int64_t) { return static_cast<double>(h.sent_events); }},
      {"k417t_outbox_sent_records_total", "counter",
       "Records delivered and acknowledged since the service started.",
       [](const view::OutboxHealth& h, int64_t) { return static_cast<double>(h.sent_records); }},
      {"k417t_outbox_rejected_total", "counter",
       "Items the far end refused for good (not retried) since the service started.",
       [](const view::OutboxHealth& h, int64_t) { return static_cast<double>(h.rejected); }},
      {"k417t_outbox_last_success_timestamp_seconds", "gauge",
       "When the far end last acknowledged something (0: not since the start).",
       [](const view::OutboxHealth& h, int64_t) { return static_cast<double>(h.last_success); }},
      {"k417t_outbox_last_error_timestamp_seconds", "gauge",
       "When delivery last failed (0: not since the start).",
       [](const view::OutboxHealth& h, int64_t) { return static_cast<double>(h.last_error_time); }},
  };
  return rows;
}

std::string MetricsText(const std::vector<view::DeviceView>& devices,
                        const store::HistoryStore* history,
                        const std::vector<view::OutboxHealth>& outboxes,
                        const view::AlarmKpis* alarm_kpis) {
  std::vector<Family> lead = Declare(LeadFamilies());
  std::vector<Family> trail = Declare(TrailFamilies());
  // The units' values, one family per name the view gives them.
  std::map<std::string, Family> values;
  for (const auto& [name, help] : view::MetricHelp())
    values[name] = Family{name, help, "gauge", {}};

  std::set<std::string> ports;
  for (const view::DeviceView& d : devices) {
    const std::string dev = Label("device", std::to_string(d.id));
    const bool first_on_port = ports.insert(d.line).second;
    AddDevice(LeadFamilies(), lead, d, dev, first_on_port);
    // A lost controller's values are the last ones read before it stopped
    // answering: a scrape would draw them as a live, flat line.
    if (view::ValuesLive(d)) AddUnits(d, values);
    AddDevice(TrailFamilies(), trail, d, dev, first_on_port);
  }
  if (history != nullptr) AddStore(TrailFamilies(), trail, *history);

  std::string out;
  for (const Family& f : lead) Write(f, out);
  for (const auto& [name, f] : values) Write(f, out);
  for (const Family& f : trail) Write(f, out);
  if (alarm_kpis != nullptr) AddBoard(devices, *alarm_kpis, out);
  if (!outboxes.empty()) {
    const int64_t now = static_cast<int64_t>(std::time(nullptr));
    for (const OutboxFamily& r : OutboxFamilies()) {
      Family f{r.name, r.help, r.type, {}};
      for (const view::OutboxHealth& h : outboxes) f.Add(Label("sink", h.sink), r.value(h, now));
      Write(f, out);
    }
  }
  return out;
}

Response WebApi::Metrics() {
  Response r;
  r.content_type = "text/plain; version=0.0.4; charset=utf-8";
  const view::AlarmKpis kpis = view_.AlarmFigures();
  r.body = MetricsText(view_.Devices(), view_.History(), view_.Outboxes(), &kpis);
  return r;
}

}  // namespace qmx::web
