// Configuration and child lookups of PMBusPower (included by pmbus_power.h).
#pragma once

#include <json/value.h>

template <typename AC, typename DC, typename RC>
template <typename Unit, typename Make>
bool PMBusPower<AC, DC, RC>::CreateUnits(const Json::Value& setting, const char* key,
                                         std::vector<std::shared_ptr<Unit>>& out, Make make) {
  const Json::Value& list = setting[key];
  if (list.isNull()) return true;
  if (!list.isArray()) {
    InfoLog("PMBusPower:ProcotolError {} {} is not an array, no unit created", DataId(),
            std::string(key));
    return true;
  }
  for (Json::ArrayIndex i = 0; i < list.size(); ++i) {
    const Json::Value& element = list[i];
    unsigned int id = 0;
    // jsoncpp throws for a data_id it cannot make unsigned (negative, text,
    // above 2^32-1) and for an element that is neither an object nor null.
    try {
      id = element["data_id"].asUInt();
    } catch (const std::exception&) {
      InfoLog("PMBusPower:ProcotolError {} {}[{}] has no usable data_id (unsigned integer expected)",
              DataId(), std::string(key), i);
      return false;
    }
    std::shared_ptr<Unit> unit = make();
    unit->InitV(this, id, element);
    out.push_back(std::move(unit));
  }
  return true;
}

template <typename AC, typename DC, typename RC>
bool PMBusPower<AC, DC, RC>::InitSetting(const Json::Value& setting) {
  if (!PMBusProtocol::InitSetting(setting)) return false;
  if (!setting.isObject()) return false;
  if (!CreateUnits(setting, "acSetting", ac_devices, [] { return std::make_shared<AC>(); }))
    return false;
  if (!CreateUnits(setting, "dcSetting", dc_devices,
                   [this] { return std::make_shared<DC>(detected_model); }))
    return false;
  const Json::Value& rc = setting["rcSetting"];
  if (rc.isNull()) {
    InfoLog("PMBusPower:ProcotolError {} no rcSetting, rectifier unit not created", DataId());
    return false;
  }
  rc_device = std::make_shared<RC>();
  rc_device->InitV(this, DataId(), rc);
  return true;
}

template <typename AC, typename DC, typename RC>
std::shared_ptr<QMXVDevice> PMBusPower<AC, DC, RC>::GetChildVDevice(unsigned int id) {
  for (const auto& ac : ac_devices)
    if (ac->DataId() == id) return ac;
  for (const auto& dc : dc_devices)
    if (dc->DataId() == id) return dc;
  return {};
}

// The rectifier unit comes last and is listed even when it is empty: callers
// skip empty pointers.
template <typename AC, typename DC, typename RC>
std::vector<std::shared_ptr<QMXVDevice>> PMBusPower<AC, DC, RC>::GetAllChildVDevices() {
  std::vector<std::shared_ptr<QMXVDevice>> all;
  all.reserve(ac_devices.size() + dc_devices.size() + 1);
  for (const auto& ac : ac_devices) all.push_back(ac);
  for (const auto& dc : dc_devices) all.push_back(dc);
  all.push_back(rc_device);
  return all;
}
