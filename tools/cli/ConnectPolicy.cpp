#include "tools/cli/ConnectPolicy.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <map>

#include "facade/ProxyHelper.h"

namespace proxycli {

namespace {

std::string Trimmed(const std::string& text) {
  const std::size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

}  // namespace

std::string ParseReloginCodes(const std::string& text, std::set<int>* codes) {
  std::set<int> parsed;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t comma = text.find(',', start);
    if (comma == std::string::npos) comma = text.size();
    const std::string item = Trimmed(text.substr(start, comma - start));
    char* end = nullptr;
    errno = 0;
    const long long code = item.empty() ? 0 : std::strtoll(item.c_str(), &end, 0);
    if (item.empty() || *end != '\0' || errno != 0 || code < INT32_MIN || code > UINT32_MAX) {
      return "\"" + text + "\" is not a comma-separated list of result codes";
    }
    // Codes are 32-bit patterns: 0x70000066 is the same code however written.
    const int value = static_cast<int>(static_cast<std::uint32_t>(code));
    if (value == 0 || value == RESULT_TRANSPORT_FAILURE) {
      return "\"" + item + "\" is not a refusal by the service";
    }
    parsed.insert(value);
    start = comma + 1;
  }
  *codes = std::move(parsed);
  return std::string();
}

std::string ParseDuration(const std::string& text, std::chrono::milliseconds* duration) {
  const std::string why =
      "\"" + text + "\" is not a duration such as 90, 90s, 5m, 2h or 1d (at most 30 days)";
  char* end = nullptr;
  const double number = std::strtod(text.c_str(), &end);
  if (end == text.c_str()) return why;
  static const std::map<std::string, double> kUnitSeconds = {
      {"", 1}, {"s", 1}, {"m", 60}, {"h", 3600}, {"d", 86400}};
  const auto unit = kUnitSeconds.find(end);
  if (unit == kUnitSeconds.end()) return why;
  const double seconds = number * unit->second;
  if (!std::isfinite(seconds) || seconds <= 0 || seconds > 30 * 86400.0) return why;
  *duration = std::chrono::milliseconds(static_cast<long long>(std::ceil(seconds * 1000)));
  return std::string();
}

std::chrono::milliseconds Backoff::Next() {
  std::uniform_real_distribution<double> spread(0.8, 1.2);
  const auto wait = std::chrono::milliseconds(static_cast<long long>(base_.count() * spread(random_)));
  base_ = std::min(base_ * 2, kCap);
  return wait;
}

}  // namespace proxycli
