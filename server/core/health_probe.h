// A store's health as a server reports it: one probe at a time for any number of callers.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "server/core/store.h"

namespace tav::server {

// Runs Store::probeHealth on a thread of its own whenever someone asks, never two at once: every
// caller that asks while a probe runs gets that probe's result. A proxy checking each server every
// second, and any number of people looking, cost the store one round trip at a time, and no
// caller waits behind checks or sign-ins.
class HealthProbe {
 public:
  using Done = std::function<void(const StoreHealth&)>;

  explicit HealthProbe(Store& store);
  // Callers still waiting are told that the server is stopping.
  ~HealthProbe();
  HealthProbe(const HealthProbe&) = delete;
  HealthProbe& operator=(const HealthProbe&) = delete;

  // `done` runs once, on the probe's thread, with the result of the probe under way or the next.
  void check(Done done);

 private:
  void run();

  Store& store_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::vector<Done> waiting_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace tav::server
