#include "tools/cli/SystemdNotify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace proxycli {

bool NotifySystemd(const std::string& state) {
  const char* path = std::getenv("NOTIFY_SOCKET");
  if (path == nullptr || (path[0] != '/' && path[0] != '@') || path[1] == '\0') return false;
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  const std::size_t length = std::strlen(path);
  if (length >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, path, length);
  // '@' names a socket in the abstract namespace.
  if (address.sun_path[0] == '@') address.sun_path[0] = '\0';
  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const socklen_t size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
  const ssize_t sent = ::sendto(fd, state.data(), state.size(), MSG_NOSIGNAL,
                                reinterpret_cast<const sockaddr*>(&address), size);
  ::close(fd);
  return sent == static_cast<ssize_t>(state.size());
}

}  // namespace proxycli
