// The front line's check of a request head: whatever the head, no read or
// write outside it, no exception; a relayed head keeps none of the client's
// X-K417T- headers, announces no body beyond the bound, and passes the same
// check again unchanged once the gate's own headers are added.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "web/front_gate.h"

namespace {

bool HasGateHeader(const std::string& head) {
  std::string lower = head;
  for (char& c : lower) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  return lower.find("\nx-k417t-") != std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider fdp(data, size);
  qmx::web::GateRules rules;
  rules.max_body = fdp.ConsumeIntegralInRange<size_t>(0, 8192);
  if (fdp.ConsumeBool()) rules.hosts = {"localhost", "127.0.0.1", "[::1]", "gw.example"};
  const std::string head = fdp.ConsumeRemainingBytesAsString();

  const qmx::web::RequestVerdict v = qmx::web::CheckRequest(head, rules);
  if (v.status != 0) {
    if (!v.head.empty() || v.reason == nullptr || v.reason[0] == '\0') std::abort();
    return 0;
  }
  if (v.body > rules.max_body) std::abort();
  if (v.head.size() < 2 || v.head.compare(v.head.size() - 2, 2, "\r\n") != 0) std::abort();
  if (v.head.find('\0') != std::string::npos || HasGateHeader(v.head)) std::abort();
  const std::string relayed = v.head + "X-K417T-Peer: 127.0.0.1\r\nX-K417T-Gate: 00\r\n\r\n";
  const qmx::web::RequestVerdict again = qmx::web::CheckRequest(relayed, rules);
  if (again.status != 0 || again.head != v.head || again.body != v.body) std::abort();
  return 0;
}
