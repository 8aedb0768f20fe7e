// What the host library and the platform layer take from Windows itself:
// the program's directory and name, the registry's machine GUID, the
// adapters' hardware addresses, and how the cache file's atomic replacement
// meets a file that someone holds open. (Built for Windows only.)
#include <windows.h>
#include <gtest/gtest.h>
#include <iphlpapi.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "hostlib/quillon.h"
#include "platform/AppName.h"
#include "platform/AtomicFile.h"
#include "support/TempDir.h"

namespace {

constexpr std::size_t kNoLimit = static_cast<std::size_t>(-1);

std::string ModuleFile() {
  std::vector<char> buffer(32768);
  const DWORD length = ::GetModuleFileNameA(nullptr, buffer.data(), 32768);
  return std::string(buffer.data(), length);
}

std::string Native(const std::string& directory, const std::string& name) {
  return directory + kPathSeparator + name;
}

std::vector<std::string> Entries(const std::string& directory) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// A handle on `path` held for the scope, with the given sharing.
class HeldOpen {
 public:
  HeldOpen(const std::string& path, DWORD share)
      : handle_(::CreateFileA(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr)) {}
  ~HeldOpen() {
    if (ok()) ::CloseHandle(handle_);
  }
  HeldOpen(const HeldOpen&) = delete;
  HeldOpen& operator=(const HeldOpen&) = delete;
  bool ok() const { return handle_ != INVALID_HANDLE_VALUE; }

 private:
  HANDLE handle_;
};

TEST(WindowsHost, ExeDirectoryIsTheProgramsOwn) {
  const std::string file = ModuleFile();
  ASSERT_FALSE(file.empty());
  std::string path = "before";
  ASSERT_TRUE(QUILLON::GetExeDirectory(path));
  EXPECT_EQ(path, file.substr(0, file.find_last_of("\\/")));
  EXPECT_NE(path.back(), '\\');
  EXPECT_NE(path.back(), '/');
  EXPECT_EQ(GetApplicationName(), "test_platform");  // without ".exe"
}

TEST(WindowsHost, ExeDirectoryOverrideDropsTrailingSeparatorsButKeepsRoots) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"C:\\Program Files\\Quill\\", "C:\\Program Files\\Quill"},
      {"C:\\data\\\\/", "C:\\data"},
      {"D:/app/", "D:/app"},
      {"C:\\", "C:\\"},
      {"C:/", "C:/"},
      {"\\\\server\\share\\", "\\\\server\\share"},
      {"\\", "\\"},
      {"relative\\dir\\", "relative\\dir"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first);
    QUILLON::SetExeDirectory(c.first);
    std::string path;
    ASSERT_TRUE(QUILLON::GetExeDirectory(path));
    EXPECT_EQ(path, c.second);
  }
  QUILLON::SetExeDirectory("");
  std::string path;
  ASSERT_TRUE(QUILLON::GetExeDirectory(path));
  EXPECT_EQ(path, ModuleFile().substr(0, ModuleFile().find_last_of("\\/")));
}

TEST(WindowsHost, MachineIdIsTheRegistrysGuid) {
  const std::string id = QUILLON::GetMachineId();
  ASSERT_EQ(id.size(), 32u) << id;
  EXPECT_EQ(id.find_first_not_of("0123456789abcdef"), std::string::npos) << id;
  EXPECT_EQ(QUILLON::GetMachineId(), id);

  char guid[64] = {};
  DWORD size = sizeof guid;
  if (::RegGetValueA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Cryptography", "MachineGuid", RRF_RT_REG_SZ,
                     nullptr, guid, &size) != ERROR_SUCCESS) {
    GTEST_SKIP() << "no MachineGuid in this registry; the computer-name fallback was checked above";
  }
  std::string digits;
  for (const char* p = guid; *p != '\0'; ++p) {
    if (*p != '-' && *p != '{' && *p != '}') {
      digits.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(*p))));
    }
  }
  EXPECT_EQ(id, digits);
}

// Adapters by interface index with their six-byte hardware addresses, as the
// older adapter interface reports them.
std::vector<std::pair<DWORD, std::string>> AdapterAddresses() {
  std::vector<std::pair<DWORD, std::string>> known;
  ULONG size = 0;
  ::GetAdaptersInfo(nullptr, &size);
  std::vector<unsigned char> buffer(size > 0 ? size : 1);
  auto* info = reinterpret_cast<IP_ADAPTER_INFO*>(buffer.data());
  if (::GetAdaptersInfo(info, &size) != ERROR_SUCCESS) return known;
  for (const IP_ADAPTER_INFO* a = info; a != nullptr; a = a->Next) {
    if (a->AddressLength != 6) continue;
    if (std::all_of(a->Address, a->Address + 6, [](BYTE b) { return b == 0; })) continue;
    char text[18] = {};
    std::snprintf(text, sizeof text, "%02X-%02X-%02X-%02X-%02X-%02X", a->Address[0], a->Address[1],
                  a->Address[2], a->Address[3], a->Address[4], a->Address[5]);
    known.emplace_back(a->Index, text);
  }
  return known;
}

std::vector<DWORD> DefaultRouteInterfaces() {
  std::vector<DWORD> interfaces;
  ULONG size = 0;
  ::GetIpForwardTable(nullptr, &size, FALSE);
  std::vector<unsigned char> buffer(size > 0 ? size : 1);
  auto* table = reinterpret_cast<MIB_IPFORWARDTABLE*>(buffer.data());
  if (::GetIpForwardTable(table, &size, FALSE) != NO_ERROR) return interfaces;
  for (DWORD i = 0; i < table->dwNumEntries; ++i) {
    if (table->table[i].dwForwardDest == 0 && table->table[i].dwForwardMask == 0) {
      interfaces.push_back(table->table[i].dwForwardIfIndex);
    }
  }
  return interfaces;
}

TEST(WindowsHost, DefaultMacIsTheAdapterOfADefaultRoute) {
  const std::string mac = QUILLON::GetDftMac();
  const auto adapters = AdapterAddresses();
  const auto routes = DefaultRouteInterfaces();
  std::vector<std::string> candidates;
  for (DWORD index : routes) {
    for (const auto& adapter : adapters) {
      if (adapter.first == index) candidates.push_back(adapter.second);
    }
  }
  if (candidates.empty()) {
    EXPECT_EQ(mac, "") << "no default route over an adapter with a hardware address";
  } else {
    EXPECT_NE(std::find(candidates.begin(), candidates.end(), mac), candidates.end()) << mac;
  }
  EXPECT_EQ(QUILLON::GetDftMac(), mac);
}

TEST(WindowsHost, ReplacingAFileHeldWithoutDeleteSharingIsSkipped) {
  testsupport::TempDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string path = Native(dir.path(), "cache.dat");
  ASSERT_TRUE(ReplaceFileAtomically(path, "old catalogue"));
  {
    HeldOpen reader(path, FILE_SHARE_READ);
    ASSERT_TRUE(reader.ok());
    EXPECT_FALSE(ReplaceFileAtomically(path, "new catalogue"));
  }
  EXPECT_EQ(dir.Read("cache.dat"), "old catalogue");
  EXPECT_EQ(Entries(dir.path()), std::vector<std::string>{"cache.dat"});
  // Once the file is free again, the next write goes through.
  EXPECT_TRUE(ReplaceFileAtomically(path, "new catalogue"));
  EXPECT_EQ(dir.Read("cache.dat"), "new catalogue");
}

TEST(WindowsHost, ReplacingAFileHeldWithDeleteSharingIsAllOrNothing) {
  testsupport::TempDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string path = Native(dir.path(), "cache.dat");
  ASSERT_TRUE(ReplaceFileAtomically(path, "old catalogue"));
  bool replaced = false;
  {
    // As the cache reader holds it: whether the file system lets the writer
    // replace it now depends on the Windows version; either way it is whole.
    HeldOpen reader(path, FILE_SHARE_READ | FILE_SHARE_DELETE);
    ASSERT_TRUE(reader.ok());
    replaced = ReplaceFileAtomically(path, "new catalogue");
  }
  EXPECT_EQ(dir.Read("cache.dat"), replaced ? "new catalogue" : "old catalogue");
  EXPECT_EQ(Entries(dir.path()), std::vector<std::string>{"cache.dat"});
}

TEST(WindowsHost, ReaderIsRefusedWhileAWriterHoldsTheFile) {
  testsupport::TempDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string path = Native(dir.path(), "cache.dat");
  ASSERT_TRUE(ReplaceFileAtomically(path, "catalogue"));
  HANDLE writer =
      ::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  std::string data = "untouched";
  EXPECT_FALSE(ReadWholeFile(path, data, kNoLimit));
  EXPECT_EQ(data, "untouched");
  ::CloseHandle(writer);
  EXPECT_TRUE(ReadWholeFile(path, data, kNoLimit));
  EXPECT_EQ(data, "catalogue");
}

}  // namespace
