// The log view's logic without a screen: UTF-8 decoding and the shown form
// of a line, line-by-line writing in pieces, the sparse line index against a
// plain count (with blocks small enough that lines and CR LF pairs straddle
// them), growth, truncation and replacement, and a file that shrinks while
// mapped.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <QString>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "console/document.h"
#include "console/errors.h"
#include "console/logfile.h"
#include "console/logoutput.h"
#include "support/temp_dir.h"

namespace {

using console::LineBreak;
using console::LogFile;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

QString Q(const std::string& s) { return QString::fromStdString(s); }

void Append(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::app);
  out << text;
}

// The line starts of text as the editor splits it: after LF, CR LF or a
// lone CR; one more line than breaks.
std::vector<std::uint64_t> NaiveStarts(const std::string& text) {
  std::vector<std::uint64_t> starts{0};
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n') starts.push_back(i + 1);
    if (text[i] == '\r') {
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
      starts.push_back(i + 1);
    }
  }
  return starts;
}

std::string RandomText(std::mt19937& rng, std::size_t size) {
  static const char kAlphabet[] = "ab\n\r\n\r\t\xc3\xa9\xff x";
  std::string text;
  for (std::size_t i = 0; i < size; ++i) text += kAlphabet[rng() % (sizeof kAlphabet - 1)];
  return text;
}

void ExpectIndexMatches(const LogFile& log, const std::string& text, const std::string& what) {
  ASSERT_TRUE(log.WaitIndexed(10000)) << what;
  const std::vector<std::uint64_t> starts = NaiveStarts(text);
  ASSERT_EQ(log.LineCount(), starts.size()) << what;
  for (std::size_t n = 0; n < starts.size(); ++n) {
    ASSERT_EQ(log.LineStart(n), starts[n]) << what << " line " << n;
    ASSERT_EQ(log.LineOf(starts[n]), n) << what << " line " << n;
    ASSERT_EQ(log.LineStartAt(starts[n]), starts[n]) << what << " line " << n;
    if (n > 0) {
      ASSERT_EQ(log.PrevLine(starts[n]), starts[n - 1]) << what << " line " << n;
    }
    if (n + 1 < starts.size()) {
      ASSERT_EQ(log.NextLine(starts[n]), starts[n + 1]) << what << " line " << n;
    }
  }
  EXPECT_FALSE(log.LineStart(starts.size())) << what;
  EXPECT_EQ(log.LastLine(), starts.back()) << what;
}

TEST(Utf8, DecodesWellFormedAndReplacesTheRest) {
  const struct {
    std::string bytes;
    char32_t code;
    int length;
  } cases[] = {
      {"a", U'a', 1},
      {"\xc3\xa9", U'\u00e9', 2},
      {"\xe2\x82\xac", U'\u20ac', 3},
      {"\xf0\x9f\x98\x80", U'\U0001F600', 4},
      {"\xff", 0xFFFD, 1},
      {"\xc0\xaf", 0xFFFD, 1},          // overlong
      {"\xed\xa0\x80", 0xFFFD, 1},      // surrogate
      {"\xf4\x90\x80\x80", 0xFFFD, 1},  // past U+10FFFF
      {"\xe2\x82", 0xFFFD, 1},          // cut short
      {"\xe2(x", 0xFFFD, 1},            // continuation missing
  };
  for (const auto& c : cases) {
    const console::Utf8Step step = console::DecodeUtf8(c.bytes);
    EXPECT_EQ(step.code, c.code) << c.bytes;
    EXPECT_EQ(step.length, c.length) << c.bytes;
  }
}

TEST(ShownLine, ExpandsTabsReplacesBadBytesAndCutsLongLines) {
  const console::ShownLine shown = console::ShowLine("a\tb\xff\xc3\xa9\x01", 7, 8);
  EXPECT_EQ(shown.text, QString::fromUtf8("a       b\xef\xbf\xbd\xc3\xa9\xef\xbf\xbd"));
  ASSERT_EQ(shown.column.size(), std::size_t(13));
  EXPECT_EQ(shown.column[1], 1u);  // the tab's columns all map to its byte
  EXPECT_EQ(shown.column[7], 1u);
  EXPECT_EQ(shown.column[8], 2u);   // b
  EXPECT_EQ(shown.column[10], 4u);  // é after the bad byte
  EXPECT_EQ(shown.column[12], 7u);
  EXPECT_EQ(shown.ColumnOf(5), 10);  // inside é: its column
  EXPECT_FALSE(shown.cut);

  const std::string huge(1 << 20, 'x');
  const console::ShownLine cut = console::ShowLine(huge, huge.size(), 8);
  EXPECT_TRUE(cut.cut);
  EXPECT_EQ(std::size_t(cut.text.size()), console::ShownLine::kShownBytes);
}

TEST(LineWriter, WritesInPiecesAsWriteLinesDoesWhole) {
  std::mt19937 rng(7);
  std::vector<std::string> texts = {"", "a", "a\n", "a\r\nb\r\n", "a\rb\r", "a\r", "\r\n", "\n\n", "x\r\r\ny"};
  for (int i = 0; i < 200; ++i) texts.push_back(RandomText(rng, rng() % 64));
  for (const std::string& text : texts) {
    for (LineBreak style : {LineBreak::Lf, LineBreak::CrLf, LineBreak::Cr}) {
      std::string whole;
      console::WriteLines(text, style, [&](std::string_view s) { whole.append(s); });
      for (std::size_t piece : {std::size_t(1), std::size_t(2), std::size_t(3), std::size_t(1000)}) {
        std::string pieces;
        console::LineWriter writer(style, [&](std::string_view s) { pieces.append(s); });
        for (std::size_t at = 0; at < text.size(); at += piece) writer.Feed(std::string_view(text).substr(at, piece));
        writer.Finish();
        ASSERT_EQ(pieces, whole) << "piece " << piece << " text " << testing::PrintToString(text);
      }
    }
  }
}

TEST(LogFile, IndexAgreesWithAPlainCountAcrossBlocks) {
  TempDir dir;
  std::mt19937 rng(11);
  const std::string path = dir / "log";
  for (std::size_t block : {std::size_t(2), std::size_t(7), std::size_t(64), LogFile::kBlock}) {
    for (std::size_t size : {std::size_t(0), std::size_t(1), std::size_t(63), std::size_t(64), std::size_t(65),
                             std::size_t(3000)}) {
      const std::string text = RandomText(rng, size);
      WriteFile(path, text);
      LogFile log(Q(path), block);
      ExpectIndexMatches(log, text, "block " + std::to_string(block) + " size " + std::to_string(size));
    }
  }
}

// The counter (sixty-four bytes at a time, then byte by byte) against the
// plain count, at every length up to a few blocks and from every alignment,
// with dense and sparse breaks, and with the byte after the text deciding
// about a final CR.
TEST(CountBreaks, AgreesWithAPlainCountAtEveryLengthAndAlignment) {
  std::mt19937 rng(29);
  for (const char* alphabet : {"\n", "ab\n", "abcdefghijklmnopqrstuvwxyz0123456789\n", "a\r\n", "\r\r\n\n"}) {
    const std::string letters(alphabet);
    std::string text(400, 'x');
    for (char& c : text) c = letters[rng() % letters.size()];
    for (std::size_t from = 0; from < 16; ++from) {
      for (std::size_t size = 0; from + size <= text.size(); size += 1 + size / 40) {
        const std::string_view piece = std::string_view(text).substr(from, size);
        for (int next : {-1, int('\n'), int('a')}) {
          std::uint64_t want = 0;
          for (std::size_t i = 0; i < piece.size(); ++i) {
            const int after = i + 1 < piece.size() ? static_cast<unsigned char>(piece[i + 1]) : next;
            want += piece[i] == '\n' || (piece[i] == '\r' && after != '\n');
          }
          ASSERT_EQ(console::CountBreaks(piece, next), want)
              << "alphabet " << letters.size() << " from " << from << " size " << size << " next " << next;
        }
      }
    }
  }
}

TEST(LogFile, FirstBreakGivesTheStyle) {
  TempDir dir;
  const struct {
    std::string text;
    LineBreak style;
  } cases[] = {{"a\r\nb\n", LineBreak::CrLf}, {"a\nb\r\n", LineBreak::Lf}, {"a\rb", LineBreak::Cr}, {"ab", LineBreak::CrLf}};
  for (const auto& c : cases) {
    WriteFile(dir / "log", c.text);
    EXPECT_EQ(LogFile(Q(dir / "log")).Break(), c.style) << c.text;
  }
}

TEST(LogFile, GrowsTruncatesAndIsReplaced) {
  TempDir dir;
  const std::string path = dir / "error_log";
  std::string text = "one\ntwo\r";
  WriteFile(path, text);
  LogFile log(Q(path), 4);
  EXPECT_EQ(log.Check(), LogFile::Change::None);
  ExpectIndexMatches(log, text, "start");

  // The CR that ended the file becomes half of a CR LF.
  for (const std::string more : {"\nthree\n", "four", " and more\r\nfive\n"}) {
    Append(path, more);
    text += more;
    EXPECT_EQ(log.Check(), LogFile::Change::Grown);
    ExpectIndexMatches(log, text, "after " + more);
  }

  WriteFile(path, "new\n");
  EXPECT_EQ(log.Check(), LogFile::Change::Truncated);

  std::filesystem::rename(path, dir / "error_log.1");
  EXPECT_EQ(log.Check(), LogFile::Change::Missing);
  WriteFile(path, "rotated\n");
  EXPECT_EQ(log.Check(), LogFile::Change::Replaced);
}

TEST(LogFile, AFileThatShrinksWhileMappedReadsAsZeros) {
  TempDir dir;
  const std::string path = dir / "access_log";
  std::string text;
  while (text.size() < (4 << 20)) text += "10.0.0.1 - - [07/Dec/2026:10:00:00 +0100] \"GET / HTTP/1.1\" 200 45\n";
  WriteFile(path, text);
  LogFile log(Q(path), 4096);
  const std::uint64_t size = log.Size();
  ASSERT_EQ(::truncate(path.c_str(), 0), 0);
  // The mapped bytes are gone from the file: reading them would raise
  // SIGBUS; they read as zeros instead.
  const std::string_view bytes = log.Bytes(0, size);
  std::uint64_t nonZero = 0;
  for (std::size_t i = 0; i < bytes.size(); i += 4096) nonZero += bytes[i] != 0;
  EXPECT_EQ(nonZero, 0u);
  EXPECT_EQ(log.LineEnd(size - 10), size);  // scanning zeros: no break
  EXPECT_EQ(log.Check(), LogFile::Change::Truncated);
  // The counting thread may meet the missing pages too: zeros, no breaks.
  log.WaitIndexed(2000);
}

TEST(LogFile, RefusesWhatIsNotAFile) {
  TempDir dir;
  EXPECT_THROW(LogFile(Q(dir / "missing")), console::EFileError);
  EXPECT_THROW(LogFile(Q(dir.path().string())), console::EFileError);
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  EXPECT_THROW(LogFile(Q(dir / "fifo")), console::EFileError);
}

TEST(SaveLogAs, WritesTheLinesWithTheFileBreaks) {
  TempDir dir;
  const struct {
    std::string text, saved;
  } cases[] = {
      {"a\nb\n", "a\nb\n"},
      {"a\r\nb\r\n", "a\r\nb\r\n"},
      {"a\rb\r", "a\rb\r"},
      {"a\r\nb\nc", "a\r\nb\r\nc\r\n"},  // every line gets the first break, the last one too
      {"", ""},
  };
  for (const auto& c : cases) {
    WriteFile(dir / "log", c.text);
    LogFile log(Q(dir / "log"));
    console::SaveLogAs(log, Q(dir / "copy"));
    EXPECT_EQ(ReadFile(dir / "copy"), c.saved) << testing::PrintToString(c.text);
  }
}

TEST(SaveLogAs, RefusesToRewriteTheShownFileInPlace) {
  TempDir dir;
  const std::string text = "a\nb\r\nc\n";  // written back, b would get LF
  WriteFile(dir / "log", text);
  // A second link makes saving rewrite the file itself instead of renaming.
  std::filesystem::create_hard_link(dir / "log", dir / "link");
  LogFile log(Q(dir / "log"));
  EXPECT_THROW(console::SaveLogAs(log, Q(dir / "log")), console::EFileError);
  EXPECT_EQ(ReadFile(dir / "log"), text);
  // Another file with a second link is rewritten in place as usual.
  WriteFile(dir / "other", "old\n");
  std::filesystem::create_hard_link(dir / "other", dir / "other-link");
  console::SaveLogAs(log, Q(dir / "other"));
  EXPECT_EQ(ReadFile(dir / "other-link"), "a\nb\nc\n");
}

}  // namespace
