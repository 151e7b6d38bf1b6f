#include "console/document.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <vector>

#include "console/errors.h"
#include "console/filesave.h"

namespace console {
namespace {

QByteArray Native(const QString& path) { return QFile::encodeName(path); }

// Closes a descriptor, retrying nothing: after EINTR the descriptor is gone.
int CloseFd(int& fd) {
  const int result = ::close(fd);
  fd = -1;
  return result;
}

}  // namespace

std::string_view LineBreakBytes(LineBreak style) {
  switch (style) {
    case LineBreak::Lf:
      return "\n";
    case LineBreak::Cr:
      return "\r";
    case LineBreak::CrLf:
      break;
  }
  return "\r\n";
}

void LineBreakScanner::Feed(std::string_view block) {
  if (found_ || block.empty()) return;
  if (crPending_) {
    crPending_ = false;
    found_ = block.front() == '\n' ? LineBreak::CrLf : LineBreak::Cr;
    return;
  }
  const std::size_t at = block.find_first_of("\r\n");
  if (at == std::string_view::npos) return;
  if (block[at] == '\n') {
    found_ = LineBreak::Lf;
  } else if (at + 1 < block.size()) {
    found_ = block[at + 1] == '\n' ? LineBreak::CrLf : LineBreak::Cr;
  } else {
    crPending_ = true;
  }
}

LineBreak LineBreakScanner::Finish() {
  if (!found_) found_ = crPending_ ? LineBreak::Cr : LineBreak::CrLf;
  crPending_ = false;
  return *found_;
}

void WriteLines(std::string_view text, LineBreak style, const std::function<void(std::string_view)>& out) {
  const std::string_view brk = LineBreakBytes(style);
  const std::size_t n = text.size();
  const auto next = [&](char c, std::size_t from) {
    const std::size_t at = text.find(c, from);
    return at == std::string_view::npos ? n : at;
  };
  std::size_t start = 0;
  std::size_t lf = next('\n', 0);
  std::size_t cr = next('\r', 0);
  while (start < n) {
    if (lf < start) lf = next('\n', start);
    if (cr < start) cr = next('\r', start);
    const std::size_t end = std::min(lf, cr);
    out(text.substr(start, end - start));
    out(brk);
    if (end == n) break;
    start = end + 1;
    if (text[end] == '\r' && start < n && text[start] == '\n') ++start;
  }
}

QString ErrnoText(int error) { return QString::fromStdString(std::generic_category().message(error)); }

std::size_t ReadFully(const QString& path, std::size_t size, const std::function<long(std::size_t done)>& readSome) {
  std::size_t done = 0;
  while (done < size) {
    const long n = readSome(done);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw EFileError(QStringLiteral("Cannot read file \"%1\". %2").arg(path, ErrnoText(errno)));
    }
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return done;
}

QString OpenError(const QString& path, const QString& reason) {
  return QStringLiteral("Cannot open file \"%1\". %2").arg(path, reason);
}

QString CreateError(const QString& path, const QString& reason) {
  return QStringLiteral("Cannot create file \"%1\". %2").arg(path, reason);
}

QString WriteError(const QString& path, const QString& reason) {
  return QStringLiteral("Cannot write file \"%1\". %2").arg(path, reason);
}

// --- InputFile --------------------------------------------------------------

InputFile::InputFile(const QString& path) : path_(path) {
  if (path.isEmpty()) throw EFileError(OpenError(path, ErrnoText(ENOENT)));
  // Without blocking, so that a FIFO is refused instead of waited on.
  fd_ = ::open(Native(path).constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd_ < 0) throw EFileError(OpenError(path, ErrnoText(errno)));
  struct stat st {};
  if (::fstat(fd_, &st) != 0) {
    const int error = errno;
    CloseFd(fd_);
    throw EFileError(OpenError(path, ErrnoText(error)));
  }
  if (!S_ISREG(st.st_mode)) {
    CloseFd(fd_);
    throw EFileError(OpenError(path, S_ISDIR(st.st_mode) ? ErrnoText(EISDIR) : QStringLiteral("It is not a regular file.")));
  }
  ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) & ~O_NONBLOCK);
  size_ = static_cast<std::uint64_t>(st.st_size);
}

InputFile::~InputFile() {
  if (fd_ >= 0) CloseFd(fd_);
}

std::size_t InputFile::Read(char* buffer, std::size_t size) {
  return ReadFully(path_, size, [&](std::size_t done) { return ::read(fd_, buffer + done, size - done); });
}

// --- Document ------------------------------------------------------------------

bool Document::Load(const QString& path, Access access, const Progress& progress) {
  InputFile in(path);
  const std::uint64_t total = in.Size();
  if (progress && !progress(0, total)) return false;
  // The editor's complaints (no memory) name the file like the others.
  const auto named = [&path](auto&& step) {
    try {
      step();
    } catch (const EFileError& e) {
      throw EFileError(OpenError(path, e.Text()));
    }
  };
  std::unique_ptr<TextStore::Fill> fill;
  named([&] { fill = text_.BeginFill(total); });
  LineBreakScanner scanner;
  std::vector<char> block(kBlockSize);
  std::uint64_t done = 0;
  while (const std::size_t n = in.Read(block.data(), block.size())) {
    const std::string_view bytes(block.data(), n);
    scanner.Feed(bytes);
    named([&] { fill->Append(bytes); });
    done += n;
    if (progress && !progress(done, std::max(total, done))) return false;
  }
  const LineBreak style = scanner.Finish();
  text_.Show(std::move(fill), style);
  readOnly_ = access == Access::ReadOnly;
  text_.SetReadOnly(readOnly_);
  file_ = path;
  break_ = style;
  modified_ = false;
  return true;
}

void Document::WriteTo(const QString& path) {
  FileSaver out(path);
  WriteLines(text_.Bytes(), break_, [&out](std::string_view piece) { out.Write(piece); });
  out.Commit();
}

void Document::Save() {
  WriteTo(file_);
  text_.MarkSaved();
  modified_ = false;
}

void Document::SaveAs(const QString& path) {
  WriteTo(path);
  text_.MarkSaved();
  file_ = path;
}

void Document::Close() {
  text_.Show(text_.BeginFill(0), LineBreak::CrLf);
  text_.SetReadOnly(false);
  file_.clear();
  break_ = LineBreak::CrLf;
  readOnly_ = false;
  modified_ = false;
}

}  // namespace console
