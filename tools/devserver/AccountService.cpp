#include "tools/devserver/AccountService.h"

#include <climits>
#include <initializer_list>
#include <utility>

#include "facade/ProxyHelperControl.h"
#include "protocol/Vocabulary.h"
#include "tools/devserver/DecimalField.h"
#include "tools/devserver/RandomText.h"
#include "tools/devserver/ResultCodes.h"

namespace devserver {

namespace {

// The release outcome that only reports and keeps the lease.
constexpr int kReportOnlyOutcome = protocol::kKeepLeaseOutcome;
constexpr std::size_t kTokenLength = 32;

ProfileText Refuse(int code, const std::string& errdesc) { return ProfileText(code, errdesc); }
ProfileText Accept() { return ProfileText(kResultOk, std::string()); }

// The first of `names` that `fields` lacks, or null. An empty value counts
// as present: the client sends "magic=" before signing in, and that deserves
// the bad-session answer rather than a complaint about the request.
const char* FirstMissing(const FormFields& fields, std::initializer_list<const char*> names) {
  for (const char* name : names) {
    if (fields.count(name) == 0) return name;
  }
  return nullptr;
}

// As FirstMissing, but an empty value counts as missing too.
const char* FirstMissingOrEmpty(const FormFields& fields, std::initializer_list<const char*> names) {
  for (const char* name : names) {
    const auto it = fields.find(name);
    if (it == fields.end() || it->second.empty()) return name;
  }
  return nullptr;
}

ProfileText MissingField(const char* name) {
  return Refuse(kResultBadRequest, std::string("missing field: ") + name);
}

ProfileText BadField(const char* name) {
  return Refuse(kResultBadRequest, std::string("bad field: ") + name + " is not a decimal integer");
}

const std::string& Field(const FormFields& fields, const char* name) {
  static const std::string empty;
  const auto it = fields.find(name);
  return it == fields.end() ? empty : it->second;
}

// Passwords, the session and lease tokens, and the dial-up credentials a
// lease lends: whoever reads the log must not be able to act as the client.
bool IsSecret(const std::string& key) {
  static const char* const kSecrets[] = {"password",    "cardpw",       "magic",
                                         "dailsession", "lendusername", "lendpassword"};
  for (const char* secret : kSecrets) {
    if (key == secret) return true;
  }
  return false;
}

// Request text as one log line shows it: control characters (line breaks,
// terminal escapes) could forge lines or act on the terminal reading it.
std::string Printable(const std::string& text) {
  std::string shown = text;
  for (char& c : shown) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) c = '?';
  }
  return shown;
}

std::vector<std::string> SplitServerList(const std::string& list) {
  std::vector<std::string> entries;
  std::string current;
  for (char c : list) {
    if (c == ';' || c == ',' || c == ' ' || c == '\t') {
      if (!current.empty()) entries.push_back(current);
      current.clear();
    } else {
      current += c;
    }
  }
  if (!current.empty()) entries.push_back(current);
  return entries;
}

}  // namespace

const AccountService::Script* AccountService::FindScript(const std::string& name) {
  static const Script kScripts[] = {
      {"loginin.php", &AccountService::SignIn, false},
      {"logout.php", &AccountService::SignOut, false},
      {"getversion.php", &AccountService::GetVersion, false},
      {"register.php", &AccountService::Register, false},
      {"recharge.php", &AccountService::Recharge, false},
      {"getdailupinfo.php", &AccountService::GetDailupInfo, true},
      {"releasedialupinfo.php", &AccountService::ReleaseDialupInfo, false},
      {"verification.php", &AccountService::Verification, false},
      {"getuserinfo.php", &AccountService::GetUserInfo, false},
      {"onlineratio.php", &AccountService::OnlineRatio, false},
      {"getserverinfo.php", &AccountService::GetServerInfo, true},
  };
  for (const Script& script : kScripts) {
    if (name == script.name) return &script;
  }
  return nullptr;
}

AccountService::AccountService(const SeedData& seed, ServiceOptions options)
    : options_(std::move(options)), seed_(seed) {
  for (const Account& account : seed_.accounts) accounts_[account.username].account = account;
  for (const PrepaidCard& card : seed_.cards) cards_[card.cardno].card = card;
  for (const ServerGroup& group : seed_.groups) {
    for (const VpnServer& server : group.servers) servers_[server.id] = server;
  }
  for (const auto& pool : seed_.pools) {
    pools_[pool.first].assign(pool.second.begin(), pool.second.end());
  }
}

void AccountService::SetListenAddresses(const std::vector<std::string>& addresses) {
  std::lock_guard<std::mutex> lock(mutex_);
  listenAddresses_ = addresses;
}

namespace {

// "http status 404": the client's words for a status other than 200.
std::string HttpStatusWords(int status) {
  return std::string(ProxyHelperControl::OutcomeName(AttemptOutcome::kHttpStatus)) + " " +
         std::to_string(status);
}

}  // namespace

HttpAnswer AccountService::Handle(const std::string& script, const std::string& rawBody) {
  HttpAnswer answer;
  const Script* entry = FindScript(script);
  if (entry == nullptr) {
    answer.status = 404;
    answer.body = "unknown script\n";
    Log(script, '-', nullptr, HttpStatusWords(404));
    return answer;
  }
  DecodedRequest request;
  const DecodeError error = DecodeRequest(rawBody, options_.keys, &request);
  if (error != DecodeError::kNone) {
    answer.status = 400;
    answer.body = std::string("bad request: ") + DescribeDecodeError(error) + "\n";
    const char shown = rawBody.empty() ? '-' : rawBody[0];
    Log(script, shown >= 0x21 && shown <= 0x7e ? shown : '?', nullptr,
        HttpStatusWords(400) + " (" + DescribeDecodeError(error) + ")");
    return answer;
  }

  char letter = 'Z';
  if (request.emptyKey) {
    // The client could not read a keyed answer either: it has no keys. An
    // unkeyed refusal is the one reply it can decode.
    const ProfileText reply = Refuse(kResultNoCipherKeys, "no cipher keys: call GetUserInfo first");
    answer.profile = reply.text();
    answer.result = reply.result();
  } else {
    std::lock_guard<std::mutex> lock(mutex_);
    const ProfileText reply = (this->*entry->handler)(request.fields);
    answer.profile = reply.text();
    answer.result = reply.result();
    // Keyed replies answer under the request's own letter; an unkeyed
    // request for credentials still gets them encrypted, under "A".
    if (entry->keyed) letter = request.letter == 'Z' ? 'A' : request.letter;
  }
  const std::string* item = options_.keys.ForLetter(letter);
  answer.body = EncodeReply(answer.profile, letter, item != nullptr ? *item : std::string(),
                            options_.compressThreshold);
  // The words the client's attempt trace will use for this answer.
  Log(script, request.letter, &request.fields,
      "result=" + std::to_string(answer.result) + ": " +
          ProxyHelperControl::OutcomeName(answer.result == kResultOk ? AttemptOutcome::kParsed
                                                                     : AttemptOutcome::kRefusedByService));
  return answer;
}

void AccountService::Log(const std::string& script, char letter, const FormFields* fields,
                         const std::string& outcome) const {
  if (!options_.log) return;
  std::string line = Printable(script);
  line += ' ';
  line += letter;
  if (fields != nullptr) {
    for (const auto& field : *fields) {
      line += ' ' + Printable(field.first) + '=' + (IsSecret(field.first) ? "***" : Printable(field.second));
    }
  }
  line += " -> " + outcome;
  options_.log(line);
}

void AccountService::LogUnserved(const std::string& script, const std::string& outcome) const {
  Log(script, '-', nullptr, outcome);
}

AccountService::AccountState* AccountService::Session(const FormFields& fields) {
  const auto it = accounts_.find(Field(fields, "username"));
  if (it == accounts_.end() || it->second.magic.empty()) return nullptr;
  if (it->second.magic != Field(fields, "magic")) return nullptr;
  return &it->second;
}

void AccountService::FreeLease(const Lease& lease) { pools_[lease.pool].push_back(lease.credential); }

std::string AccountService::LoginServerList() const {
  if (!options_.loginServers.empty()) return options_.loginServers;
  std::string list;
  for (const std::string& address : listenAddresses_) {
    if (!list.empty()) list += ';';
    list += address;
  }
  return list;
}

ProfileText AccountService::SignIn(const FormFields& fields) {
  if (const char* missing = FirstMissing(fields, {"username", "password"})) return MissingField(missing);
  const auto it = accounts_.find(Field(fields, "username"));
  if (it == accounts_.end() || it->second.account.password != Field(fields, "password")) {
    return Refuse(kResultBadCredentials, "wrong user name or password");
  }
  // One session per account: signing in again ends the earlier session.
  it->second.magic = RandomHex(kTokenLength);
  ProfileText reply = Accept();
  reply.AddItem("magic", it->second.magic);
  return reply;
}

ProfileText AccountService::SignOut(const FormFields& fields) {
  if (const char* missing = FirstMissing(fields, {"username", "magic"})) return MissingField(missing);
  AccountState* state = Session(fields);
  if (state == nullptr) return Refuse(kResultBadSession, "bad session: sign in again");
  state->magic.clear();
  // The client forgets its session here; leases it still held would
  // otherwise keep credentials out of the pool for good.
  for (auto it = leases_.begin(); it != leases_.end();) {
    if (it->second.username == state->account.username) {
      FreeLease(it->second);
      it = leases_.erase(it);
    } else {
      ++it;
    }
  }
  return Accept();
}

ProfileText AccountService::GetVersion(const FormFields&) {
  ProfileText reply = Accept();
  reply.AddItem("ver", seed_.version);
  return reply;
}

ProfileText AccountService::Register(const FormFields& fields) {
  if (const char* missing = FirstMissingOrEmpty(fields, {"username", "password"})) {
    return MissingField(missing);
  }
  const std::string& username = Field(fields, "username");
  if (accounts_.count(username) != 0) {
    return Refuse(kResultDuplicateAccount, "user name already registered");
  }
  AccountState& state = accounts_[username];
  state.account = seed_.newAccount;
  state.account.username = username;
  state.account.password = Field(fields, "password");
  return Accept();
}

ProfileText AccountService::Recharge(const FormFields& fields) {
  if (const char* missing = FirstMissing(fields, {"username", "password", "cardno", "cardpw"})) {
    return MissingField(missing);
  }
  const auto account = accounts_.find(Field(fields, "username"));
  if (account == accounts_.end() || account->second.account.password != Field(fields, "password")) {
    return Refuse(kResultBadCredentials, "wrong user name or password");
  }
  const auto card = cards_.find(Field(fields, "cardno"));
  if (card == cards_.end() || card->second.card.cardpw != Field(fields, "cardpw")) {
    return Refuse(kResultBadCard, "wrong card number or card password");
  }
  if (card->second.used) return Refuse(kResultBadCard, "card already used");
  int& balance = account->second.account.moneyleft;
  if (balance > INT_MAX - card->second.card.value) {
    // The balance travels as a 32-bit integer; keep the card for later.
    return Refuse(kResultBadCard, "balance would exceed its limit");
  }
  balance += card->second.card.value;
  card->second.used = true;
  ProfileText reply = Accept();
  reply.AddItem("moneyleft", balance);
  return reply;
}

ProfileText AccountService::GetDailupInfo(const FormFields& fields) {
  if (const char* missing = FirstMissing(fields, {"username", "magic", "vpnserverid"})) {
    return MissingField(missing);
  }
  int serverId = 0;
  if (!ParseDecimalInt(Field(fields, "vpnserverid"), &serverId)) return BadField("vpnserverid");
  AccountState* state = Session(fields);
  if (state == nullptr) return Refuse(kResultBadSession, "bad session: sign in again");
  if (servers_.count(serverId) == 0) {
    return Refuse(kResultUnknownServer, "unknown VPN server " + std::to_string(serverId));
  }
  // The server's own pool first, then the shared one.
  std::string poolKey = std::to_string(serverId);
  auto pool = pools_.find(poolKey);
  if (pool == pools_.end() || pool->second.empty()) {
    poolKey = kSharedPool;
    pool = pools_.find(poolKey);
  }
  if (pool == pools_.end() || pool->second.empty()) {
    return Refuse(kResultNoCredentials,
                  "no dial-up credentials free for VPN server " + std::to_string(serverId));
  }
  Lease lease;
  lease.username = state->account.username;
  lease.serverId = serverId;
  lease.pool = poolKey;
  lease.credential = pool->second.front();
  pool->second.pop_front();
  std::string token = RandomHex(kTokenLength);
  while (leases_.count(token) != 0) token = RandomHex(kTokenLength);
  leases_[token] = lease;

  ProfileText reply = Accept();
  reply.AddItem("lendusername", lease.credential.lendusername);
  reply.AddItem("lendpassword", lease.credential.lendpassword);
  reply.AddItem("dailsession", token);
  return reply;
}

ProfileText AccountService::ReleaseDialupInfo(const FormFields& fields) {
  if (const char* missing = FirstMissing(fields, {"username", "magic", "result", "dailsession"})) {
    return MissingField(missing);
  }
  int outcome = 0;
  if (!ParseDecimalInt(Field(fields, "result"), &outcome)) return BadField("result");
  AccountState* state = Session(fields);
  if (state == nullptr) return Refuse(kResultBadSession, "bad session: sign in again");
  const auto lease = leases_.find(Field(fields, "dailsession"));
  if (lease == leases_.end() || lease->second.username != state->account.username) {
    return Refuse(kResultBadLease, "no such lease");
  }
  if (outcome != kReportOnlyOutcome) {
    FreeLease(lease->second);
    leases_.erase(lease);
  }
  return Accept();
}

ProfileText AccountService::Verification(const FormFields& fields) {
  if (const char* missing =
          FirstMissing(fields, {"username", "magic", "dailsession", "lendusername", "vpnserverid"})) {
    return MissingField(missing);
  }
  int serverId = 0;
  if (!ParseDecimalInt(Field(fields, "vpnserverid"), &serverId)) return BadField("vpnserverid");
  AccountState* state = Session(fields);
  if (state == nullptr) return Refuse(kResultBadSession, "bad session: sign in again");
  const auto lease = leases_.find(Field(fields, "dailsession"));
  if (lease == leases_.end() || lease->second.username != state->account.username) {
    return Refuse(kResultBadLease, "no such lease");
  }
  if (lease->second.credential.lendusername != Field(fields, "lendusername")) {
    return Refuse(kResultBadLease, "lease was lent to another dial-up user");
  }
  if (lease->second.serverId != serverId) {
    return Refuse(kResultBadLease, "lease is for another VPN server");
  }
  return Accept();
}

ProfileText AccountService::GetUserInfo(const FormFields& fields) {
  if (const char* missing = FirstMissing(fields, {"username", "magic"})) return MissingField(missing);
  AccountState* state = Session(fields);
  if (state == nullptr) return Refuse(kResultBadSession, "bad session: sign in again");
  const Account& account = state->account;

  std::string levelText;
  for (const auto& level : seed_.serverLevels) {
    if (level.first == account.userlevel) levelText = level.second;
  }
  ProfileText reply = Accept();
  reply.BeginSection("userinfo");
  reply.AddItem("vpnpd", account.vpnpd);
  reply.AddItem("timeleft", account.timeleft);
  reply.AddItem("userlevel_desc", levelText);
  reply.AddItem("userlevel", account.userlevel);
  reply.AddItem("usermode", account.usermode);
  reply.AddItem("simuses", account.simuses);
  reply.AddItem("moneyleft", account.moneyleft);
  reply.AddItem("timetip", account.timetip);

  reply.BeginSection("serverlevel");
  for (const auto& level : seed_.serverLevels) reply.AddItem(std::to_string(level.first), level.second);

  reply.BeginSection("warning");
  reply.AddItem("tip", seed_.warning.tip);
  reply.AddItem("message", seed_.warning.message);
  reply.AddItem("url", seed_.warning.url);

  const std::string list = LoginServerList();
  std::string defaultServer = options_.defaultLoginServer;
  if (defaultServer.empty()) {
    const std::vector<std::string> entries = SplitServerList(list);
    if (!entries.empty()) defaultServer = entries.front();
  }
  reply.BeginSection("config");
  reply.AddItem("heartbeat_slot", seed_.heartbeatSlot);
  reply.AddItem("onlineratio_slot", seed_.onlineratioSlot);
  reply.AddItem("m1", options_.keys.m1);
  reply.AddItem("m2", options_.keys.m2);
  reply.AddItem("m3", options_.keys.m3);
  reply.AddItem("default_login_server", defaultServer);
  reply.AddItem("login_server", list);
  return reply;
}

ProfileText AccountService::OnlineRatio(const FormFields& fields) {
  if (const char* missing = FirstMissing(fields, {"username", "magic"})) return MissingField(missing);
  if (Session(fields) == nullptr) return Refuse(kResultBadSession, "bad session: sign in again");
  ProfileText reply = Accept();
  reply.BeginSection("ratio");
  for (const ServerGroup& group : seed_.groups) {
    for (const VpnServer& server : group.servers) {
      reply.AddItem(std::to_string(server.id), OnlineRatioPercent(server.id));
    }
  }
  return reply;
}

ProfileText AccountService::GetServerInfo(const FormFields& fields) {
  if (const char* missing = FirstMissing(fields, {"username", "magic"})) return MissingField(missing);
  if (Session(fields) == nullptr) return Refuse(kResultBadSession, "bad session: sign in again");
  ProfileText reply = Accept();
  for (const ServerGroup& group : seed_.groups) {
    reply.BeginSection(group.name);
    for (const VpnServer& server : group.servers) {
      reply.AddItem(std::to_string(server.id), FormatServerEntry(server));
    }
  }
  return reply;
}

}  // namespace devserver
