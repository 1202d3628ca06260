#pragma once
// Where a service that tests replace with a stand-in is kept (the system
// facts, the process services, the log's file storage): the platform's own
// object unless another one was installed.
//
// Install puts a service in place and returns the one it replaces, null when
// that was the platform's own; installing null brings the platform's own
// back. The caller keeps ownership of what it installs and keeps it alive
// while it is installed. The platform's own is made on first use and never
// destroyed, so it can still be asked while the process's static objects
// go. Not thread-safe: install while nothing else uses the service.
#include <utility>

template <class TService, class TPlatformService>
class TServiceSlot {
 public:
  constexpr TServiceSlot() = default;
  TServiceSlot(const TServiceSlot&) = delete;
  TServiceSlot& operator=(const TServiceSlot&) = delete;

  TService& Current() const { return FInstalled ? *FInstalled : PlatformService(); }
  TService* Install(TService* service) { return std::exchange(FInstalled, service); }

 private:
  static TService& PlatformService() {
    static TService* const service = new TPlatformService;
    return *service;
  }

  TService* FInstalled = nullptr;
};
