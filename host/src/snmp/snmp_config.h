#pragma once

// The SNMP sub-agent's settings: the command line's --snmp and the site
// file's "snmp" object. Kept apart from net-snmp so a build without it can
// still refuse them with a reason.
#include <json/value.h>

#include <cstdint>
#include <string>
#include <vector>

namespace qmx::snmp {

// RFC 5612's arc for documentation and examples, until a number is registered.
inline constexpr const char* kDefaultEnterprise = "1.3.6.1.4.1.32473";

struct SnmpConfig {
  bool enabled = false;
  // The master agent's AgentX address as net-snmp takes it: an absolute
  // socket path, or "tcp:HOST:PORT".
  std::string master;
  std::vector<uint32_t> enterprise;  // the MIB's root
  unsigned queue = 256;              // notifications held while the master is away
  unsigned ping_s = 5;               // AgentX ping, and the retry interval when it is gone
};

// "agentx:PATH" (or a bare absolute PATH) and "tcp:HOST:PORT". A socket's
// folder must exist (the socket itself appears when snmpd starts).
bool ParseMaster(const std::string& address, std::string& master, std::string& error);

// A dotted OID such as "1.3.6.1.4.1.32473": 2 to 100 arcs, the first 0..2,
// each below 2^32.
bool ParseArc(const std::string& text, std::vector<uint32_t>& arc, std::string& error);

// The settings from the site file's "snmp" object (its members: agentx,
// enterprise, queue, ping_s), with `flag` (--snmp, empty: none) taking the
// place of "agentx". Off unless one of them names a master. False with the
// member named on a bad or unknown member.
bool LoadSnmp(const Json::Value& site, const std::string& flag, SnmpConfig& cfg,
              std::string& error);

}  // namespace qmx::snmp
