// What the console's window tests share: a Host with a temporary program
// directory, whose message boxes, folder pickers and program launches are
// recorded instead of shown (programs really run when realRun is set); the
// registration of the built control; children found by object name.
#pragma once

#include <QGuiApplication>
#include <QList>
#include <QObject>
#include <QStringList>

#include "console/host.h"
#include "support/run.h"
#include "support/temp_dir.h"

namespace cvtest {

class TestHost : public console::Host {
 public:
  explicit TestHost(QString programDir) : dir(std::move(programDir)) {}

  QString ProgramDir() const override { return dir; }
  void ShowMessage(QWidget*, const QString& text) override {
    messages << text;
    cursorAtMessage << (QGuiApplication::overrideCursor() ? QGuiApplication::overrideCursor()->shape() : Qt::ArrowCursor);
  }
  void ShowMessageWithDetails(QWidget* parent, const QString& text, const QString& detailText) override {
    ShowMessage(parent, text);
    details << detailText;
  }
  int RunProgram(const QString& program, const QStringList& arguments, QString* output, int timeoutMs) override {
    runs << (QStringList{program} + arguments).join(QLatin1Char(' '));
    if (realRun) return Host::RunProgram(program, arguments, output, timeoutMs);
    return 0;
  }
  QString GetExistingDirectory(QWidget*, const QString& start) override {
    pickerStarts << start;
    return pickedDirectory;
  }

  QString dir;
  QStringList messages;
  QStringList details;  // of the messages that came with details, in order
  QList<Qt::CursorShape> cursorAtMessage;  // the override cursor when each message came (ArrowCursor: none)
  QStringList runs;
  bool realRun = false;
  QString pickedDirectory;
  QStringList pickerStarts;
};

// Registers the program folder's CVSRVA.OCX in the registry that
// OLE_REGISTRY names (WW_PROGRAM_DIR and REGSVR32_PATH come from the build).
inline testsupport::RunResult RegisterBuiltControl() {
  return testsupport::RunShell(testsupport::Quote(REGSVR32_PATH) + " /s " +
                               testsupport::Quote(WW_PROGRAM_DIR "/CVSRVA.OCX"));
}

// Points CORVANE_CLIENT at client.ini beside registry and registers the
// built control there; empty when the control's class is in the registry
// afterwards, otherwise what the registration printed.
inline std::string UseBuiltControl(const testsupport::ScopedRegistry& registry) {
  ::setenv("CORVANE_CLIENT", (registry.dir() / "client.ini").c_str(), 1);
  const testsupport::RunResult out = RegisterBuiltControl();
  if (testsupport::ReadFile(registry.file()).find("EC747AF1-8EF6-11D0-B375-0000E20315E2") != std::string::npos)
    return std::string();
  return out.output.empty() ? std::string("the control was not registered") : out.output;
}

// The child of parent with this object name; a test without it cannot go on.
template <class T>
T* Child(QObject* parent, const char* name) {
  T* child = parent->findChild<T*>(QString::fromLatin1(name));
  if (!child) qFatal("no child %s", name);
  return child;
}

}  // namespace cvtest
