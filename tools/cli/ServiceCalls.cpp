#include "tools/cli/ServiceCalls.h"

#include <sys/stat.h>

#include <memory>
#include <utility>

#include "facade/ConfigItems.h"
#include "hostlib/quillon.h"
#include "tools/cli/KeyStore.h"
#include "tools/cli/LastAttempt.h"
#include "tools/cli/Printable.h"
#include "tools/cli/ResultText.h"
#include "tools/cli/Views.h"

namespace proxycli {

namespace {

constexpr const char* kServerConfigKey = proxyhelper::config::kCurrentServerConfig;

// Enough of a file's identity to tell that it was replaced: the library
// writes the cache through a new file renamed over the old one.
struct FileStamp {
  bool exists = false;
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  struct timespec modified = {};

  static FileStamp Of(const std::string& path) {
    FileStamp stamp;
    struct stat info;
    // Anything but a file there is no cache either.
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return stamp;
    stamp.exists = true;
    stamp.device = info.st_dev;
    stamp.inode = info.st_ino;
    stamp.size = info.st_size;
    stamp.modified = info.st_mtim;
    return stamp;
  }
  bool operator==(const FileStamp& other) const {
    return exists == other.exists && device == other.device && inode == other.inode && size == other.size &&
           modified.tv_sec == other.modified.tv_sec && modified.tv_nsec == other.modified.tv_nsec;
  }
};

// The newest pushed record; the one it replaces is freed here. The cache keeps
// only the newest address, so nothing refers to a freed record.
std::unique_ptr<ServerConfig>& AdoptedServerConfig() {
  static std::unique_ptr<ServerConfig> record;
  return record;
}

}  // namespace

void AdoptPushedServerConfig() {
  auto* pushed = static_cast<ServerConfig*>(GlobalCache::Instance().GetValue(kServerConfigKey));
  std::unique_ptr<ServerConfig>& owned = AdoptedServerConfig();
  if (pushed != nullptr && pushed != owned.get()) owned.reset(pushed);
}

std::string ServerListText(const std::vector<CLoginServers::Server>& servers) {
  std::string text;
  for (const CLoginServers::Server& server : servers) {
    text += (text.empty() ? "" : ";") + std::string(server.secure ? "https://" : "") +
            HostPort(server.host, server.port);
  }
  return text;
}

const ServerConfig* CurrentServerConfig() {
  return static_cast<const ServerConfig*>(GlobalCache::Instance().GetValue(kServerConfigKey));
}

ServiceCalls::ServiceCalls(Report& report, HostPaths paths)
    : report_(report), paths_(std::move(paths)), helper_(ProxyHelper::Instance()) {
  RecordAttempts();
}

bool ServiceCalls::Check(const char* operation, int result, const std::string& errdesc) {
  if (result == 0) return true;
  // No service text to show: the last attempt says where and why instead.
  if (result == RESULT_TRANSPORT_FAILURE) {
    const std::string last = DescribeLastAttempt();
    report_.Failure(operation, result, last.empty() ? errdesc : "last attempt " + last);
    return false;
  }
  report_.Failure(operation, result, errdesc);
  return false;
}

bool ServiceCalls::FormSafe(std::initializer_list<std::pair<const char*, const std::string&>> fields) {
  for (const auto& [what, value] : fields) {
    const std::size_t found = value.find_first_of("&=");
    if (found == std::string::npos) continue;
    // The value itself may be a secret: name the field and the byte only.
    report_.UsageError(std::string(what) + " holds '" + value[found] +
                       "', which the service's form cannot carry: values are sent unescaped, and '&' and '=' "
                       "would split them");
    return false;
  }
  return true;
}

bool ServiceCalls::GetVersion(std::string& version) {
  return Check("GetVersion", Watched([&] { return helper_.GetVersion(version); }));
}

bool ServiceCalls::SignIn(const UserIdentity& identity) {
  if (!FormSafe({{"the user name", identity.username}, {"the password", identity.password}})) return false;
  VPErrorInfo error;
  const int result = Watched([&] { return helper_.SignIn(identity, error); });
  return Check("SignIn", result, error.errdesc);
}

bool ServiceCalls::SignOut() {
  return Check("SignOut", Watched([&] { return helper_.SignOut(); }));
}

void ServiceCalls::EndSession() {
  const int result = Watched([&] { return helper_.SignOut(); });
  if (result == 0) return;
  const std::string last = result == RESULT_TRANSPORT_FAILURE ? DescribeLastAttempt() : std::string();
  report_.Warning("could not sign out (" + ResultName(result) +
                  (last.empty() ? "" : ", last attempt " + last) +
                  "); the service ends the session when it expires");
}

bool ServiceCalls::Register(const RegInfo& info) {
  if (!FormSafe({{"the user name", info.username},
                 {"the password", info.password},
                 {"the phone number", info.phone},
                 {"the e-mail address", info.email},
                 {"the QQ number", info.qq},
                 {"the remark", info.memo}})) {
    return false;
  }
  VPErrorInfo error;
  const int result = Watched([&] { return helper_.Register(info, error); });
  return Check("Register", result, error.errdesc);
}

bool ServiceCalls::Recharge(const RecInfo& info) {
  if (!FormSafe({{"the user name", info.username},
                 {"the password", info.password},
                 {"the card number", info.cardno},
                 {"the card password", info.cardpw}})) {
    return false;
  }
  VPErrorInfo error;
  const int result = Watched([&] { return helper_.Recharge(info, error); });
  return Check("Recharge", result, error.errdesc);
}

bool ServiceCalls::GetUserInfo(UserInfo& info) {
  // The push arrives with the reply: what was in use before tells whether
  // it changed anything.
  const std::string before = ServerListText(CLoginServers::Instance().GetServers());
  const int result = Watched([&] { return helper_.GetUserInfo(info); });
  if (!Check("GetUserInfo", result)) return false;
  AdoptPushedServerConfig();
  NoteServerListPush(before);
  const KeyItems keys = KeyItemsFromCache();
  std::string error;
  if (!paths_.keysFile.empty() && !SaveKeyItems(paths_.keysFile, keys, &error)) {
    report_.Warning("cannot keep the cipher keys (servers --local will not work later): " + error);
  }
  return true;
}

void ServiceCalls::NoteServerListPush(const std::string& before) {
  Console& console = report_.console();
  std::string refused;
  if (GlobalCache::Instance().GetConfigItem(proxyhelper::config::kRefusedLoginServer, refused) != 0) {
    refusedServerList_ = refused;
    report_.data()["server_list_refused"] = refused;
    if (!console.quiet) {
      console.err << "proxyhelper: note: ignored the service's account-server list: it is not all https (use "
                     "--allow-plain-push to follow it)\n";
    }
    return;
  }
  const std::string after = ServerListText(CLoginServers::Instance().GetServers());
  if (after == before) return;
  replacedServerList_ = after;
  report_.data()["server_list_replaced"] = after;
  if (!console.quiet) {
    console.err << "proxyhelper: note: the service replaced the account-server list with: "
                << Printable(after) << "\n";
  }
}

bool ServiceCalls::GetDailupInfo(int serverId, DialupInfo& lease) {
  VPErrorInfo error;
  const int result = Watched([&] { return helper_.GetDailupInfo(serverId, lease, error); });
  return Check("GetDailupInfo", result, error.errdesc);
}

int ServiceCalls::ShakeHands(const LiveInfo& live, VPErrorInfo& error) {
  return Watched([&] { return helper_.ShakeHands(live, error); });
}

bool ServiceCalls::ReleaseDialupInfo(int outcome) {
  return Check("ReleaseDialupInfo", Watched([&] { return helper_.ReleaseDialupInfo(outcome); }));
}

bool ServiceCalls::GetOnlineRatio(std::vector<ServerOnlineRatio>& ratios) {
  return Check("GetOnlineRatio", Watched([&] { return helper_.GetOnlineRatio(ratios); }));
}

bool ServiceCalls::GetVpnServers(ServerCatalogue& catalogue) {
  // The library delivers the catalogue whether or not it could keep it, so
  // tell from the file whether it was replaced.
  const std::string cacheFile = paths_.cacheDir + "/cache.dat";
  const FileStamp before = FileStamp::Of(cacheFile);
  const int result = Watched([&] { return helper_.GetVpnServers(catalogue); });
  if (!Check("GetVpnServers", result)) return false;
  const FileStamp after = FileStamp::Of(cacheFile);
  if (!paths_.cacheDir.empty() && (!after.exists || after == before)) {
    report_.Warning("the catalogue cache " + cacheFile + " could not be written: 'servers --local' will " +
                    (before.exists ? "show the catalogue of an earlier run" : "not work") +
                    " (is the directory writable, is the disk full?)");
  }
  return true;
}

bool ServiceCalls::GetLocalVpnServers(ServerCatalogue& catalogue) {
  const int result = Watched([&] { return helper_.GetLocalVpnServers(catalogue); });
  if (result == 0) return true;
  report_.Failure("GetLocalVpnServers", result, "no usable cache",
                  "no usable catalogue cache in " + paths_.cacheDir +
                      ": fetch it once with 'proxyhelper servers' (the cache is read with the cipher keys "
                      "kept in " +
                      paths_.keysFile + ")");
  return false;
}

bool ServiceCalls::ShowOnlineRatio() {
  std::vector<ServerOnlineRatio> ratios;
  if (!GetOnlineRatio(ratios)) return false;
  report_.data()["ratios"] = RatiosJson(ratios);
  report_.Print(RatiosText(ratios));
  return true;
}

bool ServiceCalls::ShowAccount() {
  UserInfo info;
  if (!GetUserInfo(info)) return false;
  const ServerConfig* serverConfig = CurrentServerConfig();
  report_.data()["user"] = UserInfoJson(info);
  report_.data()["config"] = PushedConfigJson(serverConfig);
  report_.Print("account\n" + UserInfoText(info) + "pushed configuration\n" + PushedConfigText(serverConfig));
  return true;
}

}  // namespace proxycli
