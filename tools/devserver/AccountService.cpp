#include "tools/devserver/AccountService.h"

#include <chrono>
#include <ctime>
#include <initializer_list>
#include <utility>

#include "facade/Records.h"
#include "tools/devserver/DecimalField.h"
#include "tools/devserver/RandomText.h"
#include "tools/devserver/ResultCodes.h"
#include "wire/Request.h"
#include "wire/Vocabulary.h"

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

// A JSON string literal of `text`: control characters escaped, and bytes
// that are not UTF-8 replaced by U+FFFD, so every line stays valid JSON.
std::string JsonString(const std::string& text) {
  static const char kHex[] = "0123456789abcdef";
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size();) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte == '"' || byte == '\\') {
      out += '\\';
      out += static_cast<char>(byte);
      ++i;
    } else if (byte < 0x20 || byte == 0x7f) {
      out += "\\u00";
      out += kHex[byte >> 4];
      out += kHex[byte & 0xf];
      ++i;
    } else if (byte < 0x80) {
      out += static_cast<char>(byte);
      ++i;
    } else {
      // Length and smallest value of the sequence this lead byte starts.
      std::size_t length = 0;
      std::uint32_t minimum = 0;
      std::uint32_t value = 0;
      if ((byte & 0xe0) == 0xc0) {
        length = 2, minimum = 0x80, value = byte & 0x1f;
      } else if ((byte & 0xf0) == 0xe0) {
        length = 3, minimum = 0x800, value = byte & 0x0f;
      } else if ((byte & 0xf8) == 0xf0) {
        length = 4, minimum = 0x10000, value = byte & 0x07;
      }
      bool valid = length != 0 && i + length <= text.size();
      for (std::size_t k = 1; valid && k < length; ++k) {
        const auto next = static_cast<unsigned char>(text[i + k]);
        valid = (next & 0xc0) == 0x80;
        value = (value << 6) | (next & 0x3f);
      }
      valid = valid && value >= minimum && value <= 0x10ffff && (value < 0xd800 || value > 0xdfff);
      if (valid) {
        out.append(text, i, length);
        i += length;
      } else {
        out += "\xef\xbf\xbd";
        ++i;
      }
    }
  }
  out += '"';
  return out;
}

// "2024-05-01T12:00:00Z".
std::string UtcTime(std::int64_t seconds) {
  const std::time_t time = static_cast<std::time_t>(seconds);
  std::tm parts{};
  if (gmtime_r(&time, &parts) == nullptr) return std::to_string(seconds);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return text;
}

constexpr const char kBadSession[] = "bad session: sign in again";
constexpr std::int64_t kRateWindowSeconds = 60;

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
    : options_(std::move(options)), seed_(seed), keys_(options_.keys) {
  for (const ServerGroup& group : seed_.groups) {
    for (const VpnServer& server : group.servers) servers_[server.id] = server;
  }
  StoreOptions storeOptions;
  storeOptions.busyTimeoutMs = options_.storeBusyTimeoutMs;
  std::string error;
  std::unique_ptr<Store> store = OpenStore(options_.store, storeOptions, &error);
  if (store == nullptr) {
    startError_ = error;
    return;
  }
  // Keys first: an instance with the wrong keys must not touch the store.
  switch (store->SettleKeys(options_.keys, options_.keysFromStore, &keys_, &error)) {
    case StoreStatus::kOk:
      break;
    case StoreStatus::kConflict:
      startError_ = "the cipher keys given differ from those stored in " + options_.store +
                    "; give the stored keys, or none to use them";
      return;
    default:
      startError_ = options_.store + ": cannot read the cipher keys: " + error;
      return;
  }
  // A seeded store keeps its data: the seed only fills a new one.
  const StoreStatus seeded = store->ImportSeed(seed_, &error);
  if (seeded != StoreStatus::kOk && seeded != StoreStatus::kConflict) {
    startError_ = options_.store + ": cannot import the seed: " + error;
    return;
  }
  store_ = std::move(store);
}

std::unique_ptr<AccountService> AccountService::Open(const SeedData& seed, ServiceOptions options,
                                                     std::string* error) {
  auto service = std::make_unique<AccountService>(seed, std::move(options));
  if (!service->ok()) {
    *error = service->error();
    return nullptr;
  }
  return service;
}

void AccountService::SetListenAddresses(const std::vector<std::string>& addresses) {
  std::lock_guard<std::mutex> lock(mutex_);
  listenAddresses_ = addresses;
}

bool AccountService::Healthy() const { return store_ != nullptr && store_->Ping(); }

std::int64_t AccountService::Now() const {
  if (options_.clock) return options_.clock();
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

namespace {

// "http status 404": the client's words for a status other than 200.
std::string HttpStatusWords(int status) {
  return std::string(AttemptOutcomeName(AttemptOutcome::kHttpStatus)) + " " + std::to_string(status);
}

}  // namespace

HttpAnswer AccountService::Handle(const std::string& script, const std::string& rawBody) {
  return Handle(script, rawBody, std::string());
}

HttpAnswer AccountService::Handle(const std::string& script, const std::string& rawBody,
                                  const std::string& peer) {
  HttpAnswer answer;
  const Script* entry = FindScript(script);
  if (entry == nullptr) {
    answer.status = 404;
    answer.body = "unknown script\n";
    Log(peer, script, '-', nullptr, HttpStatusWords(404));
    return answer;
  }
  wire::DecodedRequest request;
  const wire::DecodeError error = wire::DecodeRequest(rawBody, keys_, &request);
  if (error != wire::DecodeError::kNone) {
    answer.status = 400;
    answer.body = std::string("bad request: ") + wire::DescribeDecodeError(error) + "\n";
    const char shown = rawBody.empty() ? '-' : rawBody[0];
    Log(peer, script, shown >= 0x21 && shown <= 0x7e ? shown : '?', nullptr,
        HttpStatusWords(400) + " (" + wire::DescribeDecodeError(error) + ")");
    return answer;
  }
  // Answers other than a reply: the client sees a failed attempt and moves on.
  const auto httpError = [&](int status, const std::string& text) {
    answer.status = status;
    answer.body = text + "\n";
    Log(peer, script, request.letter, &request.fields, HttpStatusWords(status));
    return answer;
  };

  char letter = 'Z';
  if (request.emptyKey) {
    // The client could not read a keyed answer either: it has no keys. An
    // unkeyed refusal is the one reply it can decode.
    const ProfileText reply = Refuse(kResultNoCipherKeys, "no cipher keys: call GetUserInfo first");
    answer.profile = reply.text();
    answer.result = reply.result();
  } else {
    if (store_ == nullptr) return httpError(503, "service unavailable: " + startError_);
    if (entry->handler == &AccountService::Register && !AdmitRegistration(peer)) {
      return httpError(429, "too many registrations from this address: try again in a minute");
    }
    Outcome outcome;
    const std::string tooLong = OverLongField(request.fields);
    if (!tooLong.empty()) {
      outcome.reply = Refuse(kResultBadRequest, tooLong);
    } else {
      outcome = (this->*entry->handler)(request.fields);
    }
    if (outcome.storeFailed) return httpError(503, "service unavailable: the store failed");
    answer.profile = outcome.reply.text();
    answer.result = outcome.reply.result();
    // Keyed replies answer under the request's own letter; an unkeyed
    // request for credentials still gets them encrypted, under "A".
    if (entry->keyed) letter = request.letter == 'Z' ? 'A' : request.letter;
  }
  const std::string* item = keys_.ForLetter(letter);
  answer.body = wire::EncodeReply(answer.profile, letter, item != nullptr ? *item : std::string(),
                                  options_.compressThreshold);
  // The words the client's attempt trace will use for this answer.
  Log(peer, script, request.letter, &request.fields,
      "result=" + std::to_string(answer.result) + ": " +
          AttemptOutcomeName(answer.result == kResultOk ? AttemptOutcome::kParsed
                                                        : AttemptOutcome::kRefusedByService));
  return answer;
}

std::string AccountService::OverLongField(const FormFields& fields) const {
  for (const auto& field : fields) {
    const std::string& key = field.first;
    std::size_t limit = options_.maxField;
    if (key == "username") {
      limit = options_.maxName;
    } else if (key == "password" || key == "cardpw") {
      limit = options_.maxPassword;
    }
    if (field.second.size() > limit) {
      return "bad field: " + key + " is too long (over " + std::to_string(limit) + " bytes)";
    }
  }
  return std::string();
}

bool AccountService::AdmitRegistration(const std::string& peer) {
  if (options_.registerRate <= 0 || peer.empty()) return true;
  const std::int64_t windowStart = Now() - kRateWindowSeconds;
  std::lock_guard<std::mutex> lock(mutex_);
  // Now and then drop the peers that went quiet, so the table stays small.
  if (++registrationCalls_ % 1024 == 0) {
    for (auto it = registrations_.begin(); it != registrations_.end();) {
      it = it->second.empty() || it->second.back() <= windowStart ? registrations_.erase(it) : std::next(it);
    }
  }
  std::deque<std::int64_t>& times = registrations_[peer];
  while (!times.empty() && times.front() <= windowStart) times.pop_front();
  if (times.size() >= static_cast<std::size_t>(options_.registerRate)) return false;
  times.push_back(windowStart + kRateWindowSeconds);
  return true;
}

void AccountService::Log(const std::string& peer, const std::string& script, char letter,
                         const FormFields* fields, const std::string& outcome) const {
  if (!options_.log) return;
  if (options_.logFormat == LogFormat::kJson) {
    std::string line = "{\"time\":" + JsonString(UtcTime(Now())) + ",\"peer\":" + JsonString(peer) +
                       ",\"script\":" + JsonString(script) +
                       ",\"letter\":" + JsonString(std::string(1, letter));
    if (fields != nullptr) {
      line += ",\"fields\":{";
      bool first = true;
      for (const auto& field : *fields) {
        if (!first) line += ',';
        first = false;
        line += JsonString(field.first) + ':' + JsonString(IsSecret(field.first) ? "***" : field.second);
      }
      line += '}';
    }
    line += ",\"outcome\":" + JsonString(outcome) + '}';
    options_.log(line);
    return;
  }
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
  Log(std::string(), script, '-', nullptr, outcome);
}

std::string AccountService::LoginServerList() const {
  if (!options_.loginServers.empty()) return options_.loginServers;
  std::lock_guard<std::mutex> lock(mutex_);
  std::string list;
  for (const std::string& address : listenAddresses_) {
    if (!list.empty()) list += ';';
    list += address;
  }
  return list;
}

bool AccountService::ExpireSilentLeases() {
  const std::int64_t silence =
      static_cast<std::int64_t>(options_.leaseMissedHeartbeats) * seed_.heartbeatSlot;
  if (silence <= 0) return true;
  return store_->ExpireLeases(Now() - silence, nullptr, nullptr) == StoreStatus::kOk;
}

AccountService::Outcome AccountService::Reply(ProfileText reply) {
  Outcome outcome;
  outcome.reply = std::move(reply);
  return outcome;
}

AccountService::Outcome AccountService::StoreFailed() {
  Outcome outcome;
  outcome.storeFailed = true;
  return outcome;
}

std::optional<AccountService::Outcome> AccountService::RequirePassword(const FormFields& fields,
                                                                       Account* account) {
  const StoreStatus found = store_->FindAccount(Field(fields, "username"), account, nullptr);
  if (found == StoreStatus::kUnavailable) return StoreFailed();
  if (found != StoreStatus::kOk || account->password != Field(fields, "password")) {
    return Reply(Refuse(kResultBadCredentials, "wrong user name or password"));
  }
  return std::nullopt;
}

std::optional<AccountService::Outcome> AccountService::RequireSession(const FormFields& fields,
                                                                      Account* account) {
  const StoreStatus live =
      store_->CheckSession(Field(fields, "username"), Field(fields, "magic"), Now(), account, nullptr);
  if (live == StoreStatus::kUnavailable) return StoreFailed();
  if (live != StoreStatus::kOk) return Reply(Refuse(kResultBadSession, kBadSession));
  return std::nullopt;
}

AccountService::Outcome AccountService::SignIn(const FormFields& fields) {
  if (const char* missing = FirstMissing(fields, {"username", "password"}))
    return Reply(MissingField(missing));
  Account account;
  if (std::optional<Outcome> refused = RequirePassword(fields, &account)) return *refused;
  // One session per account: signing in again ends the earlier session.
  SessionRecord session;
  session.username = account.username;
  session.token = RandomHex(kTokenLength);
  session.machineId = Field(fields, "mid");
  session.expiresAt = Now() + options_.sessionSeconds;
  const StoreStatus opened = store_->OpenSession(session, nullptr);
  if (opened == StoreStatus::kUnavailable) return StoreFailed();
  if (opened != StoreStatus::kOk) return Reply(Refuse(kResultBadCredentials, "wrong user name or password"));
  ProfileText reply = Accept();
  reply.AddItem("magic", session.token);
  return Reply(std::move(reply));
}

AccountService::Outcome AccountService::SignOut(const FormFields& fields) {
  if (const char* missing = FirstMissing(fields, {"username", "magic"})) return Reply(MissingField(missing));
  // The client forgets its session here; leases it still held would
  // otherwise keep credentials out of the pool until they expire.
  const StoreStatus closed =
      store_->CloseSession(Field(fields, "username"), Field(fields, "magic"), Now(), nullptr);
  if (closed == StoreStatus::kUnavailable) return StoreFailed();
  if (closed != StoreStatus::kOk) return Reply(Refuse(kResultBadSession, kBadSession));
  return Reply(Accept());
}

AccountService::Outcome AccountService::GetVersion(const FormFields&) {
  ProfileText reply = Accept();
  reply.AddItem("ver", seed_.version);
  return Reply(std::move(reply));
}

AccountService::Outcome AccountService::Register(const FormFields& fields) {
  if (const char* missing = FirstMissingOrEmpty(fields, {"username", "password"})) {
    return Reply(MissingField(missing));
  }
  Account account = seed_.newAccount;
  account.username = Field(fields, "username");
  account.password = Field(fields, "password");
  const StoreStatus created = store_->CreateAccount(account, nullptr);
  if (created == StoreStatus::kUnavailable) return StoreFailed();
  if (created != StoreStatus::kOk)
    return Reply(Refuse(kResultDuplicateAccount, "user name already registered"));
  return Reply(Accept());
}

AccountService::Outcome AccountService::Recharge(const FormFields& fields) {
  if (const char* missing = FirstMissing(fields, {"username", "password", "cardno", "cardpw"})) {
    return Reply(MissingField(missing));
  }
  Account account;
  if (std::optional<Outcome> refused = RequirePassword(fields, &account)) return *refused;
  int balance = 0;
  switch (store_->RedeemCard(account.username, Field(fields, "cardno"), Field(fields, "cardpw"), Now(),
                             &balance, nullptr)) {
    case StoreStatus::kOk:
      break;
    case StoreStatus::kNotFound:
      return Reply(Refuse(kResultBadCard, "wrong card number or card password"));
    case StoreStatus::kConflict:
      return Reply(Refuse(kResultBadCard, "card already used"));
    case StoreStatus::kRefused:
      // The balance travels as a 32-bit integer; keep the card for later.
      return Reply(Refuse(kResultBadCard, "balance would exceed its limit"));
    default:
      return StoreFailed();
  }
  ProfileText reply = Accept();
  reply.AddItem("moneyleft", balance);
  return Reply(std::move(reply));
}

AccountService::Outcome AccountService::GetDailupInfo(const FormFields& fields) {
  if (const char* missing = FirstMissing(fields, {"username", "magic", "vpnserverid"})) {
    return Reply(MissingField(missing));
  }
  int serverId = 0;
  if (!ParseDecimalInt(Field(fields, "vpnserverid"), &serverId)) return Reply(BadField("vpnserverid"));
  if (!ExpireSilentLeases()) return StoreFailed();
  Account account;
  if (std::optional<Outcome> refused = RequireSession(fields, &account)) return *refused;
  if (servers_.count(serverId) == 0) {
    return Reply(Refuse(kResultUnknownServer, "unknown VPN server " + std::to_string(serverId)));
  }
  LeaseRecord lease;
  lease.username = account.username;
  lease.serverId = serverId;
  lease.lastHandshake = Now();
  StoreStatus lent = StoreStatus::kConflict;
  // 128 random bits rarely collide; a few fresh tokens settle it.
  for (int attempt = 0; attempt < 4 && lent == StoreStatus::kConflict; ++attempt) {
    lease.token = RandomHex(kTokenLength);
    lent = store_->AcquireLease(Field(fields, "magic"), Now(), &lease, nullptr);
  }
  switch (lent) {
    case StoreStatus::kOk:
      break;
    case StoreStatus::kNotFound:  // signed out meanwhile
      return Reply(Refuse(kResultBadSession, kBadSession));
    case StoreStatus::kRefused:
      return Reply(Refuse(kResultNoCredentials,
                          "no dial-up credentials free for VPN server " + std::to_string(serverId)));
    default:
      return StoreFailed();
  }
  ProfileText reply = Accept();
  reply.AddItem("lendusername", lease.credential.lendusername);
  reply.AddItem("lendpassword", lease.credential.lendpassword);
  reply.AddItem("dailsession", lease.token);
  return Reply(std::move(reply));
}

AccountService::Outcome AccountService::ReleaseDialupInfo(const FormFields& fields) {
  if (const char* missing = FirstMissing(fields, {"username", "magic", "result", "dailsession"})) {
    return Reply(MissingField(missing));
  }
  int outcome = 0;
  if (!ParseDecimalInt(Field(fields, "result"), &outcome)) return Reply(BadField("result"));
  if (!ExpireSilentLeases()) return StoreFailed();
  Account account;
  if (std::optional<Outcome> refused = RequireSession(fields, &account)) return *refused;
  const std::string& token = Field(fields, "dailsession");
  StoreStatus status;
  if (outcome == kReportOnlyOutcome) {
    LeaseRecord lease;
    status = store_->FindLease(token, &lease, nullptr);
    if (status == StoreStatus::kOk && lease.username != account.username) status = StoreStatus::kNotFound;
  } else {
    status = store_->ReleaseLease(token, account.username, nullptr);
  }
  if (status == StoreStatus::kUnavailable) return StoreFailed();
  if (status != StoreStatus::kOk) return Reply(Refuse(kResultBadLease, "no such lease"));
  return Reply(Accept());
}

AccountService::Outcome AccountService::Verification(const FormFields& fields) {
  if (const char* missing =
          FirstMissing(fields, {"username", "magic", "dailsession", "lendusername", "vpnserverid"})) {
    return Reply(MissingField(missing));
  }
  int serverId = 0;
  if (!ParseDecimalInt(Field(fields, "vpnserverid"), &serverId)) return Reply(BadField("vpnserverid"));
  if (!ExpireSilentLeases()) return StoreFailed();
  Account account;
  if (std::optional<Outcome> refused = RequireSession(fields, &account)) return *refused;
  const std::string& token = Field(fields, "dailsession");
  LeaseRecord lease;
  const StoreStatus found = store_->FindLease(token, &lease, nullptr);
  if (found == StoreStatus::kUnavailable) return StoreFailed();
  if (found != StoreStatus::kOk || lease.username != account.username) {
    return Reply(Refuse(kResultBadLease, "no such lease"));
  }
  if (lease.credential.lendusername != Field(fields, "lendusername")) {
    return Reply(Refuse(kResultBadLease, "lease was lent to another dial-up user"));
  }
  if (lease.serverId != serverId) return Reply(Refuse(kResultBadLease, "lease is for another VPN server"));
  // The handshake that keeps the lease from expiring.
  const StoreStatus touched = store_->TouchLease(token, account.username, Now(), nullptr);
  if (touched == StoreStatus::kUnavailable) return StoreFailed();
  if (touched != StoreStatus::kOk) return Reply(Refuse(kResultBadLease, "no such lease"));
  return Reply(Accept());
}

AccountService::Outcome AccountService::GetUserInfo(const FormFields& fields) {
  if (const char* missing = FirstMissing(fields, {"username", "magic"})) return Reply(MissingField(missing));
  Account account;
  if (std::optional<Outcome> refused = RequireSession(fields, &account)) return *refused;

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
  reply.AddItem("m1", keys_.m1);
  reply.AddItem("m2", keys_.m2);
  reply.AddItem("m3", keys_.m3);
  reply.AddItem("default_login_server", defaultServer);
  reply.AddItem("login_server", list);
  return Reply(std::move(reply));
}

AccountService::Outcome AccountService::OnlineRatio(const FormFields& fields) {
  if (const char* missing = FirstMissing(fields, {"username", "magic"})) return Reply(MissingField(missing));
  Account account;
  if (std::optional<Outcome> refused = RequireSession(fields, &account)) return *refused;
  ProfileText reply = Accept();
  reply.BeginSection("ratio");
  for (const ServerGroup& group : seed_.groups) {
    for (const VpnServer& server : group.servers) {
      reply.AddItem(std::to_string(server.id), OnlineRatioPercent(server.id));
    }
  }
  return Reply(std::move(reply));
}

AccountService::Outcome AccountService::GetServerInfo(const FormFields& fields) {
  if (const char* missing = FirstMissing(fields, {"username", "magic"})) return Reply(MissingField(missing));
  Account account;
  if (std::optional<Outcome> refused = RequireSession(fields, &account)) return *refused;
  ProfileText reply = Accept();
  for (const ServerGroup& group : seed_.groups) {
    reply.BeginSection(group.name);
    for (const VpnServer& server : group.servers) {
      reply.AddItem(std::to_string(server.id), FormatServerEntry(server));
    }
  }
  return Reply(std::move(reply));
}

}  // namespace devserver
