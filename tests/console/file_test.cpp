// The console's file logic without windows: line-break styles, loading and
// saving a document (with the failures that must leave everything whole),
// backup names and copies, and the names of PDF printouts.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QLocale>
#include <climits>
#include <filesystem>
#include <string>

#include "console/backup.h"
#include "console/document.h"
#include "console/errors.h"
#include "console/printing.h"
#include "privileges.h"
#include "support/temp_dir.h"

namespace {

using console::Document;
using console::EFileError;
using console::LineBreak;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

QString Q(const std::string& s) { return QString::fromStdString(s); }

std::string Names(LineBreak style) {
  switch (style) {
    case LineBreak::CrLf:
      return "CR LF";
    case LineBreak::Lf:
      return "LF";
    case LineBreak::Cr:
      return "CR";
  }
  return "?";
}

// The editor's text as a string; a fill can be limited to play an editor
// that runs out of memory.
class StringStore : public console::TextStore {
 public:
  struct Text : Fill {
    std::string bytes;
    std::size_t limit = SIZE_MAX;
    void Append(std::string_view more) override {
      if (bytes.size() + more.size() > limit) throw EFileError(QStringLiteral("There is not enough memory for the text."));
      bytes.append(more);
    }
  };

  std::unique_ptr<Fill> BeginFill(std::uint64_t sizeHint) override {
    hint = sizeHint;
    auto fill = std::make_unique<Text>();
    fill->limit = limit;
    return fill;
  }
  void Show(std::unique_ptr<Fill> fill, LineBreak style) override {
    text = std::move(static_cast<Text&>(*fill).bytes);
    eol = style;
    ++shows;
  }
  std::string_view Bytes() override { return text; }
  void SetReadOnly(bool value) override { readOnly = value; }

  std::string text;
  bool readOnly = false;
  LineBreak eol = LineBreak::CrLf;
  int shows = 0;
  std::uint64_t hint = 0;
  std::size_t limit = SIZE_MAX;
};

TEST(LineBreakScanner, TheFirstBreakDecidesWhereverTheBlocksEnd) {
  struct Case {
    std::string text;
    LineBreak style;
  } cases[] = {
      {"", LineBreak::CrLf},          {"no break at all", LineBreak::CrLf}, {"a\r\nb\nc\n", LineBreak::CrLf},
      {"a\nb\r\nc\r\n", LineBreak::Lf}, {"a\rb\r\n", LineBreak::Cr},          {"ends with CR\r", LineBreak::Cr},
      {"\r\n", LineBreak::CrLf},      {"\n\r\n", LineBreak::Lf},            {"\r\r\n", LineBreak::Cr},
  };
  for (const Case& c : cases) {
    // Two blocks split at every position, and one byte at a time.
    for (std::size_t split = 0; split <= c.text.size(); ++split) {
      console::LineBreakScanner scanner;
      scanner.Feed(std::string_view(c.text).substr(0, split));
      scanner.Feed(std::string_view(c.text).substr(split));
      EXPECT_EQ(Names(scanner.Finish()), Names(c.style)) << c.text << " split at " << split;
    }
    console::LineBreakScanner bytewise;
    for (char ch : c.text) bytewise.Feed(std::string_view(&ch, 1));
    EXPECT_EQ(Names(bytewise.Finish()), Names(c.style)) << c.text;
  }
}

TEST(WriteLines, EveryLineEndsWithTheStyleTheLastOneToo) {
  struct Case {
    std::string text;
    LineBreak style;
    std::string written;
  } cases[] = {
      {"", LineBreak::CrLf, ""},
      {"one", LineBreak::CrLf, "one\r\n"},
      {"a\r\nb\r\n", LineBreak::CrLf, "a\r\nb\r\n"},
      {"a\nb\n", LineBreak::Lf, "a\nb\n"},
      {"a\nb", LineBreak::Lf, "a\nb\n"},
      {"a\r\nb\nc\rd", LineBreak::Lf, "a\nb\nc\nd\n"},
      {"a\nb\r\n", LineBreak::CrLf, "a\r\nb\r\n"},
      {"\n\n", LineBreak::CrLf, "\r\n\r\n"},
      {"x\r\r\ny", LineBreak::Lf, "x\n\ny\n"},
      {"m\rn\r", LineBreak::Cr, "m\rn\r"},
      {std::string("nul\0byte\n", 9), LineBreak::CrLf, std::string("nul\0byte\r\n", 10)},
  };
  for (const Case& c : cases) {
    std::string out;
    console::WriteLines(c.text, c.style, [&out](std::string_view piece) { out.append(piece); });
    EXPECT_EQ(out, c.written) << "text " << testing::PrintToString(c.text) << " as " << Names(c.style);
  }
}

class DocumentTest : public ::testing::Test {
 protected:
  std::string Path(const std::string& name) const { return dir / name; }
  QString QPath(const std::string& name) const { return Q(Path(name)); }
  // Whatever is in the folder besides the given files.
  std::vector<std::string> Strays(std::initializer_list<std::string> expected) const {
    std::vector<std::string> out;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
      const std::string name = entry.path().filename().string();
      if (std::find(expected.begin(), expected.end(), name) == expected.end()) out.push_back(name);
    }
    return out;
  }
  // The document's whole visible state, to show that a failure changed none of it.
  std::string State() {
    return doc.File().toStdString() + "|" + Names(doc.Break()) + "|" + (doc.ReadOnly() ? "ro" : "rw") + "|" +
           (doc.Modified() ? "modified" : "saved") + "|" + store.text + "|" + Names(store.eol) + "|" +
           (store.readOnly ? "ro" : "rw");
  }

  TempDir dir;
  StringStore store;
  Document doc{store};
};

TEST_F(DocumentTest, SaveWritesTheStyleFoundAtLoadByteForByteApartFromTheEdit) {
  struct Case {
    const char* name;
    std::string content;
    LineBreak style;
    std::string saved;  // after typing "E" at the start
  } cases[] = {
      {"CR LF", "Listen 80\r\nServerName srv\r\n", LineBreak::CrLf, "EListen 80\r\nServerName srv\r\n"},
      {"LF", "Listen 80\nServerName srv\n", LineBreak::Lf, "EListen 80\nServerName srv\n"},
      {"CR", "a\rb\r", LineBreak::Cr, "Ea\rb\r"},
      {"no final break", "a\nb", LineBreak::Lf, "Ea\nb\n"},
      {"not UTF-8", "caf\xe9\r\n\xff\xfe\r\n", LineBreak::CrLf, "Ecaf\xe9\r\n\xff\xfe\r\n"},
      {"empty", "", LineBreak::CrLf, "E\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteFile(Path("httpd.conf"), c.content);
    ASSERT_TRUE(doc.Load(QPath("httpd.conf"), Document::Access::Editable));
    EXPECT_EQ(store.text, c.content);
    EXPECT_EQ(Names(doc.Break()), Names(c.style));
    EXPECT_EQ(Names(store.eol), Names(c.style)) << "typed lines get the file's break";
    EXPECT_FALSE(doc.Modified());
    store.text.insert(0, "E");
    doc.Edited();
    doc.Save();
    EXPECT_EQ(ReadFile(Path("httpd.conf")), c.saved);
    EXPECT_FALSE(doc.Modified());
    EXPECT_TRUE(Strays({"httpd.conf"}).empty());
  }
}

TEST_F(DocumentTest, LoadsInBlocksWithProgressAndKeepsEveryByte) {
  std::string big;
  for (int i = 0; big.size() < 2 * Document::kBlockSize + 12345; ++i)
    big += "10.0.0." + std::to_string(i % 250) + " - - [07/Dec/2026] \"GET /" + std::to_string(i) + " HTTP/1.1\" 200\n";
  WriteFile(Path("access_log"), big);
  std::vector<std::pair<std::uint64_t, std::uint64_t>> calls;
  ASSERT_TRUE(doc.Load(QPath("access_log"), Document::Access::ReadOnly, [&](std::uint64_t done, std::uint64_t total) {
    calls.emplace_back(done, total);
    return true;
  }));
  EXPECT_TRUE(store.text == big);
  EXPECT_EQ(store.hint, big.size());
  EXPECT_TRUE(doc.ReadOnly());
  EXPECT_TRUE(store.readOnly);
  ASSERT_EQ(calls.size(), 4u) << "start and one call per block";
  EXPECT_EQ(calls.front().first, 0u);
  EXPECT_EQ(calls.back().first, big.size());
  for (std::size_t i = 1; i < calls.size(); ++i) {
    EXPECT_GT(calls[i].first, calls[i - 1].first);
    EXPECT_EQ(calls[i].second, big.size());
  }
}

TEST_F(DocumentTest, AFailedOrStoppedLoadChangesNothing) {
  WriteFile(Path("httpd.conf"), "Listen 80\n");
  WriteFile(Path("error_log"), "[error] one\r\n[error] two\r\n");
  ASSERT_EQ(::mkdir(Path("folder").c_str(), 0755), 0);
  ASSERT_EQ(::mkfifo(Path("fifo").c_str(), 0644), 0);
  ASSERT_TRUE(doc.Load(QPath("httpd.conf"), Document::Access::Editable));
  store.text += "typed";
  doc.Edited();
  const std::string before = State();

  struct Case {
    const char* name;
    QString path;
    std::size_t storeLimit;
    const char* reason;
  } cases[] = {
      {"missing", QPath("no such file"), SIZE_MAX, "No such file or directory"},
      {"folder", QPath("folder"), SIZE_MAX, "Is a directory"},
      {"FIFO", QPath("fifo"), SIZE_MAX, "not a regular file"},
      {"no name", QString(), SIZE_MAX, "No such file or directory"},
      {"editor full", QPath("error_log"), 5, "not enough memory"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    store.limit = c.storeLimit;
    try {
      doc.Load(c.path, Document::Access::ReadOnly);
      ADD_FAILURE() << "no error";
    } catch (const EFileError& e) {
      EXPECT_TRUE(e.Text().startsWith(QStringLiteral("Cannot open file \"") + c.path + QStringLiteral("\". ")))
          << e.Text().toStdString();
      EXPECT_TRUE(e.Text().contains(QLatin1String(c.reason))) << e.Text().toStdString();
    }
    EXPECT_EQ(State(), before);
  }
  store.limit = SIZE_MAX;

  // Stopped by the progress dialog: at the start or after the first block.
  for (int stopAt : {1, 2}) {
    int calls = 0;
    EXPECT_FALSE(doc.Load(QPath("error_log"), Document::Access::ReadOnly, [&](std::uint64_t, std::uint64_t) {
      return ++calls < stopAt;
    }));
    EXPECT_EQ(State(), before);
  }
  EXPECT_EQ(store.shows, 1);
  // A later Save still writes to the file that did load.
  doc.Save();
  EXPECT_EQ(ReadFile(Path("httpd.conf")), "Listen 80\ntyped\n");
  EXPECT_EQ(ReadFile(Path("error_log")), "[error] one\r\n[error] two\r\n");
}

TEST_F(DocumentTest, AFailedSaveLeavesTheOldFileWholeAndTheChangesUnsaved) {
  const std::string old = "Listen 80\r\nServerName old\r\n";
  WriteFile(Path("httpd.conf"), old);
  ASSERT_TRUE(doc.Load(QPath("httpd.conf"), Document::Access::Editable));
  store.text = std::string(20000, 'x') + "\r\n";
  doc.Edited();
  {
    // The disk fills up half way through.
    cvtest::FileSizeLimit limit(4096);
    EXPECT_THROW(doc.Save(), EFileError);
  }
  EXPECT_EQ(ReadFile(Path("httpd.conf")), old);
  EXPECT_TRUE(doc.Modified());
  EXPECT_TRUE(Strays({"httpd.conf"}).empty()) << "the temporary file is gone";

  // No right to write in the folder, nor to the file (a writable file in a
  // read-only folder is saved in place).
  ASSERT_EQ(::chmod(dir.path().c_str(), 0555), 0);
  ASSERT_EQ(::chmod(Path("httpd.conf").c_str(), 0444), 0);
  try {
    cvtest::Unprivileged nobody;
    doc.Save();
    ADD_FAILURE() << "saved into a read-only folder";
  } catch (const EFileError& e) {
    EXPECT_EQ(e.Text(), QStringLiteral("Cannot create file \"%1\". Permission denied").arg(QPath("httpd.conf")));
  }
  EXPECT_EQ(ReadFile(Path("httpd.conf")), old);
  EXPECT_TRUE(doc.Modified());

  // A write-protected file in a folder open to everybody: the rename would
  // be allowed, the file is not.
  ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);
  ASSERT_EQ(::chmod(Path("httpd.conf").c_str(), 0444), 0);
  try {
    cvtest::Unprivileged nobody;
    doc.Save();
    ADD_FAILURE() << "replaced a write-protected file";
  } catch (const EFileError& e) {
    EXPECT_EQ(e.Text(), QStringLiteral("Cannot create file \"%1\". Permission denied").arg(QPath("httpd.conf")));
  }
  EXPECT_EQ(ReadFile(Path("httpd.conf")), old);
  EXPECT_TRUE(Strays({"httpd.conf"}).empty());

  ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
  ASSERT_EQ(::chmod(Path("httpd.conf").c_str(), 0644), 0);
  doc.Save();
  EXPECT_TRUE(ReadFile(Path("httpd.conf")) == store.text);
}

TEST_F(DocumentTest, SaveReplacesTheFileKeepingItsPermissionsAndLinks) {
  WriteFile(Path("httpd.conf"), "old\n");
  ASSERT_EQ(::chmod(Path("httpd.conf").c_str(), 0640), 0);
  std::filesystem::create_symlink("httpd.conf", Path("link.conf"));
  struct stat before {};
  ASSERT_EQ(::stat(Path("httpd.conf").c_str(), &before), 0);

  ASSERT_TRUE(doc.Load(QPath("link.conf"), Document::Access::Editable));
  store.text = "new\n";
  doc.Edited();
  doc.Save();

  struct stat after {};
  ASSERT_EQ(::stat(Path("httpd.conf").c_str(), &after), 0);
  EXPECT_EQ(after.st_mode & 07777, 0640u);
  EXPECT_NE(after.st_ino, before.st_ino) << "replaced as a whole, not rewritten in place";
  EXPECT_TRUE(std::filesystem::is_symlink(Path("link.conf")));
  EXPECT_EQ(ReadFile(Path("httpd.conf")), "new\n");

  // A new file gets what the umask leaves.
  const mode_t mask = ::umask(022);
  doc.SaveAs(QPath("new.conf"));
  ::umask(mask);
  struct stat fresh {};
  ASSERT_EQ(::stat(Path("new.conf").c_str(), &fresh), 0);
  EXPECT_EQ(fresh.st_mode & 07777, 0644u);
}

TEST_F(DocumentTest, SaveAsChangesTheFileOnlyOnceWrittenAndKeepsTheFlags) {
  WriteFile(Path("a.conf"), "a\n");
  WriteFile(Path("b.conf"), "to be replaced\n");
  ASSERT_TRUE(doc.Load(QPath("a.conf"), Document::Access::Editable));
  store.text = "edited\n";
  doc.Edited();
  EXPECT_THROW(doc.SaveAs(QPath("missing folder/x.conf")), EFileError);
  EXPECT_EQ(doc.File(), QPath("a.conf"));
  doc.SaveAs(QPath("b.conf"));  // no overwrite question
  EXPECT_EQ(doc.File(), QPath("b.conf"));
  EXPECT_EQ(ReadFile(Path("b.conf")), "edited\n");
  EXPECT_TRUE(doc.Modified()) << "Save as leaves the unsaved-changes flag";
  EXPECT_EQ(ReadFile(Path("a.conf")), "a\n");
}

TEST_F(DocumentTest, CloseForgetsTheFileAndANewFileGetsCrLf) {
  WriteFile(Path("error_log"), "one\ntwo\n");
  ASSERT_TRUE(doc.Load(QPath("error_log"), Document::Access::ReadOnly));
  doc.Close();
  EXPECT_EQ(State(), "|CR LF|rw|saved||CR LF|rw");
  // Typing into the empty editor and saving: there is no file to write.
  store.text = "typed";
  doc.Edited();
  try {
    doc.Save();
    ADD_FAILURE() << "saved without a file";
  } catch (const EFileError& e) {
    EXPECT_EQ(e.Text(), QStringLiteral("Cannot create file \"\". No such file or directory"));
  }
  EXPECT_TRUE(doc.Modified());
  doc.SaveAs(QPath("new.txt"));
  EXPECT_EQ(ReadFile(Path("new.txt")), "typed\r\n");
}

TEST(BackupName, TheLocalesShortDateWithSlashesAsDashes) {
  const QDate date(2026, 12, 7);
  struct Case {
    QLocale locale;
    const char* name;
  } cases[] = {
      {QLocale(QLocale::German, QLocale::Germany), "/srv/conf/httpd.conf07.12.26.bak"},
      {QLocale(QLocale::English, QLocale::UnitedStates), "/srv/conf/httpd.conf12-7-26.bak"},
      {QLocale(QLocale::Japanese, QLocale::Japan), "/srv/conf/httpd.conf2026-12-07.bak"},
  };
  for (const Case& c : cases) {
    const QString name = console::BackupName(QStringLiteral("/srv/conf/httpd.conf"), date, c.locale);
    EXPECT_EQ(name.toStdString(), c.name) << c.locale.name().toStdString();
  }
}

TEST(CopyNewFile, CopiesOnceAndNeverOverwrites) {
  TempDir dir;
  const std::string source = dir / "httpd.conf";
  const std::string backup = dir / "httpd.conf07.12.26.bak";
  WriteFile(source, "Listen 80\r\n");
  ASSERT_EQ(::chmod(source.c_str(), 0640), 0);
  console::CopyNewFile(Q(source), Q(backup));
  EXPECT_EQ(ReadFile(backup), "Listen 80\r\n");
  struct stat s {}, b {};
  ASSERT_EQ(::stat(source.c_str(), &s), 0);
  ASSERT_EQ(::stat(backup.c_str(), &b), 0);
  EXPECT_EQ(b.st_mode & 07777, 0640u);
  EXPECT_EQ(b.st_mtim.tv_sec, s.st_mtim.tv_sec);

  WriteFile(source, "Listen 8080\r\n");
  struct Case {
    const char* name;
    std::string source, target;
    const char* reason;
  } failures[] = {
      {"second backup", source, backup, "File exists"},
      {"no source", dir / "missing", dir / "missing.bak", "No such file or directory"},
      {"no folder", source, dir / "gone/httpd.conf.bak", "No such file or directory"},
  };
  for (const Case& c : failures) {
    SCOPED_TRACE(c.name);
    try {
      console::CopyNewFile(Q(c.source), Q(c.target));
      ADD_FAILURE() << "copied";
    } catch (const EFileError& e) {
      EXPECT_EQ(e.Text().toStdString(), c.reason);
    }
  }
  EXPECT_EQ(ReadFile(backup), "Listen 80\r\n") << "the first backup stays";
  EXPECT_FALSE(std::filesystem::exists(dir / "missing.bak"));

  // A copy that fails half way leaves no half backup.
  WriteFile(source, std::string(100000, 'x'));
  {
    cvtest::FileSizeLimit limit(4096);
    EXPECT_THROW(console::CopyNewFile(Q(source), Q(dir / "big.bak")), EFileError);
  }
  EXPECT_FALSE(std::filesystem::exists(dir / "big.bak"));
}

TEST(PrintTarget, ANewPdfNameNeverReplacesAnEarlierPrintout) {
  TempDir dir;
  const QDateTime now(QDate(2026, 12, 7), QTime(10, 2, 50));
  const QString first = console::NewPdfName(Q(dir.path().string()), now);
  EXPECT_EQ(first, Q(dir / "Webwarden32 printout 2026-12-07 10.02.50.pdf"));
  WriteFile(first.toStdString(), "%PDF");
  EXPECT_EQ(console::NewPdfName(Q(dir.path().string()), now), Q(dir / "Webwarden32 printout 2026-12-07 10.02.50 (2).pdf"));
}

}  // namespace
