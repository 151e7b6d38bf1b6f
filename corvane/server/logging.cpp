#include "corvane/server/logging.h"

#include <spdlog/sinks/base_sink.h>
#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/spdlog.h>
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>

namespace cvserver {
namespace {

// Writes each message's lines with their priority prefix, one write per
// message so that concurrent messages do not interleave.
class JournalSink final : public spdlog::sinks::base_sink<std::mutex> {
 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    spdlog::memory_buf_t formatted;
    formatter_->format(msg, formatted);
    std::string_view text(formatted.data(), formatted.size());
    if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
    const std::string out = JournalLines(JournalPriority(msg.level), text);
    std::size_t done = 0;
    while (done < out.size()) {
      const ssize_t n = ::write(STDERR_FILENO, out.data() + done, out.size() - done);
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
  }
  void flush_() override {}
};

}  // namespace

int JournalPriority(spdlog::level::level_enum level) {
  switch (level) {
    case spdlog::level::critical:
      return 2;
    case spdlog::level::err:
      return 3;
    case spdlog::level::warn:
      return 4;
    case spdlog::level::info:
      return 6;
    default:
      return 7;
  }
}

std::string JournalLines(int priority, std::string_view text) {
  const std::string prefix = "<" + std::to_string(priority) + ">";
  std::string out;
  out.reserve(text.size() + prefix.size() + 1);
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = text.find('\n', start);
    std::string_view line = text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    out += prefix;
    out += line;
    out += '\n';
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  return out;
}

bool IsJournalStream(const char* journalStream, int fd) {
  if (journalStream == nullptr) return false;
  const std::string_view v(journalStream);
  const auto colon = v.find(':');
  if (colon == std::string_view::npos) return false;
  unsigned long long dev = 0, ino = 0;
  const char* b = v.data();
  auto [p, ec] = std::from_chars(b, b + colon, dev);
  if (ec != std::errc() || p != b + colon || colon == 0) return false;
  auto [q, ec2] = std::from_chars(b + colon + 1, b + v.size(), ino);
  if (ec2 != std::errc() || q != b + v.size() || colon + 1 == v.size()) return false;
  struct stat st {};
  if (::fstat(fd, &st) != 0) return false;
  return static_cast<unsigned long long>(st.st_dev) == dev && static_cast<unsigned long long>(st.st_ino) == ino;
}

void SetUpLogging() {
  std::shared_ptr<spdlog::logger> logger;
  if (IsJournalStream(std::getenv("JOURNAL_STREAM"), STDERR_FILENO)) {
    logger = std::make_shared<spdlog::logger>("cvserverd", std::make_shared<JournalSink>());
    logger->set_pattern("%v");
  } else {
    logger = spdlog::stderr_color_mt("cvserverd");
  }
  spdlog::set_default_logger(std::move(logger));
}

}  // namespace cvserver
