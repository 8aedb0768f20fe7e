#include "tools/devserver/Socket.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace devserver {

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) Reset(other.Release());
  return *this;
}

int UniqueFd::Release() {
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

void UniqueFd::Reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

bool BindTcpSocket(const std::string& host, int port, UniqueFd* socket, int* boundPort, std::string* error) {
  addrinfo hints;
  std::memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  const int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
  if (rc != 0) {
    *error = gai_strerror(rc);
    return false;
  }
  std::string lastError = "no address";
  for (addrinfo* ai = found; ai != nullptr; ai = ai->ai_next) {
    UniqueFd fd(::socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol));
    if (!fd.valid()) {
      lastError = std::strerror(errno);
      continue;
    }
    const int on = 1;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(fd.get(), ai->ai_addr, ai->ai_addrlen) != 0) {
      lastError = std::strerror(errno);
      continue;
    }
    sockaddr_storage bound;
    socklen_t length = sizeof bound;
    if (::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
      lastError = std::strerror(errno);
      continue;
    }
    *boundPort = bound.ss_family == AF_INET6 ? ntohs(reinterpret_cast<const sockaddr_in6*>(&bound)->sin6_port)
                                             : ntohs(reinterpret_cast<const sockaddr_in*>(&bound)->sin_port);
    *socket = std::move(fd);
    ::freeaddrinfo(found);
    return true;
  }
  ::freeaddrinfo(found);
  *error = lastError;
  return false;
}

}  // namespace devserver
