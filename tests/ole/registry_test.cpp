#include "ole/registry.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <random>
#include <chrono>
#include <vector>
#include <thread>

#include "ole/registry_file.h"
#include "support/temp_dir.h"

namespace {

using testsupport::ReadFile;
using testsupport::ScopedRegistry;
using testsupport::WriteFile;

TEST(Registry, CreateSetQueryAndTheFileForm) {
  ScopedRegistry reg;
  ole::RegKey k;
  DWORD disp = 0;
  ASSERT_EQ(RegCreateKeyEx(HKEY_CLASSES_ROOT, "CLSID\\{EC747AF1-8EF6-11D0-B375-0000E20315E2}", 0,
                           nullptr, 0, KEY_WRITE, nullptr, k.put(), &disp),
            ERROR_SUCCESS);
  EXPECT_EQ(disp, REG_CREATED_NEW_KEY);
  const char name[] = "CvServerAdmin \"Control\" \\ 1";
  ASSERT_EQ(RegSetValueEx(k.get(), nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(name), sizeof name),
            ERROR_SUCCESS);
  DWORD misc = 0x20491;
  ASSERT_EQ(RegSetValueEx(k.get(), "MiscStatus", 0, REG_DWORD, reinterpret_cast<BYTE*>(&misc), 4),
            ERROR_SUCCESS);

  EXPECT_EQ(ReadFile(reg.file()),
            "REGEDIT4\r\n\r\n"
            "[HKEY_CLASSES_ROOT\\CLSID]\r\n\r\n"
            "[HKEY_CLASSES_ROOT\\CLSID\\{EC747AF1-8EF6-11D0-B375-0000E20315E2}]\r\n"
            "@=\"CvServerAdmin \\\"Control\\\" \\\\ 1\"\r\n"
            "\"MiscStatus\"=dword:00020491\r\n");

  // Read back through a new handle, names in another case.
  ole::RegKey again;
  ASSERT_EQ(RegOpenKeyEx(HKEY_CLASSES_ROOT, "clsid\\{ec747af1-8ef6-11d0-b375-0000e20315e2}", 0, KEY_READ,
                         again.put()),
            ERROR_SUCCESS);
  DWORD type = 0, size = 0;
  ASSERT_EQ(RegQueryValueEx(again.get(), "", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(size, sizeof name);
  char small[4];
  size = sizeof small;
  EXPECT_EQ(RegQueryValueEx(again.get(), "", nullptr, &type, reinterpret_cast<BYTE*>(small), &size),
            ERROR_MORE_DATA);
  EXPECT_EQ(size, sizeof name);
  char buf[64];
  size = sizeof buf;
  ASSERT_EQ(RegQueryValueEx(again.get(), "", nullptr, &type, reinterpret_cast<BYTE*>(buf), &size),
            ERROR_SUCCESS);
  EXPECT_STREQ(buf, name);
  DWORD value = 0;
  size = 4;
  ASSERT_EQ(RegQueryValueEx(again.get(), "miscstatus", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(type, REG_DWORD);
  EXPECT_EQ(value, 0x20491u);
  EXPECT_EQ(RegQueryValueEx(again.get(), "Nope", nullptr, &type, nullptr, &size), ERROR_FILE_NOT_FOUND);

  DWORD disp2 = 0;
  ole::RegKey same;
  ASSERT_EQ(RegCreateKeyEx(HKEY_CLASSES_ROOT, "CLSID", 0, nullptr, 0, KEY_WRITE, nullptr, same.put(), &disp2),
            ERROR_SUCCESS);
  EXPECT_EQ(disp2, REG_OPENED_EXISTING_KEY);
}

TEST(Registry, FirstSpellingIsKeptAndValuesReplaced) {
  ScopedRegistry reg;
  ASSERT_EQ(ole::RegSetString("CvSrvAdmLib.CvServerAdminCtrl.1", "", "old"), ERROR_SUCCESS);
  ASSERT_EQ(ole::RegSetString("CVSRVADMLIB.CVSERVERADMINCTRL.1\\clsid", "", "{X}"), ERROR_SUCCESS);
  ASSERT_EQ(ole::RegSetString("cvsrvadmlib.cvserveradminctrl.1", "", "new"), ERROR_SUCCESS);
  EXPECT_EQ(ole::RegGetString("CvSrvAdmLib.CvServerAdminCtrl.1", ""), "new");
  EXPECT_EQ(ole::RegSubkeys(""), std::vector<std::string>{"CvSrvAdmLib.CvServerAdminCtrl.1"});
  EXPECT_EQ(ole::RegSubkeys("CvSrvAdmLib.CvServerAdminCtrl.1"), std::vector<std::string>{"clsid"});
  std::string text = ReadFile(reg.file());
  EXPECT_NE(text.find("[HKEY_CLASSES_ROOT\\CvSrvAdmLib.CvServerAdminCtrl.1\\clsid]"), std::string::npos);
  EXPECT_EQ(text.find("CVSRVADMLIB"), std::string::npos);
  EXPECT_EQ(text.find("old"), std::string::npos);
}

TEST(Registry, EnumerateAndDeleteTrees) {
  ScopedRegistry reg;
  for (const char* p : {"CLSID\\{B}\\InprocServer32", "CLSID\\{A}\\ProgID", "CLSID\\{A}\\Implemented Categories\\{C}",
                        "CLSID\\{C}", "Other"})
    ASSERT_EQ(ole::RegSetString(p, "", "x"), ERROR_SUCCESS);
  ole::RegKey clsid;
  ASSERT_EQ(RegOpenKeyEx(HKEY_CLASSES_ROOT, "CLSID", 0, KEY_READ, clsid.put()), ERROR_SUCCESS);
  std::vector<std::string> names;
  for (DWORD i = 0;; ++i) {
    char name[64];
    DWORD chars = sizeof name;
    LONG rc = RegEnumKeyEx(clsid.get(), i, name, &chars, nullptr, nullptr, nullptr, nullptr);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    ASSERT_EQ(rc, ERROR_SUCCESS);
    EXPECT_EQ(chars, std::strlen(name));
    names.push_back(name);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"{A}", "{B}", "{C}"}));
  char tiny[2];
  DWORD chars = sizeof tiny;
  EXPECT_EQ(RegEnumKeyEx(clsid.get(), 0, tiny, &chars, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);

  ASSERT_EQ(RegDeleteTree(HKEY_CLASSES_ROOT, "clsid\\{a}"), ERROR_SUCCESS);
  EXPECT_FALSE(ole::RegKeyExists("CLSID\\{A}"));
  EXPECT_FALSE(ole::RegKeyExists("CLSID\\{A}\\Implemented Categories"));
  EXPECT_TRUE(ole::RegKeyExists("CLSID\\{B}\\InprocServer32"));
  EXPECT_EQ(RegDeleteTree(HKEY_CLASSES_ROOT, "CLSID\\{A}"), ERROR_FILE_NOT_FOUND);

  // Without a subkey only the descendants go; the key itself stays.
  ASSERT_EQ(RegDeleteTree(clsid.get(), nullptr), ERROR_SUCCESS);
  EXPECT_TRUE(ole::RegKeyExists("CLSID"));
  EXPECT_TRUE(ole::RegSubkeys("CLSID").empty());
  EXPECT_TRUE(ole::RegKeyExists("Other"));

  // A handle to a deleted key reports it.
  ole::RegKey other;
  ASSERT_EQ(RegOpenKeyEx(HKEY_CLASSES_ROOT, "Other", 0, KEY_READ, other.put()), ERROR_SUCCESS);
  ASSERT_EQ(RegDeleteTree(HKEY_CLASSES_ROOT, "Other"), ERROR_SUCCESS);
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueEx(other.get(), nullptr, nullptr, nullptr, nullptr, &size), ERROR_KEY_DELETED);
  ASSERT_EQ(RegDeleteValue(clsid.get(), "none"), ERROR_FILE_NOT_FOUND);
}

TEST(Registry, RefusesWhatTheFileCannotHold) {
  ScopedRegistry reg;
  EXPECT_EQ(ole::RegSetString("A\\\\B", "", "x"), ERROR_INVALID_PARAMETER);  // empty key name
  EXPECT_EQ(ole::RegSetString("A\nB", "", "x"), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(ole::RegSetString("A", "line\nbreak", "x"), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(ole::RegSetString("A", "", "two\r\nlines"), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(ole::RegSetString(std::string(256, 'k'), "", "x"), ERROR_INVALID_PARAMETER);
  HKEY bogus = reinterpret_cast<HKEY>(0x1234);
  EXPECT_EQ(RegCloseKey(bogus), ERROR_INVALID_HANDLE);
  HKEY out = nullptr;
  EXPECT_EQ(RegOpenKeyEx(bogus, "x", 0, KEY_READ, &out), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegOpenKeyEx(HKEY_CLASSES_ROOT, "missing", 0, KEY_READ, &out), ERROR_FILE_NOT_FOUND);
}

TEST(Registry, UnparsableFileIsReportedAndLeftUnchanged) {
  const struct {
    const char* name;
    std::string text;
    std::size_t line;
  } cases[] = {
      {"no header", "[HKEY_CLASSES_ROOT\\A]\r\n", 1},
      {"garbled value", "REGEDIT4\r\n\r\n[HKEY_CLASSES_ROOT\\A]\r\n@=\"unterminated\r\n", 4},
      {"truncated key line", "REGEDIT4\n[HKEY_CLASSES_ROOT\\A", 2},
      {"other hive", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n", 2},
      {"value first", "REGEDIT4\n@=\"x\"\n", 2},
      {"bad dword", "REGEDIT4\n[HKEY_CLASSES_ROOT\\A]\n\"n\"=dword:12\n", 3},
      {"hex value", "REGEDIT4\n[HKEY_CLASSES_ROOT\\A]\n\"n\"=hex:01,02\n", 3},
      {"bad escape", "REGEDIT4\n[HKEY_CLASSES_ROOT\\A]\n@=\"a\\nb\"\n", 3},
      {"trailing junk", "REGEDIT4\n[HKEY_CLASSES_ROOT\\A]\n@=\"a\" x\n", 3},
  };
  for (const auto& c : cases) {
    ScopedRegistry reg;
    WriteFile(reg.file(), c.text);
    EXPECT_EQ(ole::RegSetString("B", "", "x"), ERROR_BADDB) << c.name;
    EXPECT_EQ(ole::RegistryLastError().rfind(reg.file() + ":" + std::to_string(c.line) + ": ", 0), 0u)
        << c.name << ": " << ole::RegistryLastError();
    HKEY k = nullptr;
    EXPECT_EQ(RegOpenKeyEx(HKEY_CLASSES_ROOT, "A", 0, KEY_READ, &k), ERROR_BADDB) << c.name;
    EXPECT_EQ(ReadFile(reg.file()), c.text) << c.name;
  }
}

TEST(Registry, ParsesWhatItWritesAndToleratesCommentsAndLf) {
  ole::reg::ParseError err;
  auto hive = ole::reg::Parse(
      "\xEF\xBB\xBFREGEDIT4\n; a comment\n\n[HKEY_CLASSES_ROOT\\A\\B]\n  @=\"v\"  \n\"N\"=dword:0000000A\n", &err);
  ASSERT_TRUE(hive) << err.message;
  ASSERT_TRUE(hive->Find("a\\b"));
  EXPECT_EQ(hive->Find("A\\B")->Find("n")->dword, 10u);
  auto again = ole::reg::Parse(hive->Serialize(), &err);
  ASSERT_TRUE(again);
  EXPECT_EQ(again->Serialize(), hive->Serialize());
}

TEST(Registry, TwoProcessesRegisteringAtOnceLoseNothing) {
  ScopedRegistry reg;
  constexpr int kEach = 40;
  pid_t kids[2];
  for (int p = 0; p < 2; ++p) {
    kids[p] = ::fork();
    ASSERT_GE(kids[p], 0);
    if (kids[p] == 0) {
      for (int i = 0; i < kEach; ++i) {
        std::string key = "CLSID\\{P" + std::to_string(p) + "-" + std::to_string(i) + "}\\InprocServer32";
        if (ole::RegSetString(key, "", "/lib/m" + std::to_string(p) + ".so") != ERROR_SUCCESS) ::_exit(1);
      }
      ::_exit(0);
    }
  }
  for (pid_t k : kids) {
    int status = 0;
    ASSERT_EQ(::waitpid(k, &status, 0), k);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  EXPECT_EQ(ole::RegSubkeys("CLSID").size(), 2u * kEach);
  for (int p = 0; p < 2; ++p)
    for (int i = 0; i < kEach; ++i)
      EXPECT_EQ(ole::RegGetString("CLSID\\{P" + std::to_string(p) + "-" + std::to_string(i) + "}\\InprocServer32", ""),
                "/lib/m" + std::to_string(p) + ".so");
}

// The temporary files "<registry>.tmp.<pid>" in the registry's folder.
std::vector<std::string> Temporaries(const ScopedRegistry& reg) {
  std::vector<std::string> out;
  const std::string prefix = std::filesystem::path(reg.file()).filename().string() + ".tmp.";
  for (const auto& entry : std::filesystem::directory_iterator(reg.dir().path())) {
    const std::string name = entry.path().filename().string();
    if (name.rfind(prefix, 0) == 0) out.push_back(name);
  }
  return out;
}

TEST(Registry, AWriteRemovesTheTemporaryFilesOfWritersThatAreGone) {
  ScopedRegistry reg;
  ASSERT_EQ(ole::RegSetString("CLSID\\{A}", "", "first"), ERROR_SUCCESS);
  // A writer that died between writing its temporary file and the rename.
  const pid_t dead = ::fork();
  ASSERT_GE(dead, 0);
  if (dead == 0) {
    WriteFile(reg.file() + ".tmp." + std::to_string(::getpid()), "REGEDIT4\n");
    ::_exit(0);
  }
  ASSERT_EQ(::waitpid(dead, nullptr, 0), dead);
  // One whose process still runs, and names that are no writer's.
  const pid_t alive = ::fork();
  ASSERT_GE(alive, 0);
  if (alive == 0) {
    ::pause();
    ::_exit(0);
  }
  const std::string deadTmp = reg.file() + ".tmp." + std::to_string(dead);
  const std::string aliveTmp = reg.file() + ".tmp." + std::to_string(alive);
  WriteFile(aliveTmp, "REGEDIT4\n");
  WriteFile(reg.file() + ".tmp.12x", "kept");
  WriteFile(reg.file() + ".tmp.", "kept");
  ASSERT_TRUE(std::filesystem::exists(deadTmp));

  EXPECT_EQ(ole::RegGetString("CLSID\\{A}", ""), "first") << "reading removes nothing";
  EXPECT_TRUE(std::filesystem::exists(deadTmp));
  ASSERT_EQ(ole::RegSetString("CLSID\\{B}", "", "second"), ERROR_SUCCESS);
  EXPECT_FALSE(std::filesystem::exists(deadTmp));
  EXPECT_TRUE(std::filesystem::exists(aliveTmp));
  EXPECT_TRUE(std::filesystem::exists(reg.file() + ".tmp.12x"));
  EXPECT_TRUE(std::filesystem::exists(reg.file() + ".tmp."));
  ::kill(alive, SIGKILL);
  ::waitpid(alive, nullptr, 0);
  EXPECT_EQ(ole::RegGetString("CLSID\\{B}", ""), "second");
}

TEST(Registry, WritersKilledAtRandomLeaveNothingBehindTheNextWrite) {
  ScopedRegistry reg;
  // A registry big enough that a write takes a while.
  for (int i = 0; i < 300; i += 20)
    ASSERT_EQ(ole::RegSetString("CLSID\\{K" + std::to_string(i) + "}\\InprocServer32", "", std::string(20000, 'k')),
              ERROR_SUCCESS);
  std::mt19937 random(12345);
  for (int run = 0; run < 40; ++run) {
    const pid_t kid = ::fork();
    ASSERT_GE(kid, 0);
    if (kid == 0) {
      for (int i = 0;; ++i) ole::RegSetString("CLSID\\{W}", "", std::to_string(i));
    }
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 4000));
    ::kill(kid, SIGKILL);
    ::waitpid(kid, nullptr, 0);
  }
  ASSERT_EQ(ole::RegSetString("CLSID\\{Last}", "", "x"), ERROR_SUCCESS);
  EXPECT_EQ(Temporaries(reg), std::vector<std::string>{});
  EXPECT_EQ(ole::RegGetString("CLSID\\{K280}\\InprocServer32", ""), std::string(20000, 'k'));
  EXPECT_EQ(ole::RegGetString("CLSID\\{Last}", ""), "x");
}

}  // namespace
