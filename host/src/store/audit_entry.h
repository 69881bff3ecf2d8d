#pragma once

#include <cstdint>
#include <string>

namespace qmx::store {

// One control attempt as the audit trail keeps it, whatever it came through
// and however it ended.
struct AuditEntry {
  int64_t id = 0;    // the row's id once stored (0 before)
  int64_t time = 0;  // epoch seconds
  std::string via;   // "http", "mqtt", "command line", ...
  std::string who;   // the user or the MQTT client id; "" when unknown
  std::string peer;  // the client's address; "" when none (the command line)
  uint32_t device = 0;
  int code = 0;
  int byte = -1;  // -1: the command carries none
  std::string request_id;
  // "done" (the controller answered: `result`), "refused" (why in
  // `reason`), "bad credentials", "rate-limited".
  std::string outcome;
  int result = -1;
  std::string reason;
};

}  // namespace qmx::store
