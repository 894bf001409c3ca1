// SignInQueue: a ranked set under one lock and the threads that take from its front.
#include "server/http/signin_queue.h"

#include <pthread.h>

#include <algorithm>
#include <optional>
#include <utility>

namespace tav::server {

SignInQueue::SignInQueue(std::size_t threads, std::size_t capacity, Clock::duration maxWait, const std::string& name)
    : capacity_(std::max<std::size_t>(capacity, 1)), maxWait_(maxWait) {
  const std::string shortName = name.substr(0, 15);
  for (std::size_t i = 0; i < std::max<std::size_t>(threads, 1); ++i) {
    threads_.emplace_back([this, shortName] {
      pthread_setname_np(pthread_self(), shortName.c_str());
      work();
    });
  }
  reaper_ = std::thread([this] {
    pthread_setname_np(pthread_self(), "tav-signin-wait");
    reap();
  });
}

SignInQueue::~SignInQueue() {
  stop();
  for (auto& t : threads_) t.join();
  reaper_.join();
}

void SignInQueue::submit(Job job) {
  std::optional<Job> refused;
  Refusal why = Refusal::Full;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Waiting entry{job.fromStation, job.standing, job.recentFromSource, next_++, Clock::now(), std::move(job)};
    if (stopping_) {
      why = Refusal::Stopping;
      refused = std::move(entry.job);
    } else if (waiting_.size() < capacity_) {
      waiting_.insert(std::move(entry));
    } else {
      auto worst = std::prev(waiting_.end());
      if (entry < *worst) {
        refused = std::move(worst->job);
        waiting_.erase(worst);
        waiting_.insert(std::move(entry));
      } else {
        refused = std::move(entry.job);
      }
    }
  }
  if (refused) {
    refused->refuse(why);
  } else {
    wake_.notify_one();
  }
}

void SignInQueue::stop() {
  std::set<Waiting> dropped;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    dropped.swap(waiting_);
  }
  wake_.notify_all();
  reaperWake_.notify_all();
  for (const Waiting& w : dropped) w.job.refuse(Refusal::Stopping);
}

std::size_t SignInQueue::waiting() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return waiting_.size();
}

void SignInQueue::work() {
  for (;;) {
    Job job;
    Clock::time_point since;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [&] { return stopping_ || !waiting_.empty(); });
      if (stopping_) return;
      auto first = waiting_.begin();
      job = std::move(first->job);
      since = first->since;
      waiting_.erase(first);
    }
    try {
      if (job.gone && job.gone()) {
        job.refuse(Refusal::Gone);
      } else if (Clock::now() - since > maxWait_) {
        job.refuse(Refusal::Late);
      } else {
        job.run();
      }
    } catch (...) {
      // A job answers its own failures; one that throws must not take a thread with it.
    }
  }
}

// While every thread is busy (a store that is slow to take the sign-ins' writes), what waits past
// its limit is answered from here, at once, rather than when a thread comes free.
void SignInQueue::reap() {
  const auto tick = std::clamp<Clock::duration>(maxWait_ / 10, std::chrono::milliseconds(10),
                                                 std::chrono::milliseconds(250));
  for (;;) {
    std::vector<Job> late;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      reaperWake_.wait_for(lock, tick, [&] { return stopping_; });
      if (stopping_) return;
      const auto now = Clock::now();
      for (auto it = waiting_.begin(); it != waiting_.end();) {
        if (now - it->since > maxWait_) {
          late.push_back(std::move(it->job));
          it = waiting_.erase(it);
        } else {
          ++it;
        }
      }
    }
    for (Job& job : late) job.refuse(Refusal::Late);
  }
}

}  // namespace tav::server
