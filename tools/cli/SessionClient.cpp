#include "tools/cli/SessionClient.h"

#include <algorithm>
#include <nlohmann/json.hpp>
#include <thread>

#include "tools/cli/ResultText.h"
#include "tools/cli/SessionSocket.h"

namespace proxycli {

namespace {

enum class Asked { kAnswered, kNobody, kFailed };

const char kNoUser[] = "no user name: use --user, PROXYHELPER_USER or \"user\" in the configuration file";

// Sends {"op": operation} to the connect for these servers and this user,
// asking again while it answers "retry" (it is signing in or out) until it
// answers or is gone.
Asked Ask(const Settings& settings, const std::string& operation, Report& report, nlohmann::json* answer,
          std::string* error) {
  if (settings.user.empty()) return Asked::kNobody;
  const SessionSocketPlace place = LocateSessionSocket(settings.servers, settings.user, /*create=*/false);
  if (place.kind == SessionSocketPlace::Kind::kUnsafe) {
    report.Warning("not looking for a running connect: " + place.problem);
    return Asked::kNobody;
  }
  if (place.kind != SessionSocketPlace::Kind::kUsable) return Asked::kNobody;

  const std::string request = DumpJson({{"op", operation}}, -1) + "\n";
  const auto deadline = SteadyClock::now() + kAnswerTimeout;
  const std::string late =
      "no answer from the running connect within " + std::to_string(kAnswerTimeout.count()) + " s";
  for (;;) {
    OwnedDescriptor socket;
    switch (DialSessionSocket(place.socketPath, &socket, error)) {
      case DialStatus::kNobody:
        return Asked::kNobody;
      case DialStatus::kFailed:
        return Asked::kFailed;
      case DialStatus::kConnected:
        break;
    }
    std::string line;
    LineStatus status = LineStatus::kClosed;
    // A connect that is leaving may drop the connection before reading it.
    if (WriteAllBefore(socket.get(), request, std::min(deadline, SteadyClock::now() + kRequestReadTimeout))) {
      status = ReadLineBefore(socket.get(), kMaxAnswerBytes, deadline, &line);
    }
    switch (status) {
      case LineStatus::kLine:
        *answer = nlohmann::json::parse(line, nullptr, false);
        if (!answer->is_object()) {
          *error = "the running connect's answer is not a JSON object";
          return Asked::kFailed;
        }
        if (!answer->value("retry", false)) return Asked::kAnswered;
        break;
      case LineStatus::kTooLong:
        *error = "the running connect's answer is larger than " + std::to_string(kMaxAnswerBytes) + " bytes";
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
  const std::string message = "no connect running for " + settings.user + " on " + settings.servers;
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
  switch (Ask(settings, operation, report, &answer, &error)) {
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

}  // namespace

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
  switch (Ask(settings, "servers", report, &answer, &error)) {
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
  const nlohmann::json* groups = nullptr;
  if (answer["data"].is_object() && answer["data"].contains("catalogue"))
    groups = &answer["data"]["catalogue"];
  bool whole = groups != nullptr && groups->is_object();
  if (whole) {
    for (const auto& group : groups->items()) {
      std::string name;
      whole = whole && group.value().is_array() && BytesFromJsonText(group.key(), &name);
      if (!whole) break;
      std::vector<ServerInfo>& servers = (*catalogue)[name];
      for (const nlohmann::json& entry : group.value()) {
        std::string key;
        std::string value;
        whole = entry.is_array() && entry.size() == 2 && entry[0].is_string() && entry[1].is_string() &&
                BytesFromJsonText(entry[0].get<std::string>(), &key) &&
                BytesFromJsonText(entry[1].get<std::string>(), &value);
        if (!whole) break;
        servers.emplace_back(std::move(key), std::move(value));
      }
    }
  }
  if (!whole) {
    catalogue->clear();
    report.Failure("connect", -1, "bad answer", "the running connect sent no usable catalogue");
    return LentCatalogue::kFailed;
  }
  return LentCatalogue::kFetched;
}

int RunStatusCommand(const Settings& settings, Console& console) { return Talk(settings, console, "status"); }

int RunDisconnectCommand(const Settings& settings, Console& console) {
  return Talk(settings, console, "disconnect");
}

}  // namespace proxycli
