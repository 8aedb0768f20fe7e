// The server records' accessors on an arbitrary key and value, checked
// against a plain split of the value at every ",": GetFields gives the first
// 256 fields, GetField(i) the i-th one for any i and empty text past the
// last, and GetRatio reads the value as DecimalToInt does.
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "FuzzCheck.h"
#include "hostlib/quillon.h"

namespace {

constexpr std::size_t kKeptFields = 256;
// Indices past the last field that are asked for too.
constexpr std::size_t kBeyond = 4;

// Every field, empty ones included; an empty value has none.
std::vector<std::string> Split(const std::string& value) {
  std::vector<std::string> fields;
  if (value.empty()) return fields;
  std::string field;
  for (const char c : value) {
    if (c == ',') {
      fields.push_back(field);
      field.clear();
    } else {
      field.push_back(c);
    }
  }
  fields.push_back(field);
  return fields;
}

// atoi clamped to int, by way of strtol ("C" locale: the fuzzer never sets
// another), so the library's own reader is not its only witness.
int ClampedStrtol(const std::string& value) {
  const long parsed = std::strtol(value.c_str(), nullptr, 10);
  if (parsed > INT_MAX) return INT_MAX;
  if (parsed < INT_MIN) return INT_MIN;
  return static_cast<int>(parsed);
}

template <typename Record>
void CheckFields(const Record& record, const std::vector<std::string>& expected) {
  const std::vector<std::string> fields = record.GetFields();
  const std::size_t kept = expected.size() < kKeptFields ? expected.size() : kKeptFields;
  FUZZ_CHECK(fields.size() == kept);
  for (std::size_t i = 0; i < kept; ++i) FUZZ_CHECK(fields[i] == expected[i]);
  // Every index, although each call scans from the start: quadratic, but
  // -max_len bounds it (8 KiB of commas takes about a second).
  for (std::size_t i = 0; i < expected.size() + kBeyond; ++i) {
    const std::string field = record.GetField(i);
    if (i < expected.size()) {
      FUZZ_CHECK(field == expected[i]);
    } else {
      FUZZ_CHECK(field.empty());
    }
  }
  FUZZ_CHECK(record.GetField(SIZE_MAX).empty());
}

template <typename Record>
void CheckRecord(const Record& record, const std::string& key, const std::string& value,
                 const std::vector<std::string>& expected) {
  FUZZ_CHECK(record.GetKey() == key);
  FUZZ_CHECK(record.GetValue() == value);
  CheckFields(record, expected);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  // "key=value" as a reply item has it; without "=" all of it is the value.
  const std::size_t equals = input.find('=');
  const std::string key = equals == std::string::npos ? std::string() : input.substr(0, equals);
  const std::string value = equals == std::string::npos ? input : input.substr(equals + 1);
  const std::vector<std::string> expected = Split(value);

  const ServerInfo info(key, value);
  CheckRecord(info, key, value, expected);
  std::string keyCopy = key;
  std::string valueCopy = value;
  const ServerInfo moved(std::move(keyCopy), std::move(valueCopy));
  CheckRecord(moved, key, value, expected);

  const ServerOnlineRatio ratio(key, value);
  CheckRecord(ratio, key, value, expected);
  const int reading = ratio.GetRatio();
  FUZZ_CHECK(reading == QUILLON::DecimalToInt(value));
  FUZZ_CHECK(reading == ClampedStrtol(value));
  keyCopy = key;
  valueCopy = value;
  const ServerOnlineRatio movedRatio(std::move(keyCopy), std::move(valueCopy));
  CheckRecord(movedRatio, key, value, expected);
  FUZZ_CHECK(movedRatio.GetRatio() == reading);
  return 0;
}
