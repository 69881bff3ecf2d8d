#include "report.h"

#include <fmt/format.h>

#include <ctime>

#include "input/checked_json.h"

namespace k417t_run {

using qmx::view::AlarmEventJson;
using qmx::view::AlarmPointJson;
using qmx::view::SeverityWord;

std::string TimeText(int64_t t) {
  const time_t tt = static_cast<time_t>(t);
  struct tm tm {};
  localtime_r(&tt, &tm);
  char buf[64];
  if (std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S %Z", &tm) == 0) return std::to_string(t);
  return buf;
}

std::string EventText(const qmx::store::AlarmEvent& e) {
  return fmt::format("alarm {:7} {} #{} [{}] {} {} {} ({})", e.raised ? "RAISED" : "cleared",
                     e.data_id, e.seq, e.key, e.code, e.name, e.text, SeverityWord(e.level));
}

std::string EventText(const qmx::store::AlarmEvent& e, const qmx::view::SiteView::AlarmLabel& l) {
  std::string text = EventText(e);
  if (l.name_en.empty()) return text;
  text += " \u2014 " + l.name_en;
  if (!l.place_en.empty()) text += ", " + l.place_en;
  return text;
}

std::string UnitText(const qmx::view::UnitValues& u) {
  if (!u.error.empty()) return u.error;
  // "Input 1: voltage AB/A 380.5 V, ...; Phase currents: Phase A current 31.5 A, ..."
  std::string text, group;
  for (const qmx::view::Value& v : u.values) {
    if (v.field.diagnostic || (v.is_state() && !v.alert)) continue;
    std::string label = v.field.label;
    if (label.rfind(v.field.group + " ", 0) == 0) label = label.substr(v.field.group.size() + 1);
    std::string one;
    if (v.is_state())
      one = fmt::format("{} {}", label, v.word);
    else if (!v.number)
      one = fmt::format("{} —", label);
    else
      one = fmt::format("{} {:g}{}{}", label, *v.number, v.field.unit.empty() ? "" : " ",
                        v.field.unit);
    if (v.field.group != group || text.empty()) {
      text += fmt::format("{}{}: {}", text.empty() ? "" : "; ", v.field.group, one);
      group = v.field.group;
    } else {
      text += ", " + one;
    }
  }
  return text;
}

Output::Output(FILE* out, bool json, bool progress) : out_(out), json_(json), progress_(progress) {}

void Output::SetLabeler(Labeler labeler) {
  std::lock_guard<std::mutex> lock(mu_);
  labeler_ = std::move(labeler);
}

qmx::view::SiteView::AlarmLabel Output::LabelOf(unsigned int device,
                                                const qmx::store::AlarmEvent& e) {
  Labeler l;
  {
    std::lock_guard<std::mutex> lock(mu_);
    l = labeler_;
  }
  return l ? l(device, e) : qmx::view::SiteView::AlarmLabel{};
}

Json::Value Output::EventJson(unsigned int device, const qmx::store::AlarmEvent& e) {
  Json::Value v = AlarmEventJson(e);
  const qmx::view::SiteView::AlarmLabel l = LabelOf(device, e);
  v["name_en"] = l.name_en;
  v["place_en"] = l.place_en;
  return v;
}

void Output::ClearProgress() {
  if (progress_shown_) {
    std::fputs("\r\033[K", out_);
    progress_shown_ = false;
  }
}

void Output::Progress(const std::string& text) {
  if (!progress_ || json_) return;
  std::lock_guard<std::mutex> lock(mu_);
  if (progress_shown_ && text == last_progress_) return;
  last_progress_ = text;
  std::fprintf(out_, "\r\033[K%s", qmx::view::SafeText(text).c_str());
  std::fflush(out_);
  progress_shown_ = true;
}

void Output::Line(const std::string& text) {
  std::lock_guard<std::mutex> lock(mu_);
  ClearProgress();
  // Device texts (alarm texts, the model) and client texts: never raw.
  std::fprintf(out_, "%s\n", qmx::view::SafeText(text).c_str());
  std::fflush(out_);
}

void Output::Json(const Json::Value& v) {
  std::lock_guard<std::mutex> lock(mu_);
  std::fprintf(out_, "%s\n", qmx::json::Compact(v).c_str());
  std::fflush(out_);
}

std::string BatteryText(const qmx::view::BatteryView& b) {
  if (!b.configured && b.total.time_ms == 0) return "";
  std::string text = fmt::format("energy: load {:.2f} kWh, rectifiers {:.2f} kWh", b.total.load_kwh,
                                 b.total.rectifier_kwh);
  if (b.power_w) text += fmt::format(", power {:.0f} W", *b.power_w);
  if (!b.configured) return text;
  text += fmt::format("; battery: charge {:.0f} %, in {:.1f} Ah, out {:.1f} Ah", b.soc * 100,
                      b.total.charge_ah, b.total.discharge_ah);
  const qmx::view::AutonomyEstimate& a = b.autonomy;
  if (a.valid)
    text += fmt::format(", autonomy estimate {:.0f} min ({:.0f}-{:.0f}){}", a.minutes, a.low_min,
                        a.high_min, a.discharging ? "" : " at the present load");
  if (b.autonomy_low) text += ", AUTONOMY LOW";
  if (b.discharging) text += ", discharging (" + b.discharging->cause + ")";
  if (b.test.phase == qmx::view::BatteryTestState::Phase::kRunning) text += ", test running";
  return text;
}

void Output::Round(const qmx::view::RoundView& round,
                   const std::optional<qmx::view::BatteryView>& battery) {
  const qmx::RoundReport& r = round.report;
  if (json_) {
    Json::Value v(Json::objectValue);
    v["kind"] = "round";
    v["device"] = r.device_id;
    v["name"] = round.info.name;
    v["round"] = static_cast<Json::UInt64>(r.round);
    v["time"] = static_cast<Json::Int64>(r.time);
    v["duration_ms"] = r.duration_ms;
    v["bytes_out"] = static_cast<Json::UInt64>(r.bytes_out);
    v["bytes_in"] = static_cast<Json::UInt64>(r.bytes_in);
    v["exchanges"] = static_cast<Json::UInt64>(r.exchanges);
    Json::Value units(Json::arrayValue);
    for (const auto& u : round.units) units.append(qmx::view::UnitJson(u));
    v["units"] = units;
    Json::Value events(Json::arrayValue);
    for (const auto& e : r.events) events.append(EventJson(r.device_id, e));
    v["alarms"] = events;
    if (battery) v["battery"] = qmx::view::BatteryJson(*battery);
    Json(v);
    return;
  }
  std::string text = fmt::format("round {} of device {} at {} ({:.0f} ms, {} exchanges)\n", r.round,
                                 r.device_id, TimeText(r.time), r.duration_ms, r.exchanges);
  for (const auto& u : round.units)
    text +=
        fmt::format("  {:9} {:>6}: {}\n", qmx::view::DeviceTypeOf(u.type), u.data_id, UnitText(u));
  if (battery) {
    const std::string b = BatteryText(*battery);
    if (!b.empty()) text += "  " + b + "\n";
  }
  for (const auto& e : r.events) text += "  " + EventText(e, LabelOf(r.device_id, e)) + "\n";
  if (!text.empty()) text.pop_back();
  Line(text);
}

void Output::Link(const qmx::LinkReport& r) {
  if (json_) {
    Json::Value v(Json::objectValue);
    v["kind"] = "link";
    v["device"] = r.device_id;
    v["time"] = static_cast<Json::Int64>(r.time);
    v["state"] = r.answering ? "answering" : "lost";
    v["stale"] = !r.answering;
    v["missed"] = r.missed;
    Json::Value events(Json::arrayValue);
    for (const auto& e : r.events) events.append(EventJson(r.device_id, e));
    v["alarms"] = events;
    Json(v);
    return;
  }
  std::string text =
      r.answering ? fmt::format("device {} answers again at {}", r.device_id, TimeText(r.time))
                  : fmt::format(
                        "device {} lost at {}: {} answers missed in a row; its values are "
                        "stale",
                        r.device_id, TimeText(r.time), r.missed);
  // The clear comes with the round that brought the controller back.
  if (!r.answering)
    for (const auto& e : r.events) text += "\n  " + EventText(e, LabelOf(r.device_id, e));
  Line(text);
}

void Output::Events(const qmx::RoundReport& r) {
  for (const auto& e : r.events) {
    if (json_) {
      Json::Value v = EventJson(r.device_id, e);
      v["kind"] = "alarm";
      v["device"] = r.device_id;
      Json(v);
    } else {
      Line(EventText(e, LabelOf(r.device_id, e)));
    }
  }
}

void Output::Alarms(const std::vector<qmx::store::ActiveAlarm>& active) {
  if (json_) {
    Json::Value v(Json::objectValue);
    v["kind"] = "active_alarms";
    Json::Value list(Json::arrayValue);
    for (const auto& a : active) {
      Json::Value p = AlarmPointJson(a);
      const qmx::view::SiteView::AlarmLabel l =
          LabelOf(a.data_id, qmx::store::EventOf(a, true, a.since));
      p["name_en"] = l.name_en;
      p["place_en"] = l.place_en;
      list.append(p);
    }
    v["alarms"] = list;
    Json(v);
    return;
  }
  std::string text = fmt::format("active alarms: {}", active.size());
  for (const auto& a : active) {
    text += fmt::format("\n  {} #{} [{}] {} {} {} {} since {}", a.data_id, a.seq, a.key,
                        SeverityWord(a.level), a.code, a.name, a.text, TimeText(a.since));
    const qmx::view::SiteView::AlarmLabel l =
        LabelOf(a.data_id, qmx::store::EventOf(a, true, a.since));
    if (!l.name_en.empty())
      text += " \u2014 " + l.name_en + (l.place_en.empty() ? "" : ", " + l.place_en);
  }
  Line(text);
}

}  // namespace k417t_run
