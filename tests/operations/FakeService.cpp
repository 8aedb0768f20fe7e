#include "operations/FakeService.h"

#include <bzlib.h>
#include <httplib.h>

#include <chrono>
#include <stdexcept>
#include <thread>

#include "hostlib/quillon.h"
#include "protection/Cipher.h"
#include "protection/KeyLetters.h"
#include "support/ScriptedServer.h"

namespace {

ReceivedRequest Decode(const std::string& path, const std::string& body) {
  ReceivedRequest request;
  request.path = path;
  request.rawBody = body;
  const auto separator = body.find('=');
  if (separator == std::string::npos) return request;
  request.letter = body.substr(0, separator);
  const std::string payload = Base64Decode(QUILLON::URLDecode(body.substr(separator + 1)));
  if (request.letter == "Z") {
    request.form = payload;
  } else {
    request.form = TwofishDecrypt(DeriveKey(ReadKeyItem(request.letter)), payload);
    while (!request.form.empty() && request.form.back() == '\0') request.form.pop_back();
  }
  return request;
}

}  // namespace

FakeService::FakeService(const std::string& host) : host_(host), server_(new httplib::Server()) {
  server_->Post(R"(/.*)", [this](const httplib::Request& req, httplib::Response& res) {
    ReceivedRequest request = Decode(req.path, req.body);
    Handler handler;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      requests_.push_back(request);
      handler = handler_;
    }
    res.set_content(handler ? handler(request) : std::string("result=0\n"), "text/plain");
  });
  port_ = server_->bind_to_any_port(host_);
  if (port_ <= 0) throw std::runtime_error("cannot bind " + host_);
  thread_ = std::thread([this] { server_->listen_after_bind(); });
}

FakeService::~FakeService() {
  // stop() does nothing until the listening loop runs; a test that made no
  // request can get here first, and the join would then wait for ever.
  for (int waited = 0; waited < 5000 && !server_->is_running(); ++waited) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  server_->stop();
  if (thread_.joinable()) thread_.join();
}

std::string FakeService::Address() const { return host_ + ":" + std::to_string(port_); }

void FakeService::SetHandler(Handler handler) {
  std::lock_guard<std::mutex> lock(mutex_);
  handler_ = std::move(handler);
}

void FakeService::Reply(const std::string& body) {
  SetHandler([body](const ReceivedRequest&) { return body; });
}

std::vector<ReceivedRequest> FakeService::Requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

ReceivedRequest FakeService::LastRequest() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_.empty() ? ReceivedRequest() : requests_.back();
}

std::string Unkeyed(const std::string& text) { return "Z=" + Base64Encode(text); }

std::string Keyed(const std::string& letter, const std::string& keyItem, const std::string& text) {
  return letter + "=" + Base64Encode(TwofishEncrypt(DeriveKey(keyItem), text));
}

std::string Compressed(const std::string& text) {
  std::string out(text.size() + text.size() / 100 + 600, '\0');
  auto length = static_cast<unsigned int>(out.size());
  if (BZ2_bzBuffToBuffCompress(out.data(), &length, const_cast<char*>(text.data()),
                               static_cast<unsigned int>(text.size()), 9, 0, 0) != BZ_OK) {
    throw std::runtime_error("bzip2 compression failed");
  }
  out.resize(length);
  return "YYY=" + out;
}

int ClosedPort() { return testsupport::ReserveClosedPort("127.0.0.1"); }
