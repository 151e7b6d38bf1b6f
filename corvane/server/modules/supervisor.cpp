#include "corvane/server/modules/supervisor.h"

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <optional>
#include <spdlog/spdlog.h>

#include "corvane/server/modules/commandfile.h"
#include "corvane/server/modules/faillog.h"
#include "corvane/server/modules/manifest.h"
#include "corvane/server/modules/process.h"

namespace cvserver {

using modules::ChildProcess;
using modules::Clock;
using modules::Manifest;

namespace {

constexpr std::size_t kMaxFileNameLength = 255;
// One connect attempt of a readiness check waits at most this long.
constexpr std::chrono::milliseconds kConnectAttempt{50};
// How often a long wait looks whether the supervisor was cancelled.
constexpr std::chrono::milliseconds kCancelCheck{100};

struct Module {
  std::string key;  // upper-case name
  Manifest manifest;
  ChildProcess process;
};

void SleepFor(std::chrono::milliseconds ms) { ::poll(nullptr, 0, static_cast<int>(ms.count())); }

// One connect attempt to a Unix socket (non-blocking: a listener that does
// not accept yet refuses at once).
bool TryConnectUnix(const std::string& path) {
  sockaddr_un addr{};
  if (path.size() >= sizeof addr.sun_path) return false;
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.data(), path.size());
  posix::UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd) return false;
  return ::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
}

std::string JoinSearchPath(const std::vector<std::string>& folders) {
  std::string out;
  for (const auto& f : folders) {
    if (!out.empty()) out += ':';
    out += f;
  }
  return out;
}

std::chrono::milliseconds Left(Clock::time_point deadline) {
  const auto now = Clock::now();
  return now >= deadline ? std::chrono::milliseconds(0)
                         : std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
}

}  // namespace

// Most bytes of a failure reason on the status board (clients read up to
// 2047).
constexpr std::size_t kStatusReasonLimit = 2000;

// Why a load failed, and what the program printed last.
struct Failure {
  std::string reason;
  std::vector<std::string> output;
};

struct ModuleSupervisor::Impl {
  SupervisorConfig config;
  std::vector<Module> modules;
  std::atomic<bool> cancelled{false};
  StatusBoard status;

  // Records why a load failed: the agent's log, the status board, and the
  // log file the manifest names (when it got that far).
  void RecordFailure(const std::string& key, const Manifest* manifest, const Failure& f) {
    std::string output;
    for (const auto& line : f.output) output += (output.empty() ? "" : " | ") + line;
    spdlog::error("module {} did not load: {}{}{}", key, f.reason, output.empty() ? "" : "; last output: ", output);
    status.Failed(key, modules::FailureSummary(f.reason, f.output, kStatusReasonLimit));
    if (!manifest || manifest->log.empty() || cancelled) return;
    const std::filesystem::path file = modules::ExpandValue(manifest->log, config.volume.string(), {});
    if (!file.is_absolute()) {
      spdlog::warn("module {}: log {} is not an absolute path; reason not written there", key, file.string());
      return;
    }
    std::string error;
    if (!modules::AppendFailureEntry(
            file, modules::FormatFailureEntry(std::chrono::system_clock::now(), key, f.reason, f.output), &error)) {
      spdlog::warn("module {}: cannot write the reason to its log: {}", key, error);
    }
  }

  std::string SocketPath(const std::string& key) const { return (config.runDir / (key + ".sock")).string(); }

  void Forget(const Module& m) {
    status.Unloaded(m.key);
    if (!m.manifest.services.empty()) {
      std::error_code ec;
      std::filesystem::remove(SocketPath(m.key), ec);
    }
  }

  // ChildProcess::WaitExit that gives up early once cancelled (false then).
  bool WaitExit(ChildProcess& process, Clock::time_point deadline) {
    while (!cancelled.load()) {
      if (process.WaitExit(std::min(deadline, Clock::now() + kCancelCheck))) return true;
      if (Clock::now() >= deadline) return false;
    }
    return false;
  }

  modules::ManifestDefaults Defaults() const { return {config.defaultReadyTimeout, config.defaultStopTimeout}; }

  // Forgets modules whose program has exited on its own.
  void Reap() {
    for (auto it = modules.begin(); it != modules.end();) {
      if (it->process.Running()) {
        ++it;
        continue;
      }
      spdlog::warn("module {} ended on its own ({}); last output: {}", it->key, it->process.DescribeStatus(),
                   it->process.output().Joined());
      status.Failed(it->key, modules::FailureSummary("ended on its own (" + it->process.DescribeStatus() + ")",
                                                     it->process.output().Lines(), kStatusReasonLimit));
      Forget(*it);
      it = modules.erase(it);
    }
  }

  std::vector<Module>::iterator FindByKey(const std::string& key) {
    return std::find_if(modules.begin(), modules.end(), [&](const Module& m) { return m.key == key; });
  }

  std::vector<Module>::iterator FindByCommand(std::string_view text) {
    const std::string wanted = modules::NormalizeBlanks(text);
    if (wanted.empty()) return modules.end();
    return std::find_if(modules.begin(), modules.end(), [&](const Module& m) {
      return std::any_of(m.manifest.unloadCommands.begin(), m.manifest.unloadCommands.end(),
                         [&](const std::string& c) { return modules::EqualsNoCase(modules::NormalizeBlanks(c), wanted); });
    });
  }

  // Runs the preflight program to completion within the ready timeout.
  bool Preflight(const Manifest& m, const std::vector<std::string>& args, Failure* f) {
    if (m.preflight.empty()) return true;
    const std::string volume = config.volume.string();
    std::string error;
    auto child = ChildProcess::Spawn(modules::ExpandArgv(m.preflight, volume, args), {}, &error);
    if (!child) {
      f->reason = "preflight not started: " + error;
      return false;
    }
    if (!WaitExit(*child, Clock::now() + m.readyTimeout)) {
      child->KillAndReap();
      f->reason = cancelled ? "preflight stopped, the agent is stopping"
                            : "preflight did not finish within " + std::to_string(m.readyTimeout.count()) + " ms";
      f->output = child->output().Lines();
      return false;
    }
    const auto exit = child->status();
    if (!exit || !WIFEXITED(*exit) || WEXITSTATUS(*exit) != 0) {
      f->reason = "preflight failed (" + child->DescribeStatus() + ")";
      f->output = child->output().Lines();
      return false;
    }
    return true;
  }

  // Waits for the manifest's readiness check; false with *why set otherwise.
  bool WaitReady(const std::string& key, const Manifest& m, ChildProcess& process, std::string* why) {
    if (m.readyService) {
      const std::string socket = SocketPath(key);
      const auto deadline = Clock::now() + m.readyTimeout;
      for (;;) {
        if (cancelled) {
          *why = "the agent is stopping";
          return false;
        }
        if (TryConnectUnix(socket)) {
          if (process.Running()) return true;
          *why = "exited before answering on its service socket";
          return false;
        }
        if (Clock::now() >= deadline) {
          *why = "no answer on its service socket within " + std::to_string(m.readyTimeout.count()) + " ms";
          return false;
        }
        if (process.WaitExit(std::min(deadline, Clock::now() + modules::kPollInterval))) {
          *why = "exited before answering on its service socket";
          return false;
        }
      }
    }
    if (!m.readyTcp) {
      if (WaitExit(process, Clock::now() + m.readyAlive)) {
        *why = "exited before " + std::to_string(m.readyAlive.count()) + " ms";
        return false;
      }
      if (cancelled) {
        *why = "the agent is stopping";
        return false;
      }
      return true;
    }
    const auto& tcp = *m.readyTcp;
    const auto deadline = Clock::now() + m.readyTimeout;
    for (;;) {
      if (cancelled) {
        *why = "the agent is stopping";
        return false;
      }
      if (!process.Running()) {
        *why = "exited before accepting connections";
        return false;
      }
      const auto left = Left(deadline);
      if (left.count() == 0) {
        *why = "no connection to " + tcp.host + ":" + std::to_string(tcp.port) + " within " +
               std::to_string(m.readyTimeout.count()) + " ms";
        return false;
      }
      const auto attemptStart = Clock::now();
      if (modules::TryConnect(tcp.host, tcp.port, std::min(left, kConnectAttempt))) {
        // Someone else may hold the port; the module must still be there.
        if (process.Running()) return true;
        *why = "exited before accepting connections";
        return false;
      }
      // A refused connect returns at once; pace the attempts.
      const auto nextAttempt = std::min(deadline, attemptStart + modules::kPollInterval);
      if (process.WaitExit(nextAttempt)) {
        *why = "exited before accepting connections";
        return false;
      }
    }
  }

  std::uint32_t Load(std::string_view commandLine) {
    if (commandLine.size() > modules::kMaxLineLength) return kCvErrModuleFailed;
    const auto words = modules::SplitBlanks(commandLine);
    if (words.empty() || !IsSafeFileName(words.front())) return kCvErrInvalidFileName;
    if (cancelled) {
      spdlog::warn("module load refused, the agent is stopping");
      return kCvErrModuleFailed;
    }
    const std::string base(modules::StripSuffixNoCase(words.front(), ".qrx"));
    const std::string key = modules::ToUpper(base);
    const std::vector<std::string> args(words.begin() + 1, words.end());

    Reap();
    if (FindByKey(key) != modules.end()) {
      // Not a failure of the module: it runs, so its reason is left alone.
      spdlog::warn("module {} is already loaded", key);
      return kCvErrModuleFailed;
    }
    Failure f;
    std::optional<Manifest> manifest;
    if (!Start(key, base, args, &manifest, &f)) {
      RecordFailure(key, manifest ? &*manifest : nullptr, f);
      return kCvErrModuleFailed;
    }
    return 0;
  }

  // Finds, checks and starts module key; false with *f set on failure
  // (*manifest holds the manifest once it was read).
  bool Start(const std::string& key, const std::string& base, const std::vector<std::string>& args,
             std::optional<Manifest>* manifest, Failure* f) {
    const auto path = modules::FindInSearchPath(config.volume, config.searchPath, base + ".qrx");
    if (!path) {
      f->reason = "no " + base + ".qrx in the search path";
      return false;
    }
    std::string error;
    const auto text = modules::ReadBoundedFile(*path, modules::kMaxManifestBytes, &error);
    if (!text) {
      f->reason = "cannot read " + path->string() + ": " + error;
      return false;
    }
    *manifest = modules::ParseManifest(*text, Defaults(), &error);
    if (!*manifest) {
      f->reason = "bad manifest " + path->string() + ": " + error;
      return false;
    }
    const Manifest& m = **manifest;
    if (!Preflight(m, args, f)) return false;

    const std::string volume = config.volume.string();
    std::vector<std::pair<std::string, std::string>> env;
    for (const auto& [name, value] : m.env) env.emplace_back(name, modules::ExpandValue(value, volume, args));
    std::string socket;
    if (!m.services.empty()) {
      socket = SocketPath(key);
      sockaddr_un probe{};
      if (config.runDir.empty() || socket.size() >= sizeof probe.sun_path) {
        f->reason = "no usable folder for its service socket (" + socket + ")";
        return false;
      }
      std::error_code ec;
      std::filesystem::create_directories(config.runDir, ec);
      std::filesystem::permissions(config.runDir, std::filesystem::perms::owner_all, ec);
      std::filesystem::remove(socket, ec);  // left by a module that died
      env.emplace_back("CV_SERVICE_SOCKET", socket);
      env.emplace_back("CV_VOLUME", volume);
      env.emplace_back("CV_SEARCH_PATH", JoinSearchPath(config.searchPath));
    }
    auto process = ChildProcess::Spawn(modules::ExpandArgv(m.exec, volume, args), env, &error);
    if (!process) {
      f->reason = error;
      return false;
    }
    std::string why;
    if (!WaitReady(key, m, *process, &why)) {
      process->KillAndReap();
      f->reason = "failed to start: " + why + " (" + process->DescribeStatus() + ")";
      f->output = process->output().Lines();
      return false;
    }
    spdlog::info("module {} loaded (pid {}){}{}", key, process->pid(), m.description.empty() ? "" : ": ",
                 m.description);
    status.Loaded(key, process->pid(), m.services, socket);
    modules.push_back(Module{key, std::move(**manifest), std::move(*process)});
    return true;
  }

  void Stop(std::vector<Module>::iterator it) {
    Module& m = *it;
    m.process.SignalGroup(SIGTERM);
    if (!m.process.WaitExit(Clock::now() + m.manifest.stopTimeout)) {
      spdlog::warn("module {} still running {} ms after SIGTERM; killing it", m.key, m.manifest.stopTimeout.count());
      m.process.KillAndReap();
    }
    spdlog::info("module {} unloaded ({})", m.key, m.process.DescribeStatus());
    Forget(m);
    modules.erase(it);
  }

  std::uint32_t Unload(std::string_view nameOrCommand) {
    const std::string_view text = modules::Trim(nameOrCommand);
    if (text.size() > modules::kMaxLineLength) return kCvErrModuleFailed;
    Reap();
    if (auto it = FindByCommand(text); it != modules.end()) {
      Stop(it);
      return 0;
    }
    if (!IsSafeFileName(text)) return kCvErrInvalidFileName;
    const std::string key = modules::ToUpper(modules::StripSuffixNoCase(text, ".qrx"));
    auto it = FindByKey(key);
    if (it == modules.end()) {
      spdlog::warn("unload {}: no such module loaded", key);
      return kCvErrModuleFailed;
    }
    Stop(it);
    return 0;
  }

  // SIGTERM to every module at once, then SIGKILL to each past its timeout.
  void StopAll() {
    const auto now = Clock::now();
    for (auto& m : modules) m.process.SignalGroup(SIGTERM);
    std::vector<Clock::time_point> deadlines;
    for (auto& m : modules) deadlines.push_back(now + m.manifest.stopTimeout);
    std::vector<bool> done(modules.size(), false);
    std::size_t left = modules.size();
    while (left > 0) {
      for (std::size_t i = 0; i < modules.size(); ++i) {
        if (done[i]) continue;
        Module& m = modules[i];
        if (m.process.Running()) {
          if (Clock::now() < deadlines[i]) continue;
          spdlog::warn("module {} still running {} ms after SIGTERM; killing it", m.key,
                       m.manifest.stopTimeout.count());
          m.process.KillAndReap();
        }
        spdlog::info("module {} unloaded ({})", m.key, m.process.DescribeStatus());
        Forget(m);
        done[i] = true;
        --left;
      }
      if (left > 0) SleepFor(modules::kPollInterval);
    }
    modules.clear();
  }

  std::uint32_t RunCommandFile(std::string_view name, const SetParameterFn& setParameter,
                               const ModuleLineFn& moduleLine) {
    const std::string_view trimmed = modules::Trim(name);
    if (!IsSafeFileName(trimmed)) return kCvErrInvalidFileName;
    const std::string base(modules::StripSuffixNoCase(trimmed, ".qbt"));
    const auto path = modules::FindInSearchPath(config.volume, config.searchPath, base + ".qbt");
    if (!path) {
      spdlog::warn("command file {}.qbt not found in the search path", base);
      return kCvErrCommandFileFailed;
    }
    std::string error;
    const auto text = modules::ReadBoundedFile(*path, modules::kMaxCommandFileBytes, &error);
    if (!text) {
      spdlog::error("command file {}: {}", path->string(), error);
      return kCvErrCommandFileFailed;
    }
    const auto lines = modules::SplitLines(*text);
    for (std::size_t n = 0; n < lines.size(); ++n) {
      if (cancelled) {
        spdlog::warn("command file {} stopped before line {}, the agent is stopping", path->filename().string(), n + 1);
        return kCvErrCommandFileFailed;
      }
      const auto line = modules::ParseCommandLine(lines[n]);
      std::uint32_t rc = 0;
      std::string what;
      switch (line.kind) {
        case modules::LineKind::kSkip:
          continue;
        case modules::LineKind::kInvalid:
          rc = kCvErrCommandFileFailed;
          what = line.reason;
          break;
        case modules::LineKind::kLoad:
          rc = Load(line.text);
          break;
        case modules::LineKind::kUnload:
          rc = Unload(line.text);
          break;
        case modules::LineKind::kSet:
          rc = setParameter ? setParameter(line.name, line.value) : kCvErrCommandFileFailed;
          break;
        case modules::LineKind::kConsole: {
          Reap();
          auto it = FindByCommand(line.text);
          if (it == modules.end()) {
            rc = kCvErrCommandFileFailed;
            what = "no loaded module answers this command";
          } else {
            Stop(it);
          }
          break;
        }
      }
      if (moduleLine && (line.kind == modules::LineKind::kLoad || line.kind == modules::LineKind::kUnload ||
                         line.kind == modules::LineKind::kConsole)) {
        moduleLine(line.kind == modules::LineKind::kLoad ? "load" : "unload", line.text, rc);
      }
      if (rc != 0) {
        spdlog::error("command file {} line {} failed ({}{}{}): {}", path->filename().string(), n + 1, rc,
                      what.empty() ? "" : ", ", what, modules::Trim(lines[n]).substr(0, 200));
        return kCvErrCommandFileFailed;
      }
    }
    return 0;
  }
};

ModuleSupervisor::ModuleSupervisor(SupervisorConfig config) : impl_(std::make_unique<Impl>()) {
  impl_->config = std::move(config);
}

ModuleSupervisor::~ModuleSupervisor() { impl_->StopAll(); }

std::uint32_t ModuleSupervisor::Load(std::string_view commandLine) { return impl_->Load(commandLine); }

std::uint32_t ModuleSupervisor::Unload(std::string_view nameOrCommand) { return impl_->Unload(nameOrCommand); }

std::uint32_t ModuleSupervisor::RunCommandFile(std::string_view name, const SetParameterFn& setParameter,
                                               const ModuleLineFn& moduleLine) {
  return impl_->RunCommandFile(name, setParameter, moduleLine);
}

std::vector<std::string> ModuleSupervisor::Loaded() {
  impl_->Reap();
  std::vector<std::string> names;
  for (const auto& m : impl_->modules) names.push_back(m.key);
  std::sort(names.begin(), names.end());
  return names;
}

void ModuleSupervisor::Poll() { impl_->Reap(); }

void ModuleSupervisor::StopAll() { impl_->StopAll(); }

void ModuleSupervisor::Cancel() { impl_->cancelled = true; }

StatusBoard& ModuleSupervisor::status() { return impl_->status; }

bool IsSafeFileName(std::string_view name) {
  if (name.empty() || name.size() > kMaxFileNameLength || name == "." || name.find("..") != std::string_view::npos ||
      name.front() == ' ' || name.back() == ' ')
    return false;
  for (char c : name) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '/' || c == '\\' || c == ':' || u < 0x20 || u == 0x7f) return false;
  }
  return true;
}

}  // namespace cvserver
