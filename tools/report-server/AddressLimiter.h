#pragma once
// How often one client address may do something: a bucket of `burst` tokens
// per address that refills at `perMinute` tokens a minute. Safe to call
// from any thread; the addresses it remembers are bounded (full buckets are
// forgotten first).
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

class TAddressLimiter {
 public:
  using TClock = std::chrono::steady_clock;

  TAddressLimiter(double perMinute, double burst, std::size_t maxAddresses = 100000);

  // Takes a token for the address: 0 when there was one, else the seconds
  // (at least 1) until there is one again.
  int Take(std::string_view address, TClock::time_point now = TClock::now());
  // The seconds until the address has a token again, without taking one (0: it has one).
  int Wait(std::string_view address, TClock::time_point now = TClock::now());

 private:
  struct TBucket {
    double Tokens;
    TClock::time_point Updated;
  };
  TBucket& Refill(std::string_view address, TClock::time_point now);
  int SecondsToToken(const TBucket& bucket) const;

  double FPerSecond;
  double FBurst;
  std::size_t FMaxAddresses;
  std::mutex FMutex;
  std::unordered_map<std::string, TBucket> FBuckets;
};
