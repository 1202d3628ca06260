#include "AddressLimiter.h"

#include <algorithm>
#include <cmath>

TAddressLimiter::TAddressLimiter(double perMinute, double burst, std::size_t maxAddresses)
    : FPerSecond(perMinute / 60.0), FBurst(burst), FMaxAddresses(maxAddresses) {}

TAddressLimiter::TBucket& TAddressLimiter::Refill(std::string_view address, TClock::time_point now) {
  auto it = FBuckets.find(std::string(address));
  if (it == FBuckets.end()) {
    if (FBuckets.size() >= FMaxAddresses) {
      // Forget the addresses whose buckets are full again: they lose nothing.
      for (auto b = FBuckets.begin(); b != FBuckets.end();) {
        const double seconds = std::chrono::duration<double>(now - b->second.Updated).count();
        b = b->second.Tokens + seconds * FPerSecond >= FBurst ? FBuckets.erase(b) : std::next(b);
      }
      if (FBuckets.size() >= FMaxAddresses) FBuckets.erase(FBuckets.begin());
    }
    it = FBuckets.emplace(std::string(address), TBucket{FBurst, now}).first;
  }
  TBucket& bucket = it->second;
  const double seconds = std::max(0.0, std::chrono::duration<double>(now - bucket.Updated).count());
  bucket.Tokens = std::min(FBurst, bucket.Tokens + seconds * FPerSecond);
  bucket.Updated = now;
  return bucket;
}

int TAddressLimiter::SecondsToToken(const TBucket& bucket) const {
  if (bucket.Tokens >= 1.0) return 0;
  return std::max(1, static_cast<int>(std::ceil((1.0 - bucket.Tokens) / FPerSecond)));
}

int TAddressLimiter::Take(std::string_view address, TClock::time_point now) {
  std::lock_guard lock(FMutex);
  TBucket& bucket = Refill(address, now);
  if (bucket.Tokens < 1.0) return SecondsToToken(bucket);
  bucket.Tokens -= 1.0;
  return 0;
}

int TAddressLimiter::Wait(std::string_view address, TClock::time_point now) {
  std::lock_guard lock(FMutex);
  return SecondsToToken(Refill(address, now));
}
