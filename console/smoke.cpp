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
#include <algorithm>
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
  void ShowMessageWithDetails(QWidget* parent, const QString& text, const QString& details) override {
    ShowMessage(parent, text);
    std::printf("details: %s\n", qPrintable(details));
    std::fflush(stdout);
    this->details << details;
  }
  int RunProgram(const QString& program, const QStringList& arguments, QString* output, int timeoutMs) override {
    std::printf("running: %s %s\n", qPrintable(program), qPrintable(arguments.join(QLatin1Char(' '))));
    const int status = Host::RunProgram(program, arguments, output, timeoutMs);
    if (output && !output->isEmpty()) std::printf("%s\n", qPrintable(*output));
    return status;
  }
  QStringList messages;
  QStringList details;

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

// Apache's whole answer to GET / (HTTP/1.0: it closes when done), at most
// 64 KB, read for at most 5 s.
QByteArray HttpGet(quint16 port) {
  QTcpSocket socket;
  socket.connectToHost(QStringLiteral("127.0.0.1"), port);
  if (!socket.waitForConnected(2000)) return "(no connection)";
  socket.write("GET / HTTP/1.0\r\nHost: localhost\r\n\r\n");
  QByteArray answer;
  QDeadlineTimer deadline(5000);
  while (answer.size() < (64 << 10) && !deadline.hasExpired()) {
    if (!socket.waitForReadyRead(static_cast<int>(std::max<qint64>(1, deadline.remainingTime())))) break;
    answer += socket.readAll();
  }
  answer += socket.readAll();
  return answer.isEmpty() ? QByteArray("(no answer)") : answer;
}

int Usage() {
  std::fputs("usage: webwarden32-smoke --port PORT [--program-dir DIR] [--expect-start-failure] [--page-text TEXT]\n",
             stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QStringList args = QCoreApplication::arguments().mid(1);
  QString programDir = QCoreApplication::applicationDirPath() + QStringLiteral("/../Webwarden32/");
  quint16 port = 0;
  bool expectFailure = false;
  QByteArray pageText = "Apache on DEMO1";
  for (int i = 0; i < args.size(); ++i) {
    if (args[i] == QLatin1String("--port") && i + 1 < args.size())
      port = static_cast<quint16>(args[++i].toUInt());
    else if (args[i] == QLatin1String("--program-dir") && i + 1 < args.size())
      programDir = args[++i] + QLatin1Char('/');
    else if (args[i] == QLatin1String("--expect-start-failure"))
      expectFailure = true;
    else if (args[i] == QLatin1String("--page-text") && i + 1 < args.size())
      pageText = args[++i].toUtf8();
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
  // The page itself must come: a 403 (Apache's workers may not read the
  // folder) or a 404 is a failure, though the port answers.
  const QByteArray answer = HttpGet(port);
  const QByteArray status = answer.left(answer.indexOf('\n')).trimmed();
  std::printf("port %u answers: %s\n", port, status.constData());
  const bool ok = status.startsWith("HTTP/") && status.split(' ').value(1) == "200" && answer.contains(pageText);
  if (!ok) {
    std::printf("FAILED: the page did not come (wanted 200 and \"%s\")\n", pageText.constData());
    command("StopApache1");
    return 1;
  }
  std::printf("the page answers 200 with \"%s\"\n", pageText.constData());
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
