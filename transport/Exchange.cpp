// CHttpCmd::Execute and PostOnce: one POST per attempt, failing over through
// the account-server list with a rising connect time-out, within the
// operation's deadline. The attempt itself is the platform's (HttpAttempt.h).
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <exception>
#include <new>
#include <string>
#include <utility>

#include "hostlib/quillon.h"
#include "platform/AppName.h"
#include "platform/HttpAttempt.h"
#include "protection/BodyCodec.h"
#include "protocol/Records.h"
#include "protocol/Vocabulary.h"
#include "transport/AttemptInterceptor.h"
#include "transport/AttemptTraceSink.h"
#include "transport/HttpCmd.h"
#include "transport/OperationScope.h"

namespace {

constexpr int kConnectTimeoutStepMs = 500;
constexpr int kRaiseConnectTimeoutUpToMs = 2000;

constexpr int kDefaultTransferTimeoutMs = 30000;
constexpr int kDefaultStallTimeoutMs = 10000;
constexpr int kDefaultMaxBodyBytes = 32 * 1024 * 1024;
constexpr int kDefaultOperationTimeoutMs = 120000;

using Clock = std::chrono::steady_clock;

}  // namespace

AttemptTrace CHttpCmd::DescribeAttempt(const HttpAttemptRequest& request, const HttpAttemptResult& outcome,
                                       bool parsed, std::size_t bodyBytes, Clock::time_point started) const {
  AttemptTrace trace;
  // The script's name only: the directory is the same for every request.
  trace.script = request.path.substr(request.path.rfind('/') + 1);
  trace.host = request.host;
  trace.port = request.port;
  trace.tls = request.secure;
  trace.connectTimeoutMs = request.connectTimeoutMs;
  trace.elapsedMs =
      static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count());
  trace.httpStatus = outcome.status;
  trace.bodyBytes = bodyBytes;
  trace.outcome = OutcomeOf(outcome.failure);
  if (outcome.failure == HttpFailure::kNone) {
    if (!parsed) {
      trace.outcome = AttemptOutcome::kUnparsable;
    } else if (!IsSucceeded()) {
      trace.outcome = AttemptOutcome::kRefusedByService;
      trace.serviceResult = GetResult();
    }
  }
  return trace;
}

int MaxReplyBodyBytes() {
  return GlobalCache::Instance().GetConfigInt(protocol::kGcHttpMaxBody, kDefaultMaxBodyBytes);
}

int CHttpCmd::Execute(int useKeyedCipher) {
  // An empty server list leaves nothing to contact.
  if (host.empty()) return RESULT_TRANSPORT_FAILURE;

  // The cycle ends when the starting server comes back. It is compared by
  // host, port and scheme, so entries that share a host are each tried; and
  // the number of attempts is capped by the list size taken now, so a list
  // replaced during the cycle (perhaps without the starting server) cannot
  // keep it going.
  const int maxAttempts = std::max(1, CLoginServers::Instance().GetServerCount());
  // However many servers fail and however slowly, the operation as a whole
  // ends by its deadline: each attempt gets at most the time that is left.
  const Clock::time_point deadline =
      Clock::now() + std::chrono::milliseconds(GlobalCache::Instance().GetConfigInt(
                         protocol::kGcOperationTimeoutMs, kDefaultOperationTimeoutMs));
  int result = RESULT_TRANSPORT_FAILURE;
  const OperationScope* operation = OperationScope::Current();
  for (int attempt = 1;; ++attempt) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return RESULT_TRANSPORT_FAILURE;
    // A cancelled operation ends like one that found no server: nothing of
    // the caller's changes (the facade tells the two apart).
    if (operation != nullptr && operation->Cancelled()) return RESULT_TRANSPORT_FAILURE;
    try {
      result = PostOnce(useKeyedCipher, static_cast<int>(left));
    } catch (const std::bad_alloc&) {
      throw;
    } catch (...) {
      // A fault inside one attempt costs that attempt, not the whole call.
      result = RESULT_TRANSPORT_FAILURE;
    }
    if (result == 0) return 0;
    // An attempt that ran into the operation's deadline used up the time:
    // clocks round, so what is "left" now may be a millisecond, which must
    // not buy another attempt.
    if (outOfTime) return RESULT_TRANSPORT_FAILURE;

    // Moving on even after the last attempt leaves the shared position back
    // at the starting server when the whole cycle failed.
    CLoginServers::Instance().GetNextServer(host, port, secure);
    if (host.empty()) return result;
    if (host == firstHost && port == firstPort && secure == firstSecure) return result;
    if (attempt >= maxAttempts) return result;
    if (connectTimeout <= kRaiseConnectTimeoutUpToMs) connectTimeout += kConnectTimeoutStepMs;
  }
}

int CHttpCmd::PostOnce(int useKeyedCipher, int budgetMs) {
  reply.clear();
  outOfTime = false;

  // Every bound is read afresh, so a changed setting applies at once, and no
  // bound reaches past the operation's own deadline.
  const GlobalCache& cache = GlobalCache::Instance();
  HttpAttemptRequest request;
  request.host = host;
  request.port = port & 0xFFFF;
  request.secure = secure;
  request.path = script;
  request.userAgent = GetApplicationName();
  request.connectTimeoutMs = std::min(budgetMs, connectTimeout);
  request.deadlineMs =
      std::min(budgetMs, cache.GetConfigInt(protocol::kGcHttpTimeoutMs, kDefaultTransferTimeoutMs));
  // The stall bound is not cut to the time left: the deadline is, and when
  // the operation's time is what runs out, that is what the trace says.
  request.stallMs = cache.GetConfigInt(protocol::kGcHttpStallMs, kDefaultStallTimeoutMs);
  request.maxBody = static_cast<std::size_t>(MaxReplyBodyBytes());
  if (secure) cache.GetConfigItem(protocol::kGcCaBundle, request.caBundle);
  // Built and encoded for every attempt: each one draws its own key letter.
  request.body = EncodeBody(BuildForm(), useKeyedCipher == 1 ? 2 : 1);
  request.cancelled = OperationScope::CurrentCancelCheck();

  const Clock::time_point started = Clock::now();
  HttpAttemptResult outcome = PerformAttempt(request);
  outOfTime = (outcome.failure == HttpFailure::kDeadline && request.deadlineMs == budgetMs) ||
              (outcome.failure == HttpFailure::kConnectTimeout && request.connectTimeoutMs == budgetMs);
  // A body that broke off (reset, cut short, stalled, over the bound) is not
  // a reply: parsing the part that arrived could act on half a catalogue.
  const std::size_t bodyBytes = outcome.body.size();
  int result = RESULT_TRANSPORT_FAILURE;
  if (outcome.failure == HttpFailure::kNone) {
    reply = std::move(outcome.body);
    result = ParseReply();
  }
  if (AttemptTraceWanted()) {
    ReportAttempt(DescribeAttempt(request, outcome, result == 0, bodyBytes, started));
  }
  return result;
}
