// Webwarden32: the console program.
#include <QApplication>

#include "console/host.h"
#include "console/startup.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QString::fromLatin1(console::kProgramName));
  return console::RunConsole(console::DefaultHost());
}
