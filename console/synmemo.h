// The main window's text editor: QScintilla set up as the console's memo,
// with a line-number gutter that fits its digits, a right edge at column 90,
// horizontal scrolling up to that column, bookmarks 0 to 9 and block indent.
#pragma once

#include <Qsci/qsciscintilla.h>

#include <QAction>

#include "console/editmenu.h"

class QMenu;

namespace console {

class TSynMemo : public QsciScintilla {
 public:
  static constexpr int kRightEdge = 90;
  static constexpr int kBookmarks = 10;

  explicit TSynMemo(QWidget* parent = nullptr);

  // The context menu: "Cut", "Copy", "Paste", a separator, "Select all".
  // The caller owns it. Its entries trigger the commands set here (the Edit
  // menu's entries, whose handlers run inside the general error report), or
  // act on the editor directly while none are set.
  QMenu* CreateContextMenu(QWidget* parent);
  void SetContextCommands(QAction* cut, QAction* copy, QAction* paste, QAction* selectAll);

  // Bookmark n (0 to 9): set on a line (moving it from any other line),
  // toggled off when set there already, and the line it is on (-1: none).
  void ToggleBookmark(int n, int line);
  int BookmarkLine(int n) const;
  void GotoBookmark(int n);

  // Shows doc, a Scintilla document whose one reference passes to the
  // editor, in place of the current text: caret at the start, no undo
  // history, no bookmarks; the read-only flag and tab width stay, and lines
  // typed into it end with eolMode. Not an edit: textChanged stays quiet.
  void ShowDocument(void* doc, int eolMode);

  // Width of the line-number gutter in digits, as it last sized itself.
  int GutterDigits() const { return gutterDigits_; }

 protected:
  void contextMenuEvent(QContextMenuEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void FitGutter();
  // The horizontal range back to the right edge (tracking widens it again).
  void ResetScrollWidth();

  int gutterDigits_ = 0;
  EditCommands commands_;
  int bookmarkHandles_[kBookmarks];
};

}  // namespace console
