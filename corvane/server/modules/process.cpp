#include "corvane/server/modules/process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

extern char** environ;

namespace cvserver::modules {

void OutputTail::Append(std::string_view bytes) {
  for (char c : bytes) {
    if (c == '\n') {
      PushLine();
    } else if (c != '\r') {
      if (partial_.size() < kMaxLineLength) {
        partial_ += c;
      } else {
        partialTruncated_ = true;
      }
    }
  }
}

void OutputTail::PushLine() {
  if (partialTruncated_) partial_ += "...";
  lines_.push_back(std::move(partial_));
  partial_.clear();
  partialTruncated_ = false;
  while (lines_.size() > kMaxLines) lines_.pop_front();
}

std::vector<std::string> OutputTail::Lines() const {
  std::vector<std::string> out(lines_.begin(), lines_.end());
  if (!partial_.empty()) out.push_back(partial_ + (partialTruncated_ ? "..." : ""));
  if (out.size() > kMaxLines) out.erase(out.begin(), out.end() - kMaxLines);
  return out;
}

std::string OutputTail::Joined() const {
  std::string out;
  for (const auto& line : Lines()) {
    if (!out.empty()) out += " | ";
    out += line;
  }
  return out;
}

namespace {

// posix_spawn's attribute and file-action objects, destroyed on every path.
struct SpawnSetup {
  posix_spawnattr_t attr{};
  posix_spawn_file_actions_t actions{};
  bool haveAttr = false;
  bool haveActions = false;
  ~SpawnSetup() {
    if (haveActions) posix_spawn_file_actions_destroy(&actions);
    if (haveAttr) posix_spawnattr_destroy(&attr);
  }
};

std::string EnvName(const char* entry) {
  const char* eq = std::strchr(entry, '=');
  return eq ? std::string(entry, static_cast<std::size_t>(eq - entry)) : std::string(entry);
}

}  // namespace

std::optional<ChildProcess> ChildProcess::Spawn(const std::vector<std::string>& argv,
                                                const std::vector<std::pair<std::string, std::string>>& extraEnv,
                                                std::string* error) {
  auto fail = [&](std::string text) -> std::optional<ChildProcess> {
    if (error) *error = std::move(text);
    return std::nullopt;
  };
  if (argv.empty() || argv.front().empty()) return fail("no program");

  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  std::vector<std::string> envStrings;
  for (char** e = environ; e && *e; ++e) {
    const std::string name = EnvName(*e);
    const bool overridden =
        std::any_of(extraEnv.begin(), extraEnv.end(), [&](const auto& kv) { return kv.first == name; });
    if (!overridden) envStrings.emplace_back(*e);
  }
  for (const auto& [name, value] : extraEnv) envStrings.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (auto& s : envStrings) envp.push_back(s.data());
  envp.push_back(nullptr);

  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return fail(std::string("pipe: ") + std::strerror(errno));
  UniqueFd readEnd(fds[0]);
  UniqueFd writeEnd(fds[1]);
  ::fcntl(readEnd.get(), F_SETFL, O_NONBLOCK);
  // A larger pipe lets a chatty module run longer between two Drain() calls.
  (void)::fcntl(readEnd.get(), F_SETPIPE_SZ, 1 << 20);

  SpawnSetup setup;
  if (posix_spawnattr_init(&setup.attr) != 0) return fail("posix_spawnattr_init failed");
  setup.haveAttr = true;
  if (posix_spawn_file_actions_init(&setup.actions) != 0) return fail("posix_spawn_file_actions_init failed");
  setup.haveActions = true;

  sigset_t none;
  sigemptyset(&none);
  sigset_t defaults;
  sigfillset(&defaults);
  sigdelset(&defaults, SIGKILL);
  sigdelset(&defaults, SIGSTOP);
  int rc = posix_spawnattr_setflags(&setup.attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK |
                                                     POSIX_SPAWN_SETSIGDEF);
  if (rc == 0) rc = posix_spawnattr_setpgroup(&setup.attr, 0);
  if (rc == 0) rc = posix_spawnattr_setsigmask(&setup.attr, &none);
  if (rc == 0) rc = posix_spawnattr_setsigdefault(&setup.attr, &defaults);
  if (rc == 0) rc = posix_spawn_file_actions_addopen(&setup.actions, 0, "/dev/null", O_RDONLY, 0);
  if (rc == 0) rc = posix_spawn_file_actions_adddup2(&setup.actions, writeEnd.get(), 1);
  if (rc == 0) rc = posix_spawn_file_actions_adddup2(&setup.actions, writeEnd.get(), 2);
  // Descriptors of the agent (client connections, its database) stay out of
  // the module even when they lack FD_CLOEXEC.
  if (rc == 0) rc = posix_spawn_file_actions_addclosefrom_np(&setup.actions, 3);
  if (rc != 0) return fail(std::string("posix_spawn setup: ") + std::strerror(rc));

  pid_t pid = -1;
  rc = ::posix_spawnp(&pid, args.front(), &setup.actions, &setup.attr, args.data(), envp.data());
  if (rc != 0) return fail("cannot run " + argv.front() + ": " + std::strerror(rc));
  return ChildProcess(pid, std::move(readEnd));
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      output_fd_(std::move(other.output_fd_)),
      output_(std::move(other.output_)),
      status_(other.status_) {}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
  if (this != &other) {
    KillAndReap();
    pid_ = std::exchange(other.pid_, -1);
    output_fd_ = std::move(other.output_fd_);
    output_ = std::move(other.output_);
    status_ = other.status_;
  }
  return *this;
}

ChildProcess::~ChildProcess() { KillAndReap(); }

void ChildProcess::Drain() {
  if (!output_fd_) return;
  char buffer[4096];
  // Bounded so a module that never stops writing cannot hold the agent here.
  for (int rounds = 0; rounds < 256; ++rounds) {
    const ssize_t n = ::read(output_fd_.get(), buffer, sizeof buffer);
    if (n > 0) {
      output_.Append(std::string_view(buffer, static_cast<std::size_t>(n)));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) output_fd_.reset();
    return;
  }
}

void ChildProcess::Reap(bool block) {
  if (pid_ < 0) return;
  int st = 0;
  for (;;) {
    const pid_t r = ::waitpid(pid_, &st, block ? 0 : WNOHANG);
    if (r < 0 && errno == EINTR) continue;
    if (r == 0) return;
    if (r == pid_) status_ = st;
    // r < 0 (ECHILD): someone else reaped it; nothing is left to wait for.
    break;
  }
  pid_ = -1;
  Drain();
}

bool ChildProcess::Running() {
  if (pid_ < 0) return false;
  Drain();
  siginfo_t info{};
  int r;
  do {
    // WNOWAIT leaves the child a zombie, which keeps its process group id
    // from being reused while the rest of the group is killed.
    r = ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT);
  } while (r < 0 && errno == EINTR);
  if (r == 0 && info.si_pid == 0) return true;
  if (r == 0) ::kill(-pid_, SIGKILL);
  Reap(true);
  return false;
}

bool ChildProcess::WaitExit(Clock::time_point deadline) {
  for (;;) {
    if (!Running()) return true;
    const auto now = Clock::now();
    if (now >= deadline) return false;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
    const int ms = static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(left.count(), 1, kPollInterval.count()));
    pollfd p{output_fd_.get(), POLLIN, 0};
    ::poll(&p, output_fd_ ? 1 : 0, ms);
  }
}

void ChildProcess::SignalGroup(int sig) {
  if (pid_ > 0) ::kill(-pid_, sig);
}

void ChildProcess::KillAndReap() {
  if (pid_ < 0) return;
  ::kill(-pid_, SIGKILL);
  Reap(true);
}

std::string ChildProcess::DescribeStatus() const {
  if (!status_) return pid_ > 0 ? "running" : "status unknown";
  if (WIFEXITED(*status_)) return "exit " + std::to_string(WEXITSTATUS(*status_));
  if (WIFSIGNALED(*status_)) return "signal " + std::to_string(WTERMSIG(*status_));
  return "status " + std::to_string(*status_);
}

bool IsNumericAddress(const std::string& text) {
  in6_addr a6{};
  in_addr a4{};
  return ::inet_pton(AF_INET, text.c_str(), &a4) == 1 || ::inet_pton(AF_INET6, text.c_str(), &a6) == 1;
}

bool TryConnect(const std::string& host, std::uint16_t port, std::chrono::milliseconds timeout) {
  sockaddr_storage storage{};
  socklen_t length = 0;
  int family = AF_INET;
  auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
  if (::inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(port);
    length = sizeof(sockaddr_in);
  } else if (::inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
    family = AF_INET6;
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(port);
    length = sizeof(sockaddr_in6);
  } else {
    return false;
  }
  UniqueFd fd(::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd) return false;
  if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&storage), length) == 0) return true;
  if (errno != EINPROGRESS) return false;
  pollfd p{fd.get(), POLLOUT, 0};
  int r;
  do {
    r = ::poll(&p, 1, static_cast<int>(std::max<std::chrono::milliseconds::rep>(timeout.count(), 1)));
  } while (r < 0 && errno == EINTR);
  if (r <= 0) return false;
  int soError = 0;
  socklen_t soLength = sizeof soError;
  if (::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &soError, &soLength) != 0) return false;
  return soError == 0;
}

}  // namespace cvserver::modules
