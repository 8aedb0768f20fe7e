// Checks of the latency shim the connection-reuse rows run through: bytes
// arrive whole and in order, a half-close passes after the bytes before it,
// nothing arrives before its delay (lower bounds only: a loaded machine can
// only add time) and CloseAll ends what is open. Part of
// proxyhelper_bench_selftest; never part of ctest.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <string>
#include <thread>

#include "bench/LatencyShim.h"

namespace bench {
namespace {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds kRoundTrip{40};

// Every blocking call of these tests gives up after this long.
void BoundWaits(int fd) {
  const timeval bound{5, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
}

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {
    if (fd_ >= 0) BoundWaits(fd_);
  }
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

sockaddr_in Loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

int Connect(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_in address = Loopback(port);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

bool SendAll(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// Reads until the peer's FIN (true) or an error or time-out (false).
bool ReadToEnd(int fd, std::string* bytes) {
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n == 0) return true;
    if (n < 0) return false;
    bytes->append(buffer, static_cast<std::size_t>(n));
  }
}

bool ReadExactly(int fd, std::size_t count, std::string* bytes) {
  while (bytes->size() < count) {
    char buffer[4096];
    const ssize_t n = ::recv(fd, buffer, std::min(sizeof buffer, count - bytes->size()), 0);
    if (n <= 0) return false;
    bytes->append(buffer, static_cast<std::size_t>(n));
  }
  return true;
}

// A target on 127.0.0.1 that runs `serve` on its one accepted connection.
class Target {
 public:
  template <typename Serve>
  explicit Target(Serve serve) : listener_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address = Loopback(0);
    socklen_t length = sizeof address;
    ::bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listener_.get(), 4);
    ::getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this, serve] {
      Fd connection(::accept(listener_.get(), nullptr, nullptr));
      if (connection.get() >= 0) serve(connection.get());
    });
  }
  ~Target() { Join(); }
  void Join() {
    if (thread_.joinable()) thread_.join();
  }
  int port() const { return port_; }

 private:
  Fd listener_;
  int port_ = 0;
  std::thread thread_;
};

struct Shim {
  LatencyShim shim;
  bool ok = false;
  explicit Shim(int targetPort) {
    std::string error;
    ok = shim.Bind(&error) && shim.Start(targetPort, kRoundTrip, &error);
  }
};

TEST(LatencyShimTest, RelaysEveryByteInOrderAndTheHalfClose) {
  // Echo until the client's FIN, then FIN back.
  Target target([](int fd) {
    std::string bytes;
    if (ReadToEnd(fd, &bytes)) SendAll(fd, bytes);
    ::shutdown(fd, SHUT_WR);
  });
  Shim shim(target.port());
  ASSERT_TRUE(shim.ok);
  std::string payload(3u << 20, '\0');
  std::mt19937 random(27);
  for (char& c : payload) c = static_cast<char>(random());

  Fd client(Connect(shim.shim.Port()));
  ASSERT_GE(client.get(), 0);
  // The echo waits for the FIN, so the FIN must come after every byte.
  std::thread writer([&] {
    SendAll(client.get(), payload);
    ::shutdown(client.get(), SHUT_WR);
  });
  std::string echoed;
  EXPECT_TRUE(ReadToEnd(client.get(), &echoed));
  writer.join();
  EXPECT_TRUE(echoed == payload) << "got " << echoed.size() << " of " << payload.size() << " bytes";
  EXPECT_EQ(shim.shim.Connections(), 1u);
}

TEST(LatencyShimTest, HoldsEachDirectionAndTheFirstBytesOneRoundTripMore) {
  // Answers each 4-byte request at once, twice.
  Target target([](int fd) {
    for (int i = 0; i < 2; ++i) {
      std::string request;
      if (!ReadExactly(fd, 4, &request) || !SendAll(fd, request)) return;
    }
  });
  Shim shim(target.port());
  ASSERT_TRUE(shim.ok);
  const auto start = Clock::now();
  Fd client(Connect(shim.shim.Port()));
  ASSERT_GE(client.get(), 0);
  std::string answer;
  ASSERT_TRUE(SendAll(client.get(), "ping"));
  ASSERT_TRUE(ReadExactly(client.get(), 4, &answer));
  // The handshake's round trip, then one for the exchange.
  EXPECT_GE(Clock::now() - start, 2 * kRoundTrip);

  const auto second = Clock::now();
  answer.clear();
  ASSERT_TRUE(SendAll(client.get(), "pong"));
  ASSERT_TRUE(ReadExactly(client.get(), 4, &answer));
  EXPECT_EQ(answer, "pong");
  EXPECT_GE(Clock::now() - second, kRoundTrip);
}

TEST(LatencyShimTest, PassesTheTargetsEarlyFinAndKeepsTheOtherWayOpen) {
  std::string heard;
  Target target([&heard](int fd) {
    SendAll(fd, "bye");
    ::shutdown(fd, SHUT_WR);
    ReadToEnd(fd, &heard);
  });
  Shim shim(target.port());
  ASSERT_TRUE(shim.ok);
  {
    Fd client(Connect(shim.shim.Port()));
    ASSERT_GE(client.get(), 0);
    std::string said;
    EXPECT_TRUE(ReadToEnd(client.get(), &said));
    EXPECT_EQ(said, "bye");
    EXPECT_TRUE(SendAll(client.get(), "still here"));
    ::shutdown(client.get(), SHUT_WR);
    char byte;
    EXPECT_EQ(::recv(client.get(), &byte, 1, 0), 0);  // the shim closes after both FINs
  }
  target.Join();
  EXPECT_EQ(heard, "still here");
}

TEST(LatencyShimTest, CloseAllEndsOpenConnections) {
  Target target([](int fd) {
    std::string ignored;
    ReadToEnd(fd, &ignored);
  });
  Shim shim(target.port());
  ASSERT_TRUE(shim.ok);
  Fd client(Connect(shim.shim.Port()));
  ASSERT_GE(client.get(), 0);
  ASSERT_TRUE(SendAll(client.get(), "x"));
  for (int waited = 0; waited < 5000 && shim.shim.Connections() == 0; ++waited) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  shim.shim.CloseAll();
  char byte;
  EXPECT_EQ(::recv(client.get(), &byte, 1, 0), 0);
}

}  // namespace
}  // namespace bench
