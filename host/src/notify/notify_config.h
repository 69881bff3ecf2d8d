#pragma once

// Settings of the notifications: the site file's "notify" object. Off unless
// it names a command or a URL.
//
//   "notify": {
//     "exec":    {"command": "/usr/local/bin/k417t-notify", "timeout_s": 10,
//                 "delay_s": 0, "kinds": ["raised", "cleared"],
//                 "max_per_minute": 10},
//     "webhook": {"url": "https://noc.example/hooks/k417t",
//                 "bearer_token_file": "/etc/k417t/hook.token",
//                 (or "username" + "password_file"), "ca_file": "...",
//                 "timeout_s": 10, "delay_s": 0, "kinds": [...],
//                 "max_per_minute": 10}}
#include <json/value.h>

#include <set>
#include <string>

namespace qmx::notify {

// The notice kinds a sink sends when its "kinds" is not given.
const std::set<std::string>& DefaultKinds();
// Every kind the alarm board tells.
const std::set<std::string>& AllKinds();

// What every sink shares: which notices, how late, how many.
struct SinkRules {
  std::set<std::string> kinds = DefaultKinds();
  // A raise (or a device's "unknown") is sent only if still standing after
  // this long; its clear (acknowledge, shelve; "known") before then cancels
  // both. 0: at once.
  double delay_s = 0;
  // Notices a minute at most; the rest are folded into one digest sent when
  // the minute ends. 0: no limit.
  int max_per_minute = 10;
};

struct ExecConfig {
  std::string command;  // absolute path of an executable file; "": off
  double timeout_s = 10;
  SinkRules rules;
  size_t queue = 64;  // notices waiting for the worker; beyond: folded into the digest
};

struct WebhookConfig {
  std::string url;  // http:// or https://; "": off
  std::string username, password_file, bearer_token_file, ca_file;
  double timeout_s = 10;
  SinkRules rules;
  std::string user_agent = "k417t-run";
  // Loaded by LoadNotifySecrets.
  std::string password, bearer_token;
  // Notices kept in memory when the site keeps no history.
  size_t memory_queue = 1000;
};

struct NotifyConfig {
  ExecConfig exec;
  WebhookConfig webhook;
  bool on() const { return !exec.command.empty() || !webhook.url.empty(); }
};

// The site's "notify" object into `cfg` (absent: off). Unknown members,
// wrong types and ranges, an unknown kind, a command that is not an
// absolute path of an executable file and a URL that is not http(s) are
// refused with the member named (`source` is the site file).
bool ReadSiteNotify(const Json::Value& site, const std::string& source, NotifyConfig& cfg,
                    std::string& error);

// Reads the webhook's password or token file (its owner's alone, the first
// line) and checks that the CA file can be read.
bool LoadNotifySecrets(NotifyConfig& cfg, std::string& error);

}  // namespace qmx::notify
