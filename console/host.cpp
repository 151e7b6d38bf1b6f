#include "console/host.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QPrinterInfo>
#include <QProcess>
#include <QStandardPaths>
#include <fcntl.h>
#include <unistd.h>

#include "console/fonts.h"

namespace console {

QString Host::ProgramDir() const { return QCoreApplication::applicationDirPath() + QLatin1Char('/'); }

QString Host::ConfigDir() const {
  const QString program = ProgramDir();
  if (::faccessat(AT_FDCWD, QFile::encodeName(program).constData(), W_OK, AT_EACCESS) == 0) return program;
  const QString dir =
      QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QStringLiteral("/webwarden32/");
  QDir().mkpath(dir);
  return dir;
}

void Host::ShowMessage(QWidget* parent, const QString& text) {
  QMessageBox box(QMessageBox::NoIcon, QString::fromLatin1(kProgramName), text, QMessageBox::Ok, parent);
  box.setFont(MsSansSerif(8));
  box.exec();
}

int Host::RunProgram(const QString& program, const QStringList& arguments, QString* output, int timeoutMs) {
  QProcess process;
  process.setProcessChannelMode(QProcess::MergedChannels);
  process.start(program, arguments);
  if (!process.waitForStarted(timeoutMs)) {
    if (output) *output = process.errorString();
    return -1;
  }
  const bool finished = process.waitForFinished(timeoutMs);
  if (!finished) {
    process.kill();
    process.waitForFinished(1000);
  }
  if (output) *output = QString::fromLocal8Bit(process.readAll()).trimmed();
  if (!finished) {
    if (output) *output += QStringLiteral("\n(stopped after %1 s)").arg(timeoutMs / 1000);
    return -1;
  }
  return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

QString Host::GetExistingDirectory(QWidget* parent, const QString& start) {
  return QFileDialog::getExistingDirectory(parent, QString(), start);
}

QString Host::GetOpenFileName(QWidget* parent, const QString& dir) {
  return QFileDialog::getOpenFileName(parent, QString(), dir);
}

QString Host::GetSaveFileName(QWidget* parent, const QString& dir) {
  return QFileDialog::getSaveFileName(parent, QString(), dir, QString(), nullptr,
                                      QFileDialog::DontConfirmOverwrite);
}

void Host::OpenUrl(QWidget*, const QUrl& url) { QDesktopServices::openUrl(url); }

QDateTime Host::Now() const { return QDateTime::currentDateTime(); }

PrintTarget Host::PrintDestination() {
  QString folder = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
  if (folder.isEmpty() || !QFileInfo(folder).isDir()) folder = QDir::homePath();
  return ChoosePrintTarget(qEnvironmentVariable(kPrintPdfVariable), QPrinterInfo::defaultPrinterName(),
                           NewPdfName(folder, Now()));
}

Host& DefaultHost() {
  static Host host;
  return host;
}

}  // namespace console
