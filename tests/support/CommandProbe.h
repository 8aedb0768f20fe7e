// A test seam over the exchange's command: CHttpCmd keeps the server it is
// at, its connect time-out and the raw reply to itself, and a test reads
// them through this subclass. Also sets a reply directly, to parse or store
// it without the network.
#pragma once

#include <string>

#include "transport/HttpCmd.h"
#include "transport/LocalCmd.h"
#include "transport/OperationContext.h"

namespace testsupport {

template <typename Command>
class Probed : public Command {
 public:
  using Command::Command;
  // A command of an operation of its own, started now.
  Probed(const std::string& script, int port) : Command(OperationContext::Begin(), script, port) {}
  explicit Probed(const std::string& script) : Command(OperationContext::Begin(), script) {}

  const std::string& Reply() const { return this->reply; }
  const std::string& Host() const { return this->host; }
  int Port() const { return this->port; }
  // "host:port"
  std::string Server() const { return this->host + ":" + std::to_string(this->port); }
  bool Secure() const { return this->secure; }
  const std::string& ScriptPath() const { return this->script; }
  int ConnectTimeout() const { return this->connectTimeout; }

  // The reply as though received: kept as is, or also parsed as Execute does.
  void SetReply(const std::string& raw) { this->reply = raw; }
  int Parse(const std::string& raw) {
    this->reply = raw;
    return this->ParseReply();
  }
  void MovePort(int by) { this->port += by; }
};

using ProbedCmd = Probed<CHttpCmd>;
using ProbedLocalCmd = Probed<CLocalCmd>;

// Sections flattened to "[name]key=value;..." lines, for comparing parses.
inline std::string Flatten(const CHttpCmd::SectionList& sections) {
  std::string out;
  for (const ProfileSection& section : sections) {
    out += "[" + section.GetSetionName() + "]";
    for (const ProfileItem& item : section.GetItems()) out += item.key + "=" + item.value + ";";
    out += "\n";
  }
  return out;
}

}  // namespace testsupport
