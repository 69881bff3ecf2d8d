#pragma once

// What a receiver answered to a POST, as libcurl hands it over: the first
// bytes of its body (for the log) and its Retry-After. Shared by every
// sender that posts north through libcurl (remote write, the webhook).
#include <curl/curl.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

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

// A POST endpoint as a sender reaches it.
struct PostTarget {
  std::string url;
  double timeout_s = 10;  // the whole request, and the connection
  std::string user_agent;
  std::vector<std::string> headers;          // "Name: value", besides authorisation
  std::string bearer_token;                  // "" none
  std::string username, password;            // basic auth when username is set
  std::string ca_file, cert_file, key_file;  // "" the system's CAs; no client certificate
};

// A fresh easy handle set up to POST to `t`: http and https only, no
// signals, certificates and host names verified, the reply read into an
// HttpReply (CURLOPT_WRITEDATA / HEADERDATA per request). Null when libcurl
// refuses to start or refuses a setting (`error` says which).
std::unique_ptr<CurlHandle> OpenPost(const PostTarget& t, const std::string& who,
                                     std::string& error);

}  // namespace qmx::remote_write
