#include "remote_write/http_reply.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <ctime>
#include <mutex>

namespace qmx::remote_write {

void CurlGlobalInitOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

size_t HttpReplyBody(char* data, size_t size, size_t n, void* user) {
  auto* r = static_cast<HttpReply*>(user);
  const size_t len = size * n;
  if (r->body.size() < HttpReply::kBodyKept)
    r->body.append(data, std::min(len, HttpReply::kBodyKept - r->body.size()));
  return len;
}

size_t HttpReplyHeader(char* data, size_t size, size_t n, void* user) {
  auto* r = static_cast<HttpReply*>(user);
  const size_t len = size * n;
  static const char kKey[] = "retry-after:";
  constexpr size_t kKeyLen = sizeof kKey - 1;
  if (len <= kKeyLen || strncasecmp(data, kKey, kKeyLen) != 0) return len;
  std::string v(data + kKeyLen, len - kKeyLen);
  while (!v.empty() && std::isspace(static_cast<unsigned char>(v.back()))) v.pop_back();
  v.erase(0, std::min(v.size(), v.find_first_not_of(" \t")));
  if (!v.empty() && v.size() <= 9 &&
      std::all_of(v.begin(), v.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    r->retry_after_s = std::stoll(v);
  } else if (!v.empty() && v.size() < 64) {
    const time_t t = curl_getdate(v.c_str(), nullptr);
    if (t > 0) r->retry_after_s = std::max<int64_t>(0, t - time(nullptr));
  }
  return len;
}

}  // namespace qmx::remote_write
