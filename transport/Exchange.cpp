// CHttpCmd::Execute and PostOnce: one POST per attempt, failing over through
// the operation's own snapshot of the account-server list with a rising
// connect time-out, within the operation's deadline. The attempt itself is the platform's (HttpAttempt.h).
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <exception>
#include <new>
#include <string>
#include <utility>

#include "facade/Records.h"
#include "hostlib/quillon.h"
#include "platform/AppName.h"
#include "platform/HttpAttempt.h"
#include "protection/BodyCodec.h"
#include "transport/AttemptInterceptor.h"
#include "transport/HttpCmd.h"
#include "transport/OperationContext.h"
#include "wire/Vocabulary.h"

namespace {

constexpr int kConnectTimeoutStepMs = 500;
constexpr int kRaiseConnectTimeoutUpToMs = 2000;

constexpr int kDefaultTransferTimeoutMs = 30000;
constexpr int kDefaultStallTimeoutMs = 10000;
// Under the reference service's own idle bound, so a kept connection is
// given up before the service closes it under a request.
constexpr int kDefaultIdleMs = 30000;

using Clock = AttemptClock;

}  // namespace

AttemptOutcome CHttpCmd::OutcomeOf(const HttpAttemptResult& outcome, bool parsed) const {
  if (outcome.failure) return *outcome.failure;
  if (parsed) return IsSucceeded() ? AttemptOutcome::kParsed : AttemptOutcome::kRefusedByService;
  if (context.Cancelled()) return AttemptOutcome::kCancelled;  // during the decoding or the parse
  if (context.OutOfTime()) return AttemptOutcome::kDeadline;
  return AttemptOutcome::kUnparsable;
}

AttemptTrace CHttpCmd::DescribeAttempt(const HttpAttemptRequest& request, const HttpAttemptResult& outcome,
                                       std::size_t bodyBytes, Clock::time_point started) const {
  AttemptTrace trace;
  // The script's name only: the directory is the same for every request.
  trace.script = request.path.substr(request.path.rfind('/') + 1);
  trace.host = request.host;
  trace.port = request.port;
  trace.tls = request.secure;
  trace.connectTimeoutMs = static_cast<int>(request.connectWindow.count());
  trace.elapsedMs =
      static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count());
  trace.httpStatus = outcome.status;
  trace.bodyBytes = bodyBytes;
  trace.reused = outcome.reused;
  trace.outcome = lastOutcome;
  if (trace.outcome == AttemptOutcome::kRefusedByService) trace.serviceResult = GetResult();
  return trace;
}

int MaxReplyBodyBytes() {
  return GlobalCache::Instance().GetConfigInt(protocol::kGcHttpMaxBody,
                                              proxyhelper::config::kDefaultHttpMaxBody);
}

bool HttpsOnly() { return GlobalCache::Instance().GetConfigInt(protocol::kGcHttpsOnly, 0) == 1; }

void CHttpCmd::ReportRefusedEntry(const CLoginServers::Server& server) const {
  if (!context.TraceWanted()) return;
  // No connection was opened: no connect time-out, no time, no status.
  AttemptTrace trace;
  trace.script = script.substr(script.rfind('/') + 1);
  trace.host = server.host;
  trace.port = server.port & 0xFFFF;
  trace.outcome = AttemptOutcome::kSetupFailed;
  context.Report(trace);
}

int CHttpCmd::Execute(int useKeyedCipher) {
  // Every entry of the snapshot at most once, from the position current at
  // construction. An entry equal to one already tried is skipped: it would
  // fail the same way, and must not end the walk before the entries after
  // it were tried.
  int result = RESULT_TRANSPORT_FAILURE;
  int attempts = 0;
  CLoginServers& shared = CLoginServers::Instance();
  const bool httpsOnly = HttpsOnly();
  for (std::size_t step = 0; step < servers.size(); ++step) {
    const std::size_t index = (start + step) % servers.size();
    const CLoginServers::Server& server = servers[index];
    bool tried = false;
    for (std::size_t earlier = 0; earlier < step && !tried; ++earlier) {
      tried = CLoginServers::SameServer(servers[(start + earlier) % servers.size()], server);
    }
    if (tried) continue;
    // A cancelled operation ends like one that found no server: nothing of
    // the caller's changes (the facade tells the two apart).
    if (context.ShouldStop()) return RESULT_TRANSPORT_FAILURE;
    // The list may hold plain entries from before the setting was made; none
    // of them may carry a request (a password, a token) in clear text.
    if (httpsOnly && !server.secure) {
      ReportRefusedEntry(server);
      shared.MovePast(server);
      continue;
    }
    // Each attempt after the first waits longer for its connect.
    if (attempts++ > 0 && connectTimeout <= kRaiseConnectTimeoutUpToMs)
      connectTimeout += kConnectTimeoutStepMs;
    host = server.host;
    port = server.port;
    secure = server.secure;
    try {
      result = PostOnce(useKeyedCipher);
    } catch (const std::bad_alloc&) {
      throw;
    } catch (...) {
      // A fault inside one attempt costs that attempt, not the whole call.
      result = RESULT_TRANSPORT_FAILURE;
    }
    if (result == 0) {
      // The last operation to get a reply decides where the next ones start.
      shared.SetCurrServer(server);
      return 0;
    }
    // An attempt cut by a cancel or by the operation's deadline says nothing
    // about its server: the shared position stays.
    if (cutByOperation || context.ShouldStop()) return RESULT_TRANSPORT_FAILURE;
    shared.MovePast(server);
  }
  return result;
}

int CHttpCmd::PostOnce(int useKeyedCipher) {
  // Built and encoded for every attempt: each one draws its own key letter.
  return PostBody(EncodeBody(BuildForm(), useKeyedCipher == 1 ? 2 : 1));
}

int CHttpCmd::PostBody(std::string body) {
  reply.clear();
  cutByOperation = false;

  // Every bound is read afresh, so a changed setting applies at once, and no
  // bound reaches past the operation's own deadline.
  const GlobalCache& cache = GlobalCache::Instance();
  const Clock::time_point started = Clock::now();
  HttpAttemptRequest request;
  request.host = host;
  request.port = port & 0xFFFF;
  request.secure = secure;
  request.path = script;
  request.userAgent = GetApplicationName();
  request.connectWindow = std::chrono::milliseconds(connectTimeout);
  request.deadline =
      std::min(context.Deadline(), started + std::chrono::milliseconds(cache.GetConfigInt(
                                                 protocol::kGcHttpTimeoutMs, kDefaultTransferTimeoutMs)));
  // The stall bound is not cut to the time left: the deadline is, and when
  // the operation's time is what runs out, that is what the trace says.
  request.stall =
      std::chrono::milliseconds(cache.GetConfigInt(protocol::kGcHttpStallMs, kDefaultStallTimeoutMs));
  request.maxBody = static_cast<std::size_t>(MaxReplyBodyBytes());
  if (secure) cache.GetConfigItem(protocol::kGcCaBundle, request.caBundle);
  request.body = std::move(body);
  request.cancelled = context.CancelCheck();
  request.reuse = cache.GetConfigInt(protocol::kGcHttpReuse, 0) == 1;
  request.idle =
      std::chrono::milliseconds(std::max(0, cache.GetConfigInt(protocol::kGcHttpIdleMs, kDefaultIdleMs)));

  HttpAttemptResult outcome = PerformAttempt(request);
  // Clocks round: the attempt may end on the operation's deadline a moment
  // before "now" reaches it.
  cutByOperation = outcome.failure == AttemptOutcome::kCancelled ||
                   (outcome.failure == AttemptOutcome::kDeadline && request.deadline == context.Deadline());
  // A body that broke off (reset, cut short, stalled, over the bound) is not
  // a reply: parsing the part that arrived could act on half a catalogue.
  const std::size_t bodyBytes = outcome.body.size();
  int result = RESULT_TRANSPORT_FAILURE;
  if (!outcome.failure) {
    reply = std::move(outcome.body);
    result = ParseReply();
  }
  lastStatus = outcome.status;
  lastOutcome = OutcomeOf(outcome, result == 0);
  if (context.TraceWanted()) context.Report(DescribeAttempt(request, outcome, bodyBytes, started));
  return result;
}
