// A Host for the console's window tests: a temporary program directory, and
// message boxes, folder pickers and program launches recorded instead of
// shown. Programs really run when realRun is set.
#pragma once

#include <QStringList>

#include "console/host.h"

namespace cvtest {

class TestHost : public console::Host {
 public:
  explicit TestHost(QString programDir) : dir(std::move(programDir)) {}

  QString ProgramDir() const override { return dir; }
  void ShowMessage(QWidget*, const QString& text) override { messages << text; }
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
  QStringList runs;
  bool realRun = false;
  QString pickedDirectory;
  QStringList pickerStarts;
};

}  // namespace cvtest
