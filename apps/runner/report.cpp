#include "report.h"

#include <stdexcept>

#include <fmt/format.h>
#include <json/json.h>

#include "image_view.h"
#include "store/alarm_json.h"
#include "view/site_view.h"

namespace k417t_run {
namespace {

// Reads one key; a refusal is shown as its message.
void Read(QMXVDevice& unit, const std::string& key, Json::Value& values, Json::Value& errors) {
  try {
    values[key] = unit.Get_Value(unit.DataId(), key);
  } catch (const std::out_of_range& e) {
    errors[key] = e.what();
  }
}

std::string TimeText(int64_t t) {
  const time_t tt = static_cast<time_t>(t);
  struct tm tm {};
  localtime_r(&tt, &tm);
  return fmt::format("{:04}-{:02}-{:02} {:02}:{:02}:{:02}", tm.tm_year + 1900, tm.tm_mon + 1,
                     tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
}

std::string Compact(const Json::Value& v) {
  Json::StreamWriterBuilder w;
  w["indentation"] = "";
  w["precision"] = 7;
  w["emitUTF8"] = true;
  return Json::writeString(w, v);
}

}  // namespace

Json::Value SnapshotValues(PMBusProtocol& ctrl, const qmx::SiteHost& host) {
  Json::Value units(Json::arrayValue);
  for (const auto& unit : ctrl.GetAllChildVDevices()) {
    if (!unit) continue;
    Json::Value u(Json::objectValue);
    u["data_id"] = unit->DataId();
    u["type"] = unit->DeviceType();
    Json::Value values(Json::objectValue), errors(Json::objectValue);
    if (unit->DeviceType() == "k417t-ac") {
      for (const char* key : {"ia", "ib", "ic", "ia_alert", "ib_alert", "ic_alert"})
        Read(*unit, key, values, errors);
      for (int k = 0; k < 256; ++k) {
        Json::Value e(Json::objectValue);
        for (const char* f : {"a", "b", "c", "f"})
          Read(*unit, fmt::format("channel_{}_{}", k, f), values, e);
        if (!e.empty()) {
          if (k == 0 && values.size() == 0) errors = e;
          break;  // past the last input
        }
      }
    } else if (unit->DeviceType() == "k417t-dc") {
      Read(*unit, "v", values, errors);
      Read(*unit, "i", values, errors);
    } else if (unit->DeviceType() == "k417t-rc") {
      Json::Value image = DecodeRectifierImage(host.LastImage(*unit));
      if (!image.isNull()) values = image;
    }
    u["values"] = values;
    if (!errors.empty()) u["errors"] = errors;
    units.append(u);
  }
  return units;
}

Json::Value EventJson(const qmx::store::AlarmEvent& e) {
  Json::Value v = qmx::store::AlarmEventJson(e);
  v["kind"] = "alarm";
  v["time"] = TimeText(e.time);
  return v;
}

std::string EventText(const qmx::store::AlarmEvent& e) {
  return fmt::format("alarm {:7} {} #{} [{}] {} {} {}", e.raised ? "RAISED" : "cleared", e.data_id,
                     e.seq, e.key, e.code, e.name, e.text);
}

Output::Output(FILE* out, bool json, bool progress) : out_(out), json_(json), progress_(progress) {}

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
  std::fprintf(out_, "\r\033[K%s", text.c_str());
  std::fflush(out_);
  progress_shown_ = true;
}

void Output::Line(const std::string& text) {
  std::lock_guard<std::mutex> lock(mu_);
  ClearProgress();
  std::fprintf(out_, "%s\n", text.c_str());
  std::fflush(out_);
}

void Output::Json(const Json::Value& v) {
  std::lock_guard<std::mutex> lock(mu_);
  std::fprintf(out_, "%s\n", Compact(v).c_str());
  std::fflush(out_);
}

void Output::Round(const qmx::RoundReport& r) {
  Json::Value units(Json::arrayValue);
  for (const qmx::UnitImage& img : r.images)
    units.append(qmx::view::UnitJson(qmx::view::ReadUnit(img.data_id, img.type, img.image)));
  if (json_) {
    Json::Value v(Json::objectValue);
    v["kind"] = "round";
    v["device"] = r.device_id;
    v["round"] = static_cast<Json::UInt64>(r.round);
    v["time"] = TimeText(r.time);
    v["duration_ms"] = r.duration_ms;
    v["bytes_out"] = static_cast<Json::UInt64>(r.bytes_out);
    v["bytes_in"] = static_cast<Json::UInt64>(r.bytes_in);
    v["exchanges"] = static_cast<Json::UInt64>(r.exchanges);
    v["units"] = units;
    Json::Value events(Json::arrayValue);
    for (const auto& e : r.events) events.append(EventJson(e));
    v["alarms"] = events;
    Json(v);
    return;
  }
  std::string text = fmt::format("round {} of device {} at {} ({:.0f} ms, {} exchanges)\n", r.round,
                                 r.device_id, TimeText(r.time), r.duration_ms, r.exchanges);
  for (const Json::Value& u : units) {
    text += fmt::format("  {:9} {:>6}:", u["type"].asString(), u["data_id"].asUInt());
    const Json::Value& values = u["values"];
    if (u["type"].asString() == "k417t-rc" && values.isObject()) {
      text += fmt::format(" rc_value {:.2f}, {} modules", values["rc_value"].asFloat(),
                          values["module_count"].asUInt());
      for (const Json::Value& m : values["modules"])
        text += fmt::format(" [{:.2f}{}]", m["value"].asFloat(), m["fault"].asUInt() == 1 ? " FAULT" : "");
    } else if (u["type"].asString() == "k417t-ac" && values.isMember("ia")) {
      auto f = [&values](const std::string& k) { return values[k].asFloat(); };
      text += fmt::format(" I {:g}/{:g}/{:g} (state {:g}/{:g}/{:g})", f("ia"), f("ib"), f("ic"),
                          f("ia_alert"), f("ib_alert"), f("ic_alert"));
      for (int k = 0; values.isMember(fmt::format("channel_{}_a", k)); ++k) {
        const std::string c = fmt::format("channel_{}_", k);
        text += fmt::format("; input {} U {:g}/{:g}/{:g} {:g} Hz", k + 1, f(c + "a"), f(c + "b"),
                            f(c + "c"), f(c + "f"));
      }
    } else {
      for (const auto& key : values.getMemberNames())
        text += fmt::format(" {}={:g}", key, values[key].asFloat());
    }
    for (const auto& key : u["errors"].getMemberNames())
      text += fmt::format(" {}: {}", key, u["errors"][key].asString());
    text += "\n";
  }
  for (const auto& e : r.events) text += "  " + EventText(e) + "\n";
  if (!text.empty()) text.pop_back();
  Line(text);
}

void Output::Link(const qmx::LinkReport& r) {
  if (json_) {
    Json::Value v(Json::objectValue);
    v["kind"] = "link";
    v["device"] = r.device_id;
    v["time"] = TimeText(r.time);
    v["state"] = r.answering ? "answering" : "lost";
    v["stale"] = !r.answering;
    v["missed"] = r.missed;
    Json::Value events(Json::arrayValue);
    for (const auto& e : r.events) events.append(EventJson(e));
    v["alarms"] = events;
    Json(v);
    return;
  }
  std::string text =
      r.answering ? fmt::format("device {} answers again at {}", r.device_id, TimeText(r.time))
                  : fmt::format("device {} lost at {}: {} answers missed in a row; its values are "
                                "stale",
                                r.device_id, TimeText(r.time), r.missed);
  // The clear comes with the round that brought the controller back.
  if (!r.answering) {
    for (const auto& e : r.events)
      text += fmt::format("\n  alarm {:7} {} #{} [{}] {} {} {}", "RAISED", e.data_id, e.seq, e.key,
                          e.code, e.name, e.text);
  }
  Line(text);
}

void Output::Events(const qmx::RoundReport& r) {
  for (const auto& e : r.events) {
    if (json_) Json(EventJson(e));
    else Line(EventText(e));
  }
}

void Output::Alarms(const std::vector<qmx::store::ActiveAlarm>& active) {
  if (json_) {
    Json::Value v(Json::objectValue);
    v["kind"] = "active_alarms";
    Json::Value list(Json::arrayValue);
    for (const auto& a : active) {
      Json::Value x = qmx::store::AlarmPointJson(a);
      x["since"] = TimeText(a.since);
      list.append(x);
    }
    v["alarms"] = list;
    Json(v);
    return;
  }
  std::string text = fmt::format("active alarms: {}", active.size());
  for (const auto& a : active)
    text += fmt::format("\n  {} #{} [{}] level {} {} {} {} since {}", a.data_id, a.seq, a.key,
                        a.level, a.code, a.name, a.text, TimeText(a.since));
  Line(text);
}

}  // namespace k417t_run
