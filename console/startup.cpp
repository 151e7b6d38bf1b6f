#include "console/startup.h"

#include <QApplication>

#include "console/about.h"
#include "console/addeditserver.h"
#include "console/errors.h"
#include "console/host.h"
#include "console/main.h"
#include "console/savedlg.h"
#include "console/setting.h"
#include "ole/registry.h"

namespace console {

ConsoleWindows::ConsoleWindows() = default;

ConsoleWindows::~ConsoleWindows() {
  save.reset();
  addServer.reset();
  about.reset();
  settings.reset();
  main.reset();
}

std::unique_ptr<ConsoleWindows> CreateWindows(Host& host) {
  auto w = std::make_unique<ConsoleWindows>();
  w->main = std::make_unique<TForm1>(host);
  w->settings = std::make_unique<TSettingform>(host, *w->main);
  w->about = std::make_unique<Taboutform>();
  w->addServer = std::make_unique<TAddserver>(host, *w->main);
  w->save = std::make_unique<TSave>();
  w->main->SetDialogs(w->settings.get(), w->about.get(), w->addServer.get());
  w->main->SetSaveDialog(w->save.get());
  return w;
}

namespace {

// Why the windows could not be created, for the user.
QString Reason(const std::exception& e) {
  if (const auto* c = dynamic_cast<const ConsoleError*>(&e)) return c->Text();
  return QString::fromUtf8(e.what());
}

// Why the registry file cannot be read ("The registry cannot be read:
// FILE:LINE: reason"), or empty when it can.
QString RegistryProblem() {
  const std::string why = ole::RegistryFileError();
  return why.empty() ? QString() : QStringLiteral("The registry cannot be read: ") + QString::fromStdString(why);
}

}  // namespace

std::unique_ptr<ConsoleWindows> StartConsole(Host& host) {
  try {
    return CreateWindows(host);
  } catch (const std::exception&) {
    // Most likely the control is not registered yet.
  }
  // A malformed registry file refuses every lookup and every registration:
  // where it is broken is the reason, not a missing registration.
  const QString registry = RegistryProblem();
  QString notice = QString::fromLatin1(kNotRegisteredMessage);
  if (!registry.isEmpty()) notice += QStringLiteral("\n\n") + registry;
  host.ShowMessage(nullptr, notice);
  // By absolute path: the program folder's tool on the program folder's file,
  // whatever the current directory is.
  const QString dir = host.ProgramDir();
  QString output;
  const int status = host.RunProgram(dir + QStringLiteral("regsvr32"), {QStringLiteral("/s"), dir + QStringLiteral("CVSRVA.OCX")},
                                     &output);
  try {
    return CreateWindows(host);
  } catch (const std::exception& e) {
    QString text = QStringLiteral("Webwarden32 cannot start: the administration control CVSRVA.OCX could not be "
                                  "created.\n\n") +
                   Reason(e);
    if (status != 0) {
      text += QStringLiteral("\n\nRegistering it with %1 failed").arg(dir + QStringLiteral("regsvr32"));
      text += output.isEmpty() ? QStringLiteral(".") : QStringLiteral(":\n") + output;
    }
    // regsvr32 names the broken registry too; said once.
    const QString still = RegistryProblem();
    if (!still.isEmpty() && !output.contains(still)) text += QStringLiteral("\n\n") + still;
    host.ShowMessage(nullptr, text);
    return nullptr;
  }
}

int RunConsole(Host& host) {
  std::unique_ptr<ConsoleWindows> windows = StartConsole(host);
  if (!windows) return 1;
  ShowCentred(windows->main.get());
  return QApplication::exec();
}

}  // namespace console
