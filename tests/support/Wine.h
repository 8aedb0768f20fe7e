// Whether the test runs under Wine rather than Windows itself: Wine's
// WinINet differs from Windows' in a few corners, and tests of those corners
// say so and skip.
#pragma once

#include <cstddef>

namespace testsupport {

// True under Wine (ntdll exports wine_get_version); false on Windows and on
// every other platform.
bool RunningUnderWine();

// Requests a server sees from one attempt caught in a redirect loop: the
// first and every redirect allowed. Wine's WinINet goes on following a
// request the client has closed until an answer is slow or the server goes
// away, so there the count is only bounded loosely.
inline std::size_t RedirectLoopRequests(std::size_t allowed, bool atMost) {
  return RunningUnderWine() && atMost ? 3 * (allowed + 1) : allowed + 1;
}

}  // namespace testsupport
