#include "tools/cli/SessionClient.h"

#include <algorithm>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <thread>
#include <type_traits>
#include <vector>

#include "facade/ConfigItems.h"
#include "tools/cli/Identity.h"
#include "tools/cli/ResultText.h"
#include "tools/cli/SessionSocket.h"

namespace proxycli {

namespace {

// A member of the type asked for, else `fallback`: an answer of the wrong
// shape is a bad answer, not an exception.
template <typename T>
T Field(const nlohmann::json& object, const char* key, T fallback) {
  const auto found = object.find(key);
  if (found == object.end()) return fallback;
  bool fits;
  if constexpr (std::is_same_v<T, bool>) {
    fits = found->is_boolean();
  } else if constexpr (std::is_same_v<T, std::string>) {
    fits = found->is_string();
  } else {
    fits = found->is_number_integer();
  }
  return fits ? found->template get<T>() : fallback;
}

enum class Asked { kAnswered, kNobody, kFailed };

// A status answer is a few lines; the catalogue's first line carries no
// records.
constexpr std::size_t kMaxStatusBytes = 1u << 20;
constexpr std::size_t kMaxCatalogueHeadBytes = 1u << 20;
// The library's own bound on the entries of one reply (GC_MAX_REPLY_ITEMS
// unset): no catalogue connect fetched can have more records.
constexpr std::size_t kMaxCatalogueRecords = proxyhelper::config::kDefaultMaxReplyItems;

// Why the running connect's `what` (at most `maxBytes`) did not come as a
// line; `late` says it for a time-out.
std::string ReadProblem(LineStatus status, const std::string& what, std::size_t maxBytes,
                        const std::string& late) {
  switch (status) {
    case LineStatus::kTooLong:
      return "the running connect's " + what + " is larger than " + std::to_string(maxBytes) + " bytes";
    case LineStatus::kTimeout:
      return late;
    case LineStatus::kClosed:
      return "the running connect's " + what + " ended early";
    default:
      return "reading the running connect's " + what + " failed";
  }
}

// Sends {"op": operation} to the connect listening at `path`, asking again
// while it answers "retry" (it is signing in or out, or busy) until it
// answers, is gone, or `patience` runs out; a connect that recovers a lost
// lease is waited for kRecoveryWait at most. With `rest`, the connection
// stays open there for the lines that follow the answer.
Asked AskAt(const std::string& path, const std::string& operation, std::size_t maxAnswer,
            SteadyClock::duration patience, nlohmann::json* answer, std::optional<LineChannel>* rest,
            std::string* error) {
  const std::string request = DumpJson({{"op", operation}}, -1) + "\n";
  const auto deadline = SteadyClock::now() + patience;
  const std::string late =
      "no answer from the running connect within " +
      std::to_string(std::chrono::duration_cast<std::chrono::seconds>(patience).count()) + " s";
  SteadyClock::time_point recoveringSince;  // the epoch: not recovering
  for (;;) {
    OwnedDescriptor socket;
    const DialStatus dialled = DialSessionSocket(path, &socket, error);
    if (dialled != DialStatus::kConnected)
      return dialled == DialStatus::kNobody ? Asked::kNobody : Asked::kFailed;
    LineChannel channel(std::move(socket));
    std::string line;
    LineStatus status = LineStatus::kClosed;
    // A connect that is leaving may drop the connection before reading it.
    if (WriteAllBefore(channel.fd(), request, std::min(deadline, SteadyClock::now() + kRequestReadTimeout))) {
      status = channel.Next(maxAnswer, deadline, &line);
    }
    if (status != LineStatus::kLine && status != LineStatus::kClosed) {
      *error = ReadProblem(status, "answer", maxAnswer, late);
      return Asked::kFailed;
    }
    if (status == LineStatus::kLine) {
      *answer = nlohmann::json::parse(line, nullptr, false);
      if (!answer->is_object()) {
        *error = "the running connect's answer is not a JSON object";
        return Asked::kFailed;
      }
      if (!Field(*answer, "retry", false)) {
        if (rest != nullptr) rest->emplace(std::move(channel));
        return Asked::kAnswered;
      }
      const std::string* recovering = StringField(*answer, "recovering");
      if (recovering == nullptr) {
        recoveringSince = SteadyClock::time_point();
      } else if (recoveringSince == SteadyClock::time_point()) {
        recoveringSince = SteadyClock::now();
      } else if (SteadyClock::now() - recoveringSince >= kRecoveryWait) {
        std::string reason;
        BytesFromJsonText(*recovering, &reason);
        *error = "the running connect lost its lease (" + reason + ") and has not leased again within " +
                 std::to_string(kRecoveryWait.count()) + " s; 'proxyhelper status' shows how it goes";
        return Asked::kFailed;
      }
    }
    if (SteadyClock::now() >= deadline) {
      *error = late;
      return Asked::kFailed;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

// Reports connect's answer as if this process had produced it.
void Replay(const nlohmann::json& answer, Report& report) {
  static const nlohmann::json kNone = nlohmann::json::object();
  // The document's own keys, which the report makes itself.
  static const std::set<std::string> kOwnKeys = {"command", "errors",      "warnings",
                                                 "ok",      "exit_status", "catalogue"};
  const nlohmann::json& data = answer.contains("data") && answer["data"].is_object() ? answer["data"] : kNone;
  for (const auto& field : data.items()) {
    if (kOwnKeys.count(field.key()) == 0) report.data()[field.key()] = field.value();
  }
  std::string text;
  const std::string* sent = StringField(answer, "text");
  if (sent != nullptr && BytesFromJsonText(*sent, &text)) report.Print(text);
  if (data.contains("warnings") && data["warnings"].is_array()) {
    for (const nlohmann::json& warning : data["warnings"]) {
      if (warning.is_string()) report.Warning(warning.get<std::string>());
    }
  }
  if (data.contains("errors") && data["errors"].is_array()) {
    for (const nlohmann::json& error : data["errors"]) {
      if (!error.is_object()) continue;
      const std::string operation = Field(error, "operation", std::string("connect"));
      const std::string errdesc = Field(error, "errdesc", std::string());
      if (error.contains("result") && error["result"].is_number_integer()) {
        const int result = error["result"].get<int>();
        report.Failure(operation, result, Field(error, "result_name", ResultName(result)), errdesc);
      } else if (operation == "usage") {
        report.UsageError(errdesc);
      } else {
        report.Failure(operation, -1, "failed", errdesc);
      }
    }
  }
  // An answer that claims a failure without naming one still fails here.
  if (!report.failed() && Field(answer, "exit_status", 0) != 0) {
    report.Failure("connect", -1, "failed", "the running connect reported a failure");
  }
}

// The same, to the connect for these servers and this user: its answer is
// replayed to `report`, and a failure to get one reported there.
Asked Ask(const Settings& settings, const std::string& operation, Report& report, nlohmann::json* answer,
          std::size_t maxAnswer = kMaxAnswerBytes, SteadyClock::duration patience = kAnswerTimeout,
          std::optional<LineChannel>* rest = nullptr) {
  if (settings.user.empty()) return Asked::kNobody;
  const SessionSocketPlace place = LocateSessionSocket(settings.servers, settings.user, /*create=*/false);
  if (place.kind == SessionSocketPlace::Kind::kUnsafe) {
    report.Warning("not looking for a running connect: " + place.problem);
    return Asked::kNobody;
  }
  if (place.kind != SessionSocketPlace::Kind::kUsable) return Asked::kNobody;
  std::string error;
  const Asked asked = AskAt(place.socketPath, operation, maxAnswer, patience, answer, rest, &error);
  if (asked == Asked::kFailed) report.Failure("connect", -1, "no answer", error);
  if (asked == Asked::kAnswered) Replay(*answer, report);
  return asked;
}

// A record line without escapes or bytes above 0x7F, the usual kind, read
// without a JSON document: ["KEY","VALUE"]. False for any other line.
bool PlainRecord(const std::string& line, std::string* key, std::string* value) {
  // Without escapes every quote delimits: exactly the four of two strings.
  const std::size_t middle = line.find("\",\"", 2);
  if (line.size() < 7 || line.compare(0, 2, "[\"") != 0 || line.compare(line.size() - 2, 2, "\"]") != 0 ||
      middle == std::string::npos || std::count(line.begin(), line.end(), '"') != 4 ||
      std::any_of(line.begin(), line.end(),
                  [](unsigned char byte) { return byte == '\\' || byte < 0x20 || byte >= 0x80; })) {
    return false;
  }
  key->assign(line, 2, middle - 2);
  value->assign(line, middle + 3, line.size() - 2 - (middle + 3));
  return true;
}

// The catalogue's lines after the answer (see SessionServer.h), record by
// record into `catalogue`, within the same bounds as a catalogue fetched
// here: kMaxAnswerBytes in all and kMaxCatalogueRecords records.
bool ReadCatalogue(LineChannel& channel, ServerCatalogue* catalogue, std::string* error) {
  auto fail = [error](std::string message) {
    *error = std::move(message);
    return false;
  };
  const auto deadline = SteadyClock::now() + kAnswerTimeout;
  std::size_t budget = kMaxAnswerBytes;
  std::vector<ServerInfo>* group = nullptr;
  std::size_t groups = 0;
  std::size_t records = 0;
  for (;;) {
    std::string line;
    const LineStatus status = channel.Next(budget, deadline, &line);
    if (status != LineStatus::kLine) {
      return fail(ReadProblem(status, "catalogue", kMaxAnswerBytes,
                              "the running connect's catalogue did not come within " +
                                  std::to_string(kAnswerTimeout.count()) + " s"));
    }
    budget -= std::min(budget, line.size() + 1);
    std::string key;
    std::string value;
    const bool plain = PlainRecord(line, &key, &value);
    const nlohmann::json entry = plain ? nlohmann::json() : nlohmann::json::parse(line, nullptr, false);
    if (plain || entry.is_array()) {
      const bool whole = plain || (entry.size() == 2 && entry[0].is_string() && entry[1].is_string() &&
                                   BytesFromJsonText(entry[0].get<std::string>(), &key) &&
                                   BytesFromJsonText(entry[1].get<std::string>(), &value));
      if (group == nullptr || !whole) return fail("the running connect sent a bad catalogue record");
      if (++records > kMaxCatalogueRecords) {
        return fail("the running connect's catalogue has more than " + std::to_string(kMaxCatalogueRecords) +
                    " records");
      }
      group->emplace_back(std::move(key), std::move(value));
      continue;
    }
    std::string name;
    const std::string* sentName = StringField(entry, "group");
    if (sentName != nullptr && BytesFromJsonText(*sentName, &name)) {
      group = &(*catalogue)[name];
      ++groups;
      continue;
    }
    const auto end = entry.find("end");
    if (end == entry.end() || !end->is_boolean())
      return fail("the running connect sent a bad catalogue line");
    if (!end->get<bool>()) {
      const std::string* errdesc = StringField(entry, "errdesc");
      return fail("the running connect could not send its catalogue: " +
                  (errdesc != nullptr ? *errdesc : std::string("no reason given")));
    }
    // The counts tell a whole catalogue from one cut short.
    if (Field(entry, "groups", std::size_t{0}) != groups ||
        Field(entry, "records", std::size_t{0}) != records)
      return fail("the running connect's catalogue does not add up");
    return true;
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

int Talk(const Settings& settings, Console& console, const std::string& operation, std::size_t maxAnswer,
         SteadyClock::duration patience) {
  Report report(console, operation, settings.json);
  std::string user;
  if (!ResolveUser(settings, report, &user)) return report.Finish();
  nlohmann::json answer;
  if (Ask(settings, operation, report, &answer, maxAnswer, patience) == Asked::kNobody)
    return NoConnect(settings, report);
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
    const std::string* sent = StringField(answer, "text");
    if (!answer.contains("data") || !answer["data"].is_object() || sent == nullptr ||
        !BytesFromJsonText(*sent, &lines)) {
      report.Warning("the connect at " + path + " sent a bad status");
      continue;
    }
    list.push_back(answer["data"]);
    text += (text.empty() ? "" : "\n") + lines;
  }
  if (list.empty()) console.err << "proxyhelper: no connect running\n";
  console.out << (settings.json ? DumpJson(list, 2) + "\n" : text);
  console.out.flush();
  return list.empty() ? kExitRefused : kExitOk;
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
  return Ask(settings, operation, report, &answer) != Asked::kNobody;
}

LentCatalogue CatalogueFromConnect(const Settings& settings, Report& report, ServerCatalogue* catalogue) {
  nlohmann::json answer;
  std::optional<LineChannel> lines;
  switch (Ask(settings, "servers", report, &answer, kMaxCatalogueHeadBytes, kAnswerTimeout, &lines)) {
    case Asked::kNobody:
      return LentCatalogue::kNoConnect;
    case Asked::kFailed:
      return LentCatalogue::kFailed;
    case Asked::kAnswered:
      break;
  }
  if (report.failed()) return LentCatalogue::kFailed;
  std::string error = "the running connect sent no usable catalogue";
  if (Field(answer, "catalogue", std::string()) == "lines" && lines &&
      ReadCatalogue(*lines, catalogue, &error))
    return LentCatalogue::kFetched;
  catalogue->clear();
  report.Failure("connect", -1, "bad answer", error);
  return LentCatalogue::kFailed;
}

int RunStatusCommand(const Settings& settings, Console& console) {
  if (settings.user.empty()) return ListConnects(settings, console);
  return Talk(settings, console, "status", kMaxStatusBytes, kStatusTimeout);
}

int RunDisconnectCommand(const Settings& settings, Console& console) {
  return Talk(settings, console, "disconnect", kMaxAnswerBytes, kAnswerTimeout);
}

}  // namespace proxycli
