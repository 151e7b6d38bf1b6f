#include "console/synmemo.h"

#include <QContextMenuEvent>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QMenu>

#include "console/editmenu.h"
#include "console/fonts.h"

namespace console {
namespace {

constexpr int kNumberMargin = 0;
constexpr int kBookmarkMargin = 1;

}  // namespace


TSynMemo::TSynMemo(QWidget* parent) : QsciScintilla(parent) {
  std::fill(std::begin(bookmarkHandles_), std::end(bookmarkHandles_), -1);
  const QFont font = CourierNew(10);
  setFont(font);
  setMarginsFont(font);
  setUtf8(true);
  setEolMode(QsciScintilla::EolWindows);
  setMarginType(kNumberMargin, QsciScintilla::NumberMargin);
  setMarginLineNumbers(kNumberMargin, true);
  setMarginType(kBookmarkMargin, QsciScintilla::SymbolMargin);
  setMarginWidth(kBookmarkMargin, 12);
  setMarginMarkerMask(kBookmarkMargin, (1 << kBookmarks) - 1);
  for (int n = 0; n < kBookmarks; ++n) markerDefine(QsciScintilla::Circle, n);
  setEdgeMode(QsciScintilla::EdgeLine);
  setEdgeColumn(kRightEdge);
  // The horizontal scroll range reaches at least the right edge, and grows
  // to the end of the longest line shown.
  SendScintilla(SCI_SETSCROLLWIDTHTRACKING, 1L);
  ResetScrollWidth();
  setTabWidth(8);
  setContextMenuPolicy(Qt::DefaultContextMenu);
  connect(this, &QsciScintilla::linesChanged, this, [this] { FitGutter(); });
  FitGutter();
}

void TSynMemo::ShowDocument(void* doc, int eolMode) {
  // Straight to Scintilla: QsciScintilla's own QsciDocument bookkeeping is
  // for sharing documents between editors, which the console does not do.
  // Code page, tab width, end-of-line mode and the read-only flag belong to
  // the document in Scintilla, not to the view.
  const bool readOnly = isReadOnly();
  const int tabs = tabWidth();
  SendScintilla(SCI_SETDOCPOINTER, 0UL, doc);
  SendScintilla(SCI_RELEASEDOCUMENT, 0UL, doc);
  SendScintilla(SCI_SETCODEPAGE, static_cast<unsigned long>(SC_CP_UTF8));
  SendScintilla(SCI_SETTABWIDTH, static_cast<unsigned long>(tabs));
  SendScintilla(SCI_SETEOLMODE, static_cast<unsigned long>(eolMode));
  SendScintilla(SCI_SETUNDOCOLLECTION, 1UL);
  SendScintilla(SCI_EMPTYUNDOBUFFER);
  SendScintilla(SCI_SETSAVEPOINT);
  setReadOnly(readOnly);
  ResetScrollWidth();
  SendScintilla(SCI_GOTOPOS, 0UL);
  setFirstVisibleLine(0);
  std::fill(std::begin(bookmarkHandles_), std::end(bookmarkHandles_), -1);
  FitGutter();
}

void TSynMemo::ResetScrollWidth() {
  SendScintilla(SCI_SETSCROLLWIDTH,
                static_cast<unsigned long>(QFontMetrics(CourierNew(10)).horizontalAdvance(QLatin1Char('0')) * (kRightEdge + 1)));
}

void TSynMemo::FitGutter() {
  int digits = 1;
  for (int n = lines(); n >= 10; n /= 10) ++digits;
  if (digits == gutterDigits_) return;
  gutterDigits_ = digits;
  // One digit of room on the left, as the gutter leaves.
  setMarginWidth(kNumberMargin, QString(digits + 1, QLatin1Char('9')));
}

QMenu* TSynMemo::CreateContextMenu(QWidget* parent) {
  return CreateEditMenu(parent, this, commands_,
                        {[this] { cut(); }, [this] { copy(); }, [this] { paste(); }, [this] { selectAll(); }});
}

void TSynMemo::SetContextCommands(QAction* cut, QAction* copy, QAction* paste, QAction* selectAll) {
  commands_ = {cut, copy, paste, selectAll};
}

void TSynMemo::contextMenuEvent(QContextMenuEvent* event) {
  QMenu* menu = CreateContextMenu(this);
  menu->setAttribute(Qt::WA_DeleteOnClose);
  menu->popup(event->globalPos());
  event->accept();
}

void TSynMemo::ToggleBookmark(int n, int line) {
  if (n < 0 || n >= kBookmarks || line < 0 || line >= lines()) return;
  const int current = BookmarkLine(n);
  if (current >= 0) markerDeleteHandle(bookmarkHandles_[n]);
  bookmarkHandles_[n] = -1;
  if (current == line) return;
  bookmarkHandles_[n] = markerAdd(line, n);
}

int TSynMemo::BookmarkLine(int n) const {
  if (n < 0 || n >= kBookmarks || bookmarkHandles_[n] < 0) return -1;
  return markerLine(bookmarkHandles_[n]);
}

void TSynMemo::GotoBookmark(int n) {
  const int line = BookmarkLine(n);
  if (line < 0) return;
  setCursorPosition(line, 0);
  ensureLineVisible(line);
}

void TSynMemo::keyPressEvent(QKeyEvent* event) {
  const Qt::KeyboardModifiers mods = event->modifiers() & (Qt::ControlModifier | Qt::ShiftModifier | Qt::AltModifier);
  if (mods & Qt::ControlModifier && !(mods & Qt::AltModifier)) {
    const bool shift = mods & Qt::ShiftModifier;
    if (const int digit = DigitOf(event); digit >= 0) {
      int line = 0;
      int index = 0;
      getCursorPosition(&line, &index);
      if (shift)
        ToggleBookmark(digit, line);
      else
        GotoBookmark(digit);
      event->accept();
      return;
    }
    if (shift && event->key() == Qt::Key_I) {
      SendScintilla(SCI_TAB);
      event->accept();
      return;
    }
    if (shift && event->key() == Qt::Key_U) {
      SendScintilla(SCI_BACKTAB);
      event->accept();
      return;
    }
  }
  QsciScintilla::keyPressEvent(event);
}

}  // namespace console
