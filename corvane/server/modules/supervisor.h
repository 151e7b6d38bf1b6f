// QRX modules and QBT command files of one server: modules are programs
// described by NAME.qrx manifests (TOML) in the volume's search path, each run
// as a supervised child in its own process group; command files are NAME.qbt
// text files of console commands in the same search path.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "corvane/wire/cverrors.h"
#include "corvane/server/modules/status.h"

namespace cvserver {

// The supervisor answers with client codes (0 is success):
// kCvErrModuleFailed for a load or unload that failed or an unknown module,
// kCvErrCommandFileFailed for a command file with a failing line or no such
// file, kCvErrInvalidFileName for a name with a path separator, "..", a NUL or
// a control character.

struct SupervisorConfig {
  std::filesystem::path volume;                 // the volume's root folder
  std::vector<std::string> searchPath;          // volume folders searched for .qrx and .qbt files, in order
  std::filesystem::path runDir;                 // private folder (0700) of the service sockets
  // Longest a readiness check or a stop may take when a manifest gives no
  // timeout of its own.
  std::chrono::milliseconds defaultReadyTimeout{5000};
  std::chrono::milliseconds defaultStopTimeout{10000};
};

// What a command file's SET line asks of the server's parameters; returns a
// client code (0, 140 type mismatch, 191 unknown parameter).
using SetParameterFn = std::function<std::uint32_t(const std::string& name, const std::string& value)>;
// Told of each module line a command file ran: "load", "unload" (a console
// command too), the line's text and its code.
using ModuleLineFn = std::function<void(std::string_view action, const std::string& text, std::uint32_t code)>;

// Not thread-safe: one thread at a time calls its members (in the agent, its
// module worker), except Cancel(), which any thread may call at any time.
class ModuleSupervisor {
 public:
  explicit ModuleSupervisor(SupervisorConfig config);
  ~ModuleSupervisor();  // stops every loaded module
  ModuleSupervisor(const ModuleSupervisor&) = delete;
  ModuleSupervisor& operator=(const ModuleSupervisor&) = delete;

  // "NAME args": finds NAME.qrx (case-insensitive, with or without the .qrx
  // ending) in the search path, runs its preflight, starts its program and
  // waits for its readiness check. 0 when ready; kCvErrModuleFailed when the
  // module is unknown, already loaded, its preflight fails, or it exits or
  // fails its check (the process group is gone then); kCvErrInvalidFileName
  // for a bad name.
  std::uint32_t Load(std::string_view commandLine);
  // A module name (with or without .qrx) or one of the console commands a
  // loaded module answers: stops its process group (SIGTERM, then SIGKILL
  // after its stop timeout) and answers 0 when it is gone.
  std::uint32_t Unload(std::string_view nameOrCommand);
  // Runs NAME.qbt (case-insensitive, with or without .qbt) line by line:
  // LOAD name [args], UNLOAD name, SET name = value, a loaded module's console
  // command; blank lines and comments (#, ;, REM) are skipped. The first
  // failing line stops the file: kCvErrCommandFileFailed.
  std::uint32_t RunCommandFile(std::string_view name, const SetParameterFn& setParameter,
                               const ModuleLineFn& moduleLine = {});

  // Names of the modules loaded now (a module that died on its own is no
  // longer listed), upper case.
  std::vector<std::string> Loaded();
  // Reaps children that exited on their own; call it from time to time (the
  // server's event loop does).
  void Poll();
  // Stops every module.
  void StopAll();
  // Makes a load's waits in progress give up (the module is killed and the
  // load fails), stops a command file before its next line, and fails every
  // later Load and RunCommandFile; Unload, Poll and StopAll still work. For
  // an agent that is stopping and must not wait out a readiness timeout.
  void Cancel();

  // Loaded modules, their services and the reasons of failed loads; any
  // thread may read it.
  StatusBoard& status();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Whether a name sent by a client may reach the file system: no path
// separator ('/', '\\' or the volume separator ':'), no "..", no NUL or other
// control character, not empty, not "." and no blank at either end, at most
// 255 bytes.
bool IsSafeFileName(std::string_view name);

}  // namespace cvserver
