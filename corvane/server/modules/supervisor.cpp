#include "corvane/server/modules/supervisor.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <optional>
#include <spdlog/spdlog.h>

#include "corvane/server/modules/commandfile.h"
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

std::chrono::milliseconds Left(Clock::time_point deadline) {
  const auto now = Clock::now();
  return now >= deadline ? std::chrono::milliseconds(0)
                         : std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
}

}  // namespace

struct ModuleSupervisor::Impl {
  SupervisorConfig config;
  std::vector<Module> modules;
  std::atomic<bool> cancelled{false};

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
  bool Preflight(const std::string& key, const Manifest& m, const std::vector<std::string>& args) {
    if (m.preflight.empty()) return true;
    const std::string volume = config.volume.string();
    std::string error;
    auto child = ChildProcess::Spawn(modules::ExpandArgv(m.preflight, volume, args), {}, &error);
    if (!child) {
      spdlog::error("module {}: preflight not started: {}", key, error);
      return false;
    }
    if (!WaitExit(*child, Clock::now() + m.readyTimeout)) {
      child->KillAndReap();
      if (cancelled) {
        spdlog::warn("module {}: preflight stopped, the agent is stopping", key);
      } else {
        spdlog::error("module {}: preflight did not finish within {} ms; last output: {}", key,
                      m.readyTimeout.count(), child->output().Joined());
      }
      return false;
    }
    const auto status = child->status();
    if (!status || !WIFEXITED(*status) || WEXITSTATUS(*status) != 0) {
      spdlog::error("module {}: preflight failed ({}); last output: {}", key, child->DescribeStatus(),
                    child->output().Joined());
      return false;
    }
    return true;
  }

  // Waits for the manifest's readiness check; false with *why set otherwise.
  bool WaitReady(const Manifest& m, ChildProcess& process, std::string* why) {
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
      spdlog::warn("module {} is already loaded", key);
      return kCvErrModuleFailed;
    }
    const auto path = modules::FindInSearchPath(config.volume, config.searchPath, base + ".qrx");
    if (!path) {
      spdlog::warn("module {}: no {}.qrx in the search path", key, base);
      return kCvErrModuleFailed;
    }
    std::string error;
    const auto text = modules::ReadBoundedFile(*path, modules::kMaxManifestBytes, &error);
    if (!text) {
      spdlog::error("module {}: cannot read {}: {}", key, path->string(), error);
      return kCvErrModuleFailed;
    }
    auto manifest = modules::ParseManifest(*text, Defaults(), &error);
    if (!manifest) {
      spdlog::error("module {}: bad manifest {}: {}", key, path->string(), error);
      return kCvErrModuleFailed;
    }
    if (!Preflight(key, *manifest, args)) return kCvErrModuleFailed;

    const std::string volume = config.volume.string();
    std::vector<std::pair<std::string, std::string>> env;
    for (const auto& [name, value] : manifest->env) env.emplace_back(name, modules::ExpandValue(value, volume, args));
    auto process = ChildProcess::Spawn(modules::ExpandArgv(manifest->exec, volume, args), env, &error);
    if (!process) {
      spdlog::error("module {}: {}", key, error);
      return kCvErrModuleFailed;
    }
    std::string why;
    if (!WaitReady(*manifest, *process, &why)) {
      process->KillAndReap();
      spdlog::error("module {} failed to start: {} ({}); last output: {}", key, why, process->DescribeStatus(),
                    process->output().Joined());
      return kCvErrModuleFailed;
    }
    spdlog::info("module {} loaded (pid {}){}{}", key, process->pid(), manifest->description.empty() ? "" : ": ",
                 manifest->description);
    modules.push_back(Module{key, std::move(*manifest), std::move(*process)});
    return 0;
  }

  void Stop(std::vector<Module>::iterator it) {
    Module& m = *it;
    m.process.SignalGroup(SIGTERM);
    if (!m.process.WaitExit(Clock::now() + m.manifest.stopTimeout)) {
      spdlog::warn("module {} still running {} ms after SIGTERM; killing it", m.key, m.manifest.stopTimeout.count());
      m.process.KillAndReap();
    }
    spdlog::info("module {} unloaded ({})", m.key, m.process.DescribeStatus());
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
        done[i] = true;
        --left;
      }
      if (left > 0) SleepFor(modules::kPollInterval);
    }
    modules.clear();
  }

  std::uint32_t RunCommandFile(std::string_view name, const SetParameterFn& setParameter) {
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

std::uint32_t ModuleSupervisor::RunCommandFile(std::string_view name, const SetParameterFn& setParameter) {
  return impl_->RunCommandFile(name, setParameter);
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
