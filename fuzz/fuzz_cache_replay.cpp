// The offline catalogue: arbitrary bytes as the cache file, read back through
// GetLocalVpnServers. The catalogue it gives must be the one the same bytes
// give as a reply over the network, appended to the caller's map; a refused
// file must leave the map exactly as it was.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "FuzzCatalogue.h"
#include "FuzzCheck.h"
#include "FuzzKeys.h"
#include "facade/ProxyHelper.h"
#include "hostlib/quillon.h"
#include "transport/HttpCmd.h"
#include "transport/OperationContext.h"

namespace {

// A cache file is refused above this; small, so that the bound is reached
// once in LLVMFuzzerInitialize at little cost.
constexpr int kMaxBody = 1 << 20;
// Keeps the parsed form of one input cheap.
constexpr int kMaxReplyItems = 20000;
// A short input can expand to megabytes, decompressed and parsed twice per
// input: at the shared 1 MiB bound such inputs cost up to a tenth of a
// second each. Not a multiple of the library's 64 KiB rounds.
constexpr int kMaxDecompressed = 200000;
const char kSentinelGroup[] = "Europe";
const char kSentinelKey[] = "0";
const char kSentinelValue[] = "Sentinel,sentinel.example.net,1,Nowhere";

std::string directory;
std::string cachePath;

// Takes the reply directly instead of over the network.
class ReplyCommand : public CHttpCmd {
 public:
  // An operation of its own that nothing cancels and no deadline ends.
  ReplyCommand()
      : CHttpCmd(OperationContext(OperationContext::Clock::time_point::max(), CancelToken::Never(), nullptr),
                 "", 80) {}
  int Parse(const std::string& raw) {
    reply = raw;
    return ParseReply();
  }
};

void InstallSettings() {
  fuzzing::InstallKeysAndBounds();
  GlobalCache& cache = GlobalCache::Instance();
  cache.SetConfigItem("GC_HTTP_MAX_BODY", kMaxBody);
  cache.SetConfigItem("GC_MAX_REPLY_ITEMS", kMaxReplyItems);
  cache.SetConfigItem("GC_BZ2_MAX_OUTPUT", kMaxDecompressed);
}

// Overwrites the file in place and then cuts it to length. Truncating it
// first (fopen "wb") makes ext4 write the new data to disk at close, half a
// millisecond per input when the disk is idle and far more when it is busy.
void WriteCache(const std::string& bytes) {
  const int fd = ::open(cachePath.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  FUZZ_CHECK(fd >= 0);
  std::size_t written = 0;
  while (written < bytes.size()) {  // each pass writes at least one byte
    const ssize_t count =
        ::pwrite(fd, bytes.data() + written, bytes.size() - written, static_cast<off_t>(written));
    FUZZ_CHECK(count > 0);
    written += static_cast<std::size_t>(count);
  }
  FUZZ_CHECK(::ftruncate(fd, static_cast<off_t>(bytes.size())) == 0);
  FUZZ_CHECK(::close(fd) == 0);
}

ServerCatalogue SentinelCatalogue() {
  ServerCatalogue servers;
  servers[kSentinelGroup].emplace_back(kSentinelKey, kSentinelValue);
  return servers;
}

bool IsSentinelOnly(const ServerCatalogue& servers) {
  if (servers.size() != 1) return false;
  const auto group = servers.find(kSentinelGroup);
  return group != servers.end() && group->second.size() == 1 && group->second[0].GetKey() == kSentinelKey &&
         group->second[0].GetValue() == kSentinelValue;
}

// Replays the cache file as it stands; checks what holds whatever it held.
int Replay(ServerCatalogue& servers) {
  servers = SentinelCatalogue();
  const int result = ProxyHelper::Instance().GetLocalVpnServers(servers);
  FUZZ_CHECK(result == 0 || result == -1);
  if (result == -1) {
    FUZZ_CHECK(IsSentinelOnly(servers));
  } else {
    // The caller's group keeps its earlier record first, whatever the file
    // appended to it.
    const auto group = servers.find(kSentinelGroup);
    FUZZ_CHECK(group != servers.end() && !group->second.empty());
    FUZZ_CHECK(group->second[0].GetKey() == kSentinelKey);
    FUZZ_CHECK(group->second[0].GetValue() == kSentinelValue);
  }
  return result;
}

void RemoveDirectory() {
  ::unlink(cachePath.c_str());
  ::rmdir(directory.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // TMPDIR as scripts/fuzz.sh honours it; a tmpfs one spares the disk.
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern =
      std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/proxyhelper-cache-replay-XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  FUZZ_CHECK(::mkdtemp(name.data()) != nullptr);
  directory = name.data();
  cachePath = directory + "/cache.dat";
  std::atexit(RemoveDirectory);
  QUILLON::SetExeDirectory(directory);
  InstallSettings();

  ServerCatalogue servers;
  // No file yet: nothing to replay.
  FUZZ_CHECK(Replay(servers) == -1);

  // A sound catalogue, filled after its zero byte up to the bound and one
  // past it: the size alone decides.
  const std::string reply = "Z=cmVzdWx0PTAKW0FzaWFdCjIwMT1Ub2t5byx0eW8uZXhhbXBsZS5uZXQsMSxKYXBhbgo=";
  std::string file = reply + '\0';
  file.resize(static_cast<std::size_t>(kMaxBody), 'x');
  WriteCache(file);
  FUZZ_CHECK(Replay(servers) == 0);
  FUZZ_CHECK(servers.size() == 2 && servers["Asia"].size() == 1);
  file.push_back('x');
  WriteCache(file);
  FUZZ_CHECK(Replay(servers) == -1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  InstallSettings();
  WriteCache(bytes);
  ServerCatalogue servers;
  const int result = Replay(servers);
  if (size > static_cast<std::size_t>(kMaxBody)) {
    FUZZ_CHECK(result == -1);
    return 0;
  }

  // The file replays exactly as the reply it holds parses off the wire.
  ReplyCommand wire;
  const bool parsed = wire.Parse(bytes) == 0;
  const bool succeeded = parsed && wire.IsSucceeded();
  FUZZ_CHECK((result == 0) == succeeded);
  if (result == 0) fuzzing::CheckAppendedCatalogue(SentinelCatalogue(), wire.GetSections(), servers);
  return 0;
}
