// How `connect` recovers: which refusals mean "the session or the lease is
// gone, sign in again", how long it waits between attempts while the
// service is away, and when it gives up.
#pragma once

#include <chrono>
#include <cstdint>
#include <random>
#include <set>
#include <string>

namespace proxycli {

// The reference service's codes for an unknown session and an unknown lease.
constexpr const char kDefaultReloginCodes[] = "3,8";

// Parses "3,8" or "0x3, 8" into `codes`; empty when `text` is acceptable,
// else why not. Codes 0 and the library's transport failure are refused:
// neither is a refusal by the service.
std::string ParseReloginCodes(const std::string& text, std::set<int>* codes);

// Parses "90", "90s", "5m", "2h" or "1d" (a positive whole or decimal
// number, at most 30 days); empty when acceptable, else why not.
std::string ParseDuration(const std::string& text, std::chrono::milliseconds* duration);

// Waits between attempts while the service is unreachable: 1 s doubling to
// 60 s, each wait drawn within ±20 % so that clients cut off together do
// not come back together.
class Backoff {
 public:
  static constexpr std::chrono::milliseconds kFirst{1000};
  static constexpr std::chrono::milliseconds kCap{60000};

  explicit Backoff(std::uint32_t seed = std::random_device{}()) : random_(seed) {}

  // The wait before the next attempt; each call doubles the base.
  std::chrono::milliseconds Next();
  // After a success: the next wait starts over at kFirst.
  void Reset() { base_ = kFirst; }

 private:
  std::chrono::milliseconds base_ = kFirst;
  std::mt19937 random_;
};

}  // namespace proxycli
