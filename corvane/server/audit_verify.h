// Checks audit trail files: every line a record, each naming the SHA-256 of
// the one before (across files too: the first record of a file names the
// last of the file before), checkpoints signed by the key of the agent's
// certificate, and the trail ending in a checkpoint.
#pragma once

#include <openssl/evp.h>

#include <cstdint>
#include <string>
#include <vector>

namespace cvserver {

struct AuditVerdict {
  enum class Status {
    Intact,     // every record fits and the trail ends in a checkpoint
    Broken,     // a record does not fit: message names it
    Unfinished  // the chain fits, but records follow the last checkpoint
  } status = Status::Intact;
  std::string message;
  std::uint64_t records = 0;
  std::uint64_t checkpoints = 0;
};

// Puts rotated files in the order they were written: FILE.3, FILE.2, FILE.1,
// FILE (names without a numeric suffix keep their place after them).
std::vector<std::string> TrailOrder(std::vector<std::string> files);

// A certificate checkpoints may be signed with: its public key, and its
// SHA-256 fingerprint, which the checkpoints it signed name.
struct TrailKey {
  EVP_PKEY* key = nullptr;
  std::string fingerprint;
};

// Checks files, oldest first. Each checkpoint must be signed with the key of
// the certificate it names, one of keys (more than one where the agent's
// certificate was replaced while the trail ran).
AuditVerdict VerifyTrail(const std::vector<std::string>& files, const std::vector<TrailKey>& keys);
inline AuditVerdict VerifyTrail(const std::vector<std::string>& files, EVP_PKEY* key, const std::string& fingerprint) {
  return VerifyTrail(files, std::vector<TrailKey>{{key, fingerprint}});
}

}  // namespace cvserver
