#include "corvane/rfc/service.h"

#include <sys/statvfs.h>

#include <algorithm>
#include <fstream>
#include <functional>

#include "corvane/rfc/audit_tail.h"
#include "corvane/rfc/reply.h"
#include "corvane/rfc/request.h"
#include "corvane/rfc/scripts.h"
#include "corvane/server/modules/manifest.h"
#include "corvane/server/modules/process.h"
#include "corvane/server/modules/supervisor.h"

namespace cvrfc {
namespace {

using cvwire::service::Call;
using Clock = std::chrono::steady_clock;

constexpr const char* kVersion = "1.0";
constexpr std::size_t kMaxConfigTestOutput = 1500;
constexpr std::int32_t kMaxTailLines = 1000;
constexpr std::size_t kTailWindow = 64 * 1024;  // bytes read from the end of a file

// What a function needs besides its parameters.
struct Context {
  const Call& call;
  const Settings& settings;
  const std::vector<Param>& params;
  std::size_t capacity;
  Clock::time_point deadline;
};

using Fn = std::function<std::vector<std::uint8_t>(const Context&)>;

struct Function {
  const char* name;
  std::size_t minParams;
  std::size_t maxParams;
  bool changes;  // operators only
  Fn run;
};

std::vector<std::uint8_t> Finish(const Reply& r, const Context& c) {
  if (!r.ok()) return ErrorReply(kErrFailed, "a value of the reply cannot be stored", c.capacity);
  if (r.size() > c.capacity) {
    return ErrorReply(kErrReplyTooLarge,
                      "the reply would take " + std::to_string(r.size()) + " bytes, at most " +
                          std::to_string(c.capacity) + " fit",
                      c.capacity);
  }
  return r.Bytes();
}

std::vector<std::uint8_t> BadParameter(const Context& c, std::string text) {
  return ErrorReply(kErrBadParameter, text, c.capacity);
}

std::vector<std::uint8_t> Echo(const Context& c) {
  Reply r;
  for (std::size_t i = 0; i < c.params.size(); ++i) {
    const Param& p = c.params[i];
    const std::string name = "P" + std::to_string(i + 1);
    switch (p.tag) {
      case 'C': r.String(name, p.text); break;
      case 'I': r.Int(name, p.integer); break;
      case 'B': r.Bool(name, p.integer != 0); break;
      case 'D': r.Unsigned(name, p.unsignedValue); break;
      case 'R': r.Real(name, p.real); break;
      case 'O': r.Object(name, p.object); break;
      default: return BadParameter(c, "parameter " + std::to_string(i + 1) + " has an unknown type");
    }
  }
  return Finish(r, c);
}

std::vector<std::uint8_t> ServerInfo(const Context& c) {
  const auto loaded = std::count_if(c.call.modules.begin(), c.call.modules.end(),
                                    [](const cvwire::service::ModuleState& m) { return m.loaded; });
  Reply r;
  r.String("NAME", c.call.serverName)
      .String("VERSION", c.call.serverVersion)
      .Int("UPTIME", static_cast<std::int32_t>(std::min<std::uint32_t>(c.call.serverUpSeconds, INT32_MAX)))
      .Int("MODULES", static_cast<std::int32_t>(loaded))
      .String("SERVICE", std::string(kServiceName) + " " + kVersion);
  return Finish(r, c);
}

// The module name of a parameter: "APACHE2" or "apache2.qrx".
std::optional<std::string> ModuleName(const Context& c) {
  if (c.params[0].tag != 'C') return std::nullopt;
  const std::string_view name = cvserver::modules::StripSuffixNoCase(cvserver::modules::Trim(c.params[0].text), ".qrx");
  if (!cvserver::IsSafeFileName(name)) return std::nullopt;
  return std::string(name);
}

std::vector<std::uint8_t> ModuleStatus(const Context& c) {
  const auto name = ModuleName(c);
  if (!name) return BadParameter(c, "MODULE.STATUS takes a module name");
  const std::string key = cvserver::modules::ToUpper(*name);
  Reply r;
  r.String("NAME", key);
  const auto it = std::find_if(c.call.modules.begin(), c.call.modules.end(),
                               [&](const cvwire::service::ModuleState& m) { return m.name == key; });
  if (it == c.call.modules.end() || !it->loaded) {
    r.Bool("LOADED", false).Int("PID", 0).Int("UPTIME", 0);
  } else {
    r.Bool("LOADED", true)
        .Int("PID", static_cast<std::int32_t>(it->pid))
        .Int("UPTIME", static_cast<std::int32_t>(std::min<std::uint32_t>(it->upSeconds, INT32_MAX)));
  }
  if (it != c.call.modules.end() && !it->lastFailure.empty()) {
    r.String("REASON", it->lastFailure)
        .Int("REASONAGE", static_cast<std::int32_t>(std::min<std::uint32_t>(it->failureAgeSeconds, INT32_MAX)));
  }
  return Finish(r, c);
}

std::vector<std::uint8_t> ConfigTest(const Context& c) {
  const auto name = ModuleName(c);
  if (!name) return BadParameter(c, "APACHE.CONFIGTEST takes a module name");
  const auto path = cvserver::modules::FindInSearchPath(c.settings.volume, c.settings.searchPath, *name + ".qrx");
  if (!path) return BadParameter(c, "no module " + *name + " in the search path");
  std::string error;
  const auto text = cvserver::modules::ReadBoundedFile(*path, cvserver::modules::kMaxManifestBytes, &error);
  if (!text) return ErrorReply(kErrFailed, error, c.capacity);
  const auto manifest = cvserver::modules::ParseManifest(*text, {}, &error);
  if (!manifest) return ErrorReply(kErrFailed, "bad manifest: " + error, c.capacity);
  if (manifest->preflight.empty()) return BadParameter(c, "module " + *name + " has no configuration test");
  auto child = cvserver::modules::ChildProcess::Spawn(
      cvserver::modules::ExpandArgv(manifest->preflight, c.settings.volume.string(), {}), {}, &error);
  if (!child) return ErrorReply(kErrFailed, "configuration test not started: " + error, c.capacity);
  const auto deadline = std::min(c.deadline, Clock::now() + manifest->readyTimeout);
  bool ok = false;
  const bool finished = child->WaitExit(deadline);
  if (!finished) {
    child->KillAndReap();
  } else {
    const auto status = child->status();
    ok = status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0;
  }
  std::string output;
  for (const auto& line : child->output().Lines()) output += line + "\n";
  if (!finished) output += "(did not finish in time)\n";
  else if (!ok) output += "(" + child->DescribeStatus() + ")\n";
  Reply r;
  if (output.size() > kMaxConfigTestOutput) output.erase(0, output.size() - kMaxConfigTestOutput);
  // Room for the rest of the reply: keep the end, which says the most.
  const std::size_t room = c.capacity > 64 ? c.capacity - 64 : 0;
  if (output.size() > room) output.erase(0, output.size() - room);
  r.Bool("OK", ok).String("OUTPUT", output);
  return Finish(r, c);
}

std::vector<std::uint8_t> VolumeSpace(const Context& c) {
  struct statvfs st {};
  if (::statvfs(c.settings.volume.c_str(), &st) != 0) return ErrorReply(kErrFailed, "cannot read the volume's size", c.capacity);
  const auto mb = [&](unsigned long long blocks) {
    const unsigned long long v = blocks * st.f_frsize / (1024ull * 1024ull);
    return static_cast<std::uint32_t>(std::min<unsigned long long>(v, UINT32_MAX));
  };
  Reply r;
  r.Unsigned("TOTAL", mb(st.f_blocks)).Unsigned("FREE", mb(st.f_bavail));
  return Finish(r, c);
}

// path inside the volume ("APACHE\\log\\error_log" or "APACHE/log/error_log",
// an optional leading separator); nullopt when it leaves the volume.
std::optional<std::filesystem::path> InVolume(const std::filesystem::path& volume, std::string text) {
  std::replace(text.begin(), text.end(), '\\', '/');
  while (!text.empty() && text.front() == '/') text.erase(0, 1);
  if (text.empty() || text.find('\0') != std::string::npos) return std::nullopt;
  std::error_code ec;
  const auto root = std::filesystem::canonical(volume, ec);
  if (ec) return std::nullopt;
  const auto full = std::filesystem::canonical(root / text, ec);  // follows links: where the file really is
  if (ec) return std::nullopt;
  const auto rel = full.lexically_relative(root);
  if (rel.empty() || *rel.begin() == "..") return std::nullopt;
  return full;
}

std::vector<std::uint8_t> FileTail(const Context& c) {
  if (c.params[0].tag != 'C') return BadParameter(c, "FILE.TAIL takes a path and a line count");
  std::int32_t count = 10;
  if (c.params.size() > 1) {
    if (c.params[1].tag == 'I') {
      count = c.params[1].integer;
    } else if (c.params[1].tag != 'C' || !cvserver::modules::Trim(c.params[1].text).empty()) {
      return BadParameter(c, "FILE.TAIL takes a path and a line count");
    }
  }
  if (count < 1 || count > kMaxTailLines) return BadParameter(c, "the line count must be 1 to 1000");
  const auto path = InVolume(c.settings.volume, c.params[0].text);
  if (!path) return BadParameter(c, "no such file inside the volume");
  // Checked before opening: opening a FIFO would wait for a writer.
  if (!std::filesystem::is_regular_file(*path)) return BadParameter(c, "no such file inside the volume");
  std::ifstream in(*path, std::ios::binary);
  if (!in) return BadParameter(c, "no such file inside the volume");
  in.seekg(0, std::ios::end);
  const std::streamoff size = in.tellg();
  const std::streamoff from = std::max<std::streamoff>(0, size - static_cast<std::streamoff>(kTailWindow));
  in.seekg(from);
  std::string text(static_cast<std::size_t>(size - from), '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<std::size_t>(in.gcount()));
  if (from > 0) text.erase(0, text.find('\n') == std::string::npos ? text.size() : text.find('\n') + 1);
  if (!text.empty() && text.back() == '\n') text.pop_back();
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  while (start <= text.size() && !text.empty()) {
    const std::size_t end = std::min(text.find('\n', start), text.size());
    lines.emplace_back(text.data() + start, end - start);
    start = end + 1;
  }
  if (lines.size() > static_cast<std::size_t>(count)) lines.erase(lines.begin(), lines.end() - count);
  // The last lines that fit: drop from the front until the reply fits.
  constexpr std::size_t kOverhead = 12 + 8 + 5 + 4 + 8 + 4;  // header, LINES, TEXT entry
  std::size_t bytes = 0;
  for (const auto& l : lines) bytes += l.size() + 1;
  while (!lines.empty() && bytes + kOverhead > c.capacity) {
    bytes -= lines.front().size() + 1;
    lines.erase(lines.begin());
  }
  std::string joined;
  for (const auto& l : lines) {
    if (!joined.empty()) joined += '\n';
    joined += l;
  }
  Reply r;
  r.Int("LINES", static_cast<std::int32_t>(lines.size())).String("TEXT", joined);
  return Finish(r, c);
}

// AUDIT.TAIL [count [action [user]]]: the last records of the agent's
// audit trail, oldest first, as LINES and TEXT (one JSON record a line).
std::vector<std::uint8_t> AuditTail(const Context& c) {
  AuditQuery q;
  const auto text = [&](std::size_t i) -> std::optional<std::string> {
    if (i >= c.params.size()) return std::string();
    if (c.params[i].tag != 'C') return std::nullopt;
    return std::string(cvserver::modules::Trim(c.params[i].text));
  };
  if (!c.params.empty()) {
    if (c.params[0].tag == 'I') {
      if (c.params[0].integer < 1 || c.params[0].integer > kMaxTailLines) {
        return BadParameter(c, "the record count must be 1 to 1000");
      }
      q.count = static_cast<std::size_t>(c.params[0].integer);
    } else if (c.params[0].tag != 'C' || !cvserver::modules::Trim(c.params[0].text).empty()) {
      return BadParameter(c, "AUDIT.TAIL takes a record count, an action and a user");
    }
  }
  const auto action = text(1);
  const auto user = text(2);
  if (!action || !user) return BadParameter(c, "AUDIT.TAIL takes a record count, an action and a user");
  q.action = *action;
  q.user = *user;
  if (c.settings.auditFile.empty()) return ErrorReply(kErrFailed, "the agent keeps no audit trail", c.capacity);
  std::vector<std::string> lines;
  if (!TailAuditTrail(c.settings.auditFile, q, lines)) {
    return ErrorReply(kErrFailed, "the audit trail cannot be read", c.capacity);
  }
  // The last records that fit: dropped from the front until the reply fits.
  constexpr std::size_t kOverhead = 12 + 8 + 5 + 4 + 8 + 4;
  std::size_t bytes = 0;
  for (const auto& l : lines) bytes += l.size() + 1;
  std::size_t from = 0;
  while (from < lines.size() && bytes + kOverhead > c.capacity) bytes -= lines[from++].size() + 1;
  std::string joined;
  for (std::size_t i = from; i < lines.size(); ++i) {
    if (!joined.empty()) joined += '\n';
    joined += lines[i];
  }
  Reply r;
  r.Int("LINES", static_cast<std::int32_t>(lines.size() - from)).String("TEXT", joined);
  return Finish(r, c);
}

const std::vector<Function>& Functions() {
  static const std::vector<Function> table = {
      {"ECHO", 1, 10, false, Echo},
      {"SERVER.INFO", 0, 0, false, ServerInfo},
      {"MODULE.STATUS", 1, 1, false, ModuleStatus},
      {"APACHE.CONFIGTEST", 1, 1, false, ConfigTest},
      {"VOLUME.SPACE", 0, 0, false, VolumeSpace},
      {"FILE.TAIL", 1, 2, false, FileTail},
      {"AUDIT.TAIL", 0, 3, true, AuditTail},
  };
  return table;
}

std::vector<std::uint8_t> RunScriptCall(const Request& req, const Context& c) {
  const std::string& name = req.name;
  if (!cvserver::IsSafeFileName(name)) return BadParameter(c, "bad script name");
  const auto path = cvserver::modules::FindInSearchPath(c.settings.volume, c.settings.searchPath, name);
  if (!path) return ErrorReply(kErrNoScript, "no script " + name + " in the search path", c.capacity);
  ScriptRun run;
  run.program = *path;
  for (const auto& p : req.params) run.args.push_back(p.text);
  run.workDir = c.settings.volume;
  run.env = {"PATH=/usr/local/bin:/usr/bin:/bin", "LANG=C.UTF-8", "CV_SERVER=" + c.call.serverName,
             "CV_USER=" + c.call.user, "CV_VOLUME=" + c.settings.volume.string()};
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(c.deadline - Clock::now());
  run.timeout = std::max(std::chrono::milliseconds(1), std::min(c.settings.scriptTimeout, left));
  run.outputLimit = c.settings.outputLimit;
  const ScriptResult res = RunScript(run);
  std::string lastError = res.errorTail;
  while (!lastError.empty() && (lastError.back() == '\n' || lastError.back() == '\r')) lastError.pop_back();
  if (const auto nl = lastError.rfind('\n'); nl != std::string::npos) lastError.erase(0, nl + 1);
  switch (res.kind) {
    case ScriptResult::Kind::NotStarted:
      return ErrorReply(kErrScriptFailed, name + " not started: " + res.error, c.capacity);
    case ScriptResult::Kind::TimedOut:
      return ErrorReply(kErrScriptTimeout, name + " ran past " + std::to_string(run.timeout.count()) + " ms", c.capacity);
    case ScriptResult::Kind::TooMuchOutput:
      return ErrorReply(kErrScriptOutput, name + " printed more than " + std::to_string(run.outputLimit) + " bytes",
                        c.capacity);
    case ScriptResult::Kind::Exited:
      break;
  }
  if (res.exitStatus != 0) {
    return ErrorReply(kErrScriptFailed,
                      name + " exited with " + std::to_string(res.exitStatus) + (lastError.empty() ? "" : ": ") +
                          lastError,
                      c.capacity);
  }
  return ScriptReply(res.output, c.capacity);
}

}  // namespace

std::vector<std::uint8_t> Answer(const Call& call, const Settings& settings) {
  const std::size_t capacity = std::max<std::size_t>(call.replyCapacity, 1);
  std::string error;
  const auto req = ParseRequest(call.request, &error);
  if (!req) return ErrorReply(kErrBadRequest, "malformed request: " + error, capacity);
  const Context c{call, settings, req->params, capacity,
                  Clock::now() + std::chrono::milliseconds(call.budgetMs)};
  if (req->script) {
    if (!call.isOperator) return RefusedReply();
    return RunScriptCall(*req, c);
  }
  const auto& table = Functions();
  const auto fn = std::find_if(table.begin(), table.end(), [&](const Function& f) { return req->name == f.name; });
  if (fn == table.end()) return ErrorReply(kErrUnknownFunction, "unknown function " + req->name, capacity);
  if (fn->changes && !call.isOperator) return RefusedReply();
  if (req->params.size() < fn->minParams || req->params.size() > fn->maxParams) {
    return BadParameter(c, req->name + " takes " + std::to_string(fn->minParams) +
                               (fn->maxParams != fn->minParams ? " to " + std::to_string(fn->maxParams) : "") +
                               " parameters");
  }
  return fn->run(c);
}

}  // namespace cvrfc
