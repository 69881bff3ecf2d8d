#pragma once

// The service: the site's lines polled through the host, the front ends the
// registry builds, and the main loop that feeds the watchdog, shows
// progress, answers SIGUSR1 (alarms) and SIGHUP (reload) and, with
// --control, drives one control command to every device.
#include <json/value.h>

#include <string>

#include "args.h"
#include "front_end_registry.h"
#include "qmx/provider.h"
#include "site_file.h"
#include "streams.h"

namespace k417t_run {

// A control command from --control: DeviceIoControl code and its input byte.
struct ControlCommand {
  int code = 0;
  int byte = -1;  // none
};

// From now on SIGHUP asks for a reload instead of ending the process; one
// asked for while starting waits for the main loop.
void CatchReload();

struct ServiceInputs {
  SiteFile site;
  HistorySettings history;
  ControlCommand control;  // sent when --control is given
  Json::Value scenario;    // null: real serial ports
  std::string db_path;
};

// Runs until every device has done --rounds (and --control is through) or
// a signal stops it. 0; 1 when a controller never answered --control; 2 when
// a line or a front end could not start.
int Serve(const Args& a, ServiceInputs in, QMXSPDeviceProvider& factory,
          FrontEndRegistry& front_ends, Streams& streams);

}  // namespace k417t_run
