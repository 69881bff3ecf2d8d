#include "snmp/snmp_config.h"

#include <sys/stat.h>
#include <sys/un.h>

#include <set>

#include "input/checked_json.h"

namespace qmx::snmp {
namespace {

bool FolderExists(const std::string& path) {
  const size_t slash = path.rfind('/');
  const std::string dir = slash == 0 ? "/" : path.substr(0, slash);
  struct stat st {};
  return stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool AllDigits(const std::string& s) {
  if (s.empty()) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

}  // namespace

bool ParseMaster(const std::string& address, std::string& master, std::string& error) {
  if (address.find('\0') != std::string::npos) {
    error = "the AgentX address has a NUL character";
    return false;
  }
  if (address.rfind("tcp:", 0) == 0) {
    const std::string rest = address.substr(4);
    const size_t colon = rest.rfind(':');
    const std::string host = colon == std::string::npos ? "" : rest.substr(0, colon);
    const std::string port = colon == std::string::npos ? "" : rest.substr(colon + 1);
    if (host.empty() || !AllDigits(port) || port.size() > 5 || std::stoul(port) < 1 ||
        std::stoul(port) > 65535) {
      error = "\"" + address + "\" is not tcp:HOST:PORT";
      return false;
    }
    master = address;
    return true;
  }
  std::string path = address.rfind("agentx:", 0) == 0 ? address.substr(7) : address;
  if (path.empty() || path[0] != '/') {
    error = "\"" + address + "\" is neither agentx:/ABSOLUTE/PATH nor tcp:HOST:PORT";
    return false;
  }
  if (path.size() >= sizeof(sockaddr_un{}.sun_path)) {
    error = "the AgentX socket path " + path + " is too long for a socket";
    return false;
  }
  if (path.back() == '/' || !FolderExists(path)) {
    error = "the folder of the AgentX socket " + path + " does not exist";
    return false;
  }
  master = path;
  return true;
}

bool ParseArc(const std::string& text, std::vector<uint32_t>& arc, std::string& error) {
  std::vector<uint32_t> out;
  std::string t = !text.empty() && text[0] == '.' ? text.substr(1) : text;
  size_t start = 0;
  bool ok = !t.empty();
  while (ok && start <= t.size()) {
    const size_t dot = t.find('.', start);
    const std::string part =
        t.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
    if (!AllDigits(part) || part.size() > 10 || std::stoull(part) > 0xFFFFFFFFull ||
        out.size() >= 100) {
      ok = false;
      break;
    }
    out.push_back(static_cast<uint32_t>(std::stoull(part)));
    if (dot == std::string::npos) break;
    start = dot + 1;
  }
  if (!ok || out.size() < 2 || out[0] > 2 || (out[0] < 2 && out[1] > 39)) {
    error = "\"" + text + "\" is not an object identifier (dotted numbers, as 1.3.6.1.4.1.32473)";
    return false;
  }
  arc = std::move(out);
  return true;
}

bool LoadSnmp(const Json::Value& site, const std::string& flag, SnmpConfig& cfg,
              std::string& error) {
  const Json::Value& s = json::Member(site, "snmp");
  std::string err;
  ParseArc(kDefaultEnterprise, cfg.enterprise, err);
  std::string master_spec = flag;
  const char* master_from = "--snmp";
  if (!s.isNull()) {
    if (!s.isObject()) {
      error = "snmp: not an object";
      return false;
    }
    static const std::set<std::string> known = {"agentx", "enterprise", "queue", "ping_s"};
    for (const std::string& k : s.getMemberNames()) {
      if (!known.count(k)) {
        error = "snmp." + k + " is not known (agentx, enterprise, queue, ping_s)";
        return false;
      }
    }
    std::string text;
    if (json::Has(s, "agentx")) {
      if (!json::ToString(s["agentx"], text)) {
        error = "snmp.agentx: not a text";
        return false;
      }
      if (flag.empty()) {
        master_spec = text;
        master_from = "snmp.agentx";
      }
    }
    if (json::Has(s, "enterprise")) {
      if (!json::ToString(s["enterprise"], text) || !ParseArc(text, cfg.enterprise, err)) {
        error = "snmp.enterprise: " + (err.empty() ? std::string("not a text") : err);
        return false;
      }
    }
    int64_t n = 0;
    if (json::Has(s, "queue")) {
      if (!json::ToIntIn(s["queue"], 1, 100000, n)) {
        error = "snmp.queue: not a whole number from 1 to 100000";
        return false;
      }
      cfg.queue = static_cast<unsigned>(n);
    }
    if (json::Has(s, "ping_s")) {
      if (!json::ToIntIn(s["ping_s"], 1, 3600, n)) {
        error = "snmp.ping_s: not a whole number of seconds from 1 to 3600";
        return false;
      }
      cfg.ping_s = static_cast<unsigned>(n);
    }
  }
  cfg.enabled = !master_spec.empty();
  if (cfg.enabled && !ParseMaster(master_spec, cfg.master, err)) {
    error = std::string(master_from) + ": " + err;
    return false;
  }
  return true;
}

}  // namespace qmx::snmp
