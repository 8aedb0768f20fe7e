// One accepted HTTP connection as the listeners serve it, on Boost.Beast:
// every wait is asynchronous, so a slow or silent peer holds a socket and a
// timer but no thread. Each request is read against one deadline and byte
// limits; a request refused for its framing ends the connection, so nothing
// after it is ever parsed as a request.
#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "tools/devserver/ListenSpec.h"

namespace devserver {

// A request that has passed every limit, as the listener routes it.
struct HttpRequestView {
  std::string method;  // "POST"
  std::string path;    // the target without its query
  std::string body;
  std::string peer;  // the client's address, "127.0.0.1" or "::1"
};

struct HttpReply {
  int status = 200;
  std::string contentType = "text/plain";
  std::string body;
  std::string allow;  // the Allow header of a 405; empty: none
};

// What every connection of a listener shares; it lives as long as the
// longest of them.
struct ConnectionEnv {
  ConnectionLimits limits;
  // Answers a complete request; runs on an I/O thread, must not throw.
  std::function<HttpReply(const HttpRequestView&)> respond;
  // Receives the script and the outcome of a request refused or cut off
  // before it reached `respond`.
  std::function<void(const std::string& script, const std::string& outcome)> log;
};

// Serves requests on `socket` (with `tls`, after a TLS handshake under that
// context, which must outlive the connection) until the peer closes, a limit
// runs out or the socket's I/O context is stopped and destroyed.
// `released` runs once when the connection is gone. Never throws.
void ServeConnection(boost::asio::ip::tcp::socket socket, boost::asio::ssl::context* tls,
                     std::shared_ptr<const ConnectionEnv> env, std::function<void()> released);

// The script a request path names, as the log shows it: the part after
// "/vpn_intl/", else the whole path; "-" when there is none.
std::string ScriptOfPath(const std::string& path);
// The same from the first bytes of a request ("POST /vpn_intl/x.php ...").
std::string ScriptOfRequestHead(const std::string& head);

// "5 s", "300 ms": a limit as the log and errors show it.
std::string DescribeDuration(std::chrono::milliseconds duration);

}  // namespace devserver
