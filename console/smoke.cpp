// webwarden32-smoke: starts the console's windows without a user, drives
// Apache > Start Apache, checks that Apache's port answers, drives Apache >
// Stop Apache and checks that it is closed again. Every message box is
// printed instead of shown. For scripts/demo --smoke and the tests.
#include <QAction>
#include <QApplication>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTcpSocket>
#include <QThread>
#include <cstdio>

#include "console/host.h"
#include "console/main.h"
#include "console/startup.h"

namespace {

class PrintingHost : public console::Host {
 public:
  explicit PrintingHost(QString dir) : dir_(std::move(dir)) {}
  QString ProgramDir() const override { return dir_; }
  void ShowMessage(QWidget*, const QString& text) override {
    std::printf("message: %s\n", qPrintable(text));
    std::fflush(stdout);
    messages << text;
  }
  int RunProgram(const QString& program, const QStringList& arguments, QString* output, int timeoutMs) override {
    std::printf("running: %s %s\n", qPrintable(program), qPrintable(arguments.join(QLatin1Char(' '))));
    const int status = Host::RunProgram(program, arguments, output, timeoutMs);
    if (output && !output->isEmpty()) std::printf("%s\n", qPrintable(*output));
    return status;
  }
  QStringList messages;

 private:
  QString dir_;
};

// Whether something accepts connections on 127.0.0.1:port, asked until it
// does (want true) or does not (want false), for at most timeoutMs.
bool PortAnswers(quint16 port, bool want, int timeoutMs) {
  QDeadlineTimer deadline(timeoutMs);
  for (;;) {
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), port);
    const bool answers = socket.waitForConnected(500);
    if (answers == want || deadline.hasExpired()) return answers;
    QThread::msleep(100);
  }
}

// The first line of Apache's answer to GET /.
QString HttpStatus(quint16 port) {
  QTcpSocket socket;
  socket.connectToHost(QStringLiteral("127.0.0.1"), port);
  if (!socket.waitForConnected(2000)) return QStringLiteral("(no connection)");
  socket.write("GET / HTTP/1.0\r\nHost: localhost\r\n\r\n");
  if (!socket.waitForReadyRead(5000)) return QStringLiteral("(no answer)");
  return QString::fromLatin1(socket.readLine()).trimmed();
}

int Usage() {
  std::fputs("usage: webwarden32-smoke --port PORT [--program-dir DIR] [--expect-start-failure]\n", stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QStringList args = QCoreApplication::arguments().mid(1);
  QString programDir = QCoreApplication::applicationDirPath() + QStringLiteral("/../Webwarden32/");
  quint16 port = 0;
  bool expectFailure = false;
  for (int i = 0; i < args.size(); ++i) {
    if (args[i] == QLatin1String("--port") && i + 1 < args.size())
      port = static_cast<quint16>(args[++i].toUInt());
    else if (args[i] == QLatin1String("--program-dir") && i + 1 < args.size())
      programDir = args[++i] + QLatin1Char('/');
    else if (args[i] == QLatin1String("--expect-start-failure"))
      expectFailure = true;
    else
      return Usage();
  }
  if (port == 0) return Usage();

  PrintingHost host(programDir);
  std::unique_ptr<console::ConsoleWindows> windows = console::StartConsole(host);
  if (!windows) return 1;
  console::TForm1& main = *windows->main;
  const QString server = main.Model().CurrentServer();
  std::printf("console up; current server %s\n", qPrintable(server));

  const auto command = [&](const char* action) {
    host.messages.clear();
    main.findChild<QAction*>(QString::fromLatin1(action))->trigger();
    return host.messages.value(0);
  };

  const QString started = command("StartApache1");
  if (expectFailure) {
    const bool refused = started == QStringLiteral("An error occured during the start of Apache on ") + server + '.';
    const bool closed = !PortAnswers(port, false, 2000);
    std::printf("start %s; port %u %s\n", refused ? "refused as expected" : "NOT refused", port,
                closed ? "closed" : "ANSWERS");
    return refused && closed ? 0 : 1;
  }
  if (started != QStringLiteral("Starting Apache on ") + server + QStringLiteral(" was successful.")) {
    std::printf("FAILED: Start Apache did not succeed\n");
    return 1;
  }
  if (!PortAnswers(port, true, 10000)) {
    std::printf("FAILED: nothing answers on port %u\n", port);
    return 1;
  }
  std::printf("port %u answers: %s\n", port, qPrintable(HttpStatus(port)));
  const QString stopped = command("StopApache1");
  if (stopped != QStringLiteral("Apache was stopped successful on ") + server + '.') {
    std::printf("FAILED: Stop Apache did not succeed\n");
    return 1;
  }
  if (PortAnswers(port, false, 10000)) {
    std::printf("FAILED: port %u still answers after Stop\n", port);
    return 1;
  }
  std::printf("port %u closed after Stop\nsmoke test passed\n", port);
  return 0;
}
