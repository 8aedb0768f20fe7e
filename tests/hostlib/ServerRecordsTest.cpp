// A program of its own: it counts the bytes asked of operator new, to show
// that reading a field of a huge value costs the field, not the value.
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "hostlib/quillon.h"
#include "system/ProcessProbe.h"

namespace {

std::atomic<unsigned long long> allocatedBytes{0};

// The library's allocations reach the replacement below only where a shared
// library's operator new resolves to the program's (ELF), and not under
// AddressSanitizer, which keeps its own.
#if defined(_WIN32) || PROXYHELPER_TEST_UNDER_ASAN
constexpr bool kCountsLibraryAllocations = false;
#else
constexpr bool kCountsLibraryAllocations = true;
#endif

// The plain reading of a value: every field, split at every ",".
std::vector<std::string> ReferenceSplit(const std::string& value) {
  std::vector<std::string> fields;
  if (value.empty()) return fields;
  std::string field;
  for (char c : value) {
    if (c == ',') {
      fields.push_back(field);
      field.clear();
    } else {
      field += c;
    }
  }
  fields.push_back(field);
  return fields;
}

std::string Numbered(std::size_t count) {
  std::string value;
  for (std::size_t i = 0; i < count; ++i) value += (i == 0 ? "f" : ",f") + std::to_string(i);
  return value;
}

struct FieldCase {
  std::string label;
  std::string value;
};

// Every accessor of both records against the plain split, and what each
// call allocates: no more than the fields it returns (and their list).
TEST(ServerRecordsTest, FieldsAreReadUpToTheFieldAsked) {
  const std::vector<FieldCase> cases = {
      {"no field", ""},
      {"one field", "single"},
      {"four fields", "Tokyo 1,198.51.100.7,2,JP"},
      {"a comma alone", ","},
      {"empty field between", "a,,b"},
      {"empty field after", "a,"},
      {"empty field before", ",a"},
      {"more fields than are listed", Numbered(1000)},
      {"exactly as many as are listed", Numbered(ServerInfo::kMaxFields)},
      {"60,000,000 commas", std::string(60000000, ',')},
  };
  for (const FieldCase& c : cases) {
    SCOPED_TRACE(c.label);
    const ServerInfo info("17", c.value);
    const ServerOnlineRatio ratio("17", c.value);
    ASSERT_EQ(info.GetKey(), "17");
    ASSERT_EQ(&info.GetValue(), &info.GetValue());  // a reference, never a copy
    EXPECT_EQ(info.GetValue(), c.value);

    // The split itself is affordable only for the smaller values; the huge
    // one is all empty fields, one more than its commas.
    const bool huge = c.value.size() > 1000000;
    const std::vector<std::string> all =
        huge ? std::vector<std::string>(ServerInfo::kMaxFields + 1) : ReferenceSplit(c.value);
    const std::size_t count = huge ? c.value.size() + 1 : all.size();
    const std::vector<std::string> listed(
        all.begin(), all.begin() + std::min<std::size_t>(all.size(), ServerInfo::kMaxFields));

    std::vector<std::size_t> positions = {0, 1, 2, 3, count - 1, count, count + 5, SIZE_MAX};
    if (count == 0) positions = {0, 1, SIZE_MAX};
    for (std::size_t i : positions) {
      const std::string expected = i < count ? (huge ? std::string() : all[i]) : std::string();
      const unsigned long long before = allocatedBytes.load();
      const std::string field = info.GetField(i);
      const unsigned long long spent = allocatedBytes.load() - before;
      EXPECT_EQ(field, expected) << i;
      EXPECT_EQ(ratio.GetField(i), expected) << i;
      if (kCountsLibraryAllocations) {
        EXPECT_LE(spent, expected.size() + 1 + 64) << i;
      }
    }

    const unsigned long long before = allocatedBytes.load();
    const std::vector<std::string> fields = info.GetFields();
    const unsigned long long spent = allocatedBytes.load() - before;
    EXPECT_EQ(fields, listed);
    EXPECT_EQ(ratio.GetFields(), listed);
    if (kCountsLibraryAllocations) {
      std::size_t text = 0;
      for (const std::string& f : listed) text += f.size() + 1;
      // The list grows by doubling: at most twice its final size.
      EXPECT_LE(spent, 2 * ServerInfo::kMaxFields * sizeof(std::string) + text);
    }
  }
}

TEST(ServerRecordsTest, RatioReadsTheValueAsAnInteger) {
  const std::vector<std::pair<std::string, int>> cases = {
      {"45", 45},
      {"0", 0},
      {"100", 100},
      {" 7%", 7},
      {"-3", -3},
      {"n/a", 0},
      {"", 0},
      {"12345678901", INT_MAX},
      {"-" + std::string(1000, '9'), INT_MIN},
      {std::string(1000, '9') + ",1", INT_MAX},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first.substr(0, 20));
    const ServerOnlineRatio ratio("3", c.first);
    EXPECT_EQ(ratio.GetKey(), "3");
    EXPECT_EQ(ratio.GetValue(), c.first);
    EXPECT_EQ(ratio.GetRatio(), c.second);
  }
}

}  // namespace

// The replacement allocates with malloc, so free is the matching release.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
#if !PROXYHELPER_TEST_UNDER_ASAN
void* operator new(std::size_t size) {
  allocatedBytes.fetch_add(size, std::memory_order_relaxed);
  if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
  throw std::bad_alloc();
}
void operator delete(void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
#endif
