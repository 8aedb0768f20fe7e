// Symbol export for libquillon. Everything else in the library is hidden.
#pragma once

#if defined(_WIN32)
#if defined(QUILLON_BUILDING)
#define QUILLON_API __declspec(dllexport)
#else
#define QUILLON_API __declspec(dllimport)
#endif
#else
#define QUILLON_API __attribute__((visibility("default")))
#endif
