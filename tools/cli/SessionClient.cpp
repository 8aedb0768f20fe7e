#include "tools/cli/SessionClient.h"

#include <algorithm>
#include <memory>
#include <nlohmann/json.hpp>
#include <thread>
#include <vector>

#include "tools/cli/ResultText.h"
#include "tools/cli/SessionSocket.h"

namespace proxycli {

namespace {

enum class Asked { kAnswered, kNobody, kFailed };

const char kNoUser[] = "no user name: use --user, PROXYHELPER_USER or \"user\" in the configuration file";

// A status answer is a few lines; the catalogue's first line carries no
// records.
constexpr std::size_t kMaxStatusBytes = 1u << 20;
constexpr std::size_t kMaxCatalogueHeadBytes = 1u << 20;
// The library's own bound on the entries of one reply (GC_MAX_REPLY_ITEMS
// unset): no catalogue connect fetched can have more records.
constexpr std::size_t kMaxCatalogueRecords = 2000000;

// Sends {"op": operation} to the connect listening at `path`, asking again
// while it answers "retry" (it is signing in or out, or busy) until it
// answers, is gone, or `patience` runs out; a connect that recovers a lost
// lease is waited for kRecoveryWait at most. With `rest`, the connection
// stays open there for the lines that follow the answer.
Asked AskAt(const std::string& path, const std::string& operation, std::size_t maxAnswer,
            SteadyClock::duration patience, nlohmann::json* answer, std::unique_ptr<LineChannel>* rest,
            std::string* error) {
  const std::string request = DumpJson({{"op", operation}}, -1) + "\n";
  const auto start = SteadyClock::now();
  const auto deadline = start + patience;
  const std::string late =
      "no answer from the running connect within " +
      std::to_string(std::chrono::duration_cast<std::chrono::seconds>(patience).count()) + " s";
  bool recovering = false;
  SteadyClock::time_point recoveringSince;
  for (;;) {
    OwnedDescriptor socket;
    switch (DialSessionSocket(path, &socket, error)) {
      case DialStatus::kNobody:
        return Asked::kNobody;
      case DialStatus::kFailed:
        return Asked::kFailed;
      case DialStatus::kConnected:
        break;
    }
    LineChannel channel(std::move(socket));
    std::string line;
    LineStatus status = LineStatus::kClosed;
    // A connect that is leaving may drop the connection before reading it.
    if (WriteAllBefore(channel.fd(), request, std::min(deadline, SteadyClock::now() + kRequestReadTimeout))) {
      status = channel.Next(maxAnswer, deadline, &line);
    }
    switch (status) {
      case LineStatus::kLine:
        *answer = nlohmann::json::parse(line, nullptr, false);
        if (!answer->is_object()) {
          *error = "the running connect's answer is not a JSON object";
          return Asked::kFailed;
        }
        if (!answer->value("retry", false)) {
          if (rest != nullptr) rest->reset(new LineChannel(std::move(channel)));
          return Asked::kAnswered;
        }
        if (answer->contains("recovering") && (*answer)["recovering"].is_string()) {
          if (!recovering) recoveringSince = SteadyClock::now();
          recovering = true;
          if (SteadyClock::now() - recoveringSince >= kRecoveryWait) {
            std::string reason;
            BytesFromJsonText((*answer)["recovering"].get<std::string>(), &reason);
            *error = "the running connect lost its lease (" + reason + ") and has not leased again within " +
                     std::to_string(kRecoveryWait.count()) + " s; 'proxyhelper status' shows how it goes";
            return Asked::kFailed;
          }
        } else {
          recovering = false;
        }
        break;
      case LineStatus::kTooLong:
        *error = "the running connect's answer is larger than " + std::to_string(maxAnswer) + " bytes";
        return Asked::kFailed;
      case LineStatus::kTimeout:
        *error = late;
        return Asked::kFailed;
      case LineStatus::kFailed:
        *error = "reading the running connect's answer failed";
        return Asked::kFailed;
      case LineStatus::kClosed:
        break;
    }
    if (SteadyClock::now() >= deadline) {
      *error = late;
      return Asked::kFailed;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

// The same, to the connect for these servers and this user.
Asked Ask(const Settings& settings, const std::string& operation, Report& report, nlohmann::json* answer,
          std::string* error, std::size_t maxAnswer = kMaxAnswerBytes,
          SteadyClock::duration patience = kAnswerTimeout, std::unique_ptr<LineChannel>* rest = nullptr) {
  if (settings.user.empty()) return Asked::kNobody;
  const SessionSocketPlace place = LocateSessionSocket(settings.servers, settings.user, /*create=*/false);
  if (place.kind == SessionSocketPlace::Kind::kUnsafe) {
    report.Warning("not looking for a running connect: " + place.problem);
    return Asked::kNobody;
  }
  if (place.kind != SessionSocketPlace::Kind::kUsable) return Asked::kNobody;
  return AskAt(place.socketPath, operation, maxAnswer, patience, answer, rest, error);
}

// A record line without escapes or bytes above 0x7F, the usual kind, read
// without a JSON document: ["KEY","VALUE"]. False for any other line.
bool PlainRecord(const std::string& line, std::string* key, std::string* value) {
  if (line.size() < 7 || line.compare(0, 2, "[\"") != 0 || line.compare(line.size() - 2, 2, "\"]") != 0) {
    return false;
  }
  std::size_t quotes = 0;
  for (const char c : line) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte == '\\' || byte < 0x20 || byte >= 0x80) return false;
    quotes += byte == '"';
  }
  // Without escapes every quote delimits: exactly the four of two strings.
  const std::size_t middle = line.find("\",\"", 2);
  if (quotes != 4 || middle == std::string::npos) return false;
  key->assign(line, 2, middle - 2);
  value->assign(line, middle + 3, line.size() - 2 - (middle + 3));
  return true;
}

// The catalogue's lines after the answer (see SessionServer.h), record by
// record into `catalogue`, within the same bounds as a catalogue fetched
// here: kMaxAnswerBytes in all and kMaxCatalogueRecords records.
bool ReadCatalogue(LineChannel& channel, ServerCatalogue* catalogue, std::string* error) {
  const auto deadline = SteadyClock::now() + kAnswerTimeout;
  std::size_t budget = kMaxAnswerBytes;
  std::vector<ServerInfo>* group = nullptr;
  std::size_t groups = 0;
  std::size_t records = 0;
  for (;;) {
    std::string line;
    switch (channel.Next(budget, deadline, &line)) {
      case LineStatus::kLine:
        break;
      case LineStatus::kTooLong:
        *error =
            "the running connect's catalogue is larger than " + std::to_string(kMaxAnswerBytes) + " bytes";
        return false;
      case LineStatus::kTimeout:
        *error = "the running connect's catalogue did not come within " +
                 std::to_string(kAnswerTimeout.count()) + " s";
        return false;
      case LineStatus::kClosed:
        *error = "the running connect's catalogue ended early";
        return false;
      case LineStatus::kFailed:
        *error = "reading the running connect's catalogue failed";
        return false;
    }
    budget -= std::min(budget, line.size() + 1);
    std::string key;
    std::string value;
    const bool plain = PlainRecord(line, &key, &value);
    const nlohmann::json entry = plain ? nlohmann::json() : nlohmann::json::parse(line, nullptr, false);
    if (plain || entry.is_array()) {
      if (group == nullptr ||
          (!plain && (entry.size() != 2 || !entry[0].is_string() || !entry[1].is_string() ||
                      !BytesFromJsonText(entry[0].get<std::string>(), &key) ||
                      !BytesFromJsonText(entry[1].get<std::string>(), &value)))) {
        *error = "the running connect sent a bad catalogue record";
        return false;
      }
      if (++records > kMaxCatalogueRecords) {
        *error = "the running connect's catalogue has more than " + std::to_string(kMaxCatalogueRecords) +
                 " records";
        return false;
      }
      group->emplace_back(std::move(key), std::move(value));
      continue;
    }
    std::string name;
    if (entry.is_object() && entry.contains("group") && entry["group"].is_string() &&
        BytesFromJsonText(entry["group"].get<std::string>(), &name)) {
      group = &(*catalogue)[name];
      ++groups;
      continue;
    }
    if (entry.is_object() && entry.contains("end") && entry["end"].is_boolean()) {
      if (!entry["end"].get<bool>()) {
        *error =
            "the running connect could not send its catalogue: " +
            (entry.contains("errdesc") && entry["errdesc"].is_string() ? entry["errdesc"].get<std::string>()
                                                                       : std::string("no reason given"));
        return false;
      }
      // The counts tell a whole catalogue from one cut short.
      if (entry.value("groups", std::size_t{0}) != groups ||
          entry.value("records", std::size_t{0}) != records) {
        *error = "the running connect's catalogue does not add up";
        return false;
      }
      return true;
    }
    *error = "the running connect sent a bad catalogue line";
    return false;
  }
}

// Reports connect's answer as if this process had produced it.
void Replay(const nlohmann::json& answer, Report& report) {
  static const nlohmann::json kNone = nlohmann::json::object();
  const nlohmann::json& data = answer.contains("data") && answer["data"].is_object() ? answer["data"] : kNone;
  for (const auto& field : data.items()) {
    const std::string& key = field.key();
    if (key == "command" || key == "errors" || key == "warnings" || key == "ok" || key == "exit_status" ||
        key == "catalogue") {
      continue;
    }
    report.data()[key] = field.value();
  }
  std::string text;
  if (answer.contains("text") && answer["text"].is_string() &&
      BytesFromJsonText(answer["text"].get<std::string>(), &text)) {
    report.Print(text);
  }
  if (data.contains("warnings") && data["warnings"].is_array()) {
    for (const nlohmann::json& warning : data["warnings"]) {
      if (warning.is_string()) report.Warning(warning.get<std::string>());
    }
  }
  if (data.contains("errors") && data["errors"].is_array()) {
    for (const nlohmann::json& error : data["errors"]) {
      if (!error.is_object()) continue;
      const std::string operation = error.value("operation", std::string("connect"));
      const std::string errdesc = error.value("errdesc", std::string());
      if (error.contains("result") && error["result"].is_number_integer()) {
        const int result = error["result"].get<int>();
        report.Failure(operation, result, error.value("result_name", ResultName(result)), errdesc);
      } else if (operation == "usage") {
        report.UsageError(errdesc);
      } else {
        report.Failure(operation, -1, "failed", errdesc);
      }
    }
  }
  // An answer that claims a failure without naming one still fails here.
  if (!report.failed() && answer.value("exit_status", 0) != 0) {
    report.Failure("connect", -1, "failed", "the running connect reported a failure");
  }
}

// "no connect running" as status and disconnect report it: exit status 1.
int NoConnect(const Settings& settings, Report& report) {
  const std::string canonical = CanonicalServerList(settings.servers);
  const std::string message =
      "no connect running for " + settings.user + " on " + (canonical.empty() ? settings.servers : canonical);
  report.console().err << "proxyhelper: " << message << "\n";
  if (report.json()) {
    nlohmann::json document = report.data();
    document["running"] = false;
    document["ok"] = false;
    document["exit_status"] = kExitRefused;
    document["errors"].push_back({{"operation", document["command"]}, {"errdesc", message}});
    report.console().out << DumpJson(document, 2) << "\n";
  }
  report.console().out.flush();
  return kExitRefused;
}

int Talk(const Settings& settings, Console& console, const std::string& operation) {
  Report report(console, operation, settings.json);
  if (settings.user.empty()) {
    report.UsageError(kNoUser);
    return report.Finish();
  }
  nlohmann::json answer;
  std::string error;
  const bool status = operation == "status";
  switch (Ask(settings, operation, report, &answer, &error, status ? kMaxStatusBytes : kMaxAnswerBytes,
              status ? SteadyClock::duration(kStatusTimeout) : SteadyClock::duration(kAnswerTimeout))) {
    case Asked::kNobody:
      return NoConnect(settings, report);
    case Asked::kFailed:
      report.Failure("connect", -1, "no answer", error);
      break;
    case Asked::kAnswered:
      Replay(answer, report);
      break;
  }
  return report.Finish();
}

// `status` without a user: every connect of this user that answers, one
// after the other.
int ListConnects(const Settings& settings, Console& console) {
  Report report(console, "status", settings.json);
  std::string problem;
  const std::vector<std::string> sockets = ListSessionSockets(&problem);
  if (!problem.empty()) report.Warning("not looking for running connects: " + problem);
  nlohmann::json list = nlohmann::json::array();
  std::string text;
  for (const std::string& path : sockets) {
    nlohmann::json answer;
    std::string error;
    switch (AskAt(path, "status", kMaxStatusBytes, kStatusTimeout, &answer, nullptr, &error)) {
      case Asked::kNobody:  // a socket left behind by a connect that was killed
        continue;
      case Asked::kFailed:
        report.Warning("the connect at " + path + " did not answer: " + error);
        continue;
      case Asked::kAnswered:
        break;
    }
    std::string lines;
    if (!answer.contains("data") || !answer["data"].is_object() || !answer.contains("text") ||
        !answer["text"].is_string() || !BytesFromJsonText(answer["text"].get<std::string>(), &lines)) {
      report.Warning("the connect at " + path + " sent a bad status");
      continue;
    }
    list.push_back(answer["data"]);
    text += (text.empty() ? "" : "\n") + lines;
  }
  if (list.empty()) {
    console.err << "proxyhelper: no connect running\n";
    if (settings.json) console.out << "[]\n";
    console.out.flush();
    return kExitRefused;
  }
  if (settings.json) {
    console.out << DumpJson(list, 2) << "\n";
  } else {
    console.out << text;
  }
  console.out.flush();
  return kExitOk;
}

}  // namespace

std::string RefuseBesideConnect(const Settings& settings, const std::string& user,
                                const std::string& command) {
  if (user.empty()) return std::string();
  const SessionSocketPlace place = LocateSessionSocket(settings.servers, user, /*create=*/false);
  if (place.kind != SessionSocketPlace::Kind::kUsable) return std::string();
  OwnedDescriptor socket;
  std::string error;
  // Someone listening there is a connect of this user: the dial checked.
  if (DialSessionSocket(place.socketPath, &socket, &error) != DialStatus::kConnected) return std::string();
  return "a connect is running for " + user + " on " + place.servers + "; " + command +
         " would end its session: run 'proxyhelper disconnect' first, or use account/servers/ratio, "
         "which borrow it";
}

bool ForwardToConnect(const Settings& settings, const std::string& operation, Report& report) {
  nlohmann::json answer;
  std::string error;
  switch (Ask(settings, operation, report, &answer, &error)) {
    case Asked::kNobody:
      return false;
    case Asked::kFailed:
      report.Failure("connect", -1, "no answer", error);
      return true;
    case Asked::kAnswered:
      Replay(answer, report);
      return true;
  }
  return false;
}

LentCatalogue CatalogueFromConnect(const Settings& settings, Report& report, ServerCatalogue* catalogue) {
  nlohmann::json answer;
  std::string error;
  std::unique_ptr<LineChannel> lines;
  switch (Ask(settings, "servers", report, &answer, &error, kMaxCatalogueHeadBytes, kAnswerTimeout, &lines)) {
    case Asked::kNobody:
      return LentCatalogue::kNoConnect;
    case Asked::kFailed:
      report.Failure("connect", -1, "no answer", error);
      return LentCatalogue::kFailed;
    case Asked::kAnswered:
      break;
  }
  Replay(answer, report);
  if (report.failed()) return LentCatalogue::kFailed;
  if (answer.value("catalogue", std::string()) != "lines" || lines == nullptr) {
    error = "the running connect sent no usable catalogue";
  } else if (ReadCatalogue(*lines, catalogue, &error)) {
    return LentCatalogue::kFetched;
  }
  catalogue->clear();
  report.Failure("connect", -1, "bad answer", error);
  return LentCatalogue::kFailed;
}

int RunStatusCommand(const Settings& settings, Console& console) {
  if (settings.user.empty()) return ListConnects(settings, console);
  return Talk(settings, console, "status");
}

int RunDisconnectCommand(const Settings& settings, Console& console) {
  return Talk(settings, console, "disconnect");
}

}  // namespace proxycli
