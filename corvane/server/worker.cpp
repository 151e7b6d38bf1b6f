#include "corvane/server/worker.h"

#include <spdlog/spdlog.h>

#include <exception>

namespace cvserver {

Worker::Worker(std::string name, std::size_t threads, std::size_t maxQueued)
    : name_(std::move(name)), maxQueued_(maxQueued) {
  for (std::size_t i = 0; i < (threads ? threads : 1); ++i) threads_.emplace_back([this] { Run(); });
}

Worker::~Worker() { Stop(); }

bool Worker::Post(std::function<void()> job) {
  {
    std::lock_guard lock(mutex_);
    if (stopping_ || (maxQueued_ && jobs_.size() >= maxQueued_)) return false;
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
  wake_.notify_all();
  for (auto& t : threads_) {
    if (t.joinable()) t.join();
  }
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
      spdlog::error("{}: {}", name_, e.what());
    }
  }
}

}  // namespace cvserver
