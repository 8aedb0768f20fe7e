// The threads that serve a listener's connections. The HTTP library's own
// pool starts a fixed number of threads up front and ends the process when
// one cannot be started; this one starts a thread only when every thread is
// busy, up to a limit, and makes do with the threads it has when the system
// refuses more.
#pragma once

#include <httplib.h>

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace devserver {

class WorkerPool : public httplib::TaskQueue {
 public:
  explicit WorkerPool(std::size_t maxThreads);
  ~WorkerPool() override;
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Runs `job` on a free thread, on a new one, or, when there is no thread
  // at all and none can be started, right here.
  void enqueue(std::function<void()> job) override;
  // Runs the jobs still waiting, then ends every thread.
  void shutdown() override;

 private:
  void Work();

  const std::size_t maxThreads_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> jobs_;
  std::vector<std::thread> threads_;
  std::size_t idle_ = 0;
  bool stopping_ = false;
};

}  // namespace devserver
