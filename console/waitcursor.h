// The wait cursor while the console waits for the control: set when a
// TWaitCursor is made, restored when it goes, on every way out of the scope
// (an exception of the control included). Nested ones stack.
#pragma once

#include <QGuiApplication>

namespace console {

class TWaitCursor {
 public:
  TWaitCursor() { QGuiApplication::setOverrideCursor(Qt::WaitCursor); }
  ~TWaitCursor() { QGuiApplication::restoreOverrideCursor(); }
  TWaitCursor(const TWaitCursor&) = delete;
  TWaitCursor& operator=(const TWaitCursor&) = delete;
};

}  // namespace console
