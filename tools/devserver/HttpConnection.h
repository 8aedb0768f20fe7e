// One accepted HTTP connection as the listeners serve it. The HTTP library
// bounds each recv, not a request, and takes a peer that shut down its
// sending side for gone before answering; this reads every request against
// a deadline and byte limits, and answers as long as the peer still reads.
#pragma once

#include <httplib.h>
#include <openssl/ssl.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>

namespace devserver {

struct ConnectionLimits {
  // For the first byte of a request, on a new or a kept-alive connection.
  std::chrono::milliseconds idle{5000};
  // From the first byte to the end of the body; for TLS, also the handshake
  // from the accept.
  std::chrono::milliseconds request{5000};
  // For the peer to take each piece of the answer.
  std::chrono::milliseconds write{5000};
  std::size_t headBytes = 64 * 1024;  // request line and headers
  std::size_t bodyBytes = 1 << 20;    // what the body may carry, framing aside
  std::size_t requestsPerConnection = 5;
};

// Reads and answers one request on the stream; closeConnection asks for a
// last answer, connectionClosed reports a client that asked for one, and
// headRead must be called once the headers are in.
using RequestProcessor =
    std::function<bool(httplib::Stream& stream, bool closeConnection, bool& connectionClosed,
                       const std::function<void(httplib::Request&)>& headRead)>;

// Receives the script and the outcome of a request that got no answer.
using UnservedLog = std::function<void(const std::string& script, const std::string& outcome)>;

// Serves requests on `fd` until the peer closes, a limit runs out or
// `stopFd` becomes readable, then closes `fd`. With `tls`, the connection
// speaks TLS under that context. Never throws.
void ServeConnection(int fd, SSL_CTX* tls, int stopFd, const ConnectionLimits& limits,
                     const RequestProcessor& process, const UnservedLog& log);

// On the thread inside ServeConnection, for handlers and the request log:
// whether the current request was cut off (it gets no answer and
// ServeConnection logs it), and a way to end the connection after the
// answer when the body is left unread.
bool CurrentRequestCutOff();
void CloseAfterThisAnswer();

// The script a request path names, as the log shows it: the part after
// "/vpn_intl/", else the whole path; "-" when there is none.
std::string ScriptOfPath(const std::string& path);
// The same from the first bytes of a request ("POST /vpn_intl/x.php ...").
std::string ScriptOfRequestHead(const std::string& head);

// "5 s", "300 ms": a limit as the log and errors show it.
std::string DescribeDuration(std::chrono::milliseconds duration);

}  // namespace devserver
