// The service's starting state, read from an INI seed file. The format is
// described at the top of seed.ini and in README.md.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "tools/devserver/Catalogue.h"

namespace devserver {

struct Account {
  std::string username;
  std::string password;
  int userlevel = 1;
  int moneyleft = 0;
  std::string timeleft;
  std::string vpnpd;
  int usermode = 0;
  int simuses = 1;
  int timetip = 0;
};

struct PrepaidCard {
  std::string cardno;
  std::string cardpw;
  int value = 0;
};

struct Credential {
  std::string lendusername;
  std::string lendpassword;
};

struct Warning {
  int tip = 0;
  std::string message;
  std::string url;
};

// Pool key of the credentials any server may lend.
constexpr const char kSharedPool[] = "shared";

struct SeedData {
  std::string version = "1.0.0";
  int heartbeatSlot = 60;
  int onlineratioSlot = 300;
  std::vector<std::pair<int, std::string>> serverLevels;  // seed order
  Warning warning;
  Account newAccount;  // field defaults for register.php
  std::vector<Account> accounts;
  std::vector<PrepaidCard> cards;
  std::vector<ServerGroup> groups;
  // Key: a server id in decimal, or kSharedPool.
  std::map<std::string, std::vector<Credential>> pools;
};

// Parses seed text into `seed` (starting from the defaults above). Returns
// false with a message naming the line, section or item at fault.
bool ParseSeed(const std::string& text, SeedData* seed, std::string* error);

// The seed.ini shipped with the source, compiled in.
const std::string& DefaultSeedText();

}  // namespace devserver
