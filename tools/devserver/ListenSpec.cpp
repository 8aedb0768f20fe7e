#include "tools/devserver/ListenSpec.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

#include "tools/devserver/DecimalField.h"

namespace devserver {

bool ParseListenSpec(const std::string& text, ListenSpec* spec, std::string* error) {
  const std::string::size_type colon = text.rfind(':');
  if (colon == std::string::npos) {
    *error = "\"" + text + "\": expected HOST:PORT";
    return false;
  }
  std::string host = text.substr(0, colon);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  } else if (host.find(':') != std::string::npos) {
    *error = "\"" + text + "\": put IPv6 hosts in brackets";
    return false;
  }
  int port = 0;
  const std::string portText = text.substr(colon + 1);
  if (host.empty() || portText.empty() || portText[0] == '-' || !ParseDecimalInt(portText, &port) ||
      port > 65535) {
    *error = "\"" + text + "\": expected HOST:PORT with a port from 0 to 65535";
    return false;
  }
  spec->host = host;
  spec->port = port;
  spec->fault = FaultMode::kNone;
  return true;
}

bool ParseFaultMode(const std::string& text, FaultMode* mode) {
  static const FaultMode kModes[] = {FaultMode::kRefuse, FaultMode::kStatus500, FaultMode::kClose,
                                     FaultMode::kStall, FaultMode::kGarbage};
  for (FaultMode candidate : kModes) {
    if (text == FaultModeName(candidate)) {
      *mode = candidate;
      return true;
    }
  }
  return false;
}

const char* FaultModeName(FaultMode mode) {
  switch (mode) {
    case FaultMode::kNone:
      return "none";
    case FaultMode::kRefuse:
      return "refuse";
    case FaultMode::kStatus500:
      return "500";
    case FaultMode::kClose:
      return "close";
    case FaultMode::kStall:
      return "stall";
    case FaultMode::kGarbage:
      return "garbage";
  }
  return "none";
}

bool ApplyFault(const std::string& text, std::vector<ListenSpec>* specs, std::string* error) {
  const std::string::size_type equals = text.rfind('=');
  FaultMode mode = FaultMode::kNone;
  if (equals == std::string::npos || !ParseFaultMode(text.substr(equals + 1), &mode)) {
    *error = "\"" + text + "\": expected HOST:PORT=refuse|500|close|stall|garbage";
    return false;
  }
  ListenSpec target;
  if (!ParseListenSpec(text.substr(0, equals), &target, error)) return false;
  for (ListenSpec& spec : *specs) {
    if (spec.host == target.host && spec.port == target.port && spec.fault == FaultMode::kNone) {
      spec.fault = mode;
      return true;
    }
  }
  *error =
      "\"" + text + "\": no --listen " + FormatAddress(target.host, target.port) + " left without a fault";
  return false;
}

std::string FormatAddress(const std::string& host, int port) {
  if (host.find(':') != std::string::npos) return "[" + host + "]:" + std::to_string(port);
  return host + ":" + std::to_string(port);
}

bool IsLoopbackHost(const std::string& host) {
  addrinfo hints;
  std::memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host.c_str(), "0", &hints, &found) != 0) return false;
  bool loopback = found != nullptr;
  for (const addrinfo* ai = found; ai != nullptr; ai = ai->ai_next) {
    if (ai->ai_family == AF_INET) {
      const auto* in4 = reinterpret_cast<const sockaddr_in*>(ai->ai_addr);
      loopback = loopback && (ntohl(in4->sin_addr.s_addr) >> 24) == 127;
    } else if (ai->ai_family == AF_INET6) {
      const in6_addr& address = reinterpret_cast<const sockaddr_in6*>(ai->ai_addr)->sin6_addr;
      const bool mapped = IN6_IS_ADDR_V4MAPPED(&address) && address.s6_addr[12] == 127;
      loopback = loopback && (IN6_IS_ADDR_LOOPBACK(&address) || mapped);
    } else {
      loopback = false;
    }
  }
  ::freeaddrinfo(found);
  return loopback;
}

}  // namespace devserver
