// Strict decimal parsing for request fields and seed values.
#pragma once

#include <string>

namespace devserver {

// Optional "-", then one or more digits, nothing else (no blanks, no "+"),
// within the range of int. Returns false otherwise and leaves `value` alone.
bool ParseDecimalInt(const std::string& text, int* value);

}  // namespace devserver
