// A fixed set of threads that run queued tasks in order of arrival: for work that blocks (a
// password hash, a store without completions of its own), kept off the threads that must not.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tav::server {

class WorkerPool {
 public:
  // Starts `threads` threads (at least one), named `name` for top -H.
  WorkerPool(std::size_t threads, const std::string& name);
  // Runs every task already queued, then joins the threads.
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Queues `task`; an exception it throws is dropped (tasks report their own failures).
  void post(std::function<void()> task);

 private:
  void run();

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> tasks_;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace tav::server
