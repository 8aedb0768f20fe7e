// Exit statuses of the tool, and the words it uses for the library's result
// codes in messages and JSON.
#pragma once

#include <string>

namespace proxycli {

enum ExitStatus : int {
  kExitOk = 0,
  kExitRefused = 1,      // the service (or the local cache) said no, or memory ran out
  kExitUsage = 2,        // bad command line, configuration or input
  kExitUnreachable = 3,  // no account server gave a usable reply
};

// 0 for success, kExitUnreachable for RESULT_TRANSPORT_FAILURE, and
// kExitRefused for every other code.
int ExitStatusForResult(int result);

// The code as eight upper-case hex digits of its 32-bit pattern: -1 is
// "0xFFFFFFFF".
std::string ResultHex(int result);

// "RESULT_TRANSPORT_FAILURE", "RESULT_NOT_SUCCEEDED", "success" for 0, and
// "service result" for every code the service chose itself.
std::string ResultName(int result);

// "0xHHHHHHHH NAME", then ": " and `errdesc` when there is one.
std::string ResultText(int result, const std::string& errdesc = std::string());

}  // namespace proxycli
