// The audit trail on its own: the record line (escaping, reading back,
// journal fields), the writer with its chain, checkpoints and rotation,
// audit-verify's verdicts on untouched and tampered trails, a trail that
// cannot be written, and AUDIT.TAIL's reading of rotated files.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "corvane/rfc/audit_tail.h"
#include "corvane/server/audit.h"
#include "corvane/server/audit_record.h"
#include "corvane/server/audit_verify.h"
#include "corvane/server/tls.h"
#include "support/temp_dir.h"

namespace {

using ::testing::HasSubstr;
using Status = cvserver::AuditVerdict::Status;
using namespace std::chrono_literals;

std::vector<std::string> ReadLines(const std::filesystem::path& p) {
  std::ifstream in(p);
  std::vector<std::string> lines;
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  return lines;
}

void WriteLines(const std::filesystem::path& p, const std::vector<std::string>& lines) {
  std::ofstream out(p, std::ios::trunc);
  for (const auto& l : lines) out << l << "\n";
}

cvaudit::Who Admin() {
  cvaudit::Who w;
  w.user = "ADMIN";
  w.objectId = 0x01000001;
  w.connection = 3;
  w.peer = "127.0.0.1";
  w.port = 40000;
  w.workstation = "WS1";
  w.mechanism = "scram";
  return w;
}

// ADMIN's unload of target, the first record of a trail.
cvaudit::Record AdminUnload(std::uint64_t seq, std::string target, std::string detail) {
  cvaudit::Record r;
  r.seq = seq;
  r.time = "2026-12-08T03:12:45.120Z";
  r.action = "unload";
  r.target = std::move(target);
  r.who = Admin();
  r.extra = {{"detail", std::move(detail)}};
  r.prev = std::string(cvaudit::kNoPrevious);
  return r;
}

TEST(AuditRecord, ClientTextCannotForgeARecord) {
  // Each text is put in every text field; the line must stay one line and
  // read back with the same fields.
  const std::vector<std::string> texts = {
      "plain",
      "two\nlines",
      "cr\rlf\r\n",
      "\",\"action\":\"login\",\"outcome\":0,\"x\":\"",
      "\"}\n{\"seq\":1,\"action\":\"forged\",\"outcome\":0,\"prev\":\"00\"}",
      "back\\slash\\\"quote",
      std::string("nul\0byte", 8),
      "tab\tbell\x07 del\x7F",
      "line\xE2\x80\xA8separator",
      "bad utf8 \xC3\x28 \xFF\xFE",
      "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80",
  };
  for (const auto& t : texts) {
    SCOPED_TRACE(t);
    cvaudit::Record r;
    r.seq = 7;
    r.time = cvaudit::Now();
    r.action = "send";
    r.target = t;
    r.outcome = 35270;
    r.who = Admin();
    r.who.workstation = t;
    r.who.user = t;
    r.extra = {{"detail", t}, {"old", t}};
    r.prev = std::string(cvaudit::kNoPrevious);
    const std::string line = cvaudit::Encode(r);
    EXPECT_EQ(line.find('\n'), std::string::npos);
    EXPECT_EQ(line.find('\r'), std::string::npos);
    EXPECT_EQ(line.find("\xE2\x80\xA8"), std::string::npos);
    std::string error;
    const auto back = cvaudit::Parse(line, &error);
    ASSERT_TRUE(back) << error << "\n" << line;
    EXPECT_EQ(back->action, "send");
    EXPECT_EQ(back->seq, 7u);
    EXPECT_EQ(back->outcome, 35270u);
    EXPECT_EQ(back->extra.size(), 2u);
    const bool utf8 = t.find('\xFF') == std::string::npos && t.find("\xC3\x28") == std::string::npos;
    if (utf8) {
      EXPECT_EQ(back->target, t);
      EXPECT_EQ(back->who.workstation, t);
      EXPECT_EQ(*back->Extra("detail"), t);
    } else {
      EXPECT_THAT(back->target, HasSubstr("\xEF\xBF\xBD"));
    }
  }
}

TEST(AuditRecord, ParserRefusesWhatIsNotARecord) {
  const std::string prev(cvaudit::kNoPrevious);
  const std::string good = "{\"seq\":1,\"time\":\"t\",\"action\":\"load\",\"outcome\":0,\"prev\":\"" + prev + "\"}";
  ASSERT_TRUE(cvaudit::Parse(good));
  const std::vector<std::string> bad = {
      "",
      "{",
      "[]",
      good + " ",
      good.substr(0, good.size() - 1),
      "{\"seq\":1,\"seq\":2,\"time\":\"t\",\"action\":\"load\",\"outcome\":0,\"prev\":\"" + prev + "\"}",
      "{\"seq\":-1,\"time\":\"t\",\"action\":\"load\",\"outcome\":0,\"prev\":\"" + prev + "\"}",
      "{\"seq\":01,\"time\":\"t\",\"action\":\"load\",\"outcome\":0,\"prev\":\"" + prev + "\"}",
      "{\"seq\":1,\"time\":\"t\",\"action\":\"load\",\"outcome\":0,\"prev\":\"abc\"}",
      "{\"seq\":1,\"time\":\"t\",\"action\":\"\",\"outcome\":0,\"prev\":\"" + prev + "\"}",
      "{\"seq\":1,\"time\":\"t\",\"action\":\"load\",\"outcome\":4294967296,\"prev\":\"" + prev + "\"}",
      "{\"seq\":1,\"time\":\"t\",\"action\":\"lo\nad\",\"outcome\":0,\"prev\":\"" + prev + "\"}",
      "{\"seq\":1,\"time\":\"t\",\"action\":\"\\x\",\"outcome\":0,\"prev\":\"" + prev + "\"}",
      "{\"seq\":1,\"time\":\"t\",\"action\":\"\\ud800\",\"outcome\":0,\"prev\":\"" + prev + "\"}",
      "{\"seq\":1,\"time\":\"t\",\"action\":\"load\",\"Odd Name\":\"x\",\"outcome\":0,\"prev\":\"" + prev + "\"}",
      "{\"seq\":1,\"time\":\"t\",\"action\":\"load\",\"prev\":\"" + prev + "\"}",
      "{\"seq\":1,\"time\":\"t\",\"action\":\"load\",\"outcome\":0,\"prev\":\"" + prev + "\",\"detail\":\"" +
          std::string(cvaudit::kMaxLine, 'x') + "\"}",
  };
  for (const auto& line : bad) {
    SCOPED_TRACE(line.substr(0, 120));
    EXPECT_FALSE(cvaudit::Parse(line));
  }
}

TEST(AuditRecord, JournalFieldsAndCallNames) {
  const cvaudit::Record r = AdminUnload(4, "APACHE2\nFAKE=1", "x");
  const auto f = cvaudit::JournalFields(r, 5);
  EXPECT_THAT(f, ::testing::Contains("CV_ACTION=unload"));
  EXPECT_THAT(f, ::testing::Contains("CV_TARGET=APACHE2 FAKE=1"));
  EXPECT_THAT(f, ::testing::Contains("CV_USER=ADMIN"));
  EXPECT_THAT(f, ::testing::Contains("CV_CONNECTION=3"));
  EXPECT_THAT(f, ::testing::Contains("CV_PEER=127.0.0.1"));
  EXPECT_THAT(f, ::testing::Contains("CV_WORKSTATION=WS1"));
  EXPECT_THAT(f, ::testing::Contains("CV_DETAIL=x"));
  EXPECT_THAT(f, ::testing::Contains("PRIORITY=5"));
  for (const auto& field : f) EXPECT_EQ(field.find('\n'), std::string::npos) << field;

  const std::vector<std::uint8_t> call = {0x00, 0x02, 0x00, 0x04, 0x00, 'C', 'E', 'C', 'H', 'O', 0x01, 0x00, 'C', 'x'};
  EXPECT_EQ(cvaudit::CallName(call).value_or("?"), "ECHO");
  EXPECT_FALSE(cvaudit::CallName(std::vector<std::uint8_t>{0x00, 0x01, 0x00, 0x09, 0x00, 'C', 'E'}));
  EXPECT_FALSE(cvaudit::CallName(std::vector<std::uint8_t>{0x00, 0x01, 0x00, 0x01, 0x00, 'I', 1}));
  EXPECT_FALSE(cvaudit::CallName(std::vector<std::uint8_t>{}));
}

// The line's exact form: files written before stay readable, and the chain
// hashes these very bytes.
TEST(AuditRecord, LineTimeAndHashAreExact) {
  cvaudit::Record r = AdminUnload(12, "APACHE2", "tab\there");
  EXPECT_EQ(cvaudit::Encode(r),
            "{\"seq\":12,\"time\":\"2026-12-08T03:12:45.120Z\",\"action\":\"unload\",\"target\":\"APACHE2\","
            "\"outcome\":0,\"user\":\"ADMIN\",\"object_id\":16777217,\"connection\":3,\"peer\":\"127.0.0.1\","
            "\"port\":40000,\"workstation\":\"WS1\",\"mechanism\":\"scram\",\"detail\":\"tab\\there\",\"prev\":\"" +
                std::string(cvaudit::kNoPrevious) + "\"}");

  // In an order that goes back and forth across seconds and days.
  const std::pair<std::int64_t, const char*> times[] = {
      {1796699565120, "2026-12-08T03:12:45.120Z"}, {1796699565999, "2026-12-08T03:12:45.999Z"},
      {1796699566000, "2026-12-08T03:12:46.000Z"}, {1796699565001, "2026-12-08T03:12:45.001Z"},
      {951868799999, "2000-02-29T23:59:59.999Z"},  {951868800000, "2000-03-01T00:00:00.000Z"},
      {0, "1970-01-01T00:00:00.000Z"},             {1796699565120, "2026-12-08T03:12:45.120Z"},
  };
  for (const auto& [ms, text] : times) {
    EXPECT_EQ(cvaudit::TimeText(std::chrono::system_clock::time_point(std::chrono::milliseconds(ms))), text);
  }

  const std::pair<std::string, std::string> hashes[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
  };
  std::string reused = "storage of an earlier, longer text that HashInto must not leave behind";
  for (const auto& [text, hex] : hashes) {
    EXPECT_EQ(cvaudit::Hash(text), hex);
    cvaudit::HashInto(text, reused);
    EXPECT_EQ(reused, hex);
  }
  std::string other;
  std::thread([&] { other = cvaudit::Hash("abc"); }).join();
  EXPECT_EQ(other, hashes[1].second);
}

class AuditTrailTest : public ::testing::Test {
 protected:
  void SetUp() override {
    config_.name = "SRV1";
    config_.state = (dir_.path() / "state.db").string();
    std::string error;
    ASSERT_TRUE(cvserver::LoadIdentity(config_, error)) << error;
    files_ = cvserver::TlsFiles(config_);
    fingerprint_ = cvserver::CertificateFingerprint(files_.certificate, &key_);
    ASSERT_FALSE(fingerprint_.empty());
    audit_.enabled = true;
    audit_.file = (dir_.path() / "audit.log").string();
    audit_.journal = cvserver::AuditConfig::Journal::Off;
  }

  // One agent run: start, the records, stop.
  void Run(int records, const std::string& action = "param") {
    cvserver::AuditTrail trail;
    std::string error;
    ASSERT_TRUE(trail.Open(audit_, files_.key, files_.certificate, error)) << error;
    ASSERT_TRUE(trail.Checkpoint("start"));
    for (int i = 0; i < records; ++i) {
      ASSERT_TRUE(trail.Record(action, "P" + std::to_string(i), 0, Admin(), {{"old", "1"}, {"new", "2"}}));
    }
    ASSERT_TRUE(trail.Checkpoint("stop"));
  }

  cvserver::AuditVerdict Verify(std::vector<std::string> files = {}) {
    if (files.empty()) files = {audit_.file};
    return cvserver::VerifyTrail(cvserver::TrailOrder(files), key_.get(), fingerprint_);
  }

  testsupport::TempDir dir_;
  cvserver::ServerConfig config_;
  cvserver::IdentityFiles files_;
  cvserver::AuditConfig audit_;
  std::unique_ptr<EVP_PKEY, void (*)(EVP_PKEY*)> key_{nullptr, EVP_PKEY_free};
  std::string fingerprint_;
};

TEST_F(AuditTrailTest, UntouchedTrailAcrossRestartsIsIntact) {
  Run(5);
  Run(3);
  const auto lines = ReadLines(audit_.file);
  ASSERT_EQ(lines.size(), 12u);  // two runs: start, records, stop
  const auto first = cvaudit::Parse(lines[0]);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->prev, cvaudit::kNoPrevious);
  EXPECT_EQ(first->action, "checkpoint");
  EXPECT_FALSE(first->sig.empty());
  for (std::size_t i = 1; i < lines.size(); ++i) {
    const auto r = cvaudit::Parse(lines[i]);
    ASSERT_TRUE(r) << lines[i];
    EXPECT_EQ(r->prev, cvaudit::Hash(lines[i - 1]));
    EXPECT_EQ(r->seq, i + 1);
  }
  const auto v = Verify();
  EXPECT_EQ(v.status, Status::Intact) << v.message;
  EXPECT_EQ(v.records, 12u);
  EXPECT_EQ(v.checkpoints, 4u);
}

TEST_F(AuditTrailTest, ReloadsAreRecordedAsTheAgentsOwn) {
  cvserver::AuditTrail trail;
  std::string error;
  ASSERT_TRUE(trail.Open(audit_, files_.key, files_.certificate, error)) << error;
  ASSERT_TRUE(trail.Reload("/etc/cvserverd/cvserverd.toml", true));
  ASSERT_TRUE(trail.Reload("/etc/cvserverd/cvserverd.toml", false, "[server] capacity must be 1..65535"));
  const auto lines = ReadLines(audit_.file);
  ASSERT_EQ(lines.size(), 2u);
  const auto ok = cvaudit::Parse(lines[0]);
  const auto failed = cvaudit::Parse(lines[1]);
  ASSERT_TRUE(ok && failed);
  EXPECT_EQ(ok->action, "reload");
  EXPECT_EQ(ok->target, "/etc/cvserverd/cvserverd.toml");
  EXPECT_EQ(ok->outcome, 0u);
  EXPECT_EQ(ok->who.user, "");
  EXPECT_EQ(failed->outcome, cvserver::AuditTrail::kReloadFailed);
  EXPECT_EQ(*failed->Extra("detail"), "[server] capacity must be 1..65535");
}

TEST_F(AuditTrailTest, TamperingIsNamedAtTheRecordAfterIt) {
  Run(6);
  const auto original = ReadLines(audit_.file);
  ASSERT_EQ(original.size(), 8u);
  struct Case {
    const char* what;
    std::function<std::vector<std::string>(std::vector<std::string>)> change;
    std::string named;  // in the verdict
  };
  const auto replace = [](std::string s, const std::string& from, const std::string& to) {
    const auto at = s.find(from);
    return at == std::string::npos ? s : s.replace(at, from.size(), to);
  };
  const std::vector<Case> cases = {
      {"edited", [&](auto l) { l[3] = replace(l[3], "\"ADMIN\"", "\"GUEST\""); return l; }, ":5 "},
      {"removed", [](auto l) { l.erase(l.begin() + 3); return l; }, ":4 "},
      {"swapped", [](auto l) { std::swap(l[2], l[3]); return l; }, ":3 "},
      {"appended forgery",
       [&](auto l) {
         auto r = *cvaudit::Parse(l[7]);
         r.seq = 9;
         r.prev = cvaudit::Hash(l[7]);
         r.action = "checkpoint";
         l.push_back(cvaudit::Encode(r));
         return l;
       },
       "signature"},
      {"checkpoint edited", [&](auto l) { l[0] = replace(l[0], "\"start\"", "\"stop\""); return l; }, ":1 "},
      {"garbage line", [](auto l) { l.insert(l.begin() + 2, "rm -rf /"); return l; }, ":3: not a record"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    WriteLines(audit_.file, c.change(original));
    const auto v = Verify();
    EXPECT_EQ(v.status, Status::Broken) << v.message;
    EXPECT_THAT(v.message, HasSubstr(c.named));
  }

  // Cut after the last checkpoint's records: reported as unfinished.
  WriteLines(audit_.file, original);
  Run(2);
  auto lines = ReadLines(audit_.file);
  lines.pop_back();  // the stop checkpoint
  WriteLines(audit_.file, lines);
  const auto v = Verify();
  EXPECT_EQ(v.status, Status::Unfinished) << v.message;
  EXPECT_THAT(v.message, HasSubstr("2 record(s) after the last checkpoint"));
}

TEST_F(AuditTrailTest, CheckpointsOfAnotherKeyAreRefused) {
  Run(1);
  cvserver::ServerConfig other = config_;
  other.state = (dir_.path() / "other" / "state.db").string();
  std::filesystem::create_directories(dir_.path() / "other");
  std::string error;
  ASSERT_TRUE(cvserver::LoadIdentity(other, error)) << error;
  std::unique_ptr<EVP_PKEY, void (*)(EVP_PKEY*)> otherKey(nullptr, EVP_PKEY_free);
  const auto otherPrint = cvserver::CertificateFingerprint(cvserver::TlsFiles(other).certificate, &otherKey);
  const auto v = cvserver::VerifyTrail({audit_.file}, otherKey.get(), otherPrint);
  EXPECT_EQ(v.status, Status::Broken);
  EXPECT_THAT(v.message, HasSubstr("another key"));
  // The right fingerprint with the wrong key: the signature fails.
  const auto w = cvserver::VerifyTrail({audit_.file}, otherKey.get(), fingerprint_);
  EXPECT_THAT(w.message, HasSubstr("signature does not verify"));
}

// A renewed certificate (a reload): the old key signs a handover naming the
// new certificate, the new key signs from then on, and the trail verifies
// with both certificates, not with either alone.
TEST_F(AuditTrailTest, ANewCertificateIsHandedOverAndTheTrailVerifiesWithBoth) {
  cvserver::ServerConfig renewed = config_;
  renewed.state = (dir_.path() / "renewed" / "state.db").string();
  std::filesystem::create_directories(dir_.path() / "renewed");
  std::string error;
  ASSERT_TRUE(cvserver::LoadIdentity(renewed, error)) << error;
  const auto next = cvserver::TlsFiles(renewed);
  std::unique_ptr<EVP_PKEY, void (*)(EVP_PKEY*)> nextKey(nullptr, EVP_PKEY_free);
  const auto nextPrint = cvserver::CertificateFingerprint(next.certificate, &nextKey);
  ASSERT_FALSE(nextPrint.empty());
  {
    cvserver::AuditTrail trail;
    ASSERT_TRUE(trail.Open(audit_, files_.key, files_.certificate, error)) << error;
    ASSERT_TRUE(trail.Checkpoint("start"));
    ASSERT_TRUE(trail.Record("param", "P1", 0, Admin()));
    EXPECT_TRUE(trail.Rekey(files_.key, files_.certificate)) << "the same pair: nothing to hand over";
    EXPECT_FALSE(trail.Rekey((dir_.path() / "missing.key").string(), next.certificate));
    ASSERT_TRUE(trail.Rekey(next.key, next.certificate));
    ASSERT_TRUE(trail.Record("param", "P2", 0, Admin()));
    ASSERT_TRUE(trail.Checkpoint("stop"));
  }
  std::vector<cvaudit::Record> checkpoints;
  for (const auto& line : ReadLines(audit_.file)) {
    auto r = cvaudit::Parse(line);
    ASSERT_TRUE(r) << line;
    if (r->action == "checkpoint") checkpoints.push_back(std::move(*r));
  }
  ASSERT_EQ(checkpoints.size(), 4u);
  const std::pair<const char*, std::string> expected[] = {
      {"start", fingerprint_}, {"rekey", fingerprint_}, {"rekey", nextPrint}, {"stop", nextPrint}};
  for (std::size_t i = 0; i < checkpoints.size(); ++i) {
    EXPECT_EQ(checkpoints[i].target, expected[i].first) << i;
    EXPECT_EQ(*checkpoints[i].Extra("key"), expected[i].second) << i;
  }
  ASSERT_TRUE(checkpoints[1].Extra("next"));
  EXPECT_EQ(*checkpoints[1].Extra("next"), nextPrint);

  const auto both = cvserver::VerifyTrail({audit_.file}, {{key_.get(), fingerprint_}, {nextKey.get(), nextPrint}});
  EXPECT_EQ(both.status, Status::Intact) << both.message;
  EXPECT_EQ(both.checkpoints, 4u);
  const auto oldOnly = cvserver::VerifyTrail({audit_.file}, key_.get(), fingerprint_);
  EXPECT_EQ(oldOnly.status, Status::Broken);
  EXPECT_THAT(oldOnly.message, HasSubstr(":4 (record 4, checkpoint): checkpoint signed by another key"));
  const auto newOnly = cvserver::VerifyTrail({audit_.file}, nextKey.get(), nextPrint);
  EXPECT_THAT(newOnly.message, HasSubstr(":1 (record 1, checkpoint)"));
  // Each checkpoint is checked with the key it names, not with any given.
  const auto swapped = cvserver::VerifyTrail({audit_.file}, {{nextKey.get(), fingerprint_}, {key_.get(), nextPrint}});
  EXPECT_THAT(swapped.message, HasSubstr("signature does not verify"));
}

TEST_F(AuditTrailTest, RotationKeepsTheChainAndTheConfiguredFiles) {
  audit_.maxSize = 4096;
  audit_.keep = 3;
  Run(60);
  std::vector<std::string> files = {audit_.file};
  for (int i = 1; i <= 5; ++i) {
    const std::string p = audit_.file + "." + std::to_string(i);
    if (std::filesystem::exists(p)) files.push_back(p);
  }
  ASSERT_EQ(files.size(), 4u) << "the current file and 3 rotated ones";
  // Each rotated file ends with a rotation checkpoint; the next starts with one.
  for (std::size_t i = 1; i < files.size(); ++i) {
    const auto older = ReadLines(files[i]);
    const auto newer = ReadLines(files[i - 1]);
    ASSERT_FALSE(older.empty());
    ASSERT_FALSE(newer.empty());
    const auto last = cvaudit::Parse(older.back());
    const auto first = cvaudit::Parse(newer.front());
    ASSERT_TRUE(last && first);
    EXPECT_EQ(last->target, "rotation");
    EXPECT_EQ(first->target, "rotation");
    EXPECT_EQ(first->prev, cvaudit::Hash(older.back()));
  }
  // Given in any order, the files are checked oldest first.
  const auto v = Verify(files);
  EXPECT_EQ(v.status, Status::Intact) << v.message;
  // The oldest rotated file follows one that is gone: said, not an error.
  EXPECT_THAT(v.message, HasSubstr("follows an earlier record"));
  // A file left out breaks the chain where the next one starts.
  const auto gap = Verify({files[0], files[2], files[3]});
  EXPECT_EQ(gap.status, Status::Broken);
  EXPECT_THAT(gap.message, HasSubstr(files[0] + ":1 "));

  // AUDIT.TAIL reads back through the rotated files, oldest first.
  std::vector<std::string> tail;
  ASSERT_TRUE(cvrfc::TailAuditTrail(audit_.file, {.count = 20, .action = "PARAM", .user = "admin"}, tail));
  ASSERT_EQ(tail.size(), 20u);
  EXPECT_THAT(tail.front(), HasSubstr("\"target\":\"P40\""));
  EXPECT_THAT(tail.back(), HasSubstr("\"target\":\"P59\""));
  ASSERT_TRUE(cvrfc::TailAuditTrail(audit_.file, {.count = 5, .action = "", .user = "GUEST"}, tail));
  EXPECT_TRUE(tail.empty());
  ASSERT_TRUE(cvrfc::TailAuditTrail(audit_.file, {.count = 2, .action = "checkpoint", .user = ""}, tail));
  ASSERT_EQ(tail.size(), 2u);
  EXPECT_THAT(tail.back(), HasSubstr("\"target\":\"stop\""));
  // A tight read budget stops early instead of reading everything.
  ASSERT_TRUE(cvrfc::TailAuditTrail(audit_.file, {.count = 1000, .action = "param", .user = ""}, tail, 2000));
  EXPECT_LT(tail.size(), 20u);
  EXPECT_FALSE(cvrfc::TailAuditTrail((dir_.path() / "missing.log").string(), {}, tail));
}

TEST_F(AuditTrailTest, AFileThatCannotBeWrittenIsCountedAndRefusesWhenRequired) {
  audit_.file = "/dev/full";
  audit_.required = true;
  cvserver::AuditTrail trail;
  std::string error;
  ASSERT_TRUE(trail.Open(audit_, files_.key, files_.certificate, error)) << error;
  EXPECT_TRUE(trail.Admits());
  EXPECT_FALSE(trail.Checkpoint("start"));
  EXPECT_FALSE(trail.Record("load", "APACHE2", 0, Admin()));
  EXPECT_EQ(trail.unrecorded(), 2u);
  EXPECT_FALSE(trail.Admits());

  // Not required: the same failures, but actions go ahead.
  audit_.required = false;
  cvserver::AuditTrail lenient;
  ASSERT_TRUE(lenient.Open(audit_, files_.key, files_.certificate, error));
  EXPECT_FALSE(lenient.Record("load", "APACHE2", 0, Admin()));
  EXPECT_EQ(lenient.unrecorded(), 1u);
  EXPECT_TRUE(lenient.Admits());
}

TEST_F(AuditTrailTest, AFolderThatCannotBeWrittenRecoversWhenItCan) {
  std::filesystem::create_directories(dir_.path() / "trail");
  audit_.file = (dir_.path() / "trail" / "no" / "audit.log").string();
  audit_.required = true;
  cvserver::AuditTrail trail;
  std::string error;
  ASSERT_TRUE(trail.Open(audit_, files_.key, files_.certificate, error)) << error;
  EXPECT_FALSE(trail.Record("load", "A", 0, Admin()));
  EXPECT_FALSE(trail.Admits());
  std::filesystem::create_directories(dir_.path() / "trail" / "no");
  EXPECT_TRUE(trail.Record("load", "B", 0, Admin()));
  EXPECT_TRUE(trail.Admits());
  const auto lines = ReadLines(audit_.file);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_THAT(lines[0], HasSubstr("\"target\":\"B\""));
}

TEST_F(AuditTrailTest, RecordsLeftToTheWriterKeepTheirOrderAndTheChain) {
  {
    cvserver::AuditTrail trail;
    std::string error;
    ASSERT_TRUE(trail.Open(audit_, files_.key, files_.certificate, error)) << error;
    ASSERT_TRUE(trail.Checkpoint("start"));
    trail.StartWriter();
    ASSERT_TRUE(trail.Record("param", "P0", 0, Admin()));
    // The writer writes it without being asked.
    for (int i = 0; i < 400 && ReadLines(audit_.file).size() < 2; ++i) std::this_thread::sleep_for(5ms);
    ASSERT_EQ(ReadLines(audit_.file).size(), 2u);
    for (int i = 1; i < 2000; ++i) ASSERT_TRUE(trail.Record("param", "P" + std::to_string(i), 0, Admin()));
    // The stop checkpoint comes after everything recorded before it.
    ASSERT_TRUE(trail.Checkpoint("stop"));
    ASSERT_TRUE(trail.Record("param", "P2000", 0, Admin()));
  }  // the last record is written when the trail ends
  const auto lines = ReadLines(audit_.file);
  ASSERT_EQ(lines.size(), 2003u);
  for (std::size_t i = 1; i < lines.size(); ++i) {
    const auto r = cvaudit::Parse(lines[i]);
    ASSERT_TRUE(r) << lines[i];
    ASSERT_EQ(r->seq, i + 1);
    const std::size_t p = i < 2001 ? i - 1 : i - 2;
    ASSERT_EQ(r->target, i == 2001 ? "stop" : "P" + std::to_string(p)) << i;
  }
  const auto v = Verify();
  EXPECT_EQ(v.status, Status::Unfinished) << v.message;
  EXPECT_EQ(v.records, 2003u);
}

TEST_F(AuditTrailTest, WaitingRecordsThatCannotBeWrittenAreCountedAndRequiredOnesDoNotWait) {
  audit_.file = "/dev/full";
  cvserver::AuditTrail lenient;
  std::string error;
  ASSERT_TRUE(lenient.Open(audit_, files_.key, files_.certificate, error)) << error;
  lenient.StartWriter();
  EXPECT_TRUE(lenient.Record("load", "A", 0, Admin()));  // queued
  EXPECT_TRUE(lenient.Record("load", "B", 0, Admin()));
  EXPECT_EQ(lenient.unrecorded(), 2u);
  EXPECT_TRUE(lenient.Admits());

  audit_.file = (dir_.path() / "audit.log").string();
  audit_.required = true;
  cvserver::AuditTrail required;
  ASSERT_TRUE(required.Open(audit_, files_.key, files_.certificate, error)) << error;
  required.StartWriter();  // no writer: each action waits for its record
  ASSERT_TRUE(required.Record("load", "C", 0, Admin()));
  EXPECT_EQ(ReadLines(audit_.file).size(), 1u);
}

}  // namespace
