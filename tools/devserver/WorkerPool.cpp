#include "tools/devserver/WorkerPool.h"

#include <exception>
#include <system_error>
#include <utility>

namespace devserver {

namespace {

void Run(const std::function<void()>& job) {
  try {
    job();
  } catch (const std::exception&) {
    // One connection lost (memory, most likely); the listener goes on.
  }
}

}  // namespace

WorkerPool::WorkerPool(std::size_t maxThreads) : maxThreads_(maxThreads > 0 ? maxThreads : 1) {}

WorkerPool::~WorkerPool() { shutdown(); }

void WorkerPool::enqueue(std::function<void()> job) {
  std::unique_lock<std::mutex> lock(mutex_);
  try {
    jobs_.push_back(std::move(job));
  } catch (const std::bad_alloc&) {
    lock.unlock();
    Run(job);
    return;
  }
  if (idle_ < jobs_.size() && threads_.size() < maxThreads_) {
    try {
      threads_.emplace_back(&WorkerPool::Work, this);
    } catch (const std::exception&) {
      // No thread to be had (std::system_error, std::bad_alloc): the
      // threads there are will get to the job in turn.
    }
  }
  if (!threads_.empty()) {
    wake_.notify_one();
    return;
  }
  std::function<void()> next = std::move(jobs_.front());
  jobs_.pop_front();
  lock.unlock();
  Run(next);
}

void WorkerPool::shutdown() {
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    threads.swap(threads_);
  }
  wake_.notify_all();
  for (std::thread& thread : threads) thread.join();
  // Jobs own accepted sockets: run whatever no thread took.
  std::deque<std::function<void()>> left;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    left.swap(jobs_);
  }
  for (const auto& job : left) Run(job);
}

void WorkerPool::Work() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (true) {
    ++idle_;
    wake_.wait(lock, [this] { return !jobs_.empty() || stopping_; });
    --idle_;
    if (jobs_.empty()) return;
    std::function<void()> job = std::move(jobs_.front());
    jobs_.pop_front();
    lock.unlock();
    Run(job);
    lock.lock();
  }
}

}  // namespace devserver
