// The reason of a failed Apache command, read from what the agent appended
// to the error log: the newest entry and its output lines only, nothing
// from before the command, a log that was rotated or cut meanwhile read from
// its start, a log that is gone or is not a file, and a tail bigger than
// what is read.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QString>
#include <filesystem>
#include <fstream>
#include <string>

#include "console/failurereason.h"
#include "support/temp_dir.h"

namespace {

using console::ErrorLogMark;
using console::NewestAgentEntry;
using testsupport::TempDir;
using testsupport::WriteFile;

std::string Entry(const std::string& module, const std::string& why, std::initializer_list<const char*> output = {}) {
  const std::string prefix = "[Tue Dec 08 07:00:36.403832 2026] [cvserverd:error] [pid 42] ";
  std::string out = prefix + "module " + module + " did not load: " + why + "\n";
  for (const char* line : output) out += prefix + "module " + module + " output: " + line + "\n";
  return out;
}

void Append(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::app) << text; }

QString Q(const std::string& s) { return QString::fromStdString(s); }

TEST(NewestAgentEntry, TakesTheLastEntryWithItsOutputLines) {
  const std::string apache = "[Tue Dec 08 07:00:40.000000 2026] [core:notice] [pid 7] AH00094: Command line\n";
  struct Case {
    const char* name;
    std::string text;
    std::string expected;
  } cases[] = {
      {"nothing", "", ""},
      {"only Apache's lines", apache + apache, ""},
      {"one entry", Entry("APACHE2", "preflight failed (exit 1)", {"AH00526: Syntax error on line 3", "x"}),
       Entry("APACHE2", "preflight failed (exit 1)", {"AH00526: Syntax error on line 3", "x"})},
      {"newest of two", Entry("OLD", "old") + apache + Entry("NEW", "new", {"o"}), Entry("NEW", "new", {"o"})},
      {"Apache's lines after it are not part of it", Entry("A", "why", {"o"}) + apache, Entry("A", "why", {"o"})},
      {"CR LF and no final break", "x\r\n" + Entry("A", "why").substr(0, Entry("A", "why").size() - 1),
       Entry("A", "why")},
      {"output of another entry before it is not taken", Entry("A", "a", {"oa"}) + Entry("B", "b"), Entry("B", "b")},
  };
  for (const Case& c : cases) {
    std::string expected = c.expected;
    if (!expected.empty() && expected.back() == '\n') expected.pop_back();
    EXPECT_EQ(NewestAgentEntry(c.text), Q(expected)) << c.name;
  }
}

TEST(ErrorLogMark, OnlyWhatWasAppendedSinceTheMark) {
  TempDir dir;
  const std::string log = dir / "error_log";
  WriteFile(log, Entry("OLD", "before the command"));
  const ErrorLogMark mark(Q(log));
  EXPECT_EQ(mark.NewestEntry(), QString());
  EXPECT_TRUE(mark.Details().startsWith(QStringLiteral("No reason was recorded")));
  EXPECT_TRUE(mark.Details().contains(Q(log)));
  Append(log, "[Tue Dec 08 07:00:41.000000 2026] [mpm_event:notice] [pid 9] AH00489: resuming\n");
  EXPECT_EQ(mark.NewestEntry(), QString());
  Append(log, Entry("APACHE2", "ready check timed out"));
  EXPECT_EQ(mark.Details(), Q(Entry("APACHE2", "ready check timed out")).chopped(1));
}

TEST(ErrorLogMark, ARotatedOrCutLogIsReadFromItsStart) {
  TempDir dir;
  const std::string log = dir / "error_log";
  WriteFile(log, std::string(500, 'x') + "\n");
  const ErrorLogMark rotated(Q(log));
  const ErrorLogMark cut(Q(log));
  std::filesystem::rename(log, dir / "error_log.1");
  WriteFile(log, Entry("A", "after rotation"));
  EXPECT_EQ(rotated.NewestEntry(), Q(Entry("A", "after rotation")).chopped(1));
  // Cut shorter in place: same file, smaller than at the mark.
  std::filesystem::remove(log);
  std::filesystem::rename(dir / "error_log.1", log);
  std::filesystem::resize_file(log, 0);
  Append(log, Entry("B", "after a cut"));
  EXPECT_EQ(cut.NewestEntry(), Q(Entry("B", "after a cut")).chopped(1));
}

TEST(ErrorLogMark, MissingOrSpecialFilesGiveNoReason) {
  TempDir dir;
  const std::string log = dir / "error_log";
  const ErrorLogMark missing(Q(log));
  EXPECT_EQ(missing.NewestEntry(), QString());  // still missing
  WriteFile(log, Entry("A", "made after the mark"));
  EXPECT_EQ(missing.NewestEntry(), Q(Entry("A", "made after the mark")).chopped(1));
  const std::string fifo = dir / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const ErrorLogMark pipe(Q(fifo));
  EXPECT_EQ(pipe.NewestEntry(), QString());  // returns at once, no writer needed
  const ErrorLogMark folder(Q(dir.path().string()));
  EXPECT_EQ(folder.NewestEntry(), QString());
}

TEST(ErrorLogMark, OnlyTheLastPartOfAHugeTailIsRead) {
  TempDir dir;
  const std::string log = dir / "error_log";
  WriteFile(log, "");
  const ErrorLogMark mark(Q(log));
  // An entry, then more than the read limit of other lines: it is out of
  // reach; the newest entry at the end is found.
  Append(log, Entry("FAR", "too far back"));
  Append(log, std::string(std::size_t(ErrorLogMark::kMaxRead) + 1000, 'y') + "\n");
  EXPECT_EQ(mark.NewestEntry(), QString());
  Append(log, Entry("NEAR", "at the end", {"o1", "o2"}));
  EXPECT_EQ(mark.NewestEntry(), Q(Entry("NEAR", "at the end", {"o1", "o2"})).chopped(1));
}

}  // namespace
