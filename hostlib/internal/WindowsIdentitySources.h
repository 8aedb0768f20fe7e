// The decisions behind QUILLON::GetMachineId and QUILLON::GetDftMac on
// Windows, apart from the system calls that feed them, so that they are
// tested on every platform. Header-only so that tests compile the very same
// code.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

#include "hostlib/internal/MachineIdentitySources.h"

namespace quillon_internal {

// The registry's MachineGuid ("0a1b2c3d-4e5f-...", 36 characters, braces
// tolerated) as the 32 lower-case hex digits that every platform reports;
// empty for any other form and for the all-zero GUID of unconfigured images.
inline std::string NormalizedMachineGuid(const std::string& text) {
  std::string guid = text;
  const char* blanks = " \t\r\n\v\f";
  const std::size_t begin = guid.find_first_not_of(blanks);
  if (begin == std::string::npos) return std::string();
  guid = guid.substr(begin, guid.find_last_not_of(blanks) - begin + 1);
  if (guid.size() == 38 && guid.front() == '{' && guid.back() == '}') {
    guid = guid.substr(1, 36);
  }
  if (guid.size() != 36) return std::string();
  std::string digits;
  for (std::size_t i = 0; i < guid.size(); ++i) {
    const bool dashPosition = i == 8 || i == 13 || i == 18 || i == 23;
    if (dashPosition != (guid[i] == '-')) return std::string();
    if (!dashPosition) digits.push_back(guid[i]);
  }
  std::string id = NormalizedMachineId(digits);
  if (id.find_first_not_of('0') == std::string::npos) return std::string();
  return id;
}

// A six-byte hardware address as "AA-BB-CC-DD-EE-FF"; empty for any other
// length and for the all-zero address of adapters without hardware.
inline std::string FormatHardwareAddress(const unsigned char* bytes, std::size_t length) {
  if (bytes == nullptr || length != 6) return std::string();
  static const char kHex[] = "0123456789ABCDEF";
  std::string mac;
  bool allZero = true;
  for (std::size_t i = 0; i < length; ++i) {
    if (bytes[i] != 0) allZero = false;
    if (i > 0) mac.push_back('-');
    mac.push_back(kHex[bytes[i] >> 4]);
    mac.push_back(kHex[bytes[i] & 0xF]);
  }
  return allZero ? std::string() : mac;
}

// An adapter by interface index, with its formatted hardware address
// (empty when it has none).
struct AdapterMac {
  unsigned long interfaceIndex = 0;
  std::string mac;
};

// An IPv4 default route (destination and mask 0.0.0.0).
struct DefaultRoute {
  unsigned long interfaceIndex = 0;
  unsigned long metric = 0;
};

// MAC of the default adapter: the interface the system would pick for
// 0.0.0.0 (`bestInterface`, 0 when unknown) when it has a hardware address;
// otherwise the default routes by ascending metric, table order breaking
// ties, and the first with a hardware address wins, so a tunnel without one
// does not hide the adapter under it.
inline std::string DefaultAdapterMac(unsigned long bestInterface, std::vector<DefaultRoute> routes,
                                     const std::vector<AdapterMac>& adapters) {
  auto macOf = [&adapters](unsigned long index) {
    for (const AdapterMac& adapter : adapters) {
      if (adapter.interfaceIndex == index && !adapter.mac.empty()) return adapter.mac;
    }
    return std::string();
  };
  if (bestInterface != 0) {
    std::string mac = macOf(bestInterface);
    if (!mac.empty()) return mac;
  }
  std::stable_sort(routes.begin(), routes.end(),
                   [](const DefaultRoute& a, const DefaultRoute& b) { return a.metric < b.metric; });
  for (const DefaultRoute& route : routes) {
    std::string mac = macOf(route.interfaceIndex);
    if (!mac.empty()) return mac;
  }
  return std::string();
}

}  // namespace quillon_internal
