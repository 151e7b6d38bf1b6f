// Scripts of the call service: NAME.BAS, an executable file in the search
// path, run without a shell (its text parameters are its arguments) in its
// own process group, in the volume's root folder, with a time limit and a
// limit on its output.
//
// Its standard output becomes the reply. A line of the form
//     T NAME VALUE
// where T is one of B (boolean: true, false, or an integer; -1 is true),
// F (unsigned 32-bit), I (signed 32-bit), R (real) or S (text: the rest of
// the line, may be empty), and NAME is 1 to 79 characters of letters,
// digits, '_' and '.' (a dot nests: A.B is B inside the object A), is one
// attribute of the reply, in order; other lines are left out. When the
// script prints no such line with a valid value, the reply is one attribute
// OUTPUT ('S') holding all it printed; when it does, a line of that form
// whose value does not read as its type is an error. A script that
// exits with a nonzero status, runs past its time or prints more than allowed
// gets an ERROR reply instead (its last standard-error line as the text).
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "corvane/rfc/reply.h"

namespace cvrfc {

struct ScriptRun {
  std::filesystem::path program;
  std::vector<std::string> args;
  std::filesystem::path workDir;
  std::vector<std::string> env;  // "NAME=value"
  std::chrono::milliseconds timeout{10000};
  std::size_t outputLimit = 16384;
};

struct ScriptResult {
  enum class Kind { Exited, TimedOut, TooMuchOutput, NotStarted } kind = Kind::NotStarted;
  int exitStatus = -1;   // Exited: the exit code, or 128 + signal
  std::string output;    // standard output (at most the limit)
  std::string errorTail; // the last bytes of standard error
  std::string error;     // NotStarted: why
};

ScriptResult RunScript(const ScriptRun& run);

// Turns a script's output into a reply (see above); capacity bounds it.
std::vector<std::uint8_t> ScriptReply(const std::string& output, std::size_t capacity);

// Kills the process groups of the scripts running now (for shutdown).
void KillRunningScripts();

}  // namespace cvrfc
