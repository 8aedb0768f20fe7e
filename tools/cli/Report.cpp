#include "tools/cli/Report.h"

#include <utility>

#include "tools/cli/Printable.h"
#include "tools/cli/ResultText.h"

namespace proxycli {

Report::Report(Console& console, std::string command, bool json, bool compact)
    : console_(console), json_(json), compact_(compact), document_(nlohmann::json::object()) {
  document_["command"] = std::move(command);
}

void Report::Print(const std::string& text) {
  if (!json_) console_.out << text;
}

void Report::Failure(const std::string& operation, int result, const std::string& errdesc) {
  Failure(operation, result, ResultName(result), errdesc);
}

void Report::Failure(const std::string& operation, int result, const std::string& name,
                     const std::string& message) {
  console_.err << "proxyhelper: " << operation << " failed: " << ResultHex(result) << " " << name;
  if (!message.empty()) console_.err << ": " << Printable(message);
  console_.err << "\n";
  nlohmann::json error = {{"operation", operation},
                          {"result", result},
                          {"result_hex", ResultHex(result)},
                          {"result_name", name},
                          {"errdesc", message}};
  Record(ExitStatusForResult(result), std::move(error));
}

void Report::UsageError(const std::string& message) {
  console_.err << "proxyhelper: " << Printable(message) << "\n";
  Record(kExitUsage, {{"operation", "usage"}, {"errdesc", message}});
}

void Report::Warning(const std::string& message) {
  if (!console_.quiet) console_.err << "proxyhelper: warning: " << Printable(message) << "\n";
  document_["warnings"].push_back(message);
}

void Report::Adopt(const Report& other) {
  if (exitStatus_ == 0) exitStatus_ = other.exitStatus_;
  for (const char* list : {"errors", "warnings"}) {
    const auto found = other.document_.find(list);
    if (found == other.document_.end()) continue;
    for (const nlohmann::json& entry : *found) document_[list].push_back(entry);
  }
}

void Report::Record(int exitStatus, nlohmann::json error) {
  if (exitStatus_ == 0) exitStatus_ = exitStatus;
  document_["errors"].push_back(std::move(error));
}

int Report::Finish() {
  return Finish([](std::ostream& out, const nlohmann::json& document, int indent) {
    out << DumpJson(document, indent) << "\n";
  });
}

int Report::Finish(const DocumentWriter& write) {
  if (json_ && !finished_) {
    document_["ok"] = exitStatus_ == 0;
    document_["exit_status"] = exitStatus_;
    if (!document_.contains("errors")) document_["errors"] = nlohmann::json::array();
    write(console_.out, document_, compact_ ? -1 : 2);
  }
  finished_ = true;
  console_.out.flush();
  return exitStatus_;
}

std::string DumpJson(const nlohmann::json& document, int indent) {
  return document.dump(indent, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace proxycli
