#include "hostlib/internal/DecimalText.h"

#include <climits>
#include <cstddef>

#include "hostlib/quillon.h"

namespace quillon_internal {

int ParseDecimalClamped(const std::string& text) {
  std::size_t i = 0;
  const std::size_t n = text.size();
  // The same white space set as isspace() in the "C" locale, without
  // depending on the process locale.
  while (i < n && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < n && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  // Accumulate the magnitude in a wider type and stop growing it once it is
  // past the int range, so any number of digits is safe.
  const long long limit = negative ? -static_cast<long long>(INT_MIN) : INT_MAX;
  long long magnitude = 0;
  // Once past it, further digits cannot change the result.
  for (; i < n && text[i] >= '0' && text[i] <= '9' && magnitude <= limit; ++i) {
    magnitude = magnitude * 10 + (text[i] - '0');
  }
  if (magnitude > limit) magnitude = limit;
  return static_cast<int>(negative ? -magnitude : magnitude);
}

}  // namespace quillon_internal

int QUILLON::DecimalToInt(const std::string& text) { return quillon_internal::ParseDecimalClamped(text); }
