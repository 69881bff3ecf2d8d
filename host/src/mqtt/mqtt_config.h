#pragma once

// Settings of the MQTT export, from the site file's "mqtt" object and the
// runner's command line, and the naming rules for topics.
#include <json/value.h>

#include <cstddef>
#include <set>
#include <string>
#include <vector>

namespace qmx::exporter {

// One controller as the export names it.
struct MqttDevice {
  unsigned int id = 0;    // the controller's data identifier
  std::string name;       // as the site file gives it (shown in Home Assistant)
  std::string topic;      // TopicName(name): its level in every topic
  std::set<int> control;  // control codes accepted from the broker; empty: none
};

struct MqttConfig {
  std::string host;
  int port = 1883;
  bool tls = false;
  std::string ca_file;  // mqtts: the certificate authority to trust
  // mqtts: the client's certificate and its private key (both or neither).
  std::string cert_file, key_file;
  std::string username, password;
  std::string client_id;  // empty: DefaultClientId(site)
  // The site file's path: names the owner of the retained device index (an
  // index another site wrote is never acted on).
  std::string site;
  std::string prefix = "k417t";
  std::string discovery_prefix = "homeassistant";
  bool discovery = true;
  int protocol = 5;  // 5 or 4 (3.1.1)
  int keepalive_s = 30;
  int refresh_s = 60;        // states are re-sent at least this often
  int stats_every_s = 10;    // line statistics at most this often
  size_t max_events = 1000;  // alarm events held while the broker is away (no history)
  // Messages a second for what the history owes the broker after an outage
  // (alarm events, missed records): a thousand gateways coming back
  // together stay within what a broker takes.
  int replay_rate = 20;
  size_t control_queue = 8;  // control requests waiting for their line
  // Control requests must carry "id" and "time" (the door then refuses every
  // replay); false: both optional, as older clients send neither.
  bool require_request_id = false;
  int backoff_min_ms = 500, backoff_max_ms = 30000;
  int check_every_ms = 250;  // availability and active alarms are read this often
  // The gateway's status page ("http://gateway:8080/"), linked from every
  // device in Home Assistant; empty: not served.
  std::string configuration_url;
  std::vector<MqttDevice> devices;
};

// "mqtt://host[:port]" or "mqtts://host[:port]" (IPv6 in brackets). False
// with a message for anything else.
bool ParseMqttUrl(const std::string& url, MqttConfig& cfg, std::string& error);

// A file with the user name on its first line and the password on its second.
bool ReadAuthFile(const std::string& path, MqttConfig& cfg, std::string& error);

// The site file's "mqtt" object: "url", "ca_file", "cert_file", "key_file",
// "auth_file", "client_id", "prefix", "discovery_prefix", "discovery" (bool),
// "protocol" (4 or 5), "max_events", "refresh_s", "replay_rate", "require_request_id"
// (bool), and "control": {"<device name>": [codes]}.
// Unknown members are refused (a misspelt "control" must not go unnoticed).
// Settings already present in `cfg` from the command line win, as named in
// `given` ("url", "auth_file", ...). Device names must be known: `cfg.devices`
// is filled before.
bool ReadSiteMqtt(const Json::Value& mqtt, const std::string& source,
                  const std::set<std::string>& given, MqttConfig& cfg, std::string& auth_file,
                  std::string& error);

// The client certificate and key, when given: both named, with mqtts://,
// both readable, and the key readable by its owner alone (a key that group or
// others can read is refused, naming the file). False with the problem.
bool CheckClientCertificate(const MqttConfig& cfg, std::string& error);

// True when a user name and password would cross the network in clear: set,
// with mqtt:// (no TLS), to a broker that is not on this host's loopback.
bool PasswordInClear(const MqttConfig& cfg);

// A name made safe as one topic level and as a Home Assistant object id:
// letters, digits, '-', '_' and '.' stay, anything else ('+', '#', '/', NUL,
// spaces, non-ASCII) becomes '_'; at most 64 characters; never empty.
std::string TopicName(const std::string& name);

// Fills each device's topic level and checks that no two devices share one
// and that none takes the gateway's reserved level.
bool AssignTopics(std::vector<MqttDevice>& devices, std::string& error);

// "k417t-", the host name and, given the site file's path, its SiteTag: two
// runners with different site files on one host never share a client id
// (the broker would evict one for the other) nor a gateway topic.
std::string DefaultClientId(const std::string& site = "");
// Eight hex digits naming a site file: a stable hash of its full path.
std::string SiteTag(const std::string& site);

}  // namespace qmx::exporter
