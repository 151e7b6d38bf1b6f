// The audit trail: one record per administrative action, appended to a file
// by this one writer (O_APPEND, whole lines per write) and, when the agent
// runs under systemd, sent to the journal as CV_* fields. Each record names
// the SHA-256 of the one before; checkpoints signed with the agent's TLS key
// are written at start, at each rotation (the last line of the old file and
// the first of the new one) and at stop.
//
// Record may be called from any thread. A record that cannot be written is
// counted and reported at error priority at most once a minute; with
// [audit] required, Admits() then refuses administrative actions until a
// record is written again.
//
// Unless [audit] required is set, a record need not reach the file before
// the client has its reply: once StartWriter ran, Record only stamps and
// queues it, and a writer thread writes the queue, in order, within
// kBatchWait. Sequence numbers and the chain are given at the write; a
// checkpoint, a record written at once and the destructor write what waits
// first.
#pragma once

#include <openssl/evp.h>

#include <chrono>
#include <cstdint>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <thread>
#include <vector>

#include "corvane/server/audit_record.h"
#include "corvane/server/config.h"
#include "posix/unique_fd.h"

namespace cvserver {

// The SHA-256 fingerprint of a PEM certificate file, "AB:CD:...", empty when
// it cannot be read; the public key through key when given.
std::string CertificateFingerprint(const std::string& path, std::unique_ptr<EVP_PKEY, void (*)(EVP_PKEY*)>* key);

class AuditTrail {
 public:
  using Extras = std::vector<std::pair<std::string, std::string>>;

  AuditTrail() = default;
  ~AuditTrail();
  AuditTrail(const AuditTrail&) = delete;
  AuditTrail& operator=(const AuditTrail&) = delete;

  // Loads the signing key and opens the file, picking up the chain where
  // the file (or, when it is missing, the last rotated one) ends. False,
  // with the reason, only for a key that cannot be used; a file that
  // cannot be opened is reported and retried at each record.
  bool Open(const AuditConfig& config, const std::string& keyFile, const std::string& certificateFile,
            std::string& error);
  bool enabled() const { return config_.enabled; }
  const std::string& file() const { return config_.file; }

  // From now on records wait for the writer thread (not with [audit]
  // required, where an action waits for its record).
  void StartWriter();
  // Writes the records waiting; whether all of them reached the file.
  bool Flush();

  // Writes one record, or queues it (see StartWriter); whether it reached
  // the file or the queue.
  bool Record(std::string_view action, std::string_view target, std::uint32_t outcome, const cvaudit::Who& who,
              Extras extra = {});
  // A re-read of the configuration (SIGHUP, systemctl reload): its file,
  // and on failure why (the old configuration stays).
  bool Reload(std::string_view configFile, bool ok, std::string_view why = {}) {
    Extras extra;
    if (!ok) extra.emplace_back("detail", std::string(why));
    return Record("reload", configFile, ok ? 0 : kReloadFailed, cvaudit::Who{}, std::move(extra));
  }
  static constexpr std::uint32_t kReloadFailed = 0x89FF;  // "Failure"
  // A signed checkpoint: reason is "start", "rotation" or "stop".
  bool Checkpoint(std::string_view reason);
  // The agent's certificate was replaced (a reload): when keyFile and
  // certificateFile hold another pair than the one in use, a checkpoint
  // signed with the old key names the new certificate ("next"), and one
  // signed with the new key follows; later checkpoints are signed with the
  // new key. False, with the old key kept, when the pair cannot be read.
  bool Rekey(const std::string& keyFile, const std::string& certificateFile);
  // Whether an administrative action may go ahead: always, unless [audit]
  // required is set and the last record could not be written.
  bool Admits();
  // Records that could not be written since the start.
  std::uint64_t unrecorded();

 private:
  static AuditConfig Disabled() {
    AuditConfig c;
    c.enabled = false;
    return c;
  }
  // The chain's state before a record: where it goes back to when the
  // record cannot be written.
  struct Chain {
    std::string prev;
    std::uint64_t seq;
  };
  // A checkpoint record, not yet written: the key in use and what could not be recorded.
  cvaudit::Record CheckpointLocked(std::string_view reason) const;
  bool WriteLocked(cvaudit::Record r, bool sign);
  // Appends the record's line (with its break) to out, chained on: prev_
  // and seq_ move on. False, with out as it was, when it cannot be written.
  bool LineLocked(cvaudit::Record r, bool sign, std::string& out);
  // Appends count records' lines in one write; when that fails, nothing of
  // them stays and the chain goes back to before.
  bool AppendLocked(std::string_view lines, std::size_t count, const Chain& before);
  bool FlushLocked();
  void WriterLoop();
  bool OpenFileLocked();
  void RotateLocked();
  void FailedLocked(const std::string& why, std::size_t count = 1);
  void SendToJournal(const cvaudit::Record& r) const;
  std::string SignLocked(const std::string& text);

  std::mutex mutex_;
  AuditConfig config_ = Disabled();
  posix::UniqueFd fd_;
  bool regular_ = true;  // a regular file: sized and rotated (not /dev/full, say)
  std::string prev_{cvaudit::kNoPrevious};
  std::uint64_t seq_ = 1;
  std::uint64_t size_ = 0;
  std::unique_ptr<EVP_PKEY, void (*)(EVP_PKEY*)> key_{nullptr, EVP_PKEY_free};
  std::string fingerprint_;
  bool journal_ = false;
  bool healthy_ = true;
  bool rotating_ = false;
  std::uint64_t unrecorded_ = 0;

  // Records stamped but not yet written, under queueMutex_ (taken after
  // mutex_ where both are held); bounded, written at once when full.
  static constexpr std::size_t kMaxWaiting = 1024;
  // How long the writer, after a batch, lets records gather before it looks
  // again; it is woken only from a longer sleep.
  static constexpr auto kBatchWait = std::chrono::milliseconds(2);
  struct Waiting {
    cvaudit::Record record;
    std::chrono::system_clock::time_point at;
  };
  std::mutex queueMutex_;
  std::condition_variable wake_;
  std::vector<Waiting> waiting_;
  std::vector<Waiting> spare_;  // empty: the storage of the queue written last
  bool deferring_ = false;
  bool writerAsleep_ = false;
  bool stopping_ = false;
  std::thread writer_;
  std::chrono::steady_clock::time_point lastReport_{};
  bool reported_ = false;
};

}  // namespace cvserver
