#include "platform/HttpAttempt.h"

const char* HttpFailureName(HttpFailure failure) {
  switch (failure) {
    case HttpFailure::kNone:
      return "ok";
    case HttpFailure::kSetup:
      return "setup failed";
    case HttpFailure::kNameNotResolved:
      return "name not resolved";
    case HttpFailure::kRefused:
      return "connection refused";
    case HttpFailure::kConnectTimeout:
      return "connect timeout";
    case HttpFailure::kTls:
      return "tls failure";
    case HttpFailure::kSendFailed:
      return "send failed";
    case HttpFailure::kNoResponse:
      return "no response";
    case HttpFailure::kHttpStatus:
      return "http status";
    case HttpFailure::kRedirectRefused:
      return "redirect refused";
    case HttpFailure::kTooManyRedirects:
      return "too many redirects";
    case HttpFailure::kDeadline:
      return "deadline";
    case HttpFailure::kStall:
      return "stall";
    case HttpFailure::kBodyTooBig:
      return "body too big";
    case HttpFailure::kCutShort:
      return "cut short";
    case HttpFailure::kCancelled:
      return "cancelled";
  }
  return "unknown";
}
