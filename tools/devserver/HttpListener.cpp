#include "tools/devserver/HttpListener.h"

#include <chrono>

#include "tools/devserver/AccountService.h"
#include "tools/devserver/RandomText.h"

namespace devserver {

namespace {

// Real requests are a few hundred bytes; refuse absurd ones before reading.
constexpr std::size_t kMaxRequestBody = 1 << 20;

}  // namespace

std::string GarbageBody() {
  static const std::string alphabet =
      "!\"$%'()*+,-./0123456789:<>?@ABCDEFGHIJKLMNOPQRSTUVWXYZ\\^_`abcdefghijklmnopqrstuvwxyz{|}~"
      "\x80\x9f\xa0\xc3\xe2\xfe";
  return "\xff" + RandomFrom(alphabet, 255);
}

HttpListener::HttpListener(AccountService* service, FaultMode mode, const TlsFiles* tls)
    : service_(service), mode_(mode), tls_(tls != nullptr) {
  if (tls != nullptr) {
    server_ = std::make_unique<httplib::SSLServer>(tls->certificateFile.c_str(), tls->privateKeyFile.c_str());
  } else {
    server_ = std::make_unique<httplib::Server>();
  }
}

HttpListener::~HttpListener() { Stop(); }

void HttpListener::Route() {
  server_->set_payload_max_length(kMaxRequestBody);
  // The library's default is SO_REUSEPORT, which lets a second server bind
  // a port that is already serving and silently share its connections; a
  // busy port must be an error instead.
  server_->set_socket_options([](socket_t sock) {
    const int yes = 1;
    ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  switch (mode_) {
    case FaultMode::kStatus500:
      server_->Post(".*", [](const httplib::Request&, httplib::Response& res) {
        res.status = 500;
        res.set_content("internal server error\n", "text/plain");
      });
      break;
    case FaultMode::kGarbage:
      server_->Post(".*", [](const httplib::Request&, httplib::Response& res) {
        res.status = 200;
        res.set_content(GarbageBody(), "text/plain");
      });
      break;
    default:
      server_->Post(R"(/vpn_intl/([^/]*))", [this](const httplib::Request& req, httplib::Response& res) {
        const HttpAnswer answer = service_->Handle(req.matches[1].str(), req.body);
        res.status = answer.status;
        res.set_content(answer.body, answer.contentType.c_str());
      });
      break;
  }
}

bool HttpListener::Start(const std::string& host, int port, std::string* error) {
  // An SSLServer whose certificate or key did not load has no TLS context.
  if (!server_->is_valid()) {
    *error = tls_ ? "cannot use the TLS certificate and key" : "cannot set up the HTTP server";
    return false;
  }
  Route();
  if (port == 0) {
    port_ = server_->bind_to_any_port(host);
    if (port_ <= 0) {
      *error = "cannot listen on " + FormatAddress(host, 0);
      return false;
    }
  } else if (server_->bind_to_port(host, port)) {
    port_ = port;
  } else {
    *error = "cannot listen on " + FormatAddress(host, port);
    return false;
  }
  thread_ = std::thread([this] {
    server_->listen_after_bind();
    finished_ = true;
  });
  return true;
}

void HttpListener::Stop() {
  if (!thread_.joinable()) return;
  // stop() only acts once the server loop is running; until the thread has
  // got that far, keep asking. Each round either stops the loop or waits
  // for a thread that is about to enter it, so this ends.
  while (!finished_) {
    if (server_->is_running()) server_->stop();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  thread_.join();
}

}  // namespace devserver
