// Observation points of the libcurl-backed WinINet layer. Internal: neither
// exported from the shared library nor part of the WinINet-shaped interface;
// tests use them to see what each request was about to do.
#pragma once

#if !defined(_WIN32)

#include <cstdint>
#include <functional>
#include <string>

#include "platform/WinInet.h"

// One HttpSendRequestA after its options were resolved from the request, its
// connection and its internet handle (nearest handle wins). 0 means "no bound".
struct WinInetRequestSettings {
  std::string url;
  std::string verb;
  DWORD connectTimeoutMs = 0;
  DWORD stallTimeoutMs = 0;
  DWORD transferTimeoutMs = 0;
  std::uint64_t maxResponseBody = 0;
  bool followRedirects = true;
};

using WinInetRequestObserver = std::function<void(const WinInetRequestSettings&)>;

// Installs the observer called on the sending thread just before each
// transfer; an empty function removes it. An exception the observer throws
// leaves HttpSendRequestA before any I/O (tests use that to make an attempt
// fail from the inside).
void SetWinInetRequestObserver(WinInetRequestObserver observer);

// The URL the layer requests: scheme, host (IPv6 literals bracketed), port
// (0: the scheme's default) and object (a leading "/" added, spaces, "#" and
// bytes above 0x7E percent-encoded). Empty when the host is not a plain name
// or address literal, or the object holds control characters.
std::string BuildWinInetUrl(const std::string& host, INTERNET_PORT port, const std::string& object,
                            bool secure);

#endif  // !_WIN32
