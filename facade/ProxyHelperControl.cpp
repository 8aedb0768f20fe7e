#include "facade/ProxyHelperControl.h"

#include <utility>

#include "transport/AttemptTraceSink.h"
#include "transport/OperationScope.h"

void ProxyHelperControl::CancelAll() { CancelOperationsInFlight(); }

void ProxyHelperControl::SetAttemptTrace(TraceHandler handler) { SetAttemptTraceHandler(std::move(handler)); }

const char* ProxyHelperControl::OutcomeName(AttemptOutcome outcome) {
  switch (outcome) {
    case AttemptOutcome::kParsed:
      return "parsed";
    case AttemptOutcome::kRefusedByService:
      return "refused by the service";
    case AttemptOutcome::kUnparsable:
      return "unparsable reply";
    case AttemptOutcome::kCancelled:
      return "cancelled";
    case AttemptOutcome::kSetupFailed:
      return "setup failed";
    case AttemptOutcome::kNameNotResolved:
      return "name not resolved";
    case AttemptOutcome::kRefused:
      return "connection refused";
    case AttemptOutcome::kConnectTimeout:
      return "connect timeout";
    case AttemptOutcome::kTls:
      return "tls failure";
    case AttemptOutcome::kSendFailed:
      return "send failed";
    case AttemptOutcome::kNoResponse:
      return "no response";
    case AttemptOutcome::kHttpStatus:
      return "http status";
    case AttemptOutcome::kRedirectRefused:
      return "redirect refused";
    case AttemptOutcome::kTooManyRedirects:
      return "too many redirects";
    case AttemptOutcome::kDeadline:
      return "deadline";
    case AttemptOutcome::kStall:
      return "stall";
    case AttemptOutcome::kBodyTooBig:
      return "body too big";
    case AttemptOutcome::kCutShort:
      return "cut short";
  }
  return "unknown";
}
