#include "corvane/server/modules/status.h"

#include <algorithm>

namespace cvserver {

ModuleStatus& StatusBoard::Entry(const std::string& name) {
  auto it = entries_.find(name);
  if (it != entries_.end()) return it->second;
  if (entries_.size() >= kMaxEntries) {
    // Forget the oldest failure of a module that is not loaded.
    auto victim = entries_.end();
    for (auto e = entries_.begin(); e != entries_.end(); ++e) {
      if (e->second.loaded) continue;
      if (victim == entries_.end() || e->second.failedAt < victim->second.failedAt) victim = e;
    }
    if (victim != entries_.end()) entries_.erase(victim);
  }
  ModuleStatus& s = entries_[name];
  s.name = name;
  return s;
}

void StatusBoard::Loaded(const std::string& name, pid_t pid, std::vector<std::string> services, std::string socket) {
  std::lock_guard lock(mutex_);
  ModuleStatus& s = Entry(name);
  s.loaded = true;
  s.pid = pid;
  s.started = std::chrono::steady_clock::now();
  s.services = std::move(services);
  s.serviceSocket = std::move(socket);
  s.generation = nextGeneration_++;
  if (nextGeneration_ == 0) nextGeneration_ = 1;
  version_.fetch_add(1, std::memory_order_release);
}

void StatusBoard::Unloaded(const std::string& name) {
  std::lock_guard lock(mutex_);
  auto it = entries_.find(name);
  if (it == entries_.end()) return;
  it->second.loaded = false;
  it->second.pid = 0;
  it->second.services.clear();
  it->second.serviceSocket.clear();
  version_.fetch_add(1, std::memory_order_release);
}

void StatusBoard::Failed(const std::string& name, std::string reason) {
  std::lock_guard lock(mutex_);
  ModuleStatus& s = Entry(name);
  s.lastFailure = std::move(reason);
  s.failedAt = std::chrono::steady_clock::now();
}

std::optional<ModuleStatus> StatusBoard::Get(const std::string& name) const {
  std::lock_guard lock(mutex_);
  auto it = entries_.find(name);
  if (it == entries_.end()) return std::nullopt;
  return it->second;
}

std::vector<ModuleStatus> StatusBoard::All() const {
  std::lock_guard lock(mutex_);
  std::vector<ModuleStatus> out;
  for (const auto& [name, s] : entries_) out.push_back(s);
  return out;
}

std::optional<ModuleStatus> StatusBoard::FindService(const std::string& service) const {
  std::lock_guard lock(mutex_);
  for (const auto& [name, s] : entries_) {
    if (s.loaded && std::find(s.services.begin(), s.services.end(), service) != s.services.end()) return s;
  }
  return std::nullopt;
}

std::size_t StatusBoard::LoadedCount() const {
  std::lock_guard lock(mutex_);
  return static_cast<std::size_t>(
      std::count_if(entries_.begin(), entries_.end(), [](const auto& e) { return e.second.loaded; }));
}

}  // namespace cvserver
