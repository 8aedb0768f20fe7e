#include "tools/devserver/Seed.h"

#include <set>

#include "hostlib/quillon.h"
#include "tools/devserver/DecimalField.h"

namespace devserver {

namespace {

std::string Trim(const std::string& text) {
  const std::string::size_type begin = text.find_first_not_of(" \t");
  if (begin == std::string::npos) return std::string();
  const std::string::size_type end = text.find_last_not_of(" \t");
  return text.substr(begin, end - begin + 1);
}

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// The profile parser only says "no"; find the line it stumbled on so that
// the person editing the seed knows where to look.
int FirstMalformedLine(const std::string& text) {
  int number = 0;
  std::string::size_type pos = 0;
  while (pos < text.size()) {
    ++number;
    std::string::size_type end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.find('\0') != std::string::npos) return number;
    if (Trim(line).empty() || line[0] == ';' || line[0] == '#') continue;
    if (line[0] == '[' ? line.find(']') == std::string::npos : line.find('=') == std::string::npos) {
      return number;
    }
  }
  return 0;
}

class SeedReader {
 public:
  SeedReader(SeedData* seed, std::string* error) : seed_(seed), error_(error) {}

  bool Read(const ProfileSection& section) {
    section_ = Trim(section.GetSetionName());
    if (section_.empty()) return Fail("items must stand inside a [section]");
    if (section_ == "service") return ForEach(section, &SeedReader::ServiceItem);
    if (section_ == "serverlevel") return ForEach(section, &SeedReader::LevelItem);
    if (section_ == "warning") return ForEach(section, &SeedReader::WarningItem);
    if (section_ == "new_account") {
      account_ = &seed_->newAccount;
      return ForEach(section, &SeedReader::AccountItem);
    }
    if (StartsWith(section_, "account:")) return ReadAccount(section);
    if (StartsWith(section_, "card:")) return ReadCard(section);
    if (StartsWith(section_, "group:")) return ReadGroup(section);
    if (StartsWith(section_, "pool:")) return ReadPool(section);
    return Fail("unknown section");
  }

 private:
  using ItemReader = bool (SeedReader::*)(const std::string& key, const std::string& value);

  bool ForEach(const ProfileSection& section, ItemReader reader) {
    for (const ProfileItem& item : section) {
      if (!(this->*reader)(Trim(item.key), Trim(item.value))) return false;
    }
    return true;
  }

  bool Fail(const std::string& message) {
    *error_ = "[" + section_ + "]: " + message;
    return false;
  }
  bool BadItem(const std::string& key, const std::string& why) {
    return Fail("item \"" + key + "\": " + why);
  }
  bool Int(const std::string& key, const std::string& value, int* out) {
    return ParseDecimalInt(value, out) || BadItem(key, "not a decimal integer");
  }

  bool ServiceItem(const std::string& key, const std::string& value) {
    if (key == "version") {
      seed_->version = value;
      return true;
    }
    if (key == "heartbeat_slot") return Int(key, value, &seed_->heartbeatSlot);
    if (key == "onlineratio_slot") return Int(key, value, &seed_->onlineratioSlot);
    return BadItem(key, "unknown item");
  }

  bool LevelItem(const std::string& key, const std::string& value) {
    int level = 0;
    if (!Int(key, key, &level)) return false;
    for (auto& entry : seed_->serverLevels) {
      if (entry.first == level) return BadItem(key, "level given twice");
    }
    seed_->serverLevels.emplace_back(level, value);
    return true;
  }

  bool WarningItem(const std::string& key, const std::string& value) {
    if (key == "tip") return Int(key, value, &seed_->warning.tip);
    if (key == "message") {
      seed_->warning.message = value;
      return true;
    }
    if (key == "url") {
      seed_->warning.url = value;
      return true;
    }
    return BadItem(key, "unknown item");
  }

  bool AccountItem(const std::string& key, const std::string& value) {
    if (key == "password") {
      if (account_ == &seed_->newAccount) return BadItem(key, "not a default");
      account_->password = value;
      return true;
    }
    if (key == "userlevel") return Int(key, value, &account_->userlevel);
    if (key == "moneyleft") return Int(key, value, &account_->moneyleft);
    if (key == "usermode") return Int(key, value, &account_->usermode);
    if (key == "simuses") return Int(key, value, &account_->simuses);
    if (key == "timetip") return Int(key, value, &account_->timetip);
    if (key == "timeleft") {
      account_->timeleft = value;
      return true;
    }
    if (key == "vpnpd") {
      account_->vpnpd = value;
      return true;
    }
    return BadItem(key, "unknown item");
  }

  bool ReadAccount(const ProfileSection& section) {
    Account account = seed_->newAccount;
    account.username = Trim(section_.substr(8));
    if (account.username.empty()) return Fail("account without a user name");
    if (!usernames_.insert(account.username).second) return Fail("account given twice");
    account_ = &account;
    if (!ForEach(section, &SeedReader::AccountItem)) return false;
    if (account.password.empty()) return Fail("account without a password");
    seed_->accounts.push_back(account);
    return true;
  }

  bool ReadCard(const ProfileSection& section) {
    PrepaidCard card;
    card.cardno = Trim(section_.substr(5));
    if (card.cardno.empty()) return Fail("card without a number");
    if (!cardnos_.insert(card.cardno).second) return Fail("card given twice");
    bool hasValue = false;
    for (const ProfileItem& item : section) {
      const std::string key = Trim(item.key);
      const std::string value = Trim(item.value);
      if (key == "cardpw") {
        card.cardpw = value;
      } else if (key == "value") {
        if (!Int(key, value, &card.value)) return false;
        if (card.value <= 0) return BadItem(key, "must be positive");
        hasValue = true;
      } else {
        return BadItem(key, "unknown item");
      }
    }
    if (!hasValue) return Fail("card without a value");
    seed_->cards.push_back(card);
    return true;
  }

  bool ReadGroup(const ProfileSection& section) {
    const std::string name = Trim(section_.substr(6));
    if (name.empty()) return Fail("group without a name");
    ServerGroup* group = nullptr;
    for (ServerGroup& existing : seed_->groups) {
      if (existing.name == name) group = &existing;
    }
    if (group == nullptr) {
      seed_->groups.push_back(ServerGroup{name, {}});
      group = &seed_->groups.back();
    }
    for (const ProfileItem& item : section) {
      const std::string key = Trim(item.key);
      VpnServer server;
      if (!Int(key, key, &server.id)) return false;
      if (!serverIds_.insert(server.id).second) return BadItem(key, "server id given twice");
      if (!ParseServerEntry(Trim(item.value), &server)) {
        return BadItem(key, "expected <name>,<address>,<level>,<location>");
      }
      group->servers.push_back(server);
    }
    return true;
  }

  bool ReadPool(const ProfileSection& section) {
    std::string pool = Trim(section_.substr(5));
    int id = 0;
    if (pool != kSharedPool) {
      if (!ParseDecimalInt(pool, &id)) return Fail("pool must be a server id or \"shared\"");
      pool = std::to_string(id);
    }
    std::vector<Credential>& credentials = seed_->pools[pool];
    for (const ProfileItem& item : section) {
      Credential credential{Trim(item.key), Trim(item.value)};
      if (credential.lendusername.empty()) return Fail("credential without a user name");
      for (const Credential& existing : credentials) {
        if (existing.lendusername == credential.lendusername) {
          return BadItem(credential.lendusername, "given twice in this pool");
        }
      }
      credentials.push_back(credential);
    }
    return true;
  }

  SeedData* seed_;
  std::string* error_;
  std::string section_;
  Account* account_ = nullptr;
  std::set<std::string> usernames_;
  std::set<std::string> cardnos_;
  std::set<int> serverIds_;
};

}  // namespace

bool ParseSeed(const std::string& text, SeedData* seed, std::string* error) {
  CProfileFile profile;
  if (!profile.Load(text)) {
    const int line = FirstMalformedLine(text);
    *error = line > 0 ? "line " + std::to_string(line) + ": neither [section], key=value nor comment"
                      : "seed is empty or not profile text";
    return false;
  }
  SeedReader reader(seed, error);
  for (const ProfileSection& section : profile.GetSections()) {
    if (!reader.Read(section)) return false;
  }
  return true;
}

}  // namespace devserver
