// What the console asks of the desktop and the system: message boxes, file
// and folder dialogs, starting a program, and where the program lives. The
// windows reach all of it through one Host, so a test can stand in for it.
#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QUrl>

#include "console/printing.h"

class QWidget;

namespace console {

// The title of every message box of the console.
inline constexpr const char* kProgramName = "Webwarden32";

class Host {
 public:
  virtual ~Host() = default;

  // The directory of the console's executable, with a trailing '/'.
  virtual QString ProgramDir() const;
  // Where setting.ini and server.ini live, with a trailing '/': beside the
  // program while its folder is writable (a copy unpacked anywhere, the build
  // folder), else the user's $XDG_CONFIG_HOME/webwarden32/, made when missing
  // (a program installed under /usr/lib, which users cannot write).
  virtual QString ConfigDir() const;
  // A plain message box with an OK button, titled with the program's name,
  // above every window of the console (on MessageOwner(parent), staying on
  // top when that window does); returns when it is closed.
  virtual void ShowMessage(QWidget* parent, const QString& text);
  // The same box with a "Show Details..." button that shows details.
  virtual void ShowMessageWithDetails(QWidget* parent, const QString& text, const QString& details);
  // A question with Yes and No, titled with the program's name; true for Yes.
  virtual bool Ask(QWidget* parent, const QString& question);
  // Runs a program to its end (at most timeoutMs) and returns its exit
  // status, or -1 when it could not start, crashed or ran too long. Its
  // standard output and error go to *output.
  virtual int RunProgram(const QString& program, const QStringList& arguments, QString* output,
                         int timeoutMs = 60000);
  // Folder picker starting at start; empty when cancelled.
  virtual QString GetExistingDirectory(QWidget* parent, const QString& start);
  // Open and save dialogs starting in dir; empty when cancelled.
  virtual QString GetOpenFileName(QWidget* parent, const QString& dir);
  virtual QString GetSaveFileName(QWidget* parent, const QString& dir);
  // ShellExecute "open": hands url to the desktop's handler for it (through
  // xdg-open where there is one, waiting a moment for its verdict); false
  // when the desktop has no program for it.
  virtual bool OpenUrl(QWidget* owner, const QUrl& url);
  // The clock, for the dates of backups and printouts.
  virtual QDateTime Now() const;
  // Where a printout goes: the PDF file that WEBWARDEN32_PRINT_PDF names,
  // else the default printer, else a new PDF file in the documents folder.
  virtual PrintTarget PrintDestination();
};

// The host of the real program.
Host& DefaultHost();

// Set on a window each time ShowCentred brings it to the front: a number
// that grows with every such raise.
inline constexpr const char* kRaisedProperty = "ww.raised";

// The window a message box belongs on, so that it comes up above every
// window of the console: a modal window in front, else the active dialog
// that stays on top, else the one of those raised last, else the active
// window, else requested's window.
QWidget* MessageOwner(QWidget* requested);

// Runs opener (xdg-open) on url and waits up to waitMs for its exit status:
// true when it ended with 0 or still runs then (it runs some programs in its
// own place; it is reaped later), false when it failed or could not start.
bool OpenWith(const QString& opener, const QUrl& url, int waitMs);

}  // namespace console
