#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "hostlib/internal/DecimalText.h"
#include "hostlib/quillon.h"

namespace {

// Fields of a value are its texts between ","; an empty value has none,
// while empty fields between, before or after commas are kept ("a,,b" has
// three). Nothing here splits a whole value: a single value of a reply may
// be tens of megabytes of commas, and an application that reads the first
// few fields must pay for those fields only.

// The i-th field, found by scanning up to it: work in the field's position,
// one allocation for the text returned.
std::string FieldAt(const std::string& value, std::size_t index) {
  if (value.empty()) return std::string();
  std::size_t begin = 0;
  for (std::size_t i = 0; i < index; ++i) {
    const std::size_t comma = value.find(',', begin);
    if (comma == std::string::npos) return std::string();
    begin = comma + 1;
  }
  const std::size_t end = value.find(',', begin);
  return value.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
}

// The first `limit` fields; the scan stops at the end of the last one kept.
std::vector<std::string> LeadingFields(const std::string& value, std::size_t limit) {
  std::vector<std::string> fields;
  if (value.empty()) return fields;
  std::size_t begin = 0;
  while (fields.size() < limit) {
    const std::size_t comma = value.find(',', begin);
    if (comma == std::string::npos) {
      fields.push_back(value.substr(begin));
      break;
    }
    fields.push_back(value.substr(begin, comma - begin));
    begin = comma + 1;
  }
  return fields;
}

}  // namespace

ServerInfo::ServerInfo(const std::string& key, const std::string& value) : key_(key), value_(value) {}

ServerInfo::ServerInfo(std::string&& key, std::string&& value)
    : key_(std::move(key)), value_(std::move(value)) {}

const std::string& ServerInfo::GetKey() const { return key_; }

const std::string& ServerInfo::GetValue() const { return value_; }

std::vector<std::string> ServerInfo::GetFields() const { return LeadingFields(value_, kMaxFields); }

std::string ServerInfo::GetField(std::size_t index) const { return FieldAt(value_, index); }

ServerOnlineRatio::ServerOnlineRatio(const std::string& key, const std::string& value)
    : key_(key), value_(value) {}

ServerOnlineRatio::ServerOnlineRatio(std::string&& key, std::string&& value)
    : key_(std::move(key)), value_(std::move(value)) {}

const std::string& ServerOnlineRatio::GetKey() const { return key_; }

const std::string& ServerOnlineRatio::GetValue() const { return value_; }

std::vector<std::string> ServerOnlineRatio::GetFields() const { return LeadingFields(value_, kMaxFields); }

std::string ServerOnlineRatio::GetField(std::size_t index) const { return FieldAt(value_, index); }

int ServerOnlineRatio::GetRatio() const { return quillon_internal::ParseDecimalClamped(value_); }
