// proxyhelper: the records and result codes that cross the library's
// boundary. Included by facade/ProxyHelper.h (applications need not include
// it themselves). It includes nothing of the library, so the layers below
// the facade take their records from here too.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <string>
#include <vector>

// ServerInfo is the host library's (hostlib/quillon.h, which
// facade/ProxyHelper.h includes); naming it here needs no definition.
class ServerInfo;

// No account server delivered a reply that could be parsed.
constexpr int RESULT_TRANSPORT_FAILURE = 0x70000066;
// A reply was parsed but did not report success.
constexpr int RESULT_NOT_SUCCEEDED = 0x70000067;
// The operation was in flight when ProxyHelperControl::CancelAll was called
// (facade/ProxyHelperControl.h). It changed nothing of the caller's records,
// the session or the cache.
constexpr int RESULT_CANCELLED = 0x70000068;

// The account's credentials, sent by SignIn.
struct UserIdentity {
  std::string username;
  std::string password;
};

// The service's refusal: "result" as an integer (-1 when absent) and
// "errdesc".
struct VPErrorInfo {
  int errcode = 0;
  std::string errdesc;
};

// Dial-up credentials lent for one VPN server.
struct DialupInfo {
  std::string lendusername;
  std::string lendpassword;
};

// The lease that a handshake confirms.
struct LiveInfo {
  std::string lendusername;
  int vpnserverid = 0;
};

// A new account.
struct RegInfo {
  std::string username;
  std::string password;
  std::string phone;
  std::string email;
  std::string qq;
  std::string memo;
};

// A prepaid card to credit to an account.
struct RecInfo {
  std::string username;
  std::string password;
  std::string cardno;
  std::string cardpw;
};

// The signed-in account's state.
struct UserInfo {
  std::string username;
  std::string vpnpd;
  std::string timeleft;
  std::string userlevel_desc;
  int userlevel = 0;
  int usermode = 0;
  int simuses = 0;
  int moneyleft = 0;
  int timetip = 0;
};

// Server configuration pushed with the user info. GetUserInfo stores a new
// record under "GCP_CUR_SERVERCONFIG" in GlobalCache for the application when
// the configuration changed, and keeps the stored record when it did not.
struct ServerConfig {
  std::map<int, std::string> serverlevel;
  int tip = 0;
  std::string message;
  std::string url;
};

using ServerCatalogue = std::map<std::string, std::vector<ServerInfo>>;

// How one HTTP attempt ended.
enum class AttemptOutcome {
  kParsed,            // a reply arrived, was decoded and reports success
  kRefusedByService,  // a reply arrived and was decoded; its "result" is a refusal
  kUnparsable,        // a reply arrived but is not profile text the client can decode
  kCancelled,         // CancelAll ended the attempt
  kSetupFailed,       // the request could not be set up (for example a bad host name)
  kNameNotResolved,   // the server's name has no address
  kRefused,           // the connection was refused
  kConnectTimeout,    // the TCP connect took longer than its time-out
  kTls,               // TLS handshake or certificate verification failed
  kSendFailed,        // the request could not be sent
  kNoResponse,        // the connection closed before an HTTP response arrived
  kHttpStatus,        // an HTTP status other than 200
  kRedirectRefused,   // a redirect from https to plain http
  kTooManyRedirects,  // more than 10 redirects
  kDeadline,          // "GC_HTTP_TIMEOUT_MS" or the operation's deadline ran out
  kStall,             // nothing moved for "GC_HTTP_STALL_MS"
  kBodyTooBig,        // the body is over "GC_HTTP_MAX_BODY"
  kCutShort,          // the body broke off (reset, fewer bytes than announced, bad framing)
};

// One attempt as the attempt trace reports it. It never carries a request
// or reply body, a password, a key, the session token or lease credentials.
struct AttemptTrace {
  std::string script;  // the service script, "loginin.php"
  std::string host;    // the account server
  int port = 0;
  bool tls = false;
  int connectTimeoutMs = 0;  // the connect time-out this attempt used
  int elapsedMs = 0;         // from the start of the attempt to its end
  AttemptOutcome outcome = AttemptOutcome::kSetupFailed;
  int serviceResult = 0;      // kRefusedByService: the reply's "result" (-1 when absent)
  int httpStatus = 0;         // the final HTTP status; 0 when none arrived
  std::size_t bodyBytes = 0;  // the reply body's size as received; 0 when none
  // Went over a connection an earlier attempt opened ("GC_HTTP_REUSE").
  bool reused = false;
};

// What an application's attempt trace receives (facade/ProxyHelperControl.h).
using AttemptTraceHandler = std::function<void(const AttemptTrace& attempt)>;

// What ProxyHelperControl::RawExchange saw of its one attempt.
struct RawExchangeReply {
  AttemptOutcome outcome = AttemptOutcome::kSetupFailed;  // as the attempt trace reports it
  int httpStatus = 0;                                     // the final HTTP status; 0 when none arrived
  std::string body;  // the whole body of a 200 answer, at most "GC_HTTP_MAX_BODY" bytes; else empty
};

// Stable lower-case words for an outcome ("parsed", "connect timeout", ...):
// what ProxyHelperControl::OutcomeName answers, the command-line client
// prints and the reference service logs.
inline const char* AttemptOutcomeName(AttemptOutcome outcome) {
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
