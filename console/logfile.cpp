#include "console/logfile.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "console/errors.h"

namespace console {
namespace {

constexpr char32_t kReplacement = 0xFFFD;
// The counting thread reads this much at a time (whole blocks).
constexpr std::size_t kScanChunk = 4 << 20;
// Room mapped beyond the size, so that a growing log rarely needs a new
// mapping.
constexpr std::uint64_t kMinReserve = std::uint64_t{1} << 30;
// A backward search for a line start gives up after this many bytes and
// takes the point it reached as the start (a file with no break for this
// long, and no index there yet).
constexpr std::uint64_t kMaxBackward = 64 << 20;
// Lines past the counted part that LineStart walks to instead of waiting.
constexpr std::uint64_t kMaxWalk = 10000;

bool IsBreakAt(std::string_view bytes, std::size_t i, int next) {
  if (bytes[i] == '\n') return true;
  if (bytes[i] != '\r') return false;
  const int after = i + 1 < bytes.size() ? static_cast<unsigned char>(bytes[i + 1]) : next;
  return after != '\n';
}

// The first '\n' or '\r' in bytes, or its size; a file without one of the
// two is searched in windows, so that finding the other does not cost a pass
// over the rest of the file.
std::size_t FindBreakByte(std::string_view bytes) {
  constexpr std::size_t kWindow = 64 << 10;
  for (std::size_t at = 0; at < bytes.size(); at += kWindow) {
    const std::size_t n = std::min(kWindow, bytes.size() - at);
    const char* p = bytes.data() + at;
    const void* lf = std::memchr(p, '\n', n);
    const std::size_t lfAt = lf ? static_cast<std::size_t>(static_cast<const char*>(lf) - p) : n;
    const void* cr = std::memchr(p, '\r', lfAt);
    if (cr) return at + static_cast<std::size_t>(static_cast<const char*>(cr) - p);
    if (lf) return at + lfAt;
  }
  return bytes.size();
}

}  // namespace

// --- decoding ------------------------------------------------------------------

Utf8Step DecodeUtf8(std::string_view bytes) {
  const auto b = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
  const unsigned char c = b(0);
  if (c < 0x80) return {c, 1};
  int length = 0;
  char32_t code = 0;
  char32_t min = 0;
  if (c >= 0xC2 && c <= 0xDF) {
    length = 2, code = c & 0x1F, min = 0x80;
  } else if (c >= 0xE0 && c <= 0xEF) {
    length = 3, code = c & 0x0F, min = 0x800;
  } else if (c >= 0xF0 && c <= 0xF4) {
    length = 4, code = c & 0x07, min = 0x10000;
  } else {
    return {kReplacement, 1};
  }
  if (bytes.size() < static_cast<std::size_t>(length)) return {kReplacement, 1};
  for (int i = 1; i < length; ++i) {
    if ((b(i) & 0xC0) != 0x80) return {kReplacement, 1};
    code = (code << 6) | (b(i) & 0x3F);
  }
  if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return {kReplacement, 1};
  return {code, length};
}

int ShownLine::ColumnOf(std::uint64_t offset) const {
  const auto it = std::upper_bound(column.begin(), column.end(), offset);
  return std::max(0, static_cast<int>(it - column.begin()) - 1);
}

ShownLine ShowLine(std::string_view line, std::uint64_t fullLength, int tabWidth) {
  ShownLine shown;
  shown.cut = fullLength > ShownLine::kShownBytes;
  line = line.substr(0, std::min<std::size_t>(line.size(), ShownLine::kShownBytes));
  shown.text.reserve(static_cast<qsizetype>(line.size()));
  shown.column.reserve(line.size() + 1);
  std::size_t at = 0;
  while (at < line.size()) {
    const Utf8Step step = DecodeUtf8(line.substr(at));
    if (step.code == '\t') {
      const int spaces = tabWidth - static_cast<int>(shown.column.size() % static_cast<std::size_t>(tabWidth));
      for (int i = 0; i < spaces; ++i) {
        shown.text += QLatin1Char(' ');
        shown.column.push_back(static_cast<std::uint32_t>(at));
      }
    } else {
      const char32_t code = step.code < 0x20 || step.code == 0x7F ? kReplacement : step.code;
      shown.text += QString::fromUcs4(&code, 1);
      shown.column.push_back(static_cast<std::uint32_t>(at));
    }
    at += static_cast<std::size_t>(step.length);
  }
  shown.column.push_back(static_cast<std::uint32_t>(at));
  return shown;
}

// --- writing lines ------------------------------------------------------------

void LineWriter::Feed(std::string_view piece) {
  if (skipLf_ && !piece.empty()) {
    skipLf_ = false;
    if (piece.front() == '\n') piece.remove_prefix(1);
  }
  while (!piece.empty()) {
    std::size_t at = FindBreakByte(piece);
    if (at > 0) {
      out_(piece.substr(0, at));
      lineOpen_ = true;
    }
    if (at == piece.size()) return;
    out_(brk_);
    lineOpen_ = false;
    if (piece[at] == '\r') {
      if (at + 1 == piece.size()) {
        skipLf_ = true;
        return;
      }
      if (piece[at + 1] == '\n') ++at;
    }
    piece.remove_prefix(at + 1);
  }
}

void LineWriter::Finish() {
  if (lineOpen_) out_(brk_);
  lineOpen_ = false;
  skipLf_ = false;
}

namespace {

// The LFs in [p, p + size) and whether there is any CR. Built twice where the
// compiler can: for processors with the POPCNT instruction and for any
// x86-64; the loader picks the one this processor runs (without it, every
// popcount is a library call).
#if defined(__x86_64__) && defined(__GNUC__)
__attribute__((target_clones("popcnt", "default")))
#endif
std::uint64_t CountLfs(const char* p, std::size_t size, bool& anyCr) {
  std::uint64_t n = 0;
  anyCr = false;
  std::size_t i = 0;
#if defined(__SSE2__)
  // Sixteen bytes at a time: the LFs counted from a compare mask, CRs only
  // noted (most logs have none).
  const __m128i lf = _mm_set1_epi8('\n');
  const __m128i cr = _mm_set1_epi8('\r');
  int crMask = 0;
  for (; i + 64 <= size; i += 64) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 16));
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 32));
    const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 48));
    const std::uint64_t mask = std::uint64_t(unsigned(_mm_movemask_epi8(_mm_cmpeq_epi8(a, lf)))) |
                               std::uint64_t(unsigned(_mm_movemask_epi8(_mm_cmpeq_epi8(b, lf)))) << 16 |
                               std::uint64_t(unsigned(_mm_movemask_epi8(_mm_cmpeq_epi8(c, lf)))) << 32 |
                               std::uint64_t(unsigned(_mm_movemask_epi8(_mm_cmpeq_epi8(d, lf)))) << 48;
    n += static_cast<std::uint64_t>(__builtin_popcountll(mask));
    crMask |= _mm_movemask_epi8(_mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(a, cr), _mm_cmpeq_epi8(b, cr)),
                                             _mm_or_si128(_mm_cmpeq_epi8(c, cr), _mm_cmpeq_epi8(d, cr))));
  }
  anyCr = crMask != 0;
#endif
  for (; i < size; ++i) {
    n += p[i] == '\n';
    anyCr |= p[i] == '\r';
  }
  return n;
}

}  // namespace

std::uint64_t CountBreaks(std::string_view bytes, int next) {
  const char* p = bytes.data();
  const std::size_t size = bytes.size();
  bool anyCr = false;
  std::uint64_t n = CountLfs(p, size, anyCr);
  if (!anyCr) return n;
  // The lone CRs: those not followed by an LF.
  for (const char* at = p; (at = static_cast<const char*>(std::memchr(at, '\r', size - std::size_t(at - p)))); ++at)
    if (IsBreakAt(bytes, std::size_t(at - p), next)) ++n;
  return n;
}

// --- LogFile ------------------------------------------------------------------------

LogFile::LogFile(const QString& path, std::size_t block) : path_(path), block_(std::max<std::size_t>(block, 2)) {
  if (path.isEmpty()) throw EFileError(OpenError(path, ErrnoText(ENOENT)));
  // Without blocking, so that a FIFO is refused instead of waited on.
  fd_.reset(::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!fd_) throw EFileError(OpenError(path, ErrnoText(errno)));
  struct stat st {};
  if (::fstat(fd_.get(), &st) != 0) throw EFileError(OpenError(path, ErrnoText(errno)));
  if (!S_ISREG(st.st_mode))
    throw EFileError(OpenError(path, S_ISDIR(st.st_mode) ? ErrnoText(EISDIR) : QStringLiteral("It is not a regular file.")));
  ::fcntl(fd_.get(), F_SETFL, ::fcntl(fd_.get(), F_GETFL) & ~O_NONBLOCK);
  dev_ = st.st_dev;
  inode_ = st.st_ino;
  size_ = static_cast<std::uint64_t>(st.st_size);
  // The mapping reaches well past the end, so that appended bytes are in it
  // without mapping again; nothing past the size is ever read.
  reserve_ = std::max<std::uint64_t>(size_ + std::max(size_, kMinReserve), 1);
  void* map = ::mmap(nullptr, reserve_, PROT_READ, MAP_SHARED, fd_.get(), 0);
  if (map == MAP_FAILED) throw EFileError(OpenError(path, ErrnoText(errno)));
  map_ = static_cast<const char*>(map);
  guard_ = std::make_unique<MapGuard>(map_, reserve_);
  scanSize_ = size_;
  LineBreakScanner scanner;
  for (std::uint64_t at = 0; at < size_ && !scanner.Found(); at += 64 << 10) scanner.Feed(Bytes(at, at + (64 << 10)));
  break_ = scanner.Finish();
  ::posix_fadvise(fd_.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  scanner_ = std::thread([this] { Scan(); });
}

LogFile::~LogFile() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  changed_.notify_all();
  scanner_.join();
  guard_.reset();
  if (map_) ::munmap(const_cast<char*>(map_), reserve_);
}

std::string_view LogFile::Bytes(std::uint64_t from, std::uint64_t to) const {
  to = std::min(to, size_);
  if (from >= to) return {};
  return {map_ + from, static_cast<std::size_t>(to - from)};
}

std::size_t LogFile::ReadAt(std::uint64_t offset, char* buffer, std::size_t size) const {
  return ReadFully(path_, size, [&](std::size_t done) {
    return ::pread(fd_.get(), buffer + done, size - done, static_cast<off_t>(offset + done));
  });
}

void LogFile::Release(std::uint64_t from, std::uint64_t to) const {
  const auto page = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
  from -= from % page;
  to = std::min(to, reserve_);
  if (from < to) ::madvise(const_cast<char*>(map_) + from, to - from, MADV_DONTNEED);
}

void LogFile::Scan() {
  // A chunk of whole blocks and the byte after them, which decides whether a
  // CR at a block's end is a break; a block is counted only once that byte
  // exists, so appending never changes a counted block. The bytes are read
  // through the mapping (no copy), whose pages are let go chunk by chunk.
  const std::size_t chunk = std::max(kScanChunk / block_, std::size_t{1}) * block_;
  std::vector<std::uint64_t> counted;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    const std::uint64_t size = scanSize_;
    const std::size_t next = breaks_.size();
    std::uint64_t total = breaks_.empty() ? 0 : breaks_.back();
    if (stop_) return;
    if ((next + 1) * block_ >= size) {
      changed_.notify_all();
      changed_.wait(lock);
      continue;
    }
    lock.unlock();
    const std::uint64_t offset = std::uint64_t{next} * block_;
    const std::uint64_t end = std::min<std::uint64_t>(offset + chunk + 1, size);
    ::madvise(const_cast<char*>(map_) + offset, end - offset, MADV_WILLNEED);
    counted.clear();
    for (std::uint64_t at = offset; at + block_ < end; at += block_) {
      total += CountBreaks(std::string_view(map_ + at, block_), static_cast<unsigned char>(map_[at + block_]));
      counted.push_back(total);
    }
    Release(offset, end - 1);
    lock.lock();
    breaks_.insert(breaks_.end(), counted.begin(), counted.end());
  }
}

std::uint64_t LogFile::BreaksBefore(std::size_t block) const { return block == 0 ? 0 : breaks_[block - 1]; }

std::uint64_t LogFile::IndexedBytes() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return CompleteLocked() ? size_ : std::uint64_t{breaks_.size()} * block_;
}

bool LogFile::IndexComplete() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return CompleteLocked();
}

bool LogFile::CompleteLocked() const {
  const std::size_t blocks = size_ == 0 ? 0 : static_cast<std::size_t>((size_ - 1) / block_);
  return breaks_.size() >= blocks;
}

std::uint64_t LogFile::CountRange(std::uint64_t from, std::uint64_t to) const {
  const int next = to < size_ ? static_cast<unsigned char>(map_[to]) : -1;
  return CountBreaks(Bytes(from, to), next);
}

std::uint64_t LogFile::KnownLines() const {
  std::unique_lock<std::mutex> lock(mutex_);
  const std::size_t blocks = breaks_.size();
  const std::uint64_t counted = breaks_.empty() ? 0 : breaks_.back();
  const bool complete = CompleteLocked();
  lock.unlock();
  if (!complete) return counted + 1;
  return counted + CountRange(std::uint64_t{blocks} * block_, size_) + 1;
}

std::optional<std::uint64_t> LogFile::LineCount() const {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (!CompleteLocked()) return std::nullopt;
  }
  return KnownLines();
}

bool LogFile::WaitIndexed(int timeoutMs) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return CompleteLocked(); });
}

std::uint64_t LogFile::AfterBreak(std::uint64_t from, std::uint64_t n) const {
  // Walks the breaks of the mapped bytes; the caller knows the n-th is in
  // reach (within one block, or the unindexed rest when it is short).
  std::uint64_t at = from;
  while (n > 0 && at < size_) {
    const std::string_view rest = Bytes(at, size_);
    const std::size_t i = FindBreakByte(rest);
    if (i == rest.size()) return size_;
    at += i;
    if (map_[at] == '\r' && at + 1 < size_ && map_[at + 1] == '\n') ++at;
    ++at;
    --n;
  }
  return at;
}

std::optional<std::uint64_t> LogFile::LineStart(std::uint64_t line) const {
  if (line == 0) return 0;
  std::unique_lock<std::mutex> lock(mutex_);
  // The first block whose breaks reach line: the line starts after the
  // line-th break, which is in that block.
  const auto it = std::lower_bound(breaks_.begin(), breaks_.end(), line);
  const std::size_t blocks = breaks_.size();
  const bool complete = CompleteLocked();
  const bool found = it != breaks_.end();
  std::uint64_t before = 0;
  std::uint64_t from = 0;
  if (found) {
    const auto block = static_cast<std::size_t>(it - breaks_.begin());
    before = BreaksBefore(block);
    from = std::uint64_t{block} * block_;
  } else {
    before = breaks_.empty() ? 0 : breaks_.back();
    from = std::uint64_t{blocks} * block_;
  }
  lock.unlock();
  if (!found && !complete) {
    // Not counted yet: a line a little past the count is walked to.
    if (line - before > kMaxWalk) return std::nullopt;
    std::uint64_t at = from;
    for (std::uint64_t n = line - before; n > 0; --n) {
      if (LineEnd(at) >= size_) return std::nullopt;
      at = NextLine(at);
    }
    return at;
  }
  if (!found && before + CountRange(from, size_) < line) return std::nullopt;
  return AfterBreak(from, line - before);
}

std::optional<std::uint64_t> LogFile::LineOf(std::uint64_t offset) const {
  offset = std::min(offset, size_);
  const auto block = static_cast<std::size_t>(offset / block_);
  std::size_t usable = 0;
  std::uint64_t before = 0;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (block > breaks_.size() && !CompleteLocked()) return std::nullopt;
    usable = std::min(block, breaks_.size());
    before = BreaksBefore(usable);
  }
  // Breaks whose line ends before offset: a CR just before offset counts
  // only when offset does not hold its LF.
  const std::uint64_t from = std::uint64_t{usable} * block_;
  return before + CountRange(from, offset);
}

std::uint64_t LogFile::LineEnd(std::uint64_t start) const {
  const std::string_view rest = Bytes(start, size_);
  return start + FindBreakByte(rest);
}

std::uint64_t LogFile::NextLine(std::uint64_t start) const {
  const std::uint64_t end = LineEnd(start);
  if (end >= size_) return size_;
  return AfterBreak(end, 1);
}

std::uint64_t LogFile::LineStartAt(std::uint64_t offset) const {
  offset = std::min(offset, size_);
  if (const std::optional<std::uint64_t> line = LineOf(offset))
    if (const std::optional<std::uint64_t> start = LineStart(*line)) return *start;
  // Without the index: back to the byte after the previous break.
  const std::uint64_t limit = offset > kMaxBackward ? offset - kMaxBackward : 0;
  for (std::uint64_t at = offset; at > limit; --at) {
    const char c = map_[at - 1];
    if (c == '\n') return at;
    if (c == '\r' && (at >= size_ || map_[at] != '\n')) return at;
  }
  return limit;
}

std::uint64_t LogFile::PrevLine(std::uint64_t start) const {
  if (start == 0) return 0;
  // start - 1 is the end of the previous line's break.
  std::uint64_t end = start - 1;
  if (end > 0 && map_[end] == '\n' && map_[end - 1] == '\r') --end;
  return LineStartAt(end);
}

LogFile::Change LogFile::Check() {
  struct stat atPath {};
  if (::stat(QFile::encodeName(path_).constData(), &atPath) != 0) return Change::Missing;
  if (static_cast<std::uint64_t>(atPath.st_dev) != dev_ || static_cast<std::uint64_t>(atPath.st_ino) != inode_)
    return Change::Replaced;
  struct stat st {};
  if (::fstat(fd_.get(), &st) != 0) return Change::Replaced;
  const auto size = static_cast<std::uint64_t>(st.st_size);
  if (size < size_) return Change::Truncated;
  if (size == size_) return Change::None;
  if (size > reserve_) return Change::Outgrown;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    size_ = size;
    scanSize_ = size;
  }
  changed_.notify_all();
  return Change::Grown;
}

}  // namespace console
