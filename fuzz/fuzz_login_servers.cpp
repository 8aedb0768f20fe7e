// The login-server list parser on arbitrary text, and a bounded walk through
// the parsed list: every entry is usable, and a full pass of GetNextServer
// comes back to the starting server (the failover cycle relies on it).
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "hostlib/quillon.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  // Up to three parts separated by zero bytes: a list that replaces, one
  // that appends, and a default server.
  std::vector<std::string> parts(3);
  std::size_t start = 0;
  for (std::size_t i = 0; i < parts.size() && start <= input.size(); ++i) {
    const std::size_t end = i + 1 < parts.size() ? input.find('\0', start) : std::string::npos;
    parts[i] = input.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (end == std::string::npos) break;
    start = end + 1;
  }

  CLoginServers& servers = CLoginServers::Instance();
  servers.Clear();
  const int replaced = servers.Parse(parts[0], true);
  const int appended = servers.Parse(parts[1], false);
  if (!parts[2].empty()) servers.SetDefaultServer(parts[2], parts[2].size() % 2 == 0);
  FUZZ_CHECK(replaced >= 0 && appended >= 0);

  const int count = servers.GetServerCount();
  const std::vector<CLoginServers::Server> list = servers.GetServers();
  FUZZ_CHECK(static_cast<int>(list.size()) == count);
  FUZZ_CHECK(count >= replaced + appended);
  FUZZ_CHECK(count <= replaced + appended + 1);  // the default may be added
  for (const CLoginServers::Server& server : list) {
    FUZZ_CHECK(!server.host.empty());
    FUZZ_CHECK(server.port > 0 && server.port <= 65535);
    FUZZ_CHECK(server.host.find_first_of(";, \t\r\n/") == std::string::npos);
  }

  std::string firstHost;
  int firstPort = -1;
  servers.GetCurrServer(firstHost, firstPort);
  if (count == 0) {
    FUZZ_CHECK(firstHost.empty() && firstPort == 0);
    return 0;
  }
  std::string host;
  int port = 0;
  for (int step = 0; step < count; ++step) {  // bounded by the list, itself bounded by the input
    servers.GetNextServer(host, port);
    FUZZ_CHECK(!host.empty());
  }
  FUZZ_CHECK(host == firstHost && port == firstPort);
  return 0;
}
