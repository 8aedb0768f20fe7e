// An in-process loopback account service for driving the facade: it decodes
// every request the way a real service must (letter, URL decoding, Base64,
// Twofish under the client's current keys) and answers crafted reply text.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace httplib {
class Server;
}

struct ReceivedRequest {
  std::string path;
  std::string letter;  // "Z", "A", "B" or "C"
  std::string form;    // decoded form text, trailing zero fill removed
  std::string rawBody;
};

class FakeService {
 public:
  using Handler = std::function<std::string(const ReceivedRequest&)>;

  explicit FakeService(const std::string& host = "127.0.0.1");
  ~FakeService();

  int Port() const { return port_; }
  std::string Address() const;  // "host:port"
  void SetHandler(Handler handler);
  // Answers every request with this raw reply body.
  void Reply(const std::string& body);
  std::vector<ReceivedRequest> Requests() const;
  ReceivedRequest LastRequest() const;

 private:
  std::string host_;
  int port_ = 0;
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  mutable std::mutex mutex_;
  Handler handler_;
  std::vector<ReceivedRequest> requests_;
};

// Reply framings.
std::string Unkeyed(const std::string& text);  // "Z=" + Base64
std::string Keyed(const std::string& letter, const std::string& keyItem, const std::string& text);
std::string Compressed(const std::string& text);  // "YYY=" + bzip2

// A loopback port with nothing listening on it.
int ClosedPort();
