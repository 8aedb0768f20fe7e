// The hosting application's name, used as the HTTP user agent.
#pragma once

#include <string>

// "GC_USER_AGENT" when the application set one, otherwise the running
// program's file name, without control bytes; empty only when neither is
// known.
std::string GetApplicationName();
