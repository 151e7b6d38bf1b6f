// The client's login key cache and the file stamps that decide when its
// configuration files are read again.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>

#include <fstream>
#include <string>

#include "corvane/client/filestamp.h"
#include "corvane/client/keycache.h"
#include "corvane/wire/auth.h"
#include "support/temp_dir.h"

namespace {

using cvclient::FileStamp;
using cvclient::SaltedPasswordCache;
using Bytes = std::vector<std::uint8_t>;

const Bytes kSalt{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

SaltedPasswordCache::Key Key(const char* server = "SRV1", const char* fingerprint = "AA:BB", const char* user = "ADMIN",
                             const char* password = "admin-secret", const Bytes& salt = kSalt,
                             std::uint32_t iterations = 4096) {
  return SaltedPasswordCache::MakeKey(server, fingerprint, user, password, salt, iterations);
}

TEST(SaltedPasswordCache, AHeldKeyIsNotDerivedAgainAndEqualsTheDerivation) {
  SaltedPasswordCache cache;
  const auto key = Key();
  const Bytes first = cache.Get(key, "admin-secret");
  EXPECT_EQ(first, cvwire::DeriveKey("admin-secret", kSalt, 4096));
  EXPECT_EQ(cache.derivations(), 1u);
  EXPECT_FALSE(cache.Find(key)) << "Get alone stores nothing: only a login that succeeded does";
  cache.Put(key, first);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(cache.Get(Key(), "admin-secret"), first);
  EXPECT_EQ(cache.derivations(), 1u);
}

// Every part of the key matters: another server, certificate, user,
// password, salt or iteration count derives anew, and gets its own result.
TEST(SaltedPasswordCache, KeysAreNotSharedAcrossServersUsersPasswordsSaltsOrCounts) {
  SaltedPasswordCache cache;
  const auto base = Key();
  cache.Put(base, cache.Get(base, "admin-secret"));
  const Bytes otherSalt{9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9};
  struct Case {
    const char* what;
    SaltedPasswordCache::Key key;
    const char* password;
  } cases[] = {
      {"another server", Key("SRV2"), "admin-secret"},
      {"another certificate", Key("SRV1", "AA:BC"), "admin-secret"},
      {"another user", Key("SRV1", "AA:BB", "GUEST"), "admin-secret"},
      {"another password", Key("SRV1", "AA:BB", "ADMIN", "admin-secreT"), "admin-secreT"},
      {"another salt", Key("SRV1", "AA:BB", "ADMIN", "admin-secret", otherSalt), "admin-secret"},
      {"another count", Key("SRV1", "AA:BB", "ADMIN", "admin-secret", kSalt, 4097), "admin-secret"},
      {"name and fingerprint run together differently", Key("SRV1 AA", "BB"), "admin-secret"},
  };
  std::uint64_t want = cache.derivations();
  for (const auto& c : cases) {
    EXPECT_FALSE(cache.Find(c.key)) << c.what;
    const Bytes got = cache.Get(c.key, c.password);
    EXPECT_EQ(cache.derivations(), ++want) << c.what;
    EXPECT_EQ(got, cvwire::DeriveKey(c.password, c.key.salt, c.key.iterations)) << c.what;
  }
  EXPECT_EQ(*cache.Find(base), cvwire::DeriveKey("admin-secret", kSalt, 4096));
}

TEST(SaltedPasswordCache, IsBoundedAndLetsTheOldestGo) {
  SaltedPasswordCache cache;
  for (std::uint32_t i = 0; i < SaltedPasswordCache::kMaxEntries + 3; ++i)
    cache.Put(Key("SRV1", "AA:BB", "ADMIN", "pw", kSalt, 4096 + i), Bytes(32, static_cast<std::uint8_t>(i)));
  EXPECT_EQ(cache.size(), SaltedPasswordCache::kMaxEntries);
  for (std::uint32_t i = 0; i < 3; ++i) EXPECT_FALSE(cache.Find(Key("SRV1", "AA:BB", "ADMIN", "pw", kSalt, 4096 + i)));
  EXPECT_EQ(*cache.Find(Key("SRV1", "AA:BB", "ADMIN", "pw", kSalt, 4096 + 3)), Bytes(32, 3));
  // Putting a held key again replaces its value without growing.
  cache.Put(Key("SRV1", "AA:BB", "ADMIN", "pw", kSalt, 4096 + 3), Bytes(32, 200));
  EXPECT_EQ(cache.size(), SaltedPasswordCache::kMaxEntries);
  EXPECT_EQ(*cache.Find(Key("SRV1", "AA:BB", "ADMIN", "pw", kSalt, 4096 + 3)), Bytes(32, 200));
}

void Write(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::trunc) << text; }

// Sets the file's times to seconds ago.
void Age(const std::string& path, int seconds) {
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  const struct utimbuf t {st.st_atime - seconds, st.st_mtime - seconds};
  ASSERT_EQ(::utime(path.c_str(), &t), 0);
}

TEST(FileStamp, TellsRewritesRenamesModeChangesAndMissingFiles) {
  testsupport::TempDir dir;
  const std::string path = dir / "client.ini";
  EXPECT_FALSE(FileStamp::Of(path).exists);
  EXPECT_EQ(FileStamp::Of(path), FileStamp::Of(path));
  Write(path, "[Login]\nUser=ADMIN\n");
  const FileStamp first = FileStamp::Of(path);
  EXPECT_TRUE(first.exists);
  EXPECT_EQ(FileStamp::Of(path), first);

  Write(path, "[Login]\nUser=GUEST\nX=1\n");  // another size
  EXPECT_NE(FileStamp::Of(path), first);

  const FileStamp beforeChmod = FileStamp::Of(path);
  ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
  EXPECT_NE(FileStamp::Of(path), beforeChmod);

  const FileStamp beforeRename = FileStamp::Of(path);
  Write(dir / "new", "[Login]\nUser=GUEST\nX=2\n");  // same size, another file
  ASSERT_EQ(::rename((dir / "new").c_str(), path.c_str()), 0);
  EXPECT_NE(FileStamp::Of(path), beforeRename);

  ASSERT_EQ(::unlink(path.c_str()), 0);
  EXPECT_FALSE(FileStamp::Of(path).exists);
}

// A file changed just now is not settled: a second change within the same
// clock tick could leave its stamp as it was. Only the ctime's age counts,
// which setting the modification time back does not change.
TEST(FileStamp, AFileChangedJustNowIsNotSettled) {
  testsupport::TempDir dir;
  const std::string path = dir / "pw";
  Write(path, "secret\n");
  EXPECT_FALSE(FileStamp::Of(path).Settled());
  Age(path, 10);
  EXPECT_FALSE(FileStamp::Of(path).Settled()) << "utime changes the ctime to now";
  EXPECT_TRUE(FileStamp::Of(dir / "missing").Settled());
  EXPECT_TRUE(FileStamp::Of("/usr/lib/os-release").Settled()) << "installed with the system";
  // A link is stamped as itself, or as its target.
  ASSERT_EQ(::symlink(path.c_str(), (dir / "link").c_str()), 0);
  EXPECT_NE(FileStamp::OfLink(dir / "link").ino, FileStamp::Of(dir / "link").ino);
  EXPECT_EQ(FileStamp::Of(dir / "link"), FileStamp::Of(path));
}

}  // namespace
