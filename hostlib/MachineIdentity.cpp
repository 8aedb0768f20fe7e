#include <unistd.h>

#include <string>

#include "hostlib/internal/MachineIdentitySources.h"
#include "hostlib/quillon.h"

namespace {

std::string HostName() {
  char name[256] = {};
  if (gethostname(name, sizeof(name) - 1) != 0) return std::string();
  return name;  // always terminated: the last byte is never written
}

}  // namespace

namespace QUILLON {

// Read afresh on each call (cheap, and nothing static to outlive): the
// sources themselves are stable.
std::string GetMachineId() {
  return quillon_internal::MachineIdFrom({"/etc/machine-id", "/var/lib/dbus/machine-id"},
                                         HostName());
}

std::string GetDftMac() {
  return quillon_internal::DefaultRouteMac("/proc/net/route", "/sys/class/net");
}

}  // namespace QUILLON
