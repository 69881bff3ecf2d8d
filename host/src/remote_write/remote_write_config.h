#pragma once

// Settings of the remote-write front end: the site file's "remote_write"
// object, with the runner's options over it.
//
//   "remote_write": {"url": "https://prom.example:9090/api/v1/write",
//                    "username": "gw", "password_file": "/etc/k417t/rw.pass",
//                    "bearer_token_file": "...", (instead of user and password)
//                    "ca_file": "...", "cert_file": "...", "key_file": "...",
//                    "labels": {"site": "north-7"},
//                    "batch_records": 200, "max_requests_per_second": 5,
//                    "timeout_s": 10}
#include <json/value.h>

#include <set>
#include <string>
#include <utility>
#include <vector>

namespace qmx::remote_write {

struct RemoteWriteConfig {
  std::string url;  // http:// or https://; "" : off
  std::string username, password_file, bearer_token_file;
  std::string ca_file, cert_file, key_file;
  // The fleet's labels, added to every series; sorted by name, unique.
  std::vector<std::pair<std::string, std::string>> labels;
  size_t batch_records = 200;  // stored records in one request at most
  double max_requests_per_second = 5;
  double timeout_s = 10;  // one request, connection included
  std::string user_agent = "k417t-run";
  // Loaded from the files by LoadSecrets.
  std::string password, bearer_token;
};

// An http:// or https:// URL with a host and without a user or password
// (those belong in the private files); false with the reason.
bool CheckUrl(const std::string& url, std::string& error);

// A fleet label: a Prometheus label name ([a-zA-Z_][a-zA-Z0-9_]*, not
// starting with "__") that is none of the series' own labels (device, unit
// and the labels of the units' fields), with a value of at most 1024 bytes
// of UTF-8 text. Added in name order; a second value for a name is refused.
bool AddLabel(RemoteWriteConfig& cfg, const std::string& name, const std::string& value,
              const std::string& where, std::string& error);
// "NAME=VALUE" as the command line gives it.
bool AddLabelOption(RemoteWriteConfig& cfg, const std::string& text, std::string& error);

// The site file's "remote_write" object into `cfg`. Members named in
// `given` ("url", "labels") came from the command line and win. Unknown
// members are refused; every problem names its member (`source` is the
// site file).
bool ReadSiteRemoteWrite(const Json::Value& rw, const std::string& source,
                         const std::set<std::string>& given, RemoteWriteConfig& cfg,
                         std::string& error);

// Reads the password or token file (private to its owner, first line) and
// checks that the CA, certificate and key files can be read (the key its
// owner's alone). False with the problem.
bool LoadSecrets(RemoteWriteConfig& cfg, std::string& error);

// True when a password or token would cross the network in clear: set, with
// http://, to a host that is not this host's loopback.
bool SecretInClear(const RemoteWriteConfig& cfg);

}  // namespace qmx::remote_write
