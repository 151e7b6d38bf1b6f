// Saves on bad days, with real processes: a save killed mid-write, on a disk
// too small for the copy of the old content (a small tmpfs, mounted in a
// mount namespace of the test's own), and the temporary files that killed
// saves leave behind.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "console/errors.h"
#include "console/filesave.h"
#include "support/temp_dir.h"

namespace {

using console::EFileError;
using console::FileSaver;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

QString Q(const std::string& s) { return QString::fromStdString(s); }

std::vector<std::string> Names(const std::string& folder) {
  std::vector<std::string> out;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ec))
    out.push_back(entry.path().filename().string());
  std::sort(out.begin(), out.end());
  return out;
}

// Lines of text, size bytes in all.
std::string Text(char fill, std::size_t size) {
  std::string out(size, fill);
  for (std::size_t at = 99; at < size; at += 100) out[at] = '\n';
  return out;
}

// A child process that saves path and stops: it sends the path of its
// temporary or recovery file, writes first (when not empty) and sends
// "w", then waits to be killed.
class Saver {
 public:
  Saver(const std::string& path, const std::string& first) {
    int fds[2];
    if (::pipe(fds) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(fds[0]);
      try {
        FileSaver out(Q(path));
        const std::string side = out.SidePath().toStdString() + "\n";
        if (::write(fds[1], side.data(), side.size()) < 0) ::_exit(2);
        if (!first.empty()) out.Write(first);
        if (::write(fds[1], "w", 1) < 0) ::_exit(2);
        for (;;) ::pause();
      } catch (...) {
        ::_exit(3);
      }
    }
    ::close(fds[1]);
    from_ = fds[0];
    if (pid_ < 0) return;
    std::string got;
    char c = 0;
    while (::read(from_, &c, 1) == 1) {
      if (c == 'w' && !got.empty() && got.back() == '\n') {
        ready_ = true;
        break;
      }
      got.push_back(c);
    }
    if (!got.empty()) side_ = got.substr(0, got.size() - 1);
  }
  Saver(const Saver&) = delete;
  Saver& operator=(const Saver&) = delete;
  ~Saver() {
    Kill();
    if (from_ >= 0) ::close(from_);
  }

  // Whether the child got as far as it was told.
  bool Ready() const { return ready_; }
  const std::string& Side() const { return side_; }
  void Kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  int from_ = -1;
  bool ready_ = false;
  std::string side_;
};

class SaveOnBadDaysTest : public ::testing::Test {
 protected:
  void SetUp() override {
    conf = dir / "conf";
    state = dir / "state";
    std::filesystem::create_directory(conf);
    std::filesystem::create_directory(state);
    file = conf + "/httpd.conf";
    ASSERT_EQ(::setenv("XDG_STATE_HOME", state.c_str(), 1), 0);
  }
  void TearDown() override {
    ::unsetenv("XDG_STATE_HOME");
    for (auto it = mounts.rbegin(); it != mounts.rend(); ++it) ::umount2(it->c_str(), MNT_DETACH);
  }

  // Mounts a tmpfs of size bytes on folder; false (with the reason in
  // *why) where this process may not mount.
  bool SmallDisk(const std::string& folder, std::size_t size, std::string* why) {
    static int namespaced = -1;
    if (namespaced < 0) {
      // Mounts of the test's own, gone with it whatever happens to it.
      namespaced = ::unshare(CLONE_NEWNS) == 0 && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
      if (!namespaced) *why = std::string("no mount namespace: ") + std::strerror(errno);
    }
    if (!namespaced) return false;
    std::filesystem::create_directories(folder);
    const std::string options = "size=" + std::to_string(size) + ",mode=0755";
    if (::mount("tmpfs", folder.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0) {
      *why = std::string("cannot mount a tmpfs: ") + std::strerror(errno);
      return false;
    }
    mounts.push_back(folder);
    return true;
  }

  std::string Recovery() const { return state + "/webwarden32/recovery"; }

  TempDir dir;
  std::string conf;
  std::string state;
  std::string file;
  std::vector<std::string> mounts;
};

TEST_F(SaveOnBadDaysTest, NoRoomForTheCopyBesideTheFile) {
  // 1 MiB of disk holding a 700 KiB file: its copy does not fit beside it.
  std::string why;
  if (!SmallDisk(conf, 1 << 20, &why)) GTEST_SKIP() << why;
  const std::string old = Text('o', 700 << 10);
  const std::string fresh = Text('n', 600 << 10);
  struct Case {
    const char* name;
    bool roomElsewhere;  // the recovery folder on a disk with room, or on the full one
  } cases[] = {{"copy in the recovery folder", true}, {"no room anywhere", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(file);
    WriteFile(file, old);
    ASSERT_EQ(::link(file.c_str(), (conf + "/other-name.conf").c_str()), 0);
    const std::string home = c.roomElsewhere ? state : conf + "/state";
    std::filesystem::create_directories(home);
    ASSERT_EQ(::setenv("XDG_STATE_HOME", home.c_str(), 1), 0);
    struct stat before {};
    ASSERT_EQ(::stat(file.c_str(), &before), 0);
    if (c.roomElsewhere) {
      FileSaver out(Q(file));
      EXPECT_EQ(out.Chosen(), FileSaver::Method::InPlace);
      const std::string side = out.SidePath().toStdString();
      EXPECT_EQ(side.rfind(Recovery() + "/httpd.conf.ww-old-", 0), 0u) << side;
      EXPECT_EQ(ReadFile(side), old);
      out.Write(fresh);
      out.Commit();
      EXPECT_EQ(ReadFile(file), fresh);
      EXPECT_EQ(ReadFile(conf + "/other-name.conf"), fresh);
      EXPECT_TRUE(Names(Recovery()).empty());
    } else {
      try {
        FileSaver out(Q(file));
        ADD_FAILURE() << "wrote in place without a copy of the old content";
      } catch (const EFileError& e) {
        const std::string text = e.Text().toStdString();
        EXPECT_EQ(text.rfind("Cannot create file \"" + file + "\". It must be rewritten in place", 0), 0u) << text;
        EXPECT_NE(text.find("No space left on device"), std::string::npos) << text;
        EXPECT_NE(text.find("The file was not changed."), std::string::npos) << text;
      }
      EXPECT_EQ(ReadFile(file), old);
      EXPECT_TRUE(Names(home + "/webwarden32/recovery").empty());
    }
    struct stat after {};
    ASSERT_EQ(::stat(file.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_nlink, 2u);
    std::filesystem::remove_all(conf + "/state");
    EXPECT_EQ(Names(conf), (std::vector<std::string>{"httpd.conf", "other-name.conf"}));
    std::filesystem::remove(conf + "/other-name.conf");
  }
}

TEST_F(SaveOnBadDaysTest, AKilledInPlaceSaveLeavesTheOldContentWholeOnTheDisk) {
  // 4 MiB of disk holding a 3 MiB file with a second link: the copy goes to
  // the recovery folder, and the child is killed once its first MiB is in.
  std::string why;
  if (!SmallDisk(conf, 4 << 20, &why)) GTEST_SKIP() << why;
  const std::string old = Text('o', 3 << 20);
  struct Case {
    const char* name;
    std::size_t written;  // before the kill
  } cases[] = {{"killed before writing", 0}, {"killed mid-write", 1 << 20}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(file);
    WriteFile(file, old);
    ASSERT_EQ(::link(file.c_str(), (conf + "/other-name.conf").c_str()), 0);
    std::string side;
    {
      Saver child(file, c.written ? Text('n', c.written) : std::string());
      ASSERT_TRUE(child.Ready());
      side = child.Side();
      child.Kill();
    }
    // The copy, made before anything was written, is whole and stays.
    EXPECT_EQ(side.rfind(Recovery() + "/httpd.conf.ww-old-", 0), 0u) << side;
    EXPECT_EQ(ReadFile(side), old);
    const std::string now = ReadFile(file);
    EXPECT_EQ(now.size(), old.size());
    if (c.written == 0) {
      EXPECT_EQ(now, old);
    } else {
      EXPECT_EQ(now.substr(0, c.written), Text('n', c.written));  // torn: the copy holds the old content
    }
    // Found for this file (and for no other), and put back into it.
    {
      std::optional<console::InterruptedSave> found = console::InterruptedSave::Find(Q(file));
      ASSERT_TRUE(found.has_value());
      EXPECT_EQ(found->Copy().toStdString(), side);
      // While it is held, no one else finds it.
      EXPECT_FALSE(console::InterruptedSave::Find(Q(conf + "/other-name.conf")).has_value());
      found->Restore();
    }
    EXPECT_EQ(ReadFile(file), old);
    EXPECT_EQ(ReadFile(conf + "/other-name.conf"), old);
    EXPECT_FALSE(std::filesystem::exists(side));
    EXPECT_FALSE(console::InterruptedSave::Find(Q(file)).has_value());
    std::filesystem::remove(conf + "/other-name.conf");
  }
}

TEST_F(SaveOnBadDaysTest, ACopyIsOfferedOnlyForItsFileAndOnlyUntilTheNextSave) {
  const std::string old = "Listen 80\n";
  WriteFile(file, old);
  ASSERT_EQ(::link(file.c_str(), (dir / "second-name.conf").c_str()), 0);
  std::string side;
  {
    Saver child(file, Text('n', 1 << 20));
    ASSERT_TRUE(child.Ready());
    side = child.Side();
    // A save at work is not an interrupted one.
    EXPECT_FALSE(console::InterruptedSave::Find(Q(file)).has_value());
    child.Kill();
  }
  ASSERT_EQ(side.rfind(conf + "/httpd.conf.ww-old-", 0), 0u) << side;
  // A file of the same name in another folder has no interrupted save.
  const std::string elsewhere = dir / "httpd.conf";
  WriteFile(elsewhere, old);
  EXPECT_FALSE(console::InterruptedSave::Find(Q(elsewhere)).has_value());
  ASSERT_TRUE(console::InterruptedSave::Find(Q(file)).has_value());

  // A finished save makes the copy out of date: it goes.
  {
    FileSaver out(Q(file));
    out.Write("Listen 8080\n");
    out.Commit();
  }
  EXPECT_EQ(ReadFile(dir / "second-name.conf"), "Listen 8080\n");
  EXPECT_FALSE(std::filesystem::exists(side));
  EXPECT_FALSE(console::InterruptedSave::Find(Q(file)).has_value());
  EXPECT_EQ(Names(conf), std::vector<std::string>{"httpd.conf"});
}

TEST_F(SaveOnBadDaysTest, TemporariesOfKilledSavesAreRemoved) {
  WriteFile(file, "old\n");
  // A save killed after 3 MiB went to its temporary file.
  std::string dead;
  {
    Saver killed(file, Text('n', 3 << 20));
    ASSERT_TRUE(killed.Ready());
    dead = killed.Side();
    killed.Kill();
  }
  ASSERT_EQ(dead.rfind(conf + "/.httpd.conf.ww-", 0), 0u) << dead;
  ASSERT_EQ(std::filesystem::file_size(dead), 3u << 20);
  // One that is still at work keeps its file.
  Saver alive(file, "new\n");
  ASSERT_TRUE(alive.Ready());
  const std::string live = alive.Side();
  const struct {
    std::string name;
    bool stays;
  } others[] = {
      {".httpd.conf.ww-0badf00d", false},  // left by an earlier version, no one holds it
      {".httpd.conf.ww-0BADF00D", true},   // not a name a save makes
      {".httpd.conf.ww-0badf00", true},
      {".httpd.conf.ww-0badf00d.keep", true},
      {".other.conf.ww-0badf00d", true},  // another file's: its own save cleans up
      {"httpd.conf.ww-old-0badf00d", true},  // a recovery copy may be the only whole old content
  };
  for (const auto& o : others) WriteFile(conf + "/" + o.name, "x");

  {
    FileSaver out(Q(file));
    out.Write("saved\n");
    out.Commit();
  }
  EXPECT_EQ(ReadFile(file), "saved\n");
  EXPECT_FALSE(std::filesystem::exists(dead)) << ::testing::PrintToString(Names(conf)) << " dead " << dead;
  EXPECT_TRUE(std::filesystem::exists(live));
  for (const auto& o : others) EXPECT_EQ(std::filesystem::exists(conf + "/" + o.name), o.stays) << o.name;

  // Once its writer is gone, the next save takes that one too.
  alive.Kill();
  {
    FileSaver out(Q(file));
    out.Write("again\n");
    out.Commit();
  }
  EXPECT_FALSE(std::filesystem::exists(live));
  EXPECT_EQ(ReadFile(file), "again\n");
}

TEST_F(SaveOnBadDaysTest, ACleanerNeverTakesALiveSavesTemporary) {
  // Two processes save the same file over and over while each save also
  // clears the other's leftovers: every save must come through whole.
  WriteFile(file, "start\n");
  constexpr int kSaves = 100;
  std::vector<pid_t> children;
  for (const char fill : {'a', 'b'}) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      const std::string text = Text(fill, 64 << 10);
      for (int i = 0; i < kSaves; ++i) {
        try {
          FileSaver out(Q(file));
          out.Write(text);
          out.Commit();
        } catch (const EFileError&) {
          ::_exit(1);
        }
      }
      ::_exit(0);
    }
    children.push_back(child);
  }
  for (const pid_t child : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  const std::string now = ReadFile(file);
  EXPECT_TRUE(now == Text('a', 64 << 10) || now == Text('b', 64 << 10));
  EXPECT_EQ(Names(conf), std::vector<std::string>{"httpd.conf"});
}

}  // namespace
