#include "support/Wine.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace testsupport {

bool RunningUnderWine() {
#if defined(_WIN32)
  const HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
  return false;
#endif
}

}  // namespace testsupport
