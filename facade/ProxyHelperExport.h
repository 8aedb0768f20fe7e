// Symbol export for libproxyhelper. Only the facade is visible to clients.
#pragma once

#if defined(_WIN32)
#if defined(PROXYHELPER_BUILDING)
#define PROXYHELPER_API __declspec(dllexport)
#else
#define PROXYHELPER_API __declspec(dllimport)
#endif
#else
#define PROXYHELPER_API __attribute__((visibility("default")))
#endif
