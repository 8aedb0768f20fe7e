// What one command tells its user: readable lines on stdout, or with --json a
// single JSON document; failures always as one line on stderr as well. The
// first failure decides the exit status. Messages on stderr go through
// Printable (they may quote the service); the JSON document keeps them as
// they are.
#pragma once

#include <functional>
#include <nlohmann/json.hpp>
#include <ostream>
#include <string>

#include "tools/cli/Console.h"

namespace proxycli {

class Report {
 public:
  // `compact` prints the JSON document on one line (the shell prints one
  // document per command).
  Report(Console& console, std::string command, bool json, bool compact = false);

  Report(const Report&) = delete;
  Report& operator=(const Report&) = delete;

  bool json() const { return json_; }
  Console& console() { return console_; }

  // Readable output; ignored in JSON mode.
  void Print(const std::string& text);
  // The command's fields of the JSON document.
  nlohmann::json& data() { return document_; }

  // A library operation failed with `result`: prints the code in hex, its
  // name and the service's text to stderr and records it.
  void Failure(const std::string& operation, int result, const std::string& errdesc);
  // A failure with a name of the tool's own choosing (a code the library
  // does not name, such as the local cache's -1) and an explanation.
  void Failure(const std::string& operation, int result, const std::string& name, const std::string& message);
  // Bad command line, configuration or input: exit status 2.
  void UsageError(const std::string& message);
  // A warning that does not change the outcome; --quiet keeps it off stderr
  // (the JSON document still lists it).
  void Warning(const std::string& message);

  // Takes over `other`'s failures and warnings, already shown by it, as if
  // they had happened here.
  void Adopt(const Report& other);

  bool failed() const { return exitStatus_ != 0; }
  int exitStatus() const { return exitStatus_; }

  // Writes the JSON document (JSON mode) and returns the exit status.
  int Finish();
  // As Finish, with the document written by `write`, handed the whole
  // document and DumpJson's indent: for one too big to build whole.
  using DocumentWriter = std::function<void(std::ostream& out, const nlohmann::json& document, int indent)>;
  int Finish(const DocumentWriter& write);

 private:
  void Record(int exitStatus, nlohmann::json error);

  Console& console_;
  bool json_;
  bool compact_;
  bool finished_ = false;
  int exitStatus_ = 0;
  nlohmann::json document_;
};

// Serialises without ever throwing on texts that are not UTF-8: the service
// sends narrow 8-bit texts, which JSON output shows with replacement
// characters.
std::string DumpJson(const nlohmann::json& document, int indent);

}  // namespace proxycli
