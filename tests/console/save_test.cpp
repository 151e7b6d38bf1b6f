// Saving keeps what a file carries besides its content: extended attributes,
// ACLs, hard links, its owner, and files in folders where no new file may be
// made; a failed or interrupted in-place write leaves the old content whole.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "console/document.h"
#include "console/errors.h"
#include "console/filesave.h"
#include "privileges.h"
#include "support/temp_dir.h"

namespace {

using console::EFileError;
using console::FileSaver;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

constexpr uid_t kNobody = 65534;
constexpr gid_t kNogroup = 65534;
const std::string kOld = "Listen 80\r\nServerName old\r\n";
const std::string kNew = "Listen 8080\r\nServerName new\r\nServerAdmin admin@example.org\r\n";

QString Q(const std::string& s) { return QString::fromStdString(s); }

// An access ACL in the kernel's extended-attribute form: owner rw, the user
// nobody rw, owning group r, mask rw, others r.
std::string AclXattr() {
  std::string out;
  const auto u32 = [&out](std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
  };
  const auto entry = [&](std::uint16_t tag, std::uint16_t perm, std::uint32_t id) {
    out.push_back(static_cast<char>(tag & 0xff));
    out.push_back(static_cast<char>(tag >> 8));
    out.push_back(static_cast<char>(perm & 0xff));
    out.push_back(static_cast<char>(perm >> 8));
    u32(id);
  };
  constexpr std::uint32_t kUndefined = 0xffffffff;
  u32(2);                      // version
  entry(0x01, 6, kUndefined);  // owner
  entry(0x02, 6, kNobody);     // user nobody
  entry(0x04, 4, kUndefined);  // owning group
  entry(0x10, 6, kUndefined);  // mask
  entry(0x20, 4, kUndefined);  // others
  return out;
}

// The value of an extended attribute, or nothing.
std::optional<std::string> Xattr(const std::string& path, const char* name) {
  char value[4096];
  const ssize_t n = ::getxattr(path.c_str(), name, value, sizeof value);
  if (n < 0) return std::nullopt;
  return std::string(value, static_cast<std::size_t>(n));
}

struct stat Stat(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) ADD_FAILURE() << "no " << path;
  return st;
}

// The editor's text as a string.
class Store : public console::TextStore {
 public:
  struct Text : Fill {
    std::string bytes;
    void Append(std::string_view more) override { bytes.append(more); }
  };
  std::unique_ptr<Fill> BeginFill(std::uint64_t) override { return std::make_unique<Text>(); }
  void Show(std::unique_ptr<Fill> fill, console::LineBreak) override { text = static_cast<Text&>(*fill).bytes; }
  std::string_view Bytes() override { return text; }
  void SetReadOnly(bool) override {}
  std::string text;
};

// Loads path, replaces its text and saves it, as the editor does.
void Save(const std::string& path, const std::string& text) {
  Store store;
  console::Document doc(store);
  ASSERT_TRUE(doc.Load(Q(path), console::Document::Access::Editable));
  store.text = text;
  doc.Edited();
  doc.Save();
}

class SaveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);  // nobody passes through
    // Recovery copies that cannot go beside the file go here; nobody may too.
    state = dir / "state";
    std::filesystem::create_directory(state);
    ASSERT_EQ(::chmod(state.c_str(), 0777), 0);
    ASSERT_EQ(::setenv("XDG_STATE_HOME", state.c_str(), 1), 0);
    conf = dir / "conf";
    file = conf + "/httpd.conf";
    std::filesystem::create_directory(conf);
    WriteFile(file, kOld);
    ASSERT_EQ(::chmod(file.c_str(), 0644), 0);
  }
  void TearDown() override {
    ::unsetenv("XDG_STATE_HOME");
    ::chmod(conf.c_str(), 0755);
    ::removexattr(conf.c_str(), "system.posix_acl_default");
  }
  // The folder and the file as SetUp makes them, for the next case of a table.
  void Fresh() {
    TearDown();
    std::filesystem::remove_all(conf);
    std::filesystem::remove_all(state);
    std::filesystem::remove(dir / "second-name.conf");
    SetUp();
  }
  // Whatever is in the conf folder besides the given files.
  std::vector<std::string> Strays(std::initializer_list<std::string> expected) const {
    std::vector<std::string> out;
    for (const auto& entry : std::filesystem::directory_iterator(conf)) {
      const std::string name = entry.path().filename().string();
      if (std::find(expected.begin(), expected.end(), name) == expected.end()) out.push_back(name);
    }
    return out;
  }
  // The recovery copies left in the recovery folder.
  std::vector<std::string> Recovered() const {
    std::vector<std::string> out;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(state + "/webwarden32/recovery", ec))
      out.push_back(entry.path().filename().string());
    return out;
  }

  TempDir dir;
  std::string state;
  std::string conf;
  std::string file;
};

TEST_F(SaveTest, KeepsWhatTheFileCarries) {
  const bool root = ::geteuid() == 0;
  struct Case {
    const char* name;
    bool needsRoot;
    bool asNobody;
    // Prepares the file; false when the file system cannot carry the case.
    std::function<bool()> prepare;
    std::function<void(const struct stat& before)> check;
  } cases[] = {
      {"a user extended attribute", false, false,
       [&] { return ::setxattr(file.c_str(), "user.origin", "from the vendor", 15, 0) == 0; },
       [&](const struct stat&) { EXPECT_EQ(Xattr(file, "user.origin"), "from the vendor"); }},
      {"a POSIX ACL", false, false,
       [&] {
         const std::string acl = AclXattr();
         return ::setxattr(file.c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0) == 0;
       },
       [&](const struct stat& before) {
         EXPECT_EQ(Xattr(file, "system.posix_acl_access"), AclXattr());
         EXPECT_EQ(Stat(file).st_mode, before.st_mode);
       }},
      {"no ACL from the folder's default ACL", false, false,
       [&] {
         const std::string acl = AclXattr();
         return ::setxattr(conf.c_str(), "system.posix_acl_default", acl.data(), acl.size(), 0) == 0;
       },
       [&](const struct stat& before) {
         EXPECT_FALSE(Xattr(file, "system.posix_acl_access").has_value());
         EXPECT_EQ(Stat(file).st_mode, before.st_mode);
       }},
      {"a hard link", false, false, [&] { return ::link(file.c_str(), (dir / "second-name.conf").c_str()) == 0; },
       [&](const struct stat& before) {
         EXPECT_EQ(ReadFile(dir / "second-name.conf"), kNew);
         EXPECT_EQ(Stat(file).st_ino, before.st_ino);
         EXPECT_EQ(Stat(file).st_nlink, 2u);
       }},
      {"a writable file in a read-only folder", false, true,
       [&] {
         // Root's folder, nobody's file; without root the user's own.
         if (root && ::chown(file.c_str(), kNobody, kNogroup) != 0) return false;
         return ::chmod(conf.c_str(), 0555) == 0;
       },
       [&](const struct stat& before) {
         EXPECT_EQ(Stat(file).st_ino, before.st_ino);
         EXPECT_EQ(Stat(file).st_uid, before.st_uid);
       }},
      {"root's conf folder with a group-writable httpd.conf", true, true,
       [&] { return ::chown(file.c_str(), 0, kNogroup) == 0 && ::chmod(file.c_str(), 0664) == 0; },
       [&](const struct stat& before) {
         const struct stat after = Stat(file);
         EXPECT_EQ(after.st_ino, before.st_ino);
         EXPECT_EQ(after.st_uid, 0u);
         EXPECT_EQ(after.st_gid, kNogroup);
       }},
      {"someone else's group-writable file", true, true,
       [&] {
         return ::chown(file.c_str(), 0, kNogroup) == 0 && ::chmod(file.c_str(), 0664) == 0 &&
                ::chmod(conf.c_str(), 0777) == 0;
       },
       [&](const struct stat& before) {
         const struct stat after = Stat(file);
         EXPECT_EQ(after.st_uid, 0u) << "the saver did not become the owner";
         EXPECT_EQ(after.st_gid, kNogroup);
         EXPECT_EQ(after.st_mode, before.st_mode);
       }},
      {"another user's file saved by root", true, false,
       [&] { return ::chown(file.c_str(), kNobody, kNogroup) == 0 && ::chmod(file.c_str(), 0640) == 0; },
       [&](const struct stat& before) {
         const struct stat after = Stat(file);
         EXPECT_EQ(after.st_uid, kNobody);
         EXPECT_EQ(after.st_gid, kNogroup);
         EXPECT_EQ(after.st_mode, before.st_mode);
       }},
  };
  int ran = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Fresh();
    if (c.needsRoot && !root) continue;
    if (!c.prepare()) {
      std::printf("skipped \"%s\": the file system does not carry it\n", c.name);
      continue;
    }
    const struct stat before = Stat(file);
    {
      cvtest::Unprivileged nobody(c.asNobody);
      Save(file, kNew);
    }
    EXPECT_EQ(ReadFile(file), kNew);
    c.check(before);
    EXPECT_TRUE(Strays({"httpd.conf"}).empty());
    EXPECT_TRUE(Recovered().empty());
    ++ran;
  }
  EXPECT_GE(ran, 3);
}

TEST_F(SaveTest, AFailedInPlaceWriteLeavesTheOldContentWhole) {
  // A hard link makes the write go in place, with a recovery file in the
  // folder; a read-only folder, with the recovery file in the recovery folder.
  struct Case {
    const char* name;
    std::function<void()> prepare;
    bool asNobody;
  } cases[] = {
      {"recovery file", [&] { ASSERT_EQ(::link(file.c_str(), (dir / "second-name.conf").c_str()), 0); }, false},
      {"recovery folder",
       [&] {
         if (::geteuid() == 0) {
           ASSERT_EQ(::chown(file.c_str(), kNobody, kNogroup), 0);
         }
         ASSERT_EQ(::chmod(conf.c_str(), 0555), 0);
       },
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Fresh();
    c.prepare();
    const struct stat before = Stat(file);
    {
      cvtest::Unprivileged nobody(c.asNobody);
      FileSaver out(Q(file));
      EXPECT_EQ(out.Chosen(), FileSaver::Method::InPlace);
      EXPECT_EQ(ReadFile(out.SidePath().toStdString()), kOld);
      // The disk fills up half way through.
      cvtest::FileSizeLimit limit(4096);
      try {
        out.Write(std::string(20000, 'x'));
        out.Commit();
        ADD_FAILURE() << "wrote past the limit";
      } catch (const EFileError& e) {
        EXPECT_EQ(e.Text(), QStringLiteral("Cannot write file \"%1\". File too large").arg(Q(file)));
      }
    }
    EXPECT_EQ(ReadFile(file), kOld);
    EXPECT_EQ(Stat(file).st_ino, before.st_ino);
    EXPECT_TRUE(Strays({"httpd.conf"}).empty());
    EXPECT_TRUE(Recovered().empty());

    // Dropped without Commit, as when the text cannot be had: undone too.
    {
      cvtest::Unprivileged nobody(c.asNobody);
      FileSaver out(Q(file));
      out.Write(std::string(3 << 20, 'y'));
    }
    EXPECT_EQ(ReadFile(file), kOld);
    EXPECT_TRUE(Strays({"httpd.conf"}).empty());
    EXPECT_TRUE(Recovered().empty());
  }
}

TEST_F(SaveTest, ACrashMidWriteLeavesTheOldContentInTheRecoveryFile) {
  ASSERT_EQ(::link(file.c_str(), (dir / "second-name.conf").c_str()), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    FileSaver out(Q(file));
    out.Write(std::string(3 << 20, 'z'));  // past the buffer: on the disk
    ::_exit(out.Chosen() == FileSaver::Method::InPlace ? 0 : 3);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(ReadFile(file).substr(0, 4), "zzzz");
  const std::vector<std::string> left = Strays({"httpd.conf"});
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left[0].rfind("httpd.conf.ww-old-", 0), 0u) << left[0];
  EXPECT_EQ(ReadFile(conf + "/" + left[0]), kOld);
}

TEST_F(SaveTest, ADocumentSavesInPlaceWithItsLineBreaks) {
  // Through the Document, as the editor saves: a hard-linked LF file.
  ASSERT_EQ(::link(file.c_str(), (dir / "second-name.conf").c_str()), 0);
  WriteFile(file, "a\nb\n");
  Store store;
  console::Document doc(store);
  ASSERT_TRUE(doc.Load(Q(file), console::Document::Access::Editable));
  store.text = "a\r\nb\r\nc";
  doc.Edited();
  doc.Save();
  EXPECT_EQ(ReadFile(dir / "second-name.conf"), "a\nb\nc\n");
  EXPECT_FALSE(doc.Modified());
}

}  // namespace
