#include <string>

#include "hostlib/internal/MachineIdentitySources.h"
#include "hostlib/quillon.h"

#if defined(_WIN32)
// winsock2 before windows.h: iphlpapi needs the newer socket declarations.
#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>

#include <vector>

#include "hostlib/internal/WindowsIdentitySources.h"
#else
#include <unistd.h>
#endif

namespace {

#if defined(_WIN32)

// Closes the registry key when it goes out of scope.
class RegistryKey {
 public:
  RegistryKey() = default;
  ~RegistryKey() {
    if (key_ != nullptr) ::RegCloseKey(key_);
  }
  RegistryKey(const RegistryKey&) = delete;
  RegistryKey& operator=(const RegistryKey&) = delete;
  HKEY* out() { return &key_; }
  HKEY get() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

// HKLM\SOFTWARE\Microsoft\Cryptography\MachineGuid, written by Windows setup
// and kept for the life of the installation. The 64-bit view is asked for
// explicitly: a 32-bit process would otherwise read a redirected copy.
std::string RegistryMachineGuid() {
  RegistryKey key;
  if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Cryptography", 0,
                      KEY_QUERY_VALUE | KEY_WOW64_64KEY, key.out()) != ERROR_SUCCESS) {
    return std::string();
  }
  char value[128] = {};
  DWORD type = 0;
  DWORD size = sizeof(value) - 1;  // the last byte stays a terminator
  if (::RegQueryValueExA(key.get(), "MachineGuid", nullptr, &type, reinterpret_cast<BYTE*>(value), &size) !=
          ERROR_SUCCESS ||
      type != REG_SZ) {
    return std::string();
  }
  return std::string(value, ::strnlen(value, size));
}

std::string ComputerName() {
  char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = sizeof(name);
  if (!::GetComputerNameA(name, &size)) return std::string();
  return std::string(name, size);
}

// Every adapter's interface index and hardware address. The needed buffer
// size can grow between the calls, so the query is repeated a few times.
std::vector<quillon_internal::AdapterMac> AdapterMacs() {
  std::vector<quillon_internal::AdapterMac> adapters;
  ULONG size = 16 * 1024;
  const ULONG flags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
  for (int attempt = 0; attempt < 4; ++attempt) {
    std::vector<unsigned char> buffer(size);
    auto* first = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data());
    const ULONG rc = ::GetAdaptersAddresses(AF_UNSPEC, flags, nullptr, first, &size);
    if (rc == ERROR_BUFFER_OVERFLOW) continue;
    if (rc != NO_ERROR) return adapters;
    for (const IP_ADAPTER_ADDRESSES* a = first; a != nullptr; a = a->Next) {
      adapters.push_back({a->IfIndex, quillon_internal::FormatHardwareAddress(a->PhysicalAddress,
                                                                              a->PhysicalAddressLength)});
    }
    return adapters;
  }
  return adapters;
}

std::vector<quillon_internal::DefaultRoute> DefaultRoutes() {
  std::vector<quillon_internal::DefaultRoute> routes;
  ULONG size = 0;
  for (int attempt = 0; attempt < 4; ++attempt) {
    std::vector<unsigned char> buffer(size > 0 ? size : 1);
    auto* table = reinterpret_cast<MIB_IPFORWARDTABLE*>(buffer.data());
    const DWORD rc = ::GetIpForwardTable(table, &size, FALSE);
    if (rc == ERROR_INSUFFICIENT_BUFFER) continue;
    if (rc != NO_ERROR) return routes;
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
      const MIB_IPFORWARDROW& row = table->table[i];
      if (row.dwForwardDest == 0 && row.dwForwardMask == 0) {
        routes.push_back({row.dwForwardIfIndex, row.dwForwardMetric1});
      }
    }
    return routes;
  }
  return routes;
}

#else

std::string HostName() {
  char name[256] = {};
  if (gethostname(name, sizeof(name) - 1) != 0) return std::string();
  return name;  // always terminated: the last byte is never written
}

#endif

}  // namespace

namespace QUILLON {

// Read afresh on each call (cheap, and nothing static to outlive): the
// sources themselves are stable.
std::string GetMachineId() {
#if defined(_WIN32)
  std::string id = quillon_internal::NormalizedMachineGuid(RegistryMachineGuid());
  return id.empty() ? quillon_internal::HostNameMachineId(ComputerName()) : id;
#else
  return quillon_internal::MachineIdFrom({"/etc/machine-id", "/var/lib/dbus/machine-id"}, HostName());
#endif
}

std::string GetDftMac() {
#if defined(_WIN32)
  DWORD best = 0;
  if (::GetBestInterface(0 /* 0.0.0.0 */, &best) != NO_ERROR) best = 0;
  return quillon_internal::DefaultAdapterMac(best, DefaultRoutes(), AdapterMacs());
#else
  return quillon_internal::DefaultRouteMac("/proc/net/route", "/sys/class/net");
#endif
}

}  // namespace QUILLON
