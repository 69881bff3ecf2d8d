#pragma once
// An alarm point or event as the front ends hand it out (the runner's JSON
// lines, MQTT, the web API): the members they all share. Each adds its own
// (when it was raised, which device, the state's time) in its own format.
#include <json/json.h>

#include "store/alarm_event.h"
#include "store/alarm_service.h"

namespace qmx::store {

inline Json::Value AlarmPointJson(const ActiveAlarm& a) {
  Json::Value x(Json::objectValue);
  x["data_id"] = a.data_id;
  x["key"] = a.key;
  x["seq"] = a.seq;
  x["level"] = a.level;
  x["code"] = a.code;
  x["name"] = a.name;
  x["text"] = a.text;
  return x;
}

// With "state": "raised" or "cleared".
inline Json::Value AlarmEventJson(const AlarmEvent& e) {
  Json::Value x(Json::objectValue);
  x["data_id"] = e.data_id;
  x["state"] = e.raised ? "raised" : "cleared";
  x["key"] = e.key;
  x["seq"] = e.seq;
  x["level"] = e.level;
  x["code"] = e.code;
  x["name"] = e.name;
  x["text"] = e.text;
  return x;
}

}  // namespace qmx::store
