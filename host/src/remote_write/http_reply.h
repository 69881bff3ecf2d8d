#pragma once

// What a receiver answered to a POST, as libcurl hands it over: the first
// bytes of its body (for the log) and its Retry-After. Shared by every
// sender that posts north through libcurl (remote write, the webhook).
#include <curl/curl.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace qmx::remote_write {

struct HttpReply {
  static constexpr size_t kBodyKept = 512;
  std::string body;            // at most kBodyKept bytes
  int64_t retry_after_s = -1;  // -1: none given
};

// libcurl's global set-up, once per process.
void CurlGlobalInitOnce();
// CURLOPT_WRITEFUNCTION and CURLOPT_HEADERFUNCTION: the user data is an
// HttpReply*. Retry-After is delta-seconds or an HTTP date.
size_t HttpReplyBody(char* data, size_t size, size_t n, void* user);
size_t HttpReplyHeader(char* data, size_t size, size_t n, void* user);

// An easy handle and its header list, freed together.
struct CurlHandle {
  CURL* h = nullptr;
  curl_slist* headers = nullptr;
  char error[CURL_ERROR_SIZE] = {};
  CurlHandle() = default;
  CurlHandle(const CurlHandle&) = delete;
  CurlHandle& operator=(const CurlHandle&) = delete;
  ~CurlHandle() {
    if (headers) curl_slist_free_all(headers);
    if (h) curl_easy_cleanup(h);
  }
};

}  // namespace qmx::remote_write
