#include "hostlib/internal/ServerEntry.h"

#include <cstddef>

namespace quillon_internal {
namespace {

constexpr int kDefaultPort = 80;
constexpr int kDefaultSecurePort = 443;
constexpr long kMaxPort = 65535;

bool IsAlnum(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }

// Host names and IPv4 literals: the bytes DNS labels use. Anything else
// (spaces, "/", "@", "?", control bytes) would end up in a request line.
bool IsHostName(const std::string& host) {
  if (host.empty()) return false;
  for (char c : host) {
    if (!IsAlnum(c) && c != '-' && c != '.' && c != '_') return false;
  }
  return true;
}

// The inside of "[...]": hex groups, ":" and an embedded IPv4 tail, with an
// optional "%zone".
bool IsIpv6Literal(const std::string& host) {
  if (host.find(':') == std::string::npos) return false;
  const std::size_t zone = host.find('%');
  for (std::size_t i = 0; i < host.size(); ++i) {
    const char c = host[i];
    if (zone != std::string::npos && i > zone) {
      if (!IsAlnum(c) && c != '-' && c != '.' && c != '_') return false;
    } else if (i != zone && !(c == ':' || c == '.' || (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') ||
                              (c >= 'A' && c <= 'F'))) {
      return false;
    }
  }
  return zone == std::string::npos || zone + 1 < host.size();
}

// Decimal digits only, 1..65535; the value stops growing past the limit so
// long digit strings cannot overflow.
bool ParsePort(const std::string& text, int& port) {
  if (text.empty()) return false;
  long value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    if (value <= kMaxPort) value = value * 10 + (c - '0');
  }
  if (value < 1 || value > kMaxPort) return false;
  port = static_cast<int>(value);
  return true;
}

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualsIgnoreCase(const std::string& text, const char* lower) {
  std::size_t i = 0;
  for (; i < text.size() && lower[i] != '\0'; ++i) {
    if (Lower(text[i]) != lower[i]) return false;
  }
  return i == text.size() && lower[i] == '\0';
}

// Splits "http://" or "https://" off `entry`. False for any other scheme.
bool SplitScheme(std::string& entry, bool& secure) {
  secure = false;
  const std::size_t mark = entry.find("://");
  if (mark == std::string::npos) return true;
  const std::string scheme = entry.substr(0, mark);
  if (EqualsIgnoreCase(scheme, "https")) {
    secure = true;
  } else if (!EqualsIgnoreCase(scheme, "http")) {
    return false;
  }
  entry.erase(0, mark + 3);
  // "https://host/" is how addresses are often copied from a browser; the
  // lone "/" names no path, so nothing is lost by dropping it.
  if (!entry.empty() && entry.back() == '/') entry.pop_back();
  return true;
}

}  // namespace

bool ParseServerEntry(const std::string& text, CLoginServers::Server& server) {
  std::string entry = text;
  bool secure = false;
  if (!SplitScheme(entry, secure)) return false;

  std::string host;
  std::string portText;
  bool hasPort = false;
  if (!entry.empty() && entry[0] == '[') {
    const std::size_t close = entry.find(']');
    if (close == std::string::npos) return false;
    host = entry.substr(1, close - 1);
    if (!IsIpv6Literal(host)) return false;
    const std::string rest = entry.substr(close + 1);
    if (!rest.empty()) {
      if (rest[0] != ':') return false;  // trailing garbage after "]"
      portText = rest.substr(1);
      hasPort = true;
    }
  } else {
    const std::size_t colon = entry.find(':');
    if (colon != std::string::npos) {
      // A second ":" means an unbracketed IPv6 literal: host and port cannot
      // be told apart.
      if (entry.find(':', colon + 1) != std::string::npos) return false;
      host = entry.substr(0, colon);
      portText = entry.substr(colon + 1);
      hasPort = true;
    } else {
      host = entry;
    }
    if (!IsHostName(host)) return false;
  }

  int port = secure ? kDefaultSecurePort : kDefaultPort;
  if (hasPort && !ParsePort(portText, port)) return false;
  server.host = host;
  server.port = port;
  server.secure = secure;
  return true;
}

bool SameAddress(const CLoginServers::Server& a, const CLoginServers::Server& b) {
  if (a.port != b.port || a.host.size() != b.host.size()) return false;
  for (std::size_t i = 0; i < a.host.size(); ++i) {
    if (Lower(a.host[i]) != Lower(b.host[i])) return false;
  }
  return true;
}

bool SameServer(const CLoginServers::Server& a, const CLoginServers::Server& b) {
  return a.secure == b.secure && SameAddress(a, b);
}

std::string AddressKey(const CLoginServers::Server& server) {
  std::string key;
  key.reserve(server.host.size() + 6);
  for (char c : server.host) key.push_back(Lower(c));
  key.push_back(' ');  // never part of a host
  key.append(std::to_string(server.port));
  return key;
}

}  // namespace quillon_internal
