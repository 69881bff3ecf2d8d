#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <json/value.h>

#include "qmx/pmbus_protocol.h"

// A power system behind one serial line: owns its AC distribution units, DC
// distribution units and the rectifier unit, runs the polling cycle and cuts
// every answer among the units.
template <typename AC, typename DC, typename RC>
class PMBusPower : public PMBusProtocol {
 public:
  explicit PMBusPower(const std::vector<std::string>& models) : support_models(models) {}
  ~PMBusPower() override = default;

  using PMBusProtocol::LoadFromCache;
  // The controller keeps no image of its own; each unit restores its own.
  bool LoadFromCache(const unsigned char*, int) override { return true; }
  bool InitSetting(const Json::Value& setting) override;
  std::shared_ptr<QMXVDevice> GetChildVDevice(unsigned int id) override;
  std::vector<std::shared_ptr<QMXVDevice>> GetAllChildVDevices() override;
  int RefreshStatus() override;
  int process_payload() override;

  std::vector<std::shared_ptr<AC>> ac_devices;
  std::vector<std::shared_ptr<DC>> dc_devices;
  std::shared_ptr<RC> rc_device;
  uint8_t ac_dataflag = 0;
  uint8_t rc_dataflag = 0;
  uint8_t check_model = 1;
  std::string detected_model;
  std::vector<std::string> support_models;
  static constexpr unsigned char commandGroup_ = 0xFF;

 protected:
  // Sets the step and sends its request (with the group byte where it takes one).
  void SendStep(int step);
  template <typename Unit, typename Base>
  bool Split(const std::vector<std::shared_ptr<Unit>>& units,
             int (Base::*parse)(const unsigned char*, int), const unsigned char* info, int L,
             int start, long& consumed);
  void EndRound();
  int LeaveRectifierGroup();
  int ParameterRequests();

  bool unconfigured_logged_ = false;

  // Creates one unit per element of setting[key]; false (with a log line) when
  // an element cannot be used. Units created before the bad element stay.
  template <typename Unit, typename Make>
  bool CreateUnits(const Json::Value& setting, const char* key,
                   std::vector<std::shared_ptr<Unit>>& out, Make make);
};

#include "controller/pmbus_power_config.inl"
#include "controller/pmbus_power_poll.inl"
