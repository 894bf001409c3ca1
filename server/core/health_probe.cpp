// HealthProbe: callers that arrive while a probe runs share its result.
#include "server/core/health_probe.h"

#include <pthread.h>

namespace tav::server {

HealthProbe::HealthProbe(Store& store) : store_(store) {
  thread_ = std::thread([this] {
    pthread_setname_np(pthread_self(), "tav-health");
    run();
  });
}

HealthProbe::~HealthProbe() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  thread_.join();
  const StoreHealth stopping{StoreHealth::State::NotAnswering, "The server is stopping."};
  for (Done& done : waiting_) done(stopping);
}

void HealthProbe::check(Done done) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    waiting_.push_back(std::move(done));
  }
  wake_.notify_one();
}

void HealthProbe::run() {
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [&] { return stopping_ || !waiting_.empty(); });
      if (stopping_) return;
    }
    const StoreHealth health = store_.probeHealth();
    std::vector<Done> answered;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      answered.swap(waiting_);
    }
    for (Done& done : answered) {
      try {
        done(health);
      } catch (...) {
        // One caller's failure to take its answer must not leave the others without theirs.
      }
    }
  }
}

}  // namespace tav::server
