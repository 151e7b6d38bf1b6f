#include "console/host.h"

#include <spawn.h>
#include <sys/wait.h>

#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QPrinterInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QThread>
#include <QTimer>
#include <cerrno>
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

namespace {

bool IsShownWindow(const QWidget* w) {
  const Qt::WindowType type = w->windowType();
  return w->isVisible() && (type == Qt::Window || type == Qt::Dialog);
}

}  // namespace

QWidget* MessageOwner(QWidget* requested) {
  // A modal window (a progress or file dialog, another message box) is in
  // front of everything else of the program.
  if (QWidget* modal = QApplication::activeModalWidget(); modal && modal->isVisible()) return modal;
  // The dialogs that stay on top cover every other window: the active one,
  // else the one raised last.
  QWidget* onTop = nullptr;
  qlonglong raised = -1;
  for (QWidget* w : QApplication::topLevelWidgets()) {
    if (!IsShownWindow(w) || !(w->windowFlags() & Qt::WindowStaysOnTopHint)) continue;
    if (w == QApplication::activeWindow()) return w;
    if (const qlonglong stamp = w->property(kRaisedProperty).toLongLong(); stamp > raised) {
      raised = stamp;
      onTop = w;
    }
  }
  if (onTop) return onTop;
  if (QWidget* active = QApplication::activeWindow(); active && IsShownWindow(active)) return active;
  return requested ? requested->window() : nullptr;
}

namespace {

void ShowBox(QWidget* parent, const QString& text, const QString& details) {
  QWidget* owner = MessageOwner(parent);
  QMessageBox box(QMessageBox::NoIcon, QString::fromLatin1(kProgramName), text, QMessageBox::Ok, owner);
  box.setFont(MsSansSerif(8));
  if (!details.isEmpty()) box.setDetailedText(details);
  // Above a dialog that stays on top, the box must stay on top as well: a
  // window manager keeps such windows in a layer of their own.
  if (owner && (owner->windowFlags() & Qt::WindowStaysOnTopHint)) box.setWindowFlag(Qt::WindowStaysOnTopHint);
  box.exec();
}

}  // namespace

void Host::ShowMessage(QWidget* parent, const QString& text) { ShowBox(parent, text, QString()); }

void Host::ShowMessageWithDetails(QWidget* parent, const QString& text, const QString& details) {
  ShowBox(parent, text, details);
}

bool Host::Ask(QWidget* parent, const QString& question) {
  QMessageBox box(QMessageBox::Question, QString::fromLatin1(kProgramName), question, QMessageBox::Yes | QMessageBox::No,
                  parent);
  box.setDefaultButton(QMessageBox::No);
  box.setFont(MsSansSerif(8));
  return box.exec() == QMessageBox::Yes;
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

namespace {

// How long the desktop's opener may take to say whether a program took the
// target. xdg-open runs some handlers in its own place until they end (a
// browser that was not running yet): still running then means taken.
constexpr int kOpenerWaitMs = 2500;

// Reaps openers that outlived the wait, from the event loop.
void ReapLater(pid_t pid) {
  auto* timer = new QTimer(qApp);
  QObject::connect(timer, &QTimer::timeout, timer, [timer, pid] {
    if (::waitpid(pid, nullptr, WNOHANG) != 0) timer->deleteLater();
  });
  timer->start(1000);
}

}  // namespace

bool OpenWith(const QString& opener, const QUrl& url, int waitMs) {
  const QByteArray program = QFile::encodeName(opener);
  const QByteArray target = url.toEncoded();
  char* argv[] = {const_cast<char*>(program.constData()), const_cast<char*>(target.constData()), nullptr};
  // What the opener and the programs it starts print (their complaints about
  // the desktop, mostly) stays out of the console's terminal: only the exit
  // status tells.
  posix_spawn_file_actions_t actions;
  if (::posix_spawn_file_actions_init(&actions) != 0) return false;
  bool prepared = ::posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0) == 0;
  prepared = prepared && ::posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0) == 0;
  prepared = prepared && ::posix_spawn_file_actions_adddup2(&actions, 1, 2) == 0;
  pid_t pid = -1;
  const bool spawned = prepared && ::posix_spawn(&pid, program.constData(), &actions, nullptr, argv, environ) == 0;
  ::posix_spawn_file_actions_destroy(&actions);
  if (!spawned) return false;
  QElapsedTimer clock;
  clock.start();
  for (;;) {
    int status = 0;
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (done < 0 && errno != EINTR) return false;
    if (clock.elapsed() >= waitMs) break;
    QThread::msleep(20);
  }
  ReapLater(pid);
  return true;
}

bool Host::OpenUrl(QWidget*, const QUrl& url) {
  // Qt hands the target to xdg-open without waiting for its verdict, so
  // "no program for it" would go unnoticed: ask xdg-open directly.
  const QString opener = QStandardPaths::findExecutable(QStringLiteral("xdg-open"));
  if (!opener.isEmpty()) {
    QGuiApplication::setOverrideCursor(Qt::WaitCursor);
    const bool opened = OpenWith(opener, url, kOpenerWaitMs);
    QGuiApplication::restoreOverrideCursor();
    return opened;
  }
  return QDesktopServices::openUrl(url);
}

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
