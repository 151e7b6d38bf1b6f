// Threads that run posted jobs. With one thread (the module worker) jobs run
// one at a time, in the order they were posted: the agent runs its module
// operations there, as they may wait for seconds (a module's readiness, its
// stop timeout), which the event loop must not. With several (the directory
// workers) jobs run side by side, so that one slow directory server holds up
// only the logins that wait for it.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace cvserver {

class Worker {
 public:
  // maxQueued: jobs that may wait for a thread; 0 = no limit.
  explicit Worker(std::string name = "module worker", std::size_t threads = 1, std::size_t maxQueued = 0);
  ~Worker();  // Stop()
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  // Queues job; false (and the job is dropped) once Stop() has begun or when
  // maxQueued jobs already wait.
  bool Post(std::function<void()> job);
  // Drops the jobs not yet started, waits for the running ones and ends the
  // threads. Safe to call more than once; not from a job.
  void Stop();

 private:
  void Run();

  const std::string name_;
  const std::size_t maxQueued_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> jobs_;
  bool stopping_ = false;
  std::vector<std::thread> threads_;  // last: they start once the members above exist
};

}  // namespace cvserver
