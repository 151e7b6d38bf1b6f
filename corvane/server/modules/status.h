// What the agent knows about its modules, readable from any thread: which are
// loaded (process id, start time, the call services they offer and where they
// answer) and why the last load of each failed. The supervisor writes it; the
// event loop reads it for service lookups and status replies.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace cvserver {

struct ModuleStatus {
  std::string name;  // upper case
  bool loaded = false;
  pid_t pid = 0;
  std::chrono::steady_clock::time_point started{};
  std::vector<std::string> services;  // call services it offers while loaded
  std::string serviceSocket;          // where they answer
  std::uint32_t generation = 0;       // changes with every load
  std::string lastFailure;            // why the last load failed; empty: none
  std::chrono::steady_clock::time_point failedAt{};
};

class StatusBoard {
 public:
  // Entries kept for modules that are not loaded (their failure reasons).
  static constexpr std::size_t kMaxEntries = 256;

  void Loaded(const std::string& name, pid_t pid, std::vector<std::string> services, std::string socket);
  void Unloaded(const std::string& name);
  void Failed(const std::string& name, std::string reason);

  std::optional<ModuleStatus> Get(const std::string& name) const;
  std::vector<ModuleStatus> All() const;
  // The loaded module that offers service (names compare exactly).
  std::optional<ModuleStatus> FindService(const std::string& service) const;
  std::size_t LoadedCount() const;
  // Counts the loads and unloads so far: when it moved, the call services
  // offered may have changed.
  std::uint64_t version() const { return version_.load(std::memory_order_acquire); }

 private:
  ModuleStatus& Entry(const std::string& name);
  mutable std::mutex mutex_;
  std::map<std::string, ModuleStatus> entries_;
  std::uint32_t nextGeneration_ = 1;
  std::atomic<std::uint64_t> version_{0};
};

}  // namespace cvserver
