// What the editor and the log view share of their input: the digit of the
// bookmark keys and the context menu of "Cut", "Copy", "Paste" and
// "Select all".
#pragma once

#include <QPointer>
#include <functional>

class QAction;
class QKeyEvent;
class QMenu;
class QObject;
class QWidget;

namespace console {

// The digit of Ctrl+digit and Ctrl+Shift+digit, or -1; with Shift held the
// key may arrive as the shifted symbol of a US layout.
int DigitOf(const QKeyEvent* event);

// The Edit menu's entries that a context menu triggers (their handlers run
// inside the general error report); the window that owns them outlives the
// context menus.
struct EditCommands {
  QPointer<QAction> cut, copy, paste, selectAll;
};

// What each entry does while its command is not set.
struct EditActions {
  std::function<void()> cut, copy, paste, selectAll;
};

// "Cut", "Copy", "Paste", a separator, "Select all" (PopupMenu1 with Cut2,
// Copy2, Paste2 and Selectall2), owned by parent; the entries' connections
// live as long as receiver.
QMenu* CreateEditMenu(QWidget* parent, QObject* receiver, const EditCommands& commands, const EditActions& direct);

}  // namespace console
