// One thread that runs jobs one at a time, in the order they were posted. The
// agent runs its module operations here: they may wait for seconds (a
// module's readiness, its stop timeout), which the event loop must not.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace cvserver {

class Worker {
 public:
  Worker();
  ~Worker();  // Stop()
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  // Queues job; false (and the job is dropped) once Stop() has begun.
  bool Post(std::function<void()> job);
  // Drops the jobs not yet started, waits for the running one and ends the
  // thread. Safe to call more than once; not from a job.
  void Stop();

 private:
  void Run();

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> jobs_;
  bool stopping_ = false;
  std::thread thread_;  // last: starts once the members above exist
};

}  // namespace cvserver
