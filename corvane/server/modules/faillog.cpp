#include "corvane/server/modules/faillog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "posix/unique_fd.h"

namespace cvserver::modules {
namespace {

// "[Tue Dec 08 06:55:01.123456 2026]" as Apache writes its error log.
std::string Stamp(std::chrono::system_clock::time_point when) {
  const std::time_t t = std::chrono::system_clock::to_time_t(when);
  const auto micros =
      std::chrono::duration_cast<std::chrono::microseconds>(when.time_since_epoch()).count() % 1000000;
  std::tm tm{};
  localtime_r(&t, &tm);
  char date[32];
  std::strftime(date, sizeof date, "%a %b %d %H:%M:%S", &tm);
  char year[8];
  std::strftime(year, sizeof year, "%Y", &tm);
  char out[64];
  std::snprintf(out, sizeof out, "[%s.%06lld %s]", date, static_cast<long long>(micros), year);
  return out;
}

// Control characters would break the log's line structure.
std::string Clean(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) out += (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) ? ' ' : c;
  return out;
}

}  // namespace

std::string FormatFailureEntry(std::chrono::system_clock::time_point when, const std::string& module,
                               const std::string& reason, const std::vector<std::string>& output) {
  const std::string prefix = Stamp(when) + " [cvserverd:error] [pid " + std::to_string(::getpid()) + "] ";
  std::string entry = prefix + "module " + Clean(module) + " did not load: " + Clean(reason) + "\n";
  if (entry.size() > kMaxFailureEntry) entry = entry.substr(0, kMaxFailureEntry - 4) + "...\n";
  // The last lines matter most: keep as many of them as fit.
  std::vector<std::string> lines;
  std::size_t room = kMaxFailureEntry - entry.size();
  for (auto it = output.rbegin(); it != output.rend(); ++it) {
    std::string line = prefix + "module " + Clean(module) + " output: " + Clean(*it) + "\n";
    if (line.size() > room) break;
    room -= line.size();
    lines.push_back(std::move(line));
  }
  for (auto it = lines.rbegin(); it != lines.rend(); ++it) entry += *it;
  return entry;
}

std::string FailureSummary(const std::string& reason, const std::vector<std::string>& output, std::size_t limit) {
  std::string summary = reason.substr(0, limit);
  // The newest lines that fit, counted from the end, each with its line break.
  std::size_t used = summary.size();
  std::size_t first = output.size();
  while (first > 0) {
    const std::string& line = output[first - 1];
    if (line.find_first_not_of(" \t") == std::string::npos) {
      --first;  // blank lines say nothing; they take no room
      continue;
    }
    if (used + 1 + line.size() > limit) break;
    used += 1 + line.size();
    --first;
  }
  for (std::size_t i = first; i < output.size(); ++i) {
    if (output[i].find_first_not_of(" \t") == std::string::npos) continue;
    summary += '\n';
    summary += output[i];
  }
  return summary;
}

bool AppendFailureEntry(const std::filesystem::path& file, const std::string& entry, std::string* error) {
  // O_NONBLOCK: a FIFO in the log's place must not stall the agent.
  posix::UniqueFd fd(::open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0644));
  if (!fd) {
    *error = file.string() + ": " + std::strerror(errno);
    return false;
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    *error = file.string() + ": not a regular file";
    return false;
  }
  const std::string_view text(entry.data(), std::min(entry.size(), kMaxFailureEntry));
  // One write: O_APPEND keeps it whole beside a writer such as Apache.
  const ssize_t n = ::write(fd.get(), text.data(), text.size());
  if (n != static_cast<ssize_t>(text.size())) {
    *error = file.string() + ": " + (n < 0 ? std::strerror(errno) : "short write");
    return false;
  }
  return true;
}

}  // namespace cvserver::modules
