#include "tools/cli/ResultText.h"

#include <cstdint>
#include <cstdio>

#include "facade/ProxyHelper.h"

namespace proxycli {

int ExitStatusForResult(int result) {
  if (result == 0) return kExitOk;
  if (result == RESULT_TRANSPORT_FAILURE) return kExitUnreachable;
  return kExitRefused;
}

std::string ResultHex(int result) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(static_cast<std::uint32_t>(result)));
  return text;
}

std::string ResultName(int result) {
  if (result == 0) return "success";
  if (result == RESULT_TRANSPORT_FAILURE) return "RESULT_TRANSPORT_FAILURE";
  if (result == RESULT_NOT_SUCCEEDED) return "RESULT_NOT_SUCCEEDED";
  if (result == RESULT_CANCELLED) return "RESULT_CANCELLED";
  return "service result";
}

std::string ResultText(int result, const std::string& errdesc) {
  std::string text = ResultHex(result) + " " + ResultName(result);
  if (!errdesc.empty()) text += ": " + errdesc;
  return text;
}

}  // namespace proxycli
