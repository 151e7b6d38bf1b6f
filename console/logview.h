// The read-only view of a log: it draws only the lines on screen from the
// mapped file (LogFile), with the editor's font, line-number gutter, right
// edge, selection and caret, and follows the file as it grows. A file that
// is truncated or replaced (log rotation) is opened anew, and a line at the
// top of the view says so; while the lines are being counted a line at the
// bottom shows how far that got. Nothing here edits: Cut and Paste do
// nothing.
#pragma once

#include <QAbstractScrollArea>
#include <QPointer>
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "console/editmenu.h"
#include "console/logfile.h"

class QAction;
class QFileSystemWatcher;
class QLabel;
class QMenu;
class QTimer;
class QsciScintilla;

namespace console {

class TLogView : public QAbstractScrollArea {
 public:
  static constexpr int kRightEdge = 90;
  static constexpr int kTabWidth = 8;
  static constexpr int kBookmarkMargin = 12;
  // Copy refuses selections larger than this.
  static constexpr std::uint64_t kMaxCopyBytes = 64 << 20;
  // How long a burst of changes to the file is gathered before the view
  // looks at it.
  static constexpr int kFollowDelayMs = 100;

  explicit TLogView(QWidget* parent = nullptr);
  ~TLogView() override;

  // Takes the editor's font and colours, so that both look alike.
  void FollowLook(QsciScintilla& editor);
  // The context menu's entries trigger these (the Edit menu's entries), as
  // the editor's do; without them they act on the view directly.
  void SetContextCommands(QAction* cut, QAction* copy, QAction* paste, QAction* selectAll);
  // Runs the keyboard's Copy (which can fail); by default directly, its
  // errors dropped.
  void SetRunner(std::function<void(const std::function<void()>&)> runner) { runner_ = std::move(runner); }

  // Shows path in place of the file shown, from its start. Throws EFileError
  // and keeps everything as it was when it cannot be opened.
  void Open(const QString& path, std::size_t indexBlock = LogFile::kBlock);
  // Shows nothing any more.
  void Close();
  bool IsOpen() const { return file_ != nullptr; }
  QString File() const { return file_ ? file_->Path() : QString(); }
  const LogFile* Log() const { return file_.get(); }

  // Selection (file offsets; the caret is one end) and the clipboard.
  void SetSelection(std::uint64_t anchor, std::uint64_t caret);
  std::uint64_t Caret() const { return caret_; }
  std::uint64_t Anchor() const { return anchor_; }
  QString SelectedText() const;
  // Copies the selection; throws ConsoleError when it is larger than
  // kMaxCopyBytes.
  void Copy();
  void SelectAll();

  // Puts the caret on line (0-based) and shows it. A line that the count has
  // not reached yet is gone to once it has.
  void GotoLine(std::uint64_t line);
  void GotoEnd();
  void ScrollLines(std::int64_t rows);
  std::uint64_t TopOffset() const { return top_; }
  // The top line's number when it is known.
  std::optional<std::uint64_t> TopLine() const;
  // The horizontal scroll position in pixels, and its largest value.
  int HorizontalScroll() const { return hscroll_; }
  int HorizontalRange() const;
  // Whether the last line of the file is on screen.
  bool AtEnd() const;

  // What is on screen: each row's text and its gutter number ("" unknown).
  QStringList VisibleText() const;
  QStringList VisibleNumbers() const;
  int GutterDigits() const { return gutterDigits_; }
  int Rows() const;
  // The texts of the notice line and the progress line ("" when hidden).
  QString Notice() const;
  QString Progress() const;

  // Bookmarks 0 to 9 as the editor keeps them: Ctrl+Shift+digit sets one on
  // the caret's line (or takes it off that line), Ctrl+digit goes to it.
  // The start of its line, or nullopt.
  std::optional<std::uint64_t> Bookmark(int n) const;

  // Looks at the file now (the watcher does so on its own).
  void CheckFile();

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;

 private:
  struct Row {
    std::uint64_t start = 0;
    std::uint64_t end = 0;  // where its break starts
    ShownLine shown;
    std::optional<std::uint64_t> number;  // 1-based, when known
  };

  std::vector<Row> Layout(int rows) const;
  Row MakeRow(std::uint64_t start) const;
  int LineHeight() const { return lineHeight_; }
  qreal CharWidth() const;
  int GutterWidth() const;
  int TextLeft() const { return GutterWidth() + 1; }
  std::uint64_t Hit(const QPoint& pos) const;
  void MoveCaret(std::uint64_t to, bool extend);
  void MoveVertically(std::int64_t rows, bool extend);
  void EnsureCaretVisible();
  void ClampTop();
  void SyncBars();
  // Widens the horizontal range to row's length; true when it grew.
  bool NoteWidth(const Row& row);
  void OnScrollBar(int value);
  double EstimatedLines() const;
  void OnProgress();
  void StartProgress();
  void ShowNotice(const QString& text);
  void PlaceLabels();
  void Watch();
  void Run(const std::function<void()>& command);

  std::unique_ptr<LogFile> file_;
  std::uint64_t top_ = 0;
  std::uint64_t caret_ = 0;
  std::uint64_t anchor_ = 0;
  int hscroll_ = 0;
  // Columns of the longest line shown since the file was opened (at least
  // the right edge): the horizontal range reaches its end.
  int widest_ = kRightEdge + 1;
  int lineHeight_ = 1;
  int gutterDigits_ = 1;
  bool syncing_ = false;
  bool dragging_ = false;
  std::optional<std::uint64_t> pendingLine_;
  static constexpr int kBookmarks = 10;
  std::optional<std::uint64_t> bookmarks_[kBookmarks];
  void ClearBookmarks();
  std::function<void(const std::function<void()>&)> runner_;
  EditCommands commands_;

  QColor paper_, ink_, marginBack_, marginInk_, edge_;
  QFileSystemWatcher* watcher_ = nullptr;
  QTimer* checkTimer_ = nullptr;
  QTimer* progressTimer_ = nullptr;
  QTimer* noticeTimer_ = nullptr;
  QLabel* notice_ = nullptr;
  QLabel* progress_ = nullptr;
};

}  // namespace console
