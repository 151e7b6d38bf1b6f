#include "profile/profile.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace {

using profile::GetPrivateProfileString;
using profile::WritePrivateProfileString;
using testsupport::ReadFile;
using testsupport::WriteFile;

class ProfileTest : public ::testing::Test {
 protected:
  testsupport::TempDir dir_;
  std::string file_ = dir_ / "server.ini";
};

TEST_F(ProfileTest, ReadsWithTheWindowsRules) {
  WriteFile(file_,
            "; servers\r\n"
            "  [ Srv1 ]  \r\n"
            "ApachePath =  /srv/SYS/APACHE  \r\n"
            "Quoted=\"  padded  \"\r\n"
            "Single='x'\r\n"
            "Half=\"x\r\n"
            "Empty=\r\n"
            "NoEquals\r\n"
            ";Commented=yes\r\n"
            "[Other]\r\n"
            "ApachePath=elsewhere\r\n");
  struct Row {
    const char* section;
    const char* key;
    const char* expected;
  } rows[] = {
      {"SRV1", "apachepath", "/srv/SYS/APACHE"},
      {"srv1", "Quoted", "  padded  "},
      {"Srv1", "Single", "x"},
      {"Srv1", "Half", "\"x"},
      {"Srv1", "Empty", ""},
      {"Srv1", "NoEquals", "default"},
      {"Srv1", ";Commented", "default"},
      {"Other", "ApachePath", "elsewhere"},
      {"Missing", "ApachePath", "default"},
  };
  for (const auto& r : rows) EXPECT_EQ(GetPrivateProfileString(r.section, r.key, "default  ", file_), r.expected)
                                 << r.section << "/" << r.key;
  EXPECT_EQ(GetPrivateProfileString("Srv1", "x", "d", dir_ / "missing.ini"), "d");
  EXPECT_EQ(profile::GetPrivateProfileSectionNames(file_), (std::vector<std::string>{"Srv1", "Other"}));
  EXPECT_EQ(profile::GetPrivateProfileKeys("SRV1", file_),
            (std::vector<std::string>{"ApachePath", "Quoted", "Single", "Half", "Empty"}));
}

TEST_F(ProfileTest, SectionNamesInFileOrderOnce) {
  WriteFile(file_, "[B]\nx=1\n[a]\n[C]\n[b]\ny=2\n");
  EXPECT_EQ(profile::GetPrivateProfileSectionNames(file_), (std::vector<std::string>{"B", "a", "C"}));
}

TEST_F(ProfileTest, WritesKeepEveryOtherLineAndTheLineBreaks) {
  const std::string before =
      "; Webwarden32 servers\r\n"
      "[SRV1]\r\n"
      "  Servername =  SRV1   \r\n"
      "ApachePath=/a\r\n"
      "\r\n"
      "; next one\r\n"
      "[SRV2]\r\n"
      "Servername=SRV2\r\n";
  WriteFile(file_, before);
  ASSERT_TRUE(WritePrivateProfileString("srv1", "APACHEPATH", "/b", file_));
  ASSERT_TRUE(WritePrivateProfileString("SRV1", "Handle", "QRX", file_));
  ASSERT_TRUE(WritePrivateProfileString("SRV3", "Servername", "SRV3", file_));
  EXPECT_EQ(ReadFile(file_),
            "; Webwarden32 servers\r\n"
            "[SRV1]\r\n"
            "  Servername =  SRV1   \r\n"
            "ApachePath=/b\r\n"
            "Handle=QRX\r\n"
            "\r\n"
            "; next one\r\n"
            "[SRV2]\r\n"
            "Servername=SRV2\r\n"
            "[SRV3]\r\n"
            "Servername=SRV3\r\n");

  // LF files stay LF; a last line without a break gets one before the addition.
  std::string lf = dir_ / "lf.ini";
  WriteFile(lf, "[A]\nx=1");
  ASSERT_TRUE(WritePrivateProfileString("A", "y", "2", lf));
  EXPECT_EQ(ReadFile(lf), "[A]\nx=1\ny=2\n");
  // A new file gets CR LF.
  std::string fresh = dir_ / "new.ini";
  ASSERT_TRUE(WritePrivateProfileString("Setting", "Servername", "DEMO1", fresh));
  EXPECT_EQ(ReadFile(fresh), "[Setting]\r\nServername=DEMO1\r\n");
}

TEST_F(ProfileTest, DeletesKeysAndSections) {
  WriteFile(file_, "[A]\r\nx=1\r\ny=2\r\n[B]\r\nz=3\r\n");
  ASSERT_TRUE(WritePrivateProfileString("A", "x", std::nullopt, file_));
  ASSERT_TRUE(WritePrivateProfileString("B", std::nullopt, std::nullopt, file_));
  EXPECT_EQ(ReadFile(file_), "[A]\r\ny=2\r\n");
}

TEST_F(ProfileTest, RefusesWhatWouldInjectLines) {
  WriteFile(file_, "[A]\r\nx=1\r\n");
  struct Row {
    const char* section;
    const char* key;
    const char* value;
  } rows[] = {
      {"A\r\n[Evil]", "k", "v"}, {"A]x", "k", "v"}, {"", "k", "v"}, {"A", "k\nEvil=1", "v"},
      {"A", "k=1", "v"},         {"A", "", "v"},    {"A", "k", "v\r\nEvil=1"},
  };
  for (const auto& r : rows) {
    auto result = WritePrivateProfileString(r.section, r.key, r.value, file_);
    EXPECT_FALSE(result) << r.section << "/" << r.key << "/" << r.value;
    EXPECT_NE(result.error.find("cannot be stored"), std::string::npos) << result.error;
  }
  EXPECT_EQ(ReadFile(file_), "[A]\r\nx=1\r\n");
}

TEST_F(ProfileTest, ACrashDuringAWriteLeavesTheOldFile) {
  const std::string before = "[A]\r\nx=1\r\n";
  WriteFile(file_, before);
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    profile::detail::beforeReplace = [] { ::_exit(3); };
    WritePrivateProfileString("A", "x", "2", file_);
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 3);  // stopped before the file was replaced
  EXPECT_EQ(ReadFile(file_), before);
}

TEST_F(ProfileTest, AFailedReplaceReportsAndLeavesNoTemporaryFile) {
  // The target is a folder with something in it: the new file cannot replace it.
  std::filesystem::create_directory(file_);
  WriteFile(dir_ / "server.ini/keep", "x");
  auto r = WritePrivateProfileString("A", "x", "2", file_);
  EXPECT_FALSE(r);
  EXPECT_NE(r.error.find("server.ini"), std::string::npos) << r.error;
  EXPECT_EQ(ReadFile(dir_ / "server.ini/keep"), "x");
  std::vector<std::string> left;
  for (const auto& e : std::filesystem::directory_iterator(dir_.path())) left.push_back(e.path().filename().string());
  std::sort(left.begin(), left.end());
  // The folder and the writers' lock: the temporary file is gone.
  EXPECT_EQ(left, (std::vector<std::string>{"server.ini", "server.ini.lock"}));
}

TEST_F(ProfileTest, KeepsTheFilesPermissions) {
  WriteFile(file_, "[A]\r\nx=1\r\n");
  ::chmod(file_.c_str(), 0600);
  ASSERT_TRUE(WritePrivateProfileString("A", "x", "2", file_));
  struct stat st{};
  ASSERT_EQ(::stat(file_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(ProfileTest, WritersInTwoProcessesLoseNoKey) {
  // Two processes write 200 keys each into one section of one file, started
  // together; every key of both must be there afterwards.
  constexpr int kKeys = 200;
  WriteFile(file_, "; shared\r\n[Servers]\r\n");
  int start[2];
  ASSERT_EQ(::pipe(start), 0);
  std::vector<pid_t> writers;
  for (const char* who : {"first", "second"}) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      ::close(start[1]);
      char go = 0;
      if (::read(start[0], &go, 1) != 0) ::_exit(2);  // wait for the other one
      for (int i = 0; i < kKeys; ++i)
        if (!WritePrivateProfileString("Servers", std::string(who) + std::to_string(i), std::to_string(i), file_))
          ::_exit(1);
      ::_exit(0);
    }
    writers.push_back(child);
  }
  ::close(start[0]);
  ::close(start[1]);  // both start now
  for (const pid_t child : writers) {
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  const std::vector<std::string> keys = profile::GetPrivateProfileKeys("Servers", file_);
  EXPECT_EQ(keys.size(), 2u * kKeys);
  int missing = 0;
  for (const char* who : {"first", "second"})
    for (int i = 0; i < kKeys; ++i)
      if (GetPrivateProfileString("Servers", std::string(who) + std::to_string(i), "missing", file_) !=
          std::to_string(i))
        ++missing;
  EXPECT_EQ(missing, 0);
  EXPECT_EQ(ReadFile(file_).rfind("; shared\r\n[Servers]\r\n", 0), 0u);
}

}  // namespace
