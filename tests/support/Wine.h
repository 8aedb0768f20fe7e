// Whether the test runs under Wine rather than Windows itself: Wine's
// WinINet differs from Windows' in a few corners, and tests of those corners
// say so and skip.
#pragma once

namespace testsupport {

// True under Wine (ntdll exports wine_get_version); false on Windows and on
// every other platform.
bool RunningUnderWine();

}  // namespace testsupport
