#include "tools/devserver/DecimalField.h"

#include <climits>

namespace devserver {

bool ParseDecimalInt(const std::string& text, int* value) {
  std::string::size_type i = 0;
  const bool negative = !text.empty() && text[0] == '-';
  if (negative) i = 1;
  if (i == text.size()) return false;
  long long magnitude = 0;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c < '0' || c > '9') return false;
    magnitude = magnitude * 10 + (c - '0');
    if (magnitude > static_cast<long long>(INT_MAX) + 1) return false;
  }
  const long long signedValue = negative ? -magnitude : magnitude;
  if (signedValue > INT_MAX || signedValue < INT_MIN) return false;
  *value = static_cast<int>(signedValue);
  return true;
}

}  // namespace devserver
