// WorkerPool: a queue and its threads.
#include "server/core/worker_pool.h"

#include <pthread.h>

namespace tav::server {

WorkerPool::WorkerPool(std::size_t threads, const std::string& name) {
  const std::string shortName = name.substr(0, 15);  // the kernel keeps 15 characters
  for (std::size_t i = 0; i < (threads == 0 ? 1 : threads); ++i) {
    threads_.emplace_back([this, shortName] {
      pthread_setname_np(pthread_self(), shortName.c_str());
      run();
    });
  }
}

WorkerPool::~WorkerPool() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (auto& t : threads_) t.join();
}

void WorkerPool::post(std::function<void()> task) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    tasks_.push_back(std::move(task));
  }
  wake_.notify_one();
}

void WorkerPool::run() {
  for (;;) {
    std::function<void()> task;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [&] { return stopping_ || !tasks_.empty(); });
      if (tasks_.empty()) return;
      task = std::move(tasks_.front());
      tasks_.pop_front();
    }
    try {
      task();
    } catch (...) {
    }
  }
}

}  // namespace tav::server
