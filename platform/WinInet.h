// A WinINet-shaped HTTP layer. On Windows this is the real WinINet; on other
// platforms the same functions are provided over libcurl, so the exchange
// code is one and the same.
#pragma once

#if defined(_WIN32)
#include <windows.h>
#include <wininet.h>
#else

#include <cstdint>

using BOOL = int;
using DWORD = std::uint32_t;
using DWORD_PTR = std::uintptr_t;
using INTERNET_PORT = std::uint16_t;
using LPVOID = void*;
using LPCVOID = const void*;
using LPDWORD = DWORD*;
using LPCSTR = const char*;
using HINTERNET = void*;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

constexpr DWORD INTERNET_OPEN_TYPE_DIRECT = 1;
constexpr DWORD INTERNET_SERVICE_HTTP = 3;
constexpr INTERNET_PORT INTERNET_DEFAULT_HTTP_PORT = 80;
constexpr INTERNET_PORT INTERNET_DEFAULT_HTTPS_PORT = 443;

constexpr DWORD INTERNET_OPTION_CONNECT_TIMEOUT = 2;
constexpr DWORD INTERNET_OPTION_SEND_TIMEOUT = 5;
constexpr DWORD INTERNET_OPTION_RECEIVE_TIMEOUT = 6;
constexpr DWORD INTERNET_OPTION_DATA_SEND_TIMEOUT = 7;
constexpr DWORD INTERNET_OPTION_DATA_RECEIVE_TIMEOUT = 8;
// Layer-specific: the largest response body, in bytes, kept during the
// transfer; a longer body aborts it (reported as a transfer error). WinINet
// has no such option; on Windows the read loop enforces the bound.
constexpr DWORD INTERNET_OPTION_MAX_RESPONSE_BODY = 0x7F000001u;
// Layer-specific: the file of trusted CA certificates (PEM) for secure
// requests, as text (buffer and length, no terminator needed). It replaces
// the system's trust store for them; an empty text goes back to the system
// store. WinINet has no such option: on Windows the system store is used.
constexpr DWORD INTERNET_OPTION_CA_BUNDLE = 0x7F000002u;

constexpr DWORD INTERNET_FLAG_RELOAD = 0x80000000u;
constexpr DWORD INTERNET_FLAG_NO_CACHE_WRITE = 0x04000000u;
constexpr DWORD INTERNET_FLAG_SECURE = 0x00800000u;
constexpr DWORD INTERNET_FLAG_NO_AUTO_REDIRECT = 0x00200000u;

constexpr DWORD HTTP_QUERY_CONTENT_LENGTH = 5;
constexpr DWORD HTTP_QUERY_STATUS_CODE = 19;
constexpr DWORD HTTP_QUERY_FLAG_NUMBER = 0x20000000u;

BOOL InternetCloseHandle(HINTERNET handle);
HINTERNET InternetOpenA(LPCSTR agent, DWORD accessType, LPCSTR proxy, LPCSTR proxyBypass, DWORD flags);
BOOL InternetSetOptionA(HINTERNET handle, DWORD option, LPVOID buffer, DWORD bufferLength);
HINTERNET InternetConnectA(HINTERNET internet, LPCSTR serverName, INTERNET_PORT serverPort, LPCSTR userName,
                           LPCSTR password, DWORD service, DWORD flags, DWORD_PTR context);
HINTERNET HttpOpenRequestA(HINTERNET connection, LPCSTR verb, LPCSTR objectName, LPCSTR version,
                           LPCSTR referrer, LPCSTR* acceptTypes, DWORD flags, DWORD_PTR context);
BOOL HttpSendRequestA(HINTERNET request, LPCSTR headers, DWORD headersLength, LPVOID optional,
                      DWORD optionalLength);
BOOL HttpQueryInfoA(HINTERNET request, DWORD infoLevel, LPVOID buffer, LPDWORD bufferLength, LPDWORD index);
BOOL InternetReadFile(HINTERNET file, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead);

#endif  // _WIN32

#include <memory>

// Closes a WinINet handle when it goes out of scope.
struct InternetHandleCloser {
  void operator()(void* handle) const {
    if (handle != nullptr) InternetCloseHandle(static_cast<HINTERNET>(handle));
  }
};
using InternetHandle = std::unique_ptr<void, InternetHandleCloser>;
