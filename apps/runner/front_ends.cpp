// The list of the runner's front ends, in the order they start: the one place
// a front end is named. Each entry lives in front_ends/<name>.cpp.
#include "front_end_registry.h"

namespace k417t_run {

std::unique_ptr<FrontEndEntry> AlarmsEntry();
std::unique_ptr<FrontEndEntry> ConsoleEntry();
std::unique_ptr<FrontEndEntry> HttpEntry();
std::unique_ptr<FrontEndEntry> MqttEntry();
std::unique_ptr<FrontEndEntry> SnmpEntry();
std::unique_ptr<FrontEndEntry> ModbusEntry();
std::unique_ptr<FrontEndEntry> RemoteWriteEntry();
std::unique_ptr<FrontEndEntry> NotifyEntry();

std::vector<std::unique_ptr<FrontEndEntry>> MakeFrontEndEntries() {
  std::vector<std::unique_ptr<FrontEndEntry>> all;
  for (auto make : {AlarmsEntry, ConsoleEntry, HttpEntry, MqttEntry, SnmpEntry, ModbusEntry,
                    RemoteWriteEntry, NotifyEntry})
    all.push_back(make());
  return all;
}

}  // namespace k417t_run
