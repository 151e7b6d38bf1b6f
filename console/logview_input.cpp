// The log view's caret, selection, clipboard and input: keys, mouse, wheel
// and the context menu. Nothing here changes the file.
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QScrollBar>
#include <algorithm>
#include <cctype>
#include <cmath>

#include "console/errors.h"
#include "console/logview.h"

namespace console {
namespace {

QString Megabytes(std::uint64_t bytes) { return QString::number(double(bytes) / (1 << 20), 'f', 1); }

}  // namespace

// --- caret and selection ------------------------------------------------------------

void TLogView::SetSelection(std::uint64_t anchor, std::uint64_t caret) {
  const std::uint64_t size = file_ ? file_->Size() : 0;
  anchor_ = std::min(anchor, size);
  caret_ = std::min(caret, size);
  viewport()->update();
}

QString TLogView::SelectedText() const {
  if (!file_) return QString();
  const std::uint64_t from = std::min(anchor_, caret_);
  const std::uint64_t to = std::max(anchor_, caret_);
  const QString text = QString::fromUtf8(file_->Bytes(from, to));
  file_->Release(from, to);
  return text;
}

void TLogView::Copy() {
  if (!file_ || anchor_ == caret_) return;
  const std::uint64_t bytes = std::max(anchor_, caret_) - std::min(anchor_, caret_);
  if (bytes > kMaxCopyBytes)
    throw ConsoleError(QStringLiteral("The selection of %1 MB is too large to copy; at most %2 MB can be copied.")
                           .arg(Megabytes(bytes), Megabytes(kMaxCopyBytes)));
  QApplication::clipboard()->setText(SelectedText());
}

std::optional<std::uint64_t> TLogView::Bookmark(int n) const {
  if (n < 0 || n >= kBookmarks) return std::nullopt;
  return bookmarks_[n];
}

void TLogView::ClearBookmarks() {
  for (std::optional<std::uint64_t>& mark : bookmarks_) mark.reset();
}

void TLogView::SelectAll() {
  if (!file_) return;
  anchor_ = 0;
  caret_ = file_->Size();
  viewport()->update();
}

void TLogView::MoveCaret(std::uint64_t to, bool extend) {
  caret_ = to;
  if (!extend) anchor_ = to;
  EnsureCaretVisible();
}

void TLogView::EnsureCaretVisible() {
  if (!file_) return;
  const std::uint64_t line = file_->LineStartAt(caret_);
  if (line < top_) {
    top_ = line;
  } else {
    const int rows = Rows();
    const std::vector<Row> shown = Layout(rows);
    if (!shown.empty() && line > shown.back().start && static_cast<int>(shown.size()) >= rows) {
      top_ = line;
      for (int i = 1; i < rows && top_ > 0; ++i) top_ = file_->PrevLine(top_);
    }
  }
  // Horizontally: the caret's column in view.
  const Row row = MakeRow(line);
  NoteWidth(row);
  const int x = static_cast<int>(row.shown.ColumnOf(caret_ - line) * CharWidth());
  const int width = viewport()->width() - TextLeft();
  const int cw = static_cast<int>(std::ceil(CharWidth()));
  if (x < hscroll_) hscroll_ = x;
  if (x > hscroll_ + width - cw) hscroll_ = x - width + cw;
  ClampTop();
  SyncBars();
  horizontalScrollBar()->setValue(hscroll_);
  hscroll_ = horizontalScrollBar()->value();
  viewport()->update();
}

void TLogView::MoveVertically(std::int64_t rows, bool extend) {
  if (!file_) return;
  const std::uint64_t line = file_->LineStartAt(caret_);
  const int column = MakeRow(line).shown.ColumnOf(caret_ - line);
  std::uint64_t target = line;
  for (; rows < 0 && target > 0; ++rows) target = file_->PrevLine(target);
  for (; rows > 0; --rows) {
    if (file_->LineEnd(target) >= file_->Size()) break;
    target = file_->NextLine(target);
  }
  const Row row = MakeRow(target);
  const int columns = static_cast<int>(row.shown.column.size()) - 1;
  const std::uint64_t at = column >= columns ? row.end : target + row.shown.column[std::size_t(column)];
  MoveCaret(at, extend);
}

void TLogView::GotoLine(std::uint64_t line) {
  if (!file_) return;
  const std::optional<std::uint64_t> start = file_->LineStart(line);
  if (!start) {
    if (file_->IndexComplete()) {
      GotoEnd();  // past the last line: the last line
      pendingLine_.reset();
    } else {
      pendingLine_ = line;  // the count gets there soon
    }
    return;
  }
  pendingLine_.reset();
  top_ = *start;
  MoveCaret(*start, false);
}

void TLogView::GotoEnd() {
  if (!file_) return;
  top_ = file_->LastLine();
  ClampTop();
  MoveCaret(file_->Size(), false);
}

std::uint64_t TLogView::Hit(const QPoint& pos) const {
  if (!file_) return 0;
  const int row = std::max(0, pos.y() / LineHeight());
  const std::vector<Row> rows = Layout(row + 1);
  if (rows.empty()) return 0;
  if (row >= static_cast<int>(rows.size())) return file_->Size();
  const Row& r = rows.back();
  const int columns = static_cast<int>(r.shown.column.size()) - 1;
  const int column = static_cast<int>(std::lround(double(pos.x() - TextLeft() + hscroll_) / CharWidth()));
  if (column <= 0) return r.start;
  if (column >= columns) return r.shown.cut ? r.start + r.shown.column.back() : r.end;
  return r.start + r.shown.column[std::size_t(column)];
}

// --- input --------------------------------------------------------------------------

void TLogView::keyPressEvent(QKeyEvent* event) {
  if (event->matches(QKeySequence::Copy) ||
      (event->key() == Qt::Key_Insert && event->modifiers() == Qt::ControlModifier)) {
    Run([this] { Copy(); });
    return event->accept();
  }
  if (event->matches(QKeySequence::SelectAll)) {
    SelectAll();
    return event->accept();
  }
  if (!file_) return event->ignore();
  const bool shift = event->modifiers() & Qt::ShiftModifier;
  const bool ctrl = event->modifiers() & Qt::ControlModifier;
  if (ctrl && !(event->modifiers() & Qt::AltModifier)) {
    if (const int digit = DigitOf(event); digit >= 0) {
      const std::uint64_t line = file_->LineStartAt(caret_);
      if (shift) {
        const bool here = bookmarks_[digit] == line;
        bookmarks_[digit].reset();
        if (!here) bookmarks_[digit] = line;
        viewport()->update();
      } else if (bookmarks_[digit]) {
        MoveCaret(*bookmarks_[digit], false);
      }
      return event->accept();
    }
  }
  switch (event->key()) {
    case Qt::Key_Up:
      if (ctrl) ScrollLines(-1); else MoveVertically(-1, shift);
      break;
    case Qt::Key_Down:
      if (ctrl) ScrollLines(1); else MoveVertically(1, shift);
      break;
    case Qt::Key_PageUp:
      ScrollLines(-(Rows() - 1));
      MoveVertically(-(Rows() - 1), shift);
      break;
    case Qt::Key_PageDown:
      ScrollLines(Rows() - 1);
      MoveVertically(Rows() - 1, shift);
      break;
    case Qt::Key_Home:
      if (ctrl) {
        top_ = 0;
        MoveCaret(0, shift);
      } else {
        MoveCaret(file_->LineStartAt(caret_), shift);
      }
      break;
    case Qt::Key_End:
      if (ctrl) {
        top_ = file_->LastLine();
        ClampTop();
        MoveCaret(file_->Size(), shift);
      } else {
        MoveCaret(file_->LineEnd(file_->LineStartAt(caret_)), shift);
      }
      break;
    case Qt::Key_Left:
      if (caret_ > 0) {
        const std::uint64_t line = file_->LineStartAt(caret_);
        if (caret_ == line) {
          MoveCaret(file_->LineEnd(file_->PrevLine(line)), shift);
        } else {
          const Row row = MakeRow(line);
          const int c = row.shown.ColumnOf(caret_ - line);
          std::uint64_t to = line + row.shown.column[std::size_t(std::max(0, c - 1))];
          if (caret_ - line > row.shown.column[std::size_t(c)]) to = line + row.shown.column[std::size_t(c)];
          MoveCaret(std::min(to, caret_ - 1), shift);
        }
      }
      break;
    case Qt::Key_Right:
      if (caret_ < file_->Size()) {
        const std::uint64_t line = file_->LineStartAt(caret_);
        const std::uint64_t end = file_->LineEnd(line);
        if (caret_ >= end) {
          MoveCaret(file_->NextLine(line), shift);
        } else {
          const Utf8Step step = DecodeUtf8(file_->Bytes(caret_, end));
          MoveCaret(caret_ + std::uint64_t(step.length), shift);
        }
      }
      break;
    default:
      // Typing, Delete, Backspace, Return and the rest change nothing.
      return event->ignore();
  }
  event->accept();
}

void TLogView::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return QAbstractScrollArea::mousePressEvent(event);
  setFocus(Qt::MouseFocusReason);
  MoveCaret(Hit(event->position().toPoint()), event->modifiers() & Qt::ShiftModifier);
  dragging_ = true;
}

void TLogView::mouseMoveEvent(QMouseEvent* event) {
  if (!dragging_ || !file_) return;
  const QPoint pos = event->position().toPoint();
  if (pos.y() < 0) ScrollLines(-1);
  if (pos.y() >= viewport()->height()) ScrollLines(1);
  MoveCaret(Hit(QPoint(pos.x(), std::clamp(pos.y(), 0, viewport()->height() - 1))), true);
}

void TLogView::mouseReleaseEvent(QMouseEvent*) { dragging_ = false; }

void TLogView::mouseDoubleClickEvent(QMouseEvent* event) {
  if (!file_ || event->button() != Qt::LeftButton) return;
  // The word under the pointer.
  const std::uint64_t at = Hit(event->position().toPoint());
  const std::uint64_t line = file_->LineStartAt(at);
  const std::string_view bytes = file_->Bytes(line, std::min(file_->LineEnd(line), line + ShownLine::kShownBytes));
  const auto word = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || (c & 0x80); };
  std::uint64_t from = at - line;
  std::uint64_t to = at - line;
  while (from > 0 && word(bytes[from - 1])) --from;
  while (to < bytes.size() && word(bytes[to])) ++to;
  anchor_ = line + from;
  caret_ = line + to;
  viewport()->update();
}

void TLogView::wheelEvent(QWheelEvent* event) {
  const int steps = event->angleDelta().y() / 120;
  if (steps != 0) ScrollLines(-std::int64_t(steps) * QApplication::wheelScrollLines());
  const int h = event->angleDelta().x();
  if (h != 0) horizontalScrollBar()->setValue(horizontalScrollBar()->value() - h / 120 * horizontalScrollBar()->singleStep() * 3);
  event->accept();
}

void TLogView::SetContextCommands(QAction* cut, QAction* copy, QAction* paste, QAction* selectAll) {
  commands_ = {cut, copy, paste, selectAll};
}

void TLogView::contextMenuEvent(QContextMenuEvent* event) {
  // The editor's context menu; nothing in it edits a log.
  QMenu* menu = CreateEditMenu(this, this, commands_,
                               {[] {}, [this] { Run([this] { Copy(); }); }, [] {}, [this] { SelectAll(); }});
  menu->setAttribute(Qt::WA_DeleteOnClose);
  menu->popup(event->globalPos());
  event->accept();
}

}  // namespace console
