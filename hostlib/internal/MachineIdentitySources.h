// The sources behind QUILLON::GetMachineId and QUILLON::GetDftMac, with
// their file locations as parameters so that they can be fed prepared files.
// Header-only so that tests compile the very same code.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace quillon_internal {

// The first line of a file (at most `maxBytes` of it) without surrounding
// white space; empty when the file cannot be read.
inline std::string ReadFirstLineTrimmed(const std::string& path, std::size_t maxBytes = 1024) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::string();
  std::string line;
  char c = 0;
  while (line.size() < maxBytes && in.get(c) && c != '\n') line.push_back(c);
  const char* blanks = " \t\r\v\f";
  const std::size_t begin = line.find_first_not_of(blanks);
  if (begin == std::string::npos) return std::string();
  const std::size_t end = line.find_last_not_of(blanks);
  return line.substr(begin, end - begin + 1);
}

// A machine-id file holds 32 hex digits; anything else (systemd writes
// "uninitialized" during first boot) is not an identity.
inline std::string NormalizedMachineId(const std::string& text) {
  if (text.size() != 32) return std::string();
  std::string id = text;
  for (char& c : id) {
    if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return std::string();
  }
  return id;
}

inline std::uint64_t Fnv1a64(const std::string& bytes, std::uint64_t state) {
  for (unsigned char b : bytes) {
    state ^= b;
    state *= 0x100000001b3ULL;
  }
  return state;
}

// Fallback identity: 32 lower-case hex digits, FNV-1a 64 of the host name
// followed by FNV-1a 64 of the host name written twice. Stable as long as
// the host name is.
inline std::string HostNameMachineId(const std::string& hostName) {
  const std::uint64_t kOffsetBasis = 0xcbf29ce484222325ULL;
  const std::uint64_t first = Fnv1a64(hostName, kOffsetBasis);
  const std::uint64_t second = Fnv1a64(hostName, first);
  static const char kHex[] = "0123456789abcdef";
  std::string id;
  for (std::uint64_t half : {first, second}) {
    for (int shift = 60; shift >= 0; shift -= 4) id.push_back(kHex[(half >> shift) & 0xF]);
  }
  return id;
}

// The first file in `paths` that holds a machine id, else the host-name
// fallback.
inline std::string MachineIdFrom(const std::vector<std::string>& paths, const std::string& hostName) {
  for (const std::string& path : paths) {
    std::string id = NormalizedMachineId(ReadFirstLineTrimmed(path));
    if (!id.empty()) return id;
  }
  return HostNameMachineId(hostName);
}

inline bool ParseHex32(const std::string& text, unsigned long& value) {
  if (text.empty() || text.size() > 8 ||
      text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
    return false;
  }
  value = std::strtoul(text.c_str(), nullptr, 16);
  return true;
}

// "aa:bb:cc:dd:ee:ff" -> "AA-BB-CC-DD-EE-FF"; empty for any other form and
// for the all-zero address of interfaces without hardware (loopback).
inline std::string FormatMacAddress(const std::string& text) {
  if (text.size() != 17) return std::string();
  static const char kHex[] = "0123456789ABCDEF";
  std::string mac;
  bool allZero = true;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (i % 3 == 2) {
      if (c != ':') return std::string();
      mac.push_back('-');
      continue;
    }
    if (c >= 'a' && c <= 'f') c = static_cast<char>(c - 'a' + 'A');
    if (std::find(kHex, kHex + 16, c) == kHex + 16) return std::string();
    if (c != '0') allZero = false;
    mac.push_back(c);
  }
  return allZero ? std::string() : mac;
}

// The kernel's interface names: up to 15 bytes, and never a path step.
inline bool IsInterfaceName(const std::string& name) {
  return !name.empty() && name.size() <= 15 && name != "." && name != ".." &&
         name.find('/') == std::string::npos;
}

// MAC of the interface that carries the IPv4 default route, read from a
// route table in the format of /proc/net/route and a directory laid out as
// /sys/class/net. Default routes (destination and mask 0, flag RTF_UP) are
// tried by ascending metric, file order breaking ties; the first interface
// with a hardware address wins, so a tunnel without one does not hide the
// adapter under it.
inline std::string DefaultRouteMac(const std::string& routeFile, const std::string& netClassDir) {
  struct Candidate {
    std::string iface;
    unsigned long metric;
  };
  const unsigned long kRtfUp = 0x0001;
  const int kMaxLines = 4096;  // a route table is small; bound the work anyway

  std::ifstream in(routeFile, std::ios::binary);
  if (!in) return std::string();
  std::vector<Candidate> candidates;
  std::string line;
  for (int count = 0; count < kMaxLines && std::getline(in, line); ++count) {
    // Iface Destination Gateway Flags RefCnt Use Metric Mask MTU Window IRTT
    std::istringstream fields(line);
    std::string iface, destination, gateway, flags, refCnt, use, metric, mask;
    if (!(fields >> iface >> destination >> gateway >> flags >> refCnt >> use >> metric >> mask)) {
      continue;
    }
    unsigned long destinationValue = 0, flagsValue = 0, maskValue = 0;
    if (!ParseHex32(destination, destinationValue) || !ParseHex32(flags, flagsValue) ||
        !ParseHex32(mask, maskValue)) {
      continue;  // the header line, or a damaged one
    }
    if (metric.empty() || metric.size() > 10 || metric.find_first_not_of("0123456789") != std::string::npos) {
      continue;
    }
    if (destinationValue != 0 || maskValue != 0 || (flagsValue & kRtfUp) == 0) continue;
    if (!IsInterfaceName(iface)) continue;
    candidates.push_back({iface, std::strtoul(metric.c_str(), nullptr, 10)});
  }
  std::stable_sort(candidates.begin(), candidates.end(),
                   [](const Candidate& a, const Candidate& b) { return a.metric < b.metric; });
  for (const Candidate& candidate : candidates) {
    std::string mac =
        FormatMacAddress(ReadFirstLineTrimmed(netClassDir + "/" + candidate.iface + "/address"));
    if (!mac.empty()) return mac;
  }
  return std::string();
}

}  // namespace quillon_internal
