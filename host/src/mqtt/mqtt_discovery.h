#pragma once

// Home Assistant discovery: the config messages of a device's entities and of
// the gateway, built from what the view says of the device. Pure: the export
// sends them, keeps what it sent and empties the configs no longer made.
#include <json/value.h>

#include <map>
#include <string>
#include <vector>

#include "mqtt/mqtt_config.h"
#include "view/site_view.h"

namespace qmx::exporter {

struct DiscoveryUnit {
  int type = 0;
  std::vector<view::Field> fields;
};

// A device as discovery announces it.
struct DiscoveryDevice {
  std::string name, topic;                          // as the export's settings give them
  std::string model, version;                       // as the controller reported them; "" before
  std::map<unsigned int, DiscoveryUnit> units;      // by data identifier
  std::map<std::string, Json::Value> alarm_points;  // PointId -> AlarmPointRecord
  // The site names battery strings for the device: its battery's entities
  // (charge and discharge, state of charge, autonomy) are announced.
  bool battery = false;
};

struct DiscoveryMessage {
  std::string topic, payload;  // retained, QoS 1
};

// The word an enum sensor shows for a state code outside its field's words
// (the state message says "state N" then; Home Assistant refuses a state
// that is not one of the options).
inline constexpr const char* kOtherStateWord = "other";

// Every entity of the device: a sensor per measurement, an enum sensor or a
// problem per state, the line counters, the energy and battery figures
// (state on <device>/battery, BatteryJson), the device's alarm and one
// problem per alarm point seen.
//
// Availability: a value's entity is available while the gateway and the
// device are (a lost device's values are its last readings, not live); the
// device's alarm and its communication alarm only need the gateway, since
// they are what is known while the controller does not answer; the other
// alarm points are the controller's own word and follow the device. The
// energy and charge totals only need the gateway too (a lost controller's
// totals are still true; they stop growing); power, state of charge and
// autonomy follow the device.
std::vector<DiscoveryMessage> DeviceDiscovery(const MqttConfig& cfg, const DiscoveryDevice& d);

// The gateway as a device of its own (every controller is reached through
// it): its connectivity is the gateway's availability.
DiscoveryMessage GatewayDiscovery(const MqttConfig& cfg);

}  // namespace qmx::exporter
