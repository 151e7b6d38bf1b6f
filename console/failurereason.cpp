#include "console/failurereason.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QStringList>
#include <algorithm>
#include <string>
#include <vector>

#include "posix/unique_fd.h"

namespace console {
namespace {

constexpr std::string_view kAgentMark = "[cvserverd:error]";
constexpr std::string_view kDidNotLoad = " did not load: ";
constexpr std::string_view kOutput = " output: ";

bool Holds(std::string_view line, std::string_view what) { return line.find(what) != std::string_view::npos; }

std::string_view TrimBreak(std::string_view line) {
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
  return line;
}

}  // namespace

QString NewestAgentEntry(std::string_view text) {
  std::vector<std::string_view> lines;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = text.find('\n', at);
    const std::size_t stop = end == std::string_view::npos ? text.size() : end;
    lines.push_back(TrimBreak(text.substr(at, stop - at)));
    at = stop + 1;
  }
  // The newest "did not load" line, and the output lines that follow it.
  std::size_t first = lines.size();
  for (std::size_t i = lines.size(); i-- > 0;) {
    if (Holds(lines[i], kAgentMark) && Holds(lines[i], kDidNotLoad)) {
      first = i;
      break;
    }
  }
  if (first == lines.size()) return {};
  QStringList entry{QString::fromUtf8(lines[first].data(), static_cast<qsizetype>(lines[first].size()))};
  for (std::size_t i = first + 1; i < lines.size(); ++i) {
    if (!Holds(lines[i], kAgentMark) || !Holds(lines[i], kOutput)) break;
    entry << QString::fromUtf8(lines[i].data(), static_cast<qsizetype>(lines[i].size()));
  }
  return entry.join(QLatin1Char('\n'));
}

ErrorLogMark::ErrorLogMark(QString path) : path_(std::move(path)) {
  struct stat st {};
  if (::stat(QFile::encodeName(path_).constData(), &st) == 0 && S_ISREG(st.st_mode)) {
    existed_ = true;
    size_ = st.st_size;
    device_ = st.st_dev;
    inode_ = st.st_ino;
  }
}

QString ErrorLogMark::NewestEntry() const {
  // O_NONBLOCK: a FIFO in the log's place must not stall the window.
  posix::UniqueFd fd(::open(QFile::encodeName(path_).constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!fd) return {};
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return {};
  const bool same = existed_ && st.st_dev == device_ && st.st_ino == inode_ && st.st_size >= size_;
  const std::int64_t from = std::max<std::int64_t>(same ? size_ : 0, st.st_size - kMaxRead);
  if (st.st_size <= from) return {};
  std::string text(static_cast<std::size_t>(st.st_size - from), '\0');
  std::size_t got = 0;
  while (got < text.size()) {
    const ssize_t n = ::pread(fd.get(), text.data() + got, text.size() - got, static_cast<off_t>(from) + static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  text.resize(got);
  return NewestAgentEntry(text);
}

QString ErrorLogMark::Details() const {
  const QString entry = NewestEntry();
  if (!entry.isEmpty()) return entry;
  return QStringLiteral("No reason was recorded: the server added nothing to %1 while the command ran.").arg(path_);
}

}  // namespace console
