#include "corvane/server/audit_verify.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <optional>

#include "corvane/server/audit_record.h"

namespace cvserver {
namespace {

struct FileClose {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

// Lines of a file, each at most kMaxLine bytes: a longer one is reported
// as such and the rest of it skipped, never held in memory.
class Lines {
 public:
  explicit Lines(const std::string& path) : f_(std::fopen(path.c_str(), "rbe")) {}
  bool open() const { return f_ != nullptr; }
  // False at the end of the file.
  bool Next(std::string& line, bool& tooLong, bool& unterminated) {
    line.clear();
    tooLong = unterminated = false;
    int c = 0;
    while ((c = std::fgetc(f_.get())) != EOF && c != '\n') {
      if (line.size() <= cvaudit::kMaxLine) {
        line += static_cast<char>(c);
      } else {
        tooLong = true;
      }
    }
    if (c == EOF && line.empty() && !tooLong) return false;
    unterminated = c == EOF;
    return true;
  }

 private:
  std::unique_ptr<std::FILE, FileClose> f_;
};

bool VerifySignature(EVP_PKEY* key, const std::string& text, const std::string& sigHex) {
  const auto sig = cvaudit::Unhex(sigHex);
  if (!sig || !key) return false;
  std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  const int id = EVP_PKEY_get_id(key);
  const EVP_MD* md = id == EVP_PKEY_ED25519 || id == EVP_PKEY_ED448 ? nullptr : EVP_sha256();
  return ctx && EVP_DigestVerifyInit(ctx.get(), nullptr, md, nullptr, key) == 1 &&
         EVP_DigestVerify(ctx.get(), sig->data(), sig->size(), reinterpret_cast<const unsigned char*>(text.data()),
                          text.size()) == 1;
}

long Suffix(const std::string& name) {
  const auto dot = name.rfind('.');
  if (dot == std::string::npos || dot + 1 == name.size() || dot + 7 < name.size()) return 0;
  long n = 0;
  for (std::size_t i = dot + 1; i < name.size(); ++i) {
    if (name[i] < '0' || name[i] > '9') return 0;
    n = n * 10 + (name[i] - '0');
  }
  return n;
}

}  // namespace

std::vector<std::string> TrailOrder(std::vector<std::string> files) {
  std::stable_sort(files.begin(), files.end(),
                   [](const std::string& a, const std::string& b) { return Suffix(a) > Suffix(b); });
  return files;
}

AuditVerdict VerifyTrail(const std::vector<std::string>& files, const std::vector<TrailKey>& keys) {
  AuditVerdict v;
  const auto broken = [&](const std::string& where, const std::string& why) {
    v.status = AuditVerdict::Status::Broken;
    v.message = where + ": " + why;
    return v;
  };
  std::optional<std::string> prevHash;
  std::uint64_t prevSeq = 0;
  std::string lastCheckpoint;  // where
  std::uint64_t sinceCheckpoint = 0;
  std::string firstPrev;
  for (const auto& file : files) {
    Lines lines(file);
    if (!lines.open()) return broken(file, "cannot be read");
    std::string line;
    bool tooLong = false, unterminated = false;
    for (std::uint64_t n = 1; lines.Next(line, tooLong, unterminated); ++n) {
      const std::string where = file + ":" + std::to_string(n);
      if (tooLong) return broken(where, "not a record (longer than " + std::to_string(cvaudit::kMaxLine) + " bytes)");
      std::string why;
      const auto r = cvaudit::Parse(line, &why);
      if (!r) return broken(where, "not a record (" + why + ")" + (unterminated ? ", cut short" : ""));
      const std::string at = where + " (record " + std::to_string(r->seq) + ", " + r->action + ")";
      if (!prevHash) {
        firstPrev = r->prev;
      } else if (r->prev != *prevHash) {
        return broken(at, "does not follow the record before it: a record before it was edited, removed or moved");
      } else if (r->seq != prevSeq + 1) {
        return broken(at, "numbered " + std::to_string(r->seq) + " after " + std::to_string(prevSeq));
      }
      if (unterminated) return broken(at, "the last line is cut short");
      if (r->action == "checkpoint") {
        const auto part = cvaudit::SignedPart(line);
        const std::string* keyName = r->Extra("key");
        const auto signer = std::find_if(keys.begin(), keys.end(),
                                         [&](const TrailKey& k) { return keyName && *keyName == k.fingerprint; });
        if (signer == keys.end()) {
          return broken(at, "checkpoint signed by another key (" + (keyName ? *keyName : std::string("none")) + ")");
        }
        if (!part || r->sig.empty() || !VerifySignature(signer->key, *part, r->sig)) {
          return broken(at, "checkpoint signature does not verify");
        }
        ++v.checkpoints;
        lastCheckpoint = where;
        sinceCheckpoint = 0;
      } else {
        ++sinceCheckpoint;
      }
      prevHash = cvaudit::Hash(line);
      prevSeq = r->seq;
      ++v.records;
    }
  }
  if (v.records == 0) return broken(files.empty() ? std::string("audit-verify") : files.front(), "no records");
  v.message = std::to_string(v.records) + " records, " + std::to_string(v.checkpoints) + " checkpoints";
  if (firstPrev != cvaudit::kNoPrevious) v.message += "; the first follows an earlier record " + firstPrev.substr(0, 16);
  if (lastCheckpoint.empty() || sinceCheckpoint > 0) {
    v.status = AuditVerdict::Status::Unfinished;
    v.message += "; " + std::to_string(sinceCheckpoint) + " record(s) after the last checkpoint" +
                 (lastCheckpoint.empty() ? std::string() : " (" + lastCheckpoint + ")") +
                 ": the trail may have been cut after it, or the agent is running or stopped without one";
  }
  return v;
}

}  // namespace cvserver
