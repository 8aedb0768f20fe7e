#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "hostlib/internal/DecimalText.h"
#include "hostlib/quillon.h"

namespace {

// Fields of a record value split at ","; an empty value has no fields, while
// empty fields between or after commas are kept ("a,,b" has three).
std::vector<std::string> SplitFields(const std::string& value) {
  std::vector<std::string> fields;
  if (value.empty()) return fields;
  std::size_t begin = 0;
  while (true) {
    const std::size_t comma = value.find(',', begin);
    if (comma == std::string::npos) {
      fields.push_back(value.substr(begin));
      return fields;
    }
    fields.push_back(value.substr(begin, comma - begin));
    begin = comma + 1;
  }
}

std::string FieldAt(const std::string& value, std::size_t index) {
  std::vector<std::string> fields = SplitFields(value);
  return index < fields.size() ? fields[index] : std::string();
}

}  // namespace

ServerInfo::ServerInfo(const std::string& key, const std::string& value) : key_(key), value_(value) {}

ServerInfo::ServerInfo(std::string&& key, std::string&& value)
    : key_(std::move(key)), value_(std::move(value)) {}

const std::string& ServerInfo::GetKey() const { return key_; }

const std::string& ServerInfo::GetValue() const { return value_; }

std::vector<std::string> ServerInfo::GetFields() const { return SplitFields(value_); }

std::string ServerInfo::GetField(std::size_t index) const { return FieldAt(value_, index); }

ServerOnlineRatio::ServerOnlineRatio(const std::string& key, const std::string& value)
    : key_(key), value_(value) {}

ServerOnlineRatio::ServerOnlineRatio(std::string&& key, std::string&& value)
    : key_(std::move(key)), value_(std::move(value)) {}

const std::string& ServerOnlineRatio::GetKey() const { return key_; }

const std::string& ServerOnlineRatio::GetValue() const { return value_; }

std::vector<std::string> ServerOnlineRatio::GetFields() const { return SplitFields(value_); }

std::string ServerOnlineRatio::GetField(std::size_t index) const { return FieldAt(value_, index); }

int ServerOnlineRatio::GetRatio() const { return quillon_internal::ParseDecimalClamped(value_); }
