// Decimal text to int, the way the C library's atoi reads it, but without its
// undefined behaviour on overflow.
#pragma once

#include <string>

namespace quillon_internal {

// Skips leading white space, takes an optional sign and the digits up to the
// first other byte; clamps to INT_MIN/INT_MAX. 0 when no digit follows.
int ParseDecimalClamped(const std::string& text);

}  // namespace quillon_internal
