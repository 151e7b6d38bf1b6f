#include "corvane/rfc/scripts.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <mutex>
#include <set>

#include "posix/unique_fd.h"

namespace cvrfc {
namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t kErrorTail = 1024;
constexpr std::size_t kMaxAttributeName = 79;

std::mutex gRunningMutex;
std::set<pid_t> gRunning;  // process groups of the scripts running now

bool Pipe(posix::UniqueFd& read, posix::UniqueFd& write) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return false;
  read.reset(fds[0]);
  write.reset(fds[1]);
  return true;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (auto& s : strings) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

bool NameOk(std::string_view name) {
  if (name.empty() || name.size() > kMaxAttributeName || name.front() == '.' || name.back() == '.') return false;
  for (char c : name) {
    const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '.';
    if (!ok) return false;
  }
  return name.find("..") == std::string_view::npos;
}

template <typename T>
bool Number(std::string_view text, T* out) {
  auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), *out);
  return ec == std::errc() && p == text.data() + text.size() && !text.empty();
}

// The guard of one script: a process of its own that kills the script's
// process group when this service ends before the script does (killed,
// say: the script's children would run on under init), or when the script
// outlives its time limit by far. This service tells it "done" with one
// byte on the pipe; the end of the pipe without that byte means this
// service is gone.
struct ScriptGuard {
  pid_t pid = -1;
  int done = -1;  // write end
};

constexpr std::chrono::seconds kGuardGrace(5);

ScriptGuard StartGuard(pid_t group, std::chrono::milliseconds timeout) {
  ScriptGuard g;
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return g;
  const long long waitMs = std::chrono::duration_cast<std::chrono::milliseconds>(timeout + kGuardGrace).count();
  const pid_t pid = ::fork();
  if (pid < 0) {
    ::close(fds[0]);
    ::close(fds[1]);
    return g;
  }
  if (pid == 0) {
    // Async-signal-safe calls only. Its own process group, so that what
    // ends this service's group leaves the guard to do its work; nothing of
    // the service's kept open (other guards' pipes among them).
    ::setpgid(0, 0);
    const int in = fds[0];
    const int devnull = ::open("/dev/null", O_RDWR);
    if (devnull >= 0) {
      ::dup2(devnull, 0);
      ::dup2(devnull, 1);
      ::dup2(devnull, 2);
    }
    if (in > 3) ::close_range(3, static_cast<unsigned>(in) - 1, 0);
    ::close_range(static_cast<unsigned>(in) + 1, ~0U, 0);
    long long left = waitMs;
    char byte = 0;
    for (;;) {
      pollfd p{in, POLLIN, 0};
      const int n = ::poll(&p, 1, static_cast<int>(left > 60000 ? 60000 : left));
      if (n < 0 && errno == EINTR) continue;
      if (n == 0) {
        left -= 60000;
        if (left > 0) continue;
        break;  // far past the limit
      }
      const ssize_t got = ::read(in, &byte, 1);
      if (got < 0 && errno == EINTR) continue;
      if (got == 1) ::_exit(0);  // done: the service has ended the group itself
      break;                     // the service is gone
    }
    ::kill(-group, SIGKILL);
    ::_exit(0);
  }
  ::close(fds[0]);
  g.pid = pid;
  g.done = fds[1];
  return g;
}

void StopGuard(const ScriptGuard& g) {
  if (g.pid < 0) return;
  const char byte = 1;
  [[maybe_unused]] auto n = ::write(g.done, &byte, 1);
  ::close(g.done);
  int status = 0;
  while (::waitpid(g.pid, &status, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace

ScriptResult RunScript(const ScriptRun& run) {
  ScriptResult result;
  posix::UniqueFd outRead, outWrite, errRead, errWrite;
  if (!Pipe(outRead, outWrite) || !Pipe(errRead, errWrite)) {
    result.error = std::string("pipe: ") + std::strerror(errno);
    return result;
  }
  std::vector<std::string> argvStrings{run.program.string()};
  argvStrings.insert(argvStrings.end(), run.args.begin(), run.args.end());
  std::vector<std::string> envStrings = run.env;
  auto argv = Pointers(argvStrings);
  auto envp = Pointers(envStrings);
  const std::string dir = run.workDir.string();

  // Everything the child needs is prepared above: after fork it calls only
  // async-signal-safe functions.
  const pid_t pid = ::fork();
  if (pid < 0) {
    result.error = std::string("fork: ") + std::strerror(errno);
    return result;
  }
  if (pid == 0) {
    ::setpgid(0, 0);
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    const int devnull = ::open("/dev/null", O_RDONLY);
    if (devnull >= 0) ::dup2(devnull, 0);
    ::dup2(outWrite.get(), 1);
    ::dup2(errWrite.get(), 2);
    if (!dir.empty() && ::chdir(dir.c_str()) != 0) ::_exit(126);
    ::execve(argv[0], argv.data(), envp.data());
    const char msg[] = "cannot run the script\n";
    [[maybe_unused]] auto n = ::write(2, msg, sizeof msg - 1);
    ::_exit(127);
  }
  ::setpgid(pid, pid);  // also here, so that a kill never misses the group
  const ScriptGuard guard = StartGuard(pid, run.timeout);
  {
    std::lock_guard lock(gRunningMutex);
    gRunning.insert(pid);
  }
  outWrite.reset();
  errWrite.reset();

  const auto deadline = Clock::now() + run.timeout;
  bool outOpen = true, errOpen = true;
  result.kind = ScriptResult::Kind::Exited;
  char buffer[4096];
  while (outOpen || errOpen) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      result.kind = ScriptResult::Kind::TimedOut;
      break;
    }
    pollfd fds[2] = {{outOpen ? outRead.get() : -1, POLLIN, 0}, {errOpen ? errRead.get() : -1, POLLIN, 0}};
    const int n = ::poll(fds, 2, static_cast<int>(std::min<long long>(left, 1000)));
    if (n < 0 && errno != EINTR) break;
    if (n <= 0) continue;
    if (fds[0].revents) {
      const ssize_t got = ::read(outRead.get(), buffer, sizeof buffer);
      if (got <= 0) {
        outOpen = false;
      } else {
        result.output.append(buffer, static_cast<std::size_t>(got));
        if (result.output.size() > run.outputLimit) {
          result.output.resize(run.outputLimit);
          result.kind = ScriptResult::Kind::TooMuchOutput;
          break;
        }
      }
    }
    if (fds[1].revents) {
      const ssize_t got = ::read(errRead.get(), buffer, sizeof buffer);
      if (got <= 0) {
        errOpen = false;
      } else {
        result.errorTail.append(buffer, static_cast<std::size_t>(got));
        if (result.errorTail.size() > kErrorTail) result.errorTail.erase(0, result.errorTail.size() - kErrorTail);
      }
    }
  }
  int status = 0;
  if (result.kind != ScriptResult::Kind::Exited) {
    ::kill(-pid, SIGKILL);
    ::waitpid(pid, &status, 0);
  } else {
    // Both pipes closed: the script is done, or closed them and runs on.
    for (;;) {
      const pid_t w = ::waitpid(pid, &status, WNOHANG);
      if (w == pid) break;
      if (Clock::now() >= deadline) {
        result.kind = ScriptResult::Kind::TimedOut;
        ::kill(-pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        break;
      }
      ::poll(nullptr, 0, 10);
    }
    ::kill(-pid, SIGKILL);  // what it left behind in its group
  }
  StopGuard(guard);
  {
    std::lock_guard lock(gRunningMutex);
    gRunning.erase(pid);
  }
  result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

void KillRunningScripts() {
  std::lock_guard lock(gRunningMutex);
  for (pid_t group : gRunning) ::kill(-group, SIGKILL);
}

namespace {

// One line of a script's output read as "T NAME VALUE".
struct TypedLine {
  enum class Kind { Plain, Typed, BadValue } kind = Kind::Plain;
  char type = 0;
  std::string_view name;
  std::string_view value;
  std::int32_t integer = 0;
  std::uint32_t unsignedValue = 0;
  double real = 0;
};

TypedLine ReadLine(std::string_view line) {
  TypedLine t;
  if (line.size() < 3 || line[1] != ' ' || std::string_view("BFIRS").find(line[0]) == std::string_view::npos) return t;
  const std::string_view rest = line.substr(2);
  const std::size_t blank = rest.find(' ');
  t.name = rest.substr(0, blank);
  t.value = blank == std::string_view::npos ? std::string_view() : rest.substr(blank + 1);
  if (!NameOk(t.name)) return t;
  t.type = line[0];
  bool ok = true;
  switch (t.type) {
    case 'B':
      if (t.value == "true" || t.value == "TRUE") {
        t.integer = -1;
      } else if (t.value == "false" || t.value == "FALSE") {
        t.integer = 0;
      } else {
        ok = Number(t.value, &t.integer);
      }
      break;
    case 'F': ok = Number(t.value, &t.unsignedValue); break;
    case 'I': ok = Number(t.value, &t.integer); break;
    case 'R': ok = Number(t.value, &t.real); break;
    default: break;
  }
  t.kind = ok ? TypedLine::Kind::Typed : TypedLine::Kind::BadValue;
  return t;
}

}  // namespace

std::vector<std::uint8_t> ScriptReply(const std::string& output, std::size_t capacity) {
  std::vector<TypedLine> lines;
  for (std::size_t start = 0; start < output.size();) {
    std::size_t end = output.find('\n', start);
    if (end == std::string::npos) end = output.size();
    std::string_view line(output.data() + start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(ReadLine(line));
  }
  const bool anyTyped =
      std::any_of(lines.begin(), lines.end(), [](const TypedLine& t) { return t.kind == TypedLine::Kind::Typed; });
  if (!anyTyped) {
    // Plain text (a line such as "I think so" included).
    Reply plain;
    plain.String("OUTPUT", output);
    if (plain.ok() && plain.size() <= capacity) return plain.Bytes();
    return ErrorReply(kErrReplyTooLarge, "the script's output does not fit the reply", capacity);
  }
  Reply typed;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const TypedLine& t = lines[i];
    if (t.kind == TypedLine::Kind::BadValue) {
      return ErrorReply(kErrScriptOutput, "line " + std::to_string(i + 1) + ": bad " + std::string(1, t.type) +
                                              " value for " + std::string(t.name), capacity);
    }
    if (t.kind != TypedLine::Kind::Typed) continue;
    switch (t.type) {
      case 'B': typed.Bool(t.name, t.integer != 0); break;
      case 'F': typed.Unsigned(t.name, t.unsignedValue); break;
      case 'I': typed.Int(t.name, t.integer); break;
      case 'R': typed.Real(t.name, t.real); break;
      default: typed.String(t.name, t.value); break;
    }
  }
  if (!typed.ok()) return ErrorReply(kErrScriptOutput, "a value of the script's output cannot be stored", capacity);
  if (typed.size() > capacity) return ErrorReply(kErrReplyTooLarge, "the script's reply does not fit", capacity);
  return typed.Bytes();
}

}  // namespace cvrfc
