// The floor of a network exchange: one POST with plain libcurl, a fresh
// handle each time (the library opens a fresh connection per attempt too),
// the same two extra headers, the body collected into a string.
#pragma once

#include <string>

namespace bench {

// Returns the HTTP status, 0 when the transfer failed or took longer than
// `timeoutMs` in all.
long BarePost(const std::string& url, const std::string& body, std::string& reply, long timeoutMs = 10000);

}  // namespace bench
