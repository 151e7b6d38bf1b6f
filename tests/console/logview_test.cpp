// The log view on the offscreen platform: the first screen of a big file
// while its lines are still being counted, line numbers and Copy across the
// index's blocks, following appends, a truncation and a rotation, a file that
// shrinks while it is mapped, bytes that are not UTF-8 and a 1 MB line.
#include <unistd.h>

#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QScrollBar>
#include <QtTest>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "console/errors.h"
#include "console/logview.h"
#include "support/temp_dir.h"

using console::TLogView;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

void Append(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::app);
  out << text;
}

// Lines of different lengths, so that they end at every position of a block.
std::vector<std::string> Lines(int n) {
  std::vector<std::string> lines;
  for (int i = 0; i < n; ++i)
    lines.push_back("line " + std::to_string(i + 1) + " " + std::string(std::size_t(i * 7 % 53), char('a' + i % 26)));
  return lines;
}

std::string Join(const std::vector<std::string>& lines, const std::string& brk) {
  std::string text;
  for (const std::string& l : lines) text += l + brk;
  return text;
}

QString Q(const std::string& s) { return QString::fromStdString(s); }

}  // namespace

class LogViewTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<TempDir> dir_;
  std::unique_ptr<TLogView> view_;

  std::string Path(const std::string& name = "error_log") const { return *dir_ / name; }
  void Show() {
    view_->resize(745, 449);
    view_->show();
    QVERIFY(QTest::qWaitForWindowExposed(view_.get()));
  }

 private slots:
  void init() {
    dir_ = std::make_unique<TempDir>();
    view_ = std::make_unique<TLogView>();
  }
  void cleanup() {
    view_.reset();
    dir_.reset();
  }

  void firstScreenOfABigFileWhileCounting() {
    // 200 MB: the count takes a while, the first screen does not wait for it.
    const std::string line = "10.1.2.3 - - [07/Dec/2026:10:00:00 +0100] \"GET /index.html HTTP/1.1\" 200 512 \"-\" \"curl\"\n";
    {
      std::ofstream out(Path("access_log"), std::ios::binary);
      std::string block;
      for (int i = 0; i < 10000; ++i) block += line;
      for (int i = 0; i < 200; ++i) out << (i == 0 ? "first line\n" + block.substr(11) : block);
    }
    Show();
    view_->Open(Q(Path("access_log")));
    const QStringList text = view_->VisibleText();
    QVERIFY(text.size() >= 20);
    QCOMPARE(text[0], QStringLiteral("first line"));
    QCOMPARE(view_->VisibleNumbers().mid(0, 3), (QStringList{"1", "2", "3"}));
    QVERIFY(!view_->grab().isNull());
    // ("first line" took the place of a line's start: one line more.)
    // The end is there at once, its numbers once they are counted.
    view_->GotoEnd();
    QVERIFY(view_->AtEnd());
    QCOMPARE(view_->VisibleText().last(), QString());  // the empty line after the last break
    QCOMPARE(view_->VisibleText()[view_->VisibleText().size() - 2], Q(line.substr(0, line.size() - 1)));
    QVERIFY(view_->Log()->WaitIndexed(60000));
    QTRY_COMPARE(view_->Progress(), QString());
    QCOMPARE(view_->VisibleNumbers().last(), QString::number(200 * 10000 + 2));
    QCOMPARE(view_->GutterDigits(), 7);
  }

  void lineNumbersAcrossIndexBlocks_data() {
    QTest::addColumn<QString>("brk");
    QTest::newRow("LF") << "\n";
    QTest::newRow("CR LF") << "\r\n";
    QTest::newRow("CR") << "\r";
  }
  void lineNumbersAcrossIndexBlocks() {
    QFETCH(QString, brk);
    const std::vector<std::string> lines = Lines(400);
    WriteFile(Path(), Join(lines, brk.toStdString()));
    Show();
    view_->Open(Q(Path()), 64);  // blocks shorter than most lines
    QVERIFY(view_->Log()->WaitIndexed(10000));
    for (int line : {0, 1, 2, 63, 64, 65, 127, 200, 350}) {
      view_->GotoLine(std::uint64_t(line));
      QCOMPARE(view_->VisibleNumbers()[0], QString::number(line + 1));
      QCOMPARE(view_->VisibleText()[0], Q(lines[std::size_t(line)]));
    }
    // Scrolling line by line over the blocks keeps the numbers in step.
    view_->GotoLine(0);
    for (int step = 1; step < 100; ++step) {
      view_->ScrollLines(1);
      QCOMPARE(view_->VisibleNumbers()[0], QString::number(step + 1));
      QCOMPARE(view_->VisibleText()[0], Q(lines[std::size_t(step)]));
    }
    // Past the last line: the last line, at the bottom.
    view_->GotoLine(100000);
    QVERIFY(view_->AtEnd());
    QCOMPARE(view_->VisibleNumbers().last(), QString::number(401));
  }

  void copyOfASelectionSpanningBlocks() {
    const std::vector<std::string> lines = Lines(300);
    const std::string text = Join(lines, "\r\n");
    WriteFile(Path(), text);
    Show();
    view_->Open(Q(Path()), 64);
    const std::uint64_t from = text.find("line 3 ") + 2;
    const std::uint64_t to = text.find("line 250 ") + 4;
    view_->SetSelection(to, from);  // either direction
    view_->Copy();
    QCOMPARE(QGuiApplication::clipboard()->text(), Q(text.substr(from, to - from)));

    view_->SelectAll();
    view_->Copy();
    QCOMPARE(QGuiApplication::clipboard()->text(), Q(text));

    // Shift+Down from the start of line 10 selects line 10 with its break.
    view_->GotoLine(9);
    QTest::keyClick(view_.get(), Qt::Key_Down, Qt::ShiftModifier);
    QTest::keyClick(view_.get(), Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(QGuiApplication::clipboard()->text(), Q(lines[9] + "\r\n"));

    // Bookmarks as in the editor: Ctrl+Shift+3 on line 10, Ctrl+3 back there.
    QTest::keyClick(view_.get(), Qt::Key_3, Qt::ControlModifier | Qt::ShiftModifier);
    QCOMPARE(view_->Bookmark(3), std::optional<std::uint64_t>(text.find("line 11 ")));
    view_->GotoLine(200);
    QTest::keyClick(view_.get(), Qt::Key_3, Qt::ControlModifier);
    QCOMPARE(view_->Caret(), std::uint64_t(text.find("line 11 ")));
    QVERIFY(!view_->grab().isNull());
    QTest::keyClick(view_.get(), Qt::Key_NumberSign, Qt::ControlModifier | Qt::ShiftModifier);  // off again
    QCOMPARE(view_->Bookmark(3), std::nullopt);

    // Typing, Delete and Return change nothing.
    QTest::keyClicks(view_.get(), QStringLiteral("typed"));
    QTest::keyClick(view_.get(), Qt::Key_Delete);
    QTest::keyClick(view_.get(), Qt::Key_Return);
    QCOMPARE(testsupport::ReadFile(Path()), text);
  }

  void aSelectionTooLargeToCopyIsRefused() {
    {
      std::ofstream out(Path(), std::ios::binary);
      out.seekp(std::streamoff(TLogView::kMaxCopyBytes + 10));
      out << "\n";
    }
    view_->Open(Q(Path()));
    QGuiApplication::clipboard()->setText(QStringLiteral("before"));
    view_->SelectAll();
    QVERIFY_THROWS_EXCEPTION(console::ConsoleError, view_->Copy());
    QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("before"));
  }

  void followsAppendsAtTheEndOnly() {
    const std::vector<std::string> lines = Lines(200);
    WriteFile(Path(), Join(lines, "\n"));
    Show();
    view_->Open(Q(Path()));
    QTest::keyClick(view_.get(), Qt::Key_End, Qt::ControlModifier);
    QVERIFY(view_->AtEnd());
    Append(Path(), "[Mon Dec 07 10:00:00 2026] [notice] appended\n");
    QTRY_VERIFY_WITH_TIMEOUT(view_->VisibleText().contains(QStringLiteral("[Mon Dec 07 10:00:00 2026] [notice] appended")), 1000);
    QVERIFY(view_->AtEnd());
    QCOMPARE(view_->VisibleNumbers().last(), QStringLiteral("202"));

    // Scrolled up, the view stays where the user is.
    view_->GotoLine(10);
    const std::uint64_t top = view_->TopOffset();
    Append(Path(), "another\n");
    QTRY_COMPARE_WITH_TIMEOUT(view_->Log()->LineCount().value_or(0), std::uint64_t(203), 1000);
    QCOMPARE(view_->TopOffset(), top);
    QCOMPARE(view_->VisibleNumbers()[0], QStringLiteral("11"));
  }

  void truncationAndRotationOpenTheFileAgain() {
    WriteFile(Path(), Join(Lines(100), "\n"));
    Show();
    view_->Open(Q(Path()));
    view_->GotoEnd();

    WriteFile(Path(), "after truncation\n");
    QTRY_VERIFY_WITH_TIMEOUT(view_->Notice().contains(QLatin1String("truncated")), 2000);
    QVERIFY(view_->Notice().contains(Q(Path())));
    QCOMPARE(view_->VisibleText()[0], QStringLiteral("after truncation"));
    QCOMPARE(view_->File(), Q(Path()));

    // Rotation: the file is renamed and a new one created in its place.
    std::filesystem::rename(Path(), Path("error_log.1"));
    Append(Path("error_log.1"), "late line to the old file\n");
    WriteFile(Path(), "new file\nsecond\n");
    QTRY_VERIFY_WITH_TIMEOUT(view_->Notice().contains(QLatin1String("log rotation")), 2000);
    QCOMPARE(view_->VisibleText().mid(0, 2), (QStringList{"new file", "second"}));
    // And the new file is followed.
    Append(Path(), "third\n");
    QTRY_VERIFY_WITH_TIMEOUT(view_->VisibleText().contains(QStringLiteral("third")), 1000);
  }

  void aFileThatShrinksWhileMapped() {
    std::string text;
    for (int i = 0; text.size() < (8 << 20); ++i) text += "line " + std::to_string(i) + " of a log that shrinks\n";
    WriteFile(Path(), text);
    Show();
    view_->Open(Q(Path()));
    view_->GotoEnd();
    view_->SelectAll();
    // Cut away under the mapping, then painted and copied before the view
    // has heard of it: the missing pages read as zeros.
    QCOMPARE(::truncate(Path().c_str(), 4096), 0);
    view_->viewport()->repaint();
    QVERIFY(!view_->grab().isNull());
    view_->SetSelection(text.size() - 100, text.size());
    view_->Copy();
    QCOMPARE(QGuiApplication::clipboard()->text(), QString(100, QChar(0)));
    view_->CheckFile();
    QVERIFY(view_->Notice().contains(QLatin1String("truncated")));
    QCOMPARE(view_->Log()->Size(), std::uint64_t(4096));
  }

  void bytesThatAreNotUtf8() {
    WriteFile(Path(), "caf\xe9 \xff\xfe ok \xc3\xa9\n\xed\xa0\x80\xf4\x90\x80\x80\n");
    Show();
    view_->Open(Q(Path()));
    const QString bad(QChar(0xFFFD));
    QCOMPARE(view_->VisibleText().mid(0, 2),
             (QStringList{QStringLiteral("caf") + bad + QStringLiteral(" ") + bad + bad + QStringLiteral(" ok \u00e9"),
                          QString(7, QChar(0xFFFD))}));
    QVERIFY(!view_->grab().isNull());
    view_->SelectAll();
    view_->Copy();
    QVERIFY(QGuiApplication::clipboard()->text().startsWith(QStringLiteral("caf") + bad));
  }

  void aLineOfOneMegabyte() {
    const std::string huge(1 << 20, 'x');
    WriteFile(Path(), "before\n" + huge + "\nafter\n");
    Show();
    view_->Open(Q(Path()));
    const QStringList text = view_->VisibleText();
    QCOMPARE(text[0], QStringLiteral("before"));
    QCOMPARE(std::size_t(text[1].size()), console::ShownLine::kShownBytes);
    QCOMPARE(text[2], QStringLiteral("after"));
    QVERIFY(!view_->grab().isNull());
    // The whole line is copied, not only what is shown.
    view_->GotoLine(1);
    QTest::keyClick(view_.get(), Qt::Key_End, Qt::ShiftModifier);
    view_->Copy();
    QCOMPARE(QGuiApplication::clipboard()->text().size(), qsizetype(huge.size()));
    // And the caret moves past it line by line.
    QTest::keyClick(view_.get(), Qt::Key_Down);
    QCOMPARE(view_->Caret(), std::uint64_t(7 + huge.size() + 1 + 5));
  }

  // A line longer than the right edge can be scrolled to its end: the range
  // grows once the line was on screen, End shows its last character, and a
  // file of short lines scrolls no further than the right edge.
  void longLinesScrollToTheirEnd() {
    const std::string reason = "AH00015: Unable to open logs; output: AH00558 could not reliably determine";
    const std::string line = std::string(200, '-') + reason;
    WriteFile(Path(), "short\n" + line + "\nafter\n");
    WriteFile(Path("short_log"), "one\ntwo\n");
    Show();
    const qreal cw = QFontMetricsF(view_->font()).horizontalAdvance(QLatin1Char('0'));
    view_->Open(Q(Path("short_log")));
    QVERIFY(QTest::qWaitForWindowExposed(view_.get()));
    QCoreApplication::processEvents();
    // Short lines: the range ends at the right edge, a few columns at most.
    const int edgeRange = view_->HorizontalRange();
    QVERIFY(edgeRange < cw * 10);

    view_->Open(Q(Path()));
    // Painting the long line widens the range past the right edge.
    QTRY_VERIFY(view_->HorizontalRange() > edgeRange + cw * 100);
    QTest::keyClick(view_.get(), Qt::Key_Down);
    QTest::keyClick(view_.get(), Qt::Key_End);
    QCOMPARE(view_->Caret(), std::uint64_t(6 + line.size()));
    QVERIFY2(view_->HorizontalScroll() + view_->viewport()->width() >= int(cw * double(line.size())),
             qPrintable(QStringLiteral("scrolled to %1 of %2").arg(view_->HorizontalScroll()).arg(cw * line.size())));
    QCOMPARE(view_->HorizontalScroll(), view_->horizontalScrollBar()->value());
    // Home goes back; the bar's end is the line's end.
    QTest::keyClick(view_.get(), Qt::Key_Home);
    QCOMPARE(view_->HorizontalScroll(), 0);
    view_->horizontalScrollBar()->setValue(view_->horizontalScrollBar()->maximum());
    QVERIFY(view_->HorizontalScroll() + view_->viewport()->width() >= int(cw * double(line.size())));
    // Another file starts at the right edge again.
    view_->Open(Q(Path("short_log")));
    QCOMPARE(view_->HorizontalRange(), edgeRange);
  }
};

QTEST_MAIN(LogViewTest)
#include "logview_test.moc"
