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

std::unique_ptr<CurlHandle> OpenPost(const PostTarget& t, const std::string& who,
                                     std::string& error) {
  CurlGlobalInitOnce();
  auto c = std::make_unique<CurlHandle>();
  c->h = curl_easy_init();
  if (!c->h) {
    error = who + ": libcurl could not start";
    return nullptr;
  }
  for (const std::string& line : t.headers)
    c->headers = curl_slist_append(c->headers, line.c_str());
  if (!t.bearer_token.empty())
    c->headers = curl_slist_append(c->headers, ("Authorization: Bearer " + t.bearer_token).c_str());
  CURL* h = c->h;
  const long timeout_ms = static_cast<long>(t.timeout_s * 1000);
  bool ok = curl_easy_setopt(h, CURLOPT_URL, t.url.c_str()) == CURLE_OK &&
            curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https") == CURLE_OK &&
            curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
            curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, timeout_ms) == CURLE_OK &&
            curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, timeout_ms) == CURLE_OK &&
            curl_easy_setopt(h, CURLOPT_USERAGENT, t.user_agent.c_str()) == CURLE_OK &&
            curl_easy_setopt(h, CURLOPT_HTTPHEADER, c->headers) == CURLE_OK &&
            curl_easy_setopt(h, CURLOPT_POST, 1L) == CURLE_OK &&
            curl_easy_setopt(h, CURLOPT_ERRORBUFFER, c->error) == CURLE_OK &&
            curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, HttpReplyBody) == CURLE_OK &&
            curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, HttpReplyHeader) == CURLE_OK &&
            curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L) == CURLE_OK &&
            curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L) == CURLE_OK;
  if (ok && !t.ca_file.empty())
    ok = curl_easy_setopt(h, CURLOPT_CAINFO, t.ca_file.c_str()) == CURLE_OK;
  if (ok && !t.cert_file.empty())
    ok = curl_easy_setopt(h, CURLOPT_SSLCERT, t.cert_file.c_str()) == CURLE_OK &&
         curl_easy_setopt(h, CURLOPT_SSLKEY, t.key_file.c_str()) == CURLE_OK;
  if (ok && !t.username.empty())
    ok = curl_easy_setopt(h, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC)) == CURLE_OK &&
         curl_easy_setopt(h, CURLOPT_USERNAME, t.username.c_str()) == CURLE_OK &&
         curl_easy_setopt(h, CURLOPT_PASSWORD, t.password.c_str()) == CURLE_OK;
  if (!ok || !c->headers) {
    error = who + ": libcurl refused a setting (is it built with http and https?)";
    return nullptr;
  }
  return c;
}

}  // namespace qmx::remote_write
