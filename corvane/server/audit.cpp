#include "corvane/server/audit.h"
#include "corvane/server/logging.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/resource.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <spdlog/spdlog.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <systemd/sd-journal.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace cvserver {
namespace {

constexpr auto kReportEvery = std::chrono::minutes(1);

struct FileClose {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

// The last complete line of a regular file (without its break), and
// whether the file ends in the middle of a line.
struct Tail {
  std::string line;
  bool partial = false;
  bool exists = false;
};

Tail ReadTail(const std::string& path) {
  Tail t;
  posix::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  struct stat st {};
  if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return t;
  t.exists = st.st_size > 0;
  const auto window = static_cast<off_t>(std::min<std::uint64_t>(static_cast<std::uint64_t>(st.st_size),
                                                                 2 * cvaudit::kMaxLine + 2));
  std::string buf(static_cast<std::size_t>(window), '\0');
  const ssize_t n = ::pread(fd.get(), buf.data(), buf.size(), st.st_size - window);
  if (n <= 0) return t;
  buf.resize(static_cast<std::size_t>(n));
  t.partial = buf.back() != '\n';
  if (t.partial) {
    const auto nl = buf.rfind('\n');
    buf.resize(nl == std::string::npos ? 0 : nl + 1);
  }
  if (buf.empty()) return t;
  buf.pop_back();
  const auto nl = buf.rfind('\n');
  t.line = nl == std::string::npos ? buf : buf.substr(nl + 1);
  return t;
}

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// "auto": when the agent's own standard error goes to the journal, which
// systemd says in JOURNAL_STREAM ("device:inode" of that stream).
bool WantJournal(AuditConfig::Journal mode) {
  if (mode == AuditConfig::Journal::Off) return false;
  if (mode == AuditConfig::Journal::On) return true;
  return IsJournalStream(std::getenv("JOURNAL_STREAM"), STDERR_FILENO);
}

}  // namespace

std::string CertificateFingerprint(const std::string& path, std::unique_ptr<EVP_PKEY, void (*)(EVP_PKEY*)>* key) {
  std::unique_ptr<std::FILE, FileClose> f(std::fopen(path.c_str(), "re"));
  if (!f) return {};
  std::unique_ptr<X509, void (*)(X509*)> cert(PEM_read_X509(f.get(), nullptr, nullptr, nullptr), X509_free);
  if (!cert) return {};
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (X509_digest(cert.get(), EVP_sha256(), md, &len) != 1) return {};
  std::string out;
  for (unsigned int i = 0; i < len; ++i) {
    char b[4];
    std::snprintf(b, sizeof b, i ? ":%02X" : "%02X", md[i]);
    out += b;
  }
  if (key) key->reset(X509_get_pubkey(cert.get()));
  return out;
}

namespace {

// The private key in a PEM file, or none.
std::unique_ptr<EVP_PKEY, void (*)(EVP_PKEY*)> ReadPrivateKey(const std::string& path) {
  std::unique_ptr<EVP_PKEY, void (*)(EVP_PKEY*)> key(nullptr, EVP_PKEY_free);
  std::unique_ptr<std::FILE, FileClose> f(std::fopen(path.c_str(), "re"));
  if (f) key.reset(PEM_read_PrivateKey(f.get(), nullptr, nullptr, nullptr));
  return key;
}

}  // namespace

bool AuditTrail::Open(const AuditConfig& config, const std::string& keyFile, const std::string& certificateFile,
                      std::string& error) {
  std::lock_guard lock(mutex_);
  config_ = config;
  if (!config_.enabled) return true;
  key_ = ReadPrivateKey(keyFile);
  fingerprint_ = CertificateFingerprint(certificateFile, nullptr);
  if (!key_ || fingerprint_.empty()) {
    error = "audit: cannot read the key " + keyFile + " or the certificate " + certificateFile + " to sign with";
    return false;
  }
  journal_ = WantJournal(config_.journal);
  // The chain goes on from the last record written, in this file or, when
  // it is missing or empty, in the last rotated one.
  Tail tail = ReadTail(config_.file);
  if (!tail.exists) tail = ReadTail(config_.file + ".1");
  if (!tail.line.empty()) {
    prev_ = cvaudit::Hash(tail.line);
    if (auto last = cvaudit::Parse(tail.line)) seq_ = last->seq + 1;
  }
  if (OpenFileLocked() && tail.partial && ReadTail(config_.file).partial) {
    // A line cut short (a crash mid-write): ended, so that it stands alone
    // and audit-verify names it.
    spdlog::error("audit: {} ends in an incomplete record", config_.file);
    WriteAll(fd_.get(), "\n");
  }
  return true;
}

bool AuditTrail::OpenFileLocked() {
  fd_.reset(::open(config_.file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0640));
  if (!fd_) {
    FailedLocked("cannot open " + config_.file + ": " + std::strerror(errno));
    return false;
  }
  struct stat st {};
  if (::fstat(fd_.get(), &st) != 0) return false;
  regular_ = S_ISREG(st.st_mode);
  size_ = regular_ ? static_cast<std::uint64_t>(st.st_size) : 0;
  return true;
}

AuditTrail::~AuditTrail() {
  {
    std::lock_guard queue(queueMutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  if (writer_.joinable()) writer_.join();
  Flush();
}

void AuditTrail::StartWriter() {
  std::lock_guard lock(mutex_);
  if (!config_.enabled || config_.required || writer_.joinable()) return;
  {
    std::lock_guard queue(queueMutex_);
    deferring_ = true;
  }
  writer_ = std::thread([this] { WriterLoop(); });
}

void AuditTrail::WriterLoop() {
  // Behind the threads that answer requests, but never starved: a busy
  // machine delays the records by a few scheduling rounds at most. Should
  // the queue fill meanwhile, the callers write (Record).
  ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), 10);
  ::pthread_setname_np(::pthread_self(), "cvaudit");
  std::unique_lock queue(queueMutex_);
  const auto ready = [this] { return stopping_ || !waiting_.empty(); };
  for (;;) {
    if (!ready() && !wake_.wait_for(queue, kBatchWait, ready)) {
      writerAsleep_ = true;
      wake_.wait(queue, ready);
      writerAsleep_ = false;
    }
    if (stopping_) return;  // the destructor writes what is left
    queue.unlock();
    Flush();
    queue.lock();
  }
}

bool AuditTrail::Record(std::string_view action, std::string_view target, std::uint32_t outcome,
                        const cvaudit::Who& who, Extras extra) {
  if (!config_.enabled) return true;
  cvaudit::Record r;
  r.action = action;
  r.target = target.substr(0, cvaudit::kMaxField);
  r.outcome = outcome;
  r.who = who;
  r.extra = std::move(extra);
  {
    std::unique_lock queue(queueMutex_);
    if (deferring_ && waiting_.size() < kMaxWaiting) {
      waiting_.push_back({std::move(r), std::chrono::system_clock::now()});
      const bool wake = writerAsleep_ && waiting_.size() == 1;
      queue.unlock();
      if (wake) wake_.notify_one();
      return true;
    }
  }
  std::lock_guard lock(mutex_);
  // Written now, after those waiting, so that the order stays.
  const bool before = FlushLocked();
  const bool written = WriteLocked(std::move(r), false);
  if (written && regular_ && size_ >= config_.maxSize && !rotating_) RotateLocked();
  return before && written;
}

bool AuditTrail::Flush() {
  if (!config_.enabled) return true;
  std::lock_guard lock(mutex_);
  return FlushLocked();
}

bool AuditTrail::FlushLocked() {
  // The queue's storage goes back and forth between the two, so that
  // queuing a record does not allocate once the queue has grown.
  std::vector<Waiting> waiting;
  {
    std::lock_guard queue(queueMutex_);
    waiting.swap(waiting_);
    waiting_.swap(spare_);
  }
  // One write for the lot, cut where the file reaches its rotation size.
  bool all = true;
  std::string batch;
  std::size_t count = 0;
  Chain before{prev_, seq_};
  const auto append = [&] {
    if (count > 0 && !AppendLocked(batch, count, before)) all = false;
    batch.clear();
    count = 0;
    if (regular_ && size_ >= config_.maxSize && !rotating_) RotateLocked();
    before = {prev_, seq_};
  };
  batch.reserve(waiting.size() * 512);
  for (auto& w : waiting) {
    w.record.time = cvaudit::TimeText(w.at);
    if (!LineLocked(std::move(w.record), false, batch)) {
      all = false;
      continue;
    }
    ++count;
    if (regular_ && size_ + batch.size() >= config_.maxSize) append();
  }
  append();
  waiting.clear();
  std::lock_guard queue(queueMutex_);
  if (spare_.capacity() < waiting.capacity()) spare_.swap(waiting);
  return all;
}

bool AuditTrail::Checkpoint(std::string_view reason) {
  if (!config_.enabled) return true;
  std::lock_guard lock(mutex_);
  FlushLocked();
  return WriteLocked(CheckpointLocked(reason), true);
}

bool AuditTrail::Rekey(const std::string& keyFile, const std::string& certificateFile) {
  if (!config_.enabled) return true;
  auto key = ReadPrivateKey(keyFile);
  std::string fingerprint = CertificateFingerprint(certificateFile, nullptr);
  std::lock_guard lock(mutex_);
  if (!key || fingerprint.empty()) {
    spdlog::error("audit: cannot read the key {} or the certificate {}; checkpoints are still signed with {}",
                  keyFile, certificateFile, fingerprint_);
    return false;
  }
  if (fingerprint == fingerprint_) return true;
  FlushLocked();
  cvaudit::Record handover = CheckpointLocked("rekey");
  handover.extra.insert(handover.extra.begin() + 1, {"next", fingerprint});
  const bool handed = WriteLocked(std::move(handover), true);
  key_ = std::move(key);
  fingerprint_ = std::move(fingerprint);
  return WriteLocked(CheckpointLocked("rekey"), true) && handed;
}

cvaudit::Record AuditTrail::CheckpointLocked(std::string_view reason) const {
  cvaudit::Record r;
  r.action = "checkpoint";
  r.target = reason;
  r.extra = {{"key", fingerprint_}, {"unrecorded", std::to_string(unrecorded_)}};
  return r;
}

bool AuditTrail::Admits() {
  if (!config_.enabled || !config_.required) return true;
  std::lock_guard lock(mutex_);
  return healthy_;
}

std::uint64_t AuditTrail::unrecorded() {
  std::lock_guard lock(mutex_);
  FlushLocked();
  return unrecorded_;
}

std::string AuditTrail::SignLocked(const std::string& text) {
  std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  // Ed25519 and Ed448 hash for themselves.
  const int id = EVP_PKEY_get_id(key_.get());
  const EVP_MD* md = id == EVP_PKEY_ED25519 || id == EVP_PKEY_ED448 ? nullptr : EVP_sha256();
  std::size_t n = 0;
  if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, md, nullptr, key_.get()) != 1 ||
      EVP_DigestSign(ctx.get(), nullptr, &n, reinterpret_cast<const unsigned char*>(text.data()), text.size()) != 1) {
    return {};
  }
  std::vector<std::uint8_t> sig(n);
  if (EVP_DigestSign(ctx.get(), sig.data(), &n, reinterpret_cast<const unsigned char*>(text.data()), text.size()) != 1)
    return {};
  sig.resize(n);
  return cvaudit::Hex(sig);
}

bool AuditTrail::WriteLocked(cvaudit::Record r, bool sign) {
  const Chain before{prev_, seq_};
  std::string line;
  return LineLocked(std::move(r), sign, line) && AppendLocked(line, 1, before);
}

bool AuditTrail::LineLocked(cvaudit::Record r, bool sign, std::string& out) {
  r.seq = seq_;
  if (r.time.empty()) r.time = cvaudit::Now();
  r.prev.swap(prev_);  // prev_ gets the line's own hash below, or r.prev back
  const std::size_t start = out.size();
  cvaudit::EncodeInto(out, r);
  if (sign) {
    r.sig = SignLocked(out.substr(start));
    out.resize(start);
    if (r.sig.empty()) {
      prev_.swap(r.prev);
      FailedLocked("cannot sign a checkpoint");
      return false;
    }
    cvaudit::EncodeInto(out, r);
  }
  if (journal_) SendToJournal(r);
  const std::string_view line = std::string_view(out).substr(start);
  if (line.size() > cvaudit::kMaxLine) {
    const std::size_t size = line.size();
    out.resize(start);
    prev_.swap(r.prev);
    FailedLocked("a record of " + std::to_string(size) + " bytes is too long");
    return false;
  }
  cvaudit::HashInto(line, prev_);
  ++seq_;
  out += '\n';
  return true;
}

bool AuditTrail::AppendLocked(std::string_view lines, std::size_t count, const Chain& before) {
  if (fd_ || OpenFileLocked()) {
    if (WriteAll(fd_.get(), lines)) {
      size_ += lines.size();
      if (!healthy_) {
        spdlog::warn("audit: writing to {} again; {} record(s) could not be written", config_.file, unrecorded_);
        healthy_ = true;
      }
      return true;
    }
    const std::string why = std::strerror(errno);
    // Nothing of a record may stay half written: the next one would share its line.
    if (regular_ && ::ftruncate(fd_.get(), static_cast<off_t>(size_)) != 0) fd_.reset();
    FailedLocked("cannot write to " + config_.file + ": " + why, count);
  } else {
    unrecorded_ += count - 1;  // OpenFileLocked counted one
  }
  prev_ = before.prev;
  seq_ = before.seq;
  return false;
}

void AuditTrail::RotateLocked() {
  rotating_ = true;
  const cvaudit::Record end = CheckpointLocked("rotation");
  if (WriteLocked(end, true)) {
    for (std::uint32_t i = config_.keep; i >= 1; --i) {
      const std::string from = i == 1 ? config_.file : config_.file + "." + std::to_string(i - 1);
      const std::string to = config_.file + "." + std::to_string(i);
      if (::rename(from.c_str(), to.c_str()) != 0 && errno != ENOENT) {
        spdlog::error("audit: cannot rotate {} to {}: {}", from, to, std::strerror(errno));
      }
    }
    if (OpenFileLocked()) {
      cvaudit::Record start = end;
      WriteLocked(std::move(start), true);
    }
  }
  rotating_ = false;
}

void AuditTrail::FailedLocked(const std::string& why, std::size_t count) {
  unrecorded_ += count;
  healthy_ = false;
  const auto now = std::chrono::steady_clock::now();
  if (!reported_ || now - lastReport_ >= kReportEvery) {
    reported_ = true;
    lastReport_ = now;
    spdlog::error("audit: {}; {} record(s) not recorded so far", why, unrecorded_);
  }
}

void AuditTrail::SendToJournal(const cvaudit::Record& r) const {
  const auto fields = cvaudit::JournalFields(r, r.outcome == 0 ? LOG_NOTICE : LOG_WARNING);
  std::vector<iovec> iov;
  iov.reserve(fields.size());
  for (const auto& f : fields) iov.push_back({const_cast<char*>(f.data()), f.size()});
  sd_journal_sendv(iov.data(), static_cast<int>(iov.size()));
}

}  // namespace cvserver
