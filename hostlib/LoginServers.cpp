#include <algorithm>
#include <cstddef>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "facade/ConfigItems.h"
#include "hostlib/internal/ServerEntry.h"
#include "hostlib/quillon.h"

namespace {

bool IsSeparator(char c) { return c == ';' || c == ',' || c == ' ' || (c >= '\t' && c <= '\r'); }

// Drops separators and white space around a single server text.
std::string Trimmed(const std::string& text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && IsSeparator(text[begin])) ++begin;
  while (end > begin && IsSeparator(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

// Addresses remembered as TLS-only. More than any real deployment lists; a
// service pushing endless new names cannot grow the memory without bound,
// and what was remembered first (the application's own list) stays.
constexpr std::size_t kMaxSecureAddresses = 4096;

// Every failed attempt costs up to a connect time-out, and one operation may
// try every entry: a pushed list of thousands would hold the caller for
// hours. No deployment needs more than this many account servers.
constexpr std::size_t kMaxServers = 64;

// Read at each call, as the library's other settings are.
bool HttpsOnly() { return GlobalCache::Instance().GetConfigInt(proxyhelper::config::kHttpsOnly, 0) == 1; }

// Calls `take` with each usable entry of `text`, in order, while it returns
// true.
template <typename Take>
void ForEachEntry(const std::string& text, Take take) {
  std::size_t pos = 0;
  while (pos < text.size()) {
    while (pos < text.size() && IsSeparator(text[pos])) ++pos;
    std::size_t end = pos;
    while (end < text.size() && !IsSeparator(text[end])) ++end;
    CLoginServers::Server server;
    if (end > pos && quillon_internal::ParseServerEntry(text.substr(pos, end - pos), server) &&
        !take(server)) {
      return;
    }
    pos = end;
  }
}

}  // namespace

struct CLoginServers::State {
  mutable std::mutex mutex;
  std::vector<Server> servers;
  std::size_t current = 0;
  std::string defaultText;
  bool hasDefault = false;  // defaultText parsed into defaultServer
  Server defaultServer;
  // Every host and port seen in an "https" entry: plain entries for them are
  // upgraded, so no later list can send requests for them in clear text.
  std::set<std::string> secureAddresses;

  void RememberSecure(const Server& server) {
    if (server.secure && secureAddresses.size() < kMaxSecureAddresses) {
      secureAddresses.insert(quillon_internal::AddressKey(server));
    }
  }

  void Upgrade(Server& server) const {
    if (!server.secure && IsSecureAddress(server)) server.secure = true;
  }

  bool IsSecureAddress(const Server& server) const {
    return secureAddresses.count(quillon_internal::AddressKey(server)) != 0;
  }

  // After new "https" entries were remembered: the list and the default
  // follow, so an address is never held in both forms.
  void UpgradeAll() {
    for (Server& server : servers) Upgrade(server);
    if (hasDefault) Upgrade(defaultServer);
  }

  // Index of the default server in the list, or the list size.
  std::size_t FindDefault() const {
    if (!hasDefault) return servers.size();
    for (std::size_t i = 0; i < servers.size(); ++i) {
      if (quillon_internal::SameServer(servers[i], defaultServer)) return i;
    }
    return servers.size();
  }

  void Report(std::string& host, int& port, bool& secure) const {
    if (servers.empty()) {
      host.clear();
      port = 0;
      secure = false;
    } else {
      host = servers[current].host;
      port = servers[current].port;
      secure = servers[current].secure;
    }
  }
};

CLoginServers& CLoginServers::Instance() {
  // Leaked on purpose: usable during exit-time destruction of other
  // libraries' statics.
  static CLoginServers* instance = new CLoginServers;
  return *instance;
}

CLoginServers::CLoginServers() : state_(new State) {}

bool CLoginServers::SameServer(const Server& a, const Server& b) {
  return quillon_internal::SameServer(a, b);
}

CLoginServers::~CLoginServers() { delete state_; }

int CLoginServers::Parse(const std::string& text, bool replace) {
  const bool httpsOnly = HttpsOnly();
  // The parse runs without the lock: a copy of the addresses known as TLS
  // decides which bare entries count, so that the 64 taken are all usable.
  std::set<std::string> knownSecure;
  if (httpsOnly) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    knownSecure = state_->secureAddresses;
  }
  std::vector<Server> parsed;
  ForEachEntry(text, [&](const Server& server) {
    if (!httpsOnly || server.secure || knownSecure.count(quillon_internal::AddressKey(server)) != 0) {
      parsed.push_back(server);
    }
    return parsed.size() < kMaxServers;
  });
  // A text without one usable entry (a damaged push from the service) must
  // not leave the client without any server to reach: nothing changes.
  if (parsed.empty()) return 0;

  std::lock_guard<std::mutex> lock(state_->mutex);
  if (httpsOnly) {
    // Clear may have run since the copy: what is not TLS now is not taken.
    for (Server& server : parsed) state_->Upgrade(server);
    parsed.erase(std::remove_if(parsed.begin(), parsed.end(), [](const Server& s) { return !s.secure; }),
                 parsed.end());
    if (parsed.empty()) return 0;
  }
  for (const Server& server : parsed) state_->RememberSecure(server);
  if (replace) state_->servers.clear();
  // Appending never takes the list past the cap either; the entries that
  // found no room are not counted as taken.
  const std::size_t room = kMaxServers - std::min(kMaxServers, state_->servers.size());
  if (parsed.size() > room) parsed.resize(room);
  state_->servers.insert(state_->servers.end(), parsed.begin(), parsed.end());
  // The new entries, those already listed and the default alike.
  state_->UpgradeAll();
  const std::size_t found = state_->FindDefault();
  state_->current = found < state_->servers.size() ? found : 0;
  return static_cast<int>(parsed.size());
}

void CLoginServers::SetDefaultServer(const std::string& server, bool addIfMissing) {
  Server parsed;
  const bool valid = quillon_internal::ParseServerEntry(Trimmed(server), parsed);
  const bool httpsOnly = HttpsOnly();

  std::lock_guard<std::mutex> lock(state_->mutex);
  // Refused whole: recording it would still make it current once a list
  // brings it in.
  if (valid && httpsOnly && !parsed.secure && !state_->IsSecureAddress(parsed)) return;
  state_->defaultText = server;
  state_->hasDefault = valid;
  state_->defaultServer = valid ? parsed : Server();
  if (!valid) return;
  state_->RememberSecure(parsed);
  state_->UpgradeAll();
  parsed = state_->defaultServer;
  std::size_t found = state_->FindDefault();
  if (found == state_->servers.size()) {
    if (!addIfMissing || state_->servers.size() >= kMaxServers) return;
    state_->servers.push_back(parsed);
  }
  state_->current = found;
}

std::vector<CLoginServers::Server> CLoginServers::Entries(const std::string& text) {
  std::vector<Server> entries;
  std::set<std::string> secure;
  ForEachEntry(text, [&](const Server& server) {
    entries.push_back(server);
    if (server.secure) secure.insert(quillon_internal::AddressKey(server));
    return entries.size() < kMaxServers;
  });
  for (Server& server : entries)
    server.secure = server.secure || secure.count(quillon_internal::AddressKey(server));
  return entries;
}

bool CLoginServers::AllSecure(const std::string& text) const {
  std::set<std::string> knownSecure;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    knownSecure = state_->secureAddresses;
  }
  bool secure = true;
  ForEachEntry(text, [&](const Server& server) {
    secure = server.secure || knownSecure.count(quillon_internal::AddressKey(server)) != 0;
    return secure;
  });
  return secure;
}

std::string CLoginServers::GetDefaultServer() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->defaultText;
}

void CLoginServers::GetCurrServer(std::string& host, int& port) const {
  bool secure = false;
  GetCurrServer(host, port, secure);
}

void CLoginServers::GetNextServer(std::string& host, int& port) {
  bool secure = false;
  GetNextServer(host, port, secure);
}

void CLoginServers::GetCurrServer(std::string& host, int& port, bool& secure) const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->Report(host, port, secure);
}

void CLoginServers::GetNextServer(std::string& host, int& port, bool& secure) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  if (!state_->servers.empty()) {
    state_->current = (state_->current + 1) % state_->servers.size();
  }
  state_->Report(host, port, secure);
}

int CLoginServers::GetServerCount() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return static_cast<int>(state_->servers.size());
}

std::vector<CLoginServers::Server> CLoginServers::GetServers() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->servers;
}

std::vector<CLoginServers::Server> CLoginServers::GetServers(std::size_t& current) const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  current = state_->current;
  return state_->servers;
}

void CLoginServers::MovePast(const Server& failed) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  std::vector<Server>& servers = state_->servers;
  if (servers.empty() || !quillon_internal::SameServer(servers[state_->current], failed)) return;
  // Past the run of equal entries too, bounded by the list: a list of one
  // server repeated comes back round to where it was.
  for (std::size_t step = 0; step < servers.size(); ++step) {
    state_->current = (state_->current + 1) % servers.size();
    if (!quillon_internal::SameServer(servers[state_->current], failed)) return;
  }
}

void CLoginServers::SetCurrServer(const Server& server) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  for (std::size_t i = 0; i < state_->servers.size(); ++i) {
    if (quillon_internal::SameServer(state_->servers[i], server)) {
      state_->current = i;
      return;
    }
  }
}

void CLoginServers::Clear() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->servers.clear();
  state_->current = 0;
  state_->defaultText.clear();
  state_->hasDefault = false;
  state_->defaultServer = Server();
  state_->secureAddresses.clear();
}
