#include "bench/BarePost.h"

#include <curl/curl.h>

#include <memory>

namespace bench {
namespace {

struct CurlCleanup {
  void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};
struct SlistCleanup {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

size_t AppendBody(char* data, size_t size, size_t count, void* user) {
  static_cast<std::string*>(user)->append(data, size * count);
  return size * count;
}

}  // namespace

long BarePost(const std::string& url, const std::string& body, std::string& reply, long timeoutMs) {
  reply.clear();
  std::unique_ptr<CURL, CurlCleanup> curl(curl_easy_init());
  if (!curl) return 0;
  std::unique_ptr<curl_slist, SlistCleanup> headers(
      curl_slist_append(nullptr, "Content-Type: application/x-www-form-urlencoded"));
  if (!headers) return 0;
  curl_slist* grown = curl_slist_append(headers.get(), "Accept: */*");
  if (grown == nullptr) return 0;
  headers.release();
  headers.reset(grown);
  curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl.get(), CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl.get(), CURLOPT_PROXY, "");
  curl_easy_setopt(curl.get(), CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDS, body.data());
  curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
  curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, AppendBody);
  curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &reply);
  curl_easy_setopt(curl.get(), CURLOPT_TIMEOUT_MS, timeoutMs);
  if (curl_easy_perform(curl.get()) != CURLE_OK) return 0;
  long status = 0;
  curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &status);
  return status;
}

}  // namespace bench
