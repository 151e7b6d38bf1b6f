// Child processes of the supervisor: each runs in its own process group with
// stdout and stderr captured in a pipe, of which the last lines are kept.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "posix/unique_fd.h"

namespace cvserver::modules {

using Clock = std::chrono::steady_clock;

// How often waits look at a child or retry a connect.
inline constexpr std::chrono::milliseconds kPollInterval{20};

using posix::UniqueFd;

// The last lines a child wrote, each cut to a bounded length.
class OutputTail {
 public:
  static constexpr std::size_t kMaxLines = 20;
  static constexpr std::size_t kMaxLineLength = 512;
  void Append(std::string_view bytes);
  // The kept lines, plus the unfinished last line if any.
  std::vector<std::string> Lines() const;
  std::string Joined() const;  // lines separated by " | "

 private:
  void PushLine();
  std::deque<std::string> lines_;
  std::string partial_;
  bool partialTruncated_ = false;
};

class ChildProcess {
 public:
  // Starts argv[0] (searched in PATH when it has no slash) with the current
  // environment plus extraEnv (overriding variables of the same name), in a new
  // process group, stdin on /dev/null. nullopt with *error set when it cannot
  // be started.
  static std::optional<ChildProcess> Spawn(const std::vector<std::string>& argv,
                                           const std::vector<std::pair<std::string, std::string>>& extraEnv,
                                           std::string* error);

  ChildProcess(ChildProcess&& other) noexcept;
  ChildProcess& operator=(ChildProcess&& other) noexcept;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  // Kills what is left of the process group and reaps the child.
  ~ChildProcess();

  pid_t pid() const { return pid_; }
  // Reads what the child wrote so far, without blocking.
  void Drain();
  // Whether the child still runs. When it has exited, the rest of its process
  // group is killed and the child reaped.
  bool Running();
  // Waits until the child exits or the deadline passes, reading its output
  // meanwhile. True when it exited (and was reaped).
  bool WaitExit(Clock::time_point deadline);
  // Sends sig to the whole process group (nothing once the child is reaped).
  void SignalGroup(int sig);
  // SIGKILL to the group, then reaps the child.
  void KillAndReap();

  // Wait status once reaped.
  std::optional<int> status() const { return status_; }
  std::string DescribeStatus() const;  // "exit 3", "signal 9", "running"
  const OutputTail& output() const { return output_; }

 private:
  ChildProcess(pid_t pid, UniqueFd output) : pid_(pid), output_fd_(std::move(output)) {}
  void Reap(bool block);

  pid_t pid_ = -1;  // also the process group id; -1 once reaped or moved from
  UniqueFd output_fd_;
  OutputTail output_;
  std::optional<int> status_;
};

// Whether text is a numeric IPv4 or IPv6 address.
bool IsNumericAddress(const std::string& text);
// One TCP connect attempt to host:port, bounded by timeout.
bool TryConnect(const std::string& host, std::uint16_t port, std::chrono::milliseconds timeout);

}  // namespace cvserver::modules
