// The CLI's subcommands, one row each: the command line (CLI11), the
// dispatch, the operations a running connect performs for other commands,
// and the test that holds the completion scripts and the man page to the
// same list all read this table.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tools/cli/Console.h"
#include "tools/cli/Settings.h"

namespace CLI {
class App;
}

namespace proxycli {

class Report;
class ServiceCalls;
struct Invocation;  // every subcommand's parsed options (Operations.cpp)

// What a row needs before its handler runs; the chain that provides it is
// written once (RunOperation).
enum class Needs {
  kNothing,  // the handler does it all
  kHost,     // the host library set up for this run: a Report and ServiceCalls
  kSession,  // also the user signed in (and signed out afterwards); a
             // running connect for the account performs it instead
};

struct Operation {
  const char* name;
  const char* help;
  Needs needs;
  // A running connect for the account performs it for this command (its
  // session would end if the command signed in itself).
  bool viaConnect;
  // Keys of the JSON document's "data" beside the common ones, for the
  // manual and tests; empty for rows that print no document of their own.
  std::vector<const char*> jsonFields;
  // Adds the subcommand's options, writing into `invocation`; may be null.
  void (*options)(CLI::App& command, Invocation& invocation);
  // kNothing rows: the whole run; the exit status.
  int (*run)(const Settings& settings, Console& console, Invocation& invocation);
  // kHost rows: the work once the host is set up.
  void (*withHost)(const Settings& settings, Console& console, Invocation& invocation, Report& report,
                   ServiceCalls& calls);
  // kSession rows: the work within a signed-in session, also called by a
  // running connect for a client that asked it to.
  bool (ServiceCalls::*inSession)();
};

// Every subcommand, in the order help lists them. Rows without a handler
// (help, config) are the command line's own, answered before settings are
// resolved.
const std::vector<Operation>& Operations();
// The row named `name`, or null.
const Operation* FindOperation(const std::string& name);

// Where one run's options are parsed into; `program` names the line editor's
// settings (argv[0]).
std::shared_ptr<Invocation> NewInvocation(const std::string& program);

// What `help` was asked to explain: subcommand, nested subcommand.
const std::vector<std::string>& HelpTopics(const Invocation& invocation);

// Runs a row with a handler, giving it what it needs first; the exit status.
int RunOperation(const Operation& row, const Settings& settings, Console& console, Invocation& invocation);

}  // namespace proxycli
