// A bound on repeated log lines: lines of one kind (a fixed key per call
// site) are written up to a burst per window; the rest of the window's lines
// of that kind are counted, and the next line written says how many were
// left out.
#pragma once

#include <spdlog/spdlog.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <string_view>
#include <utility>

namespace cvserver {

class LogRate {
 public:
  using Clock = std::chrono::steady_clock;
  explicit LogRate(std::uint32_t burst = 20, std::chrono::milliseconds window = std::chrono::seconds(10))
      : burst_(burst), window_(window) {}

  // Whether a line of this kind may be written now; when lines were left
  // out before it, skipped tells how many.
  bool Allow(std::string_view kind, std::uint64_t& skipped, Clock::time_point now = Clock::now());

  // Writes the line at level when the kind allows it.
  template <typename... Args>
  void Log(spdlog::level::level_enum level, std::string_view kind, spdlog::format_string_t<Args...> format,
           Args&&... args) {
    std::uint64_t skipped = 0;
    if (!Allow(kind, skipped)) return;
    if (skipped > 0) spdlog::log(level, "({} similar lines left out)", skipped);
    spdlog::log(level, format, std::forward<Args>(args)...);
  }

 private:
  struct Window {
    Clock::time_point start{};
    std::uint32_t written = 0;
    std::uint64_t skipped = 0;
  };
  std::uint32_t burst_;
  std::chrono::milliseconds window_;
  std::map<std::string_view, Window> kinds_;  // keys are the call sites' literals
};

}  // namespace cvserver
