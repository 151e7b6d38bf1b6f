#include "corvane/server/worker.h"

#include <spdlog/spdlog.h>

#include <exception>

namespace cvserver {

Worker::Worker() : thread_([this] { Run(); }) {}

Worker::~Worker() { Stop(); }

bool Worker::Post(std::function<void()> job) {
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return false;
    jobs_.push_back(std::move(job));
  }
  wake_.notify_one();
  return true;
}

void Worker::Stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    jobs_.clear();
  }
  wake_.notify_one();
  if (thread_.joinable()) thread_.join();
}

void Worker::Run() {
  for (;;) {
    std::function<void()> job;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
      if (stopping_) return;
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    try {
      job();
    } catch (const std::exception& e) {
      spdlog::error("module worker: {}", e.what());
    }
  }
}

}  // namespace cvserver
