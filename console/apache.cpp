#include "console/apache.h"

#include "console/config.h"

namespace console {
namespace {

struct Module {
  const char* load;
  const char* unload;
};

// The module names of an Apache version; nothing for any other value.
std::optional<Module> ModuleOf(const QString& version) {
  if (version == QLatin1String("1.3.xx")) return Module{"apache.qrx", "apache.qrx"};
  if (version == QLatin1String("2.0.xx")) return Module{"apache2.qrx", "apache2 shutdown"};
  return std::nullopt;
}

QString Qbt(const QString& base) { return base + QStringLiteral(".qbt"); }

QString Message(ApacheCommand command, bool ok, const QString& server) {
  switch (command) {
    case ApacheCommand::Start:
      return ok ? QStringLiteral("Starting Apache on ") + server + QStringLiteral(" was successful.")
                : QStringLiteral("An error occured during the start of Apache on ") + server + QLatin1Char('.');
    case ApacheCommand::Stop:
      return ok ? QStringLiteral("Apache was stopped successful on ") + server + QLatin1Char('.')
                : QStringLiteral("An error occured while stopping apache on ") + server + QLatin1Char('.');
    case ApacheCommand::Restart:
      return ok ? QStringLiteral("Apache was successfully restarted on ") + server + QLatin1Char('.')
                : QStringLiteral("An error occured while restarting apache on ") + server + QLatin1Char('.');
  }
  return {};
}

}  // namespace

std::optional<QString> RunApacheCommand(ApacheCommand command, const IniFile& serverIni, const QString& server,
                                        ServerAdmin& admin) {
  const std::optional<ApacheOutcome> outcome = RunApache(command, serverIni, server, admin);
  if (!outcome) return std::nullopt;
  return outcome->message;
}

std::optional<ApacheOutcome> RunApache(ApacheCommand command, const IniFile& serverIni, const QString& server,
                                       ServerAdmin& admin) {
  const auto read = [&](const char* key) { return serverIni.Read(server, QString::fromLatin1(key)); };
  const QString handle = read("Handle");
  const std::optional<Module> module = ModuleOf(read("ApacheVersion"));
  const QString binding = QStringLiteral("\\\\") + server;
  const bool qbt = handle == QLatin1String("QBT");

  if (command == ApacheCommand::Restart) {
    bool ok = false;
    if (qbt) {
      const QString restart = read("Restart");
      const QString start = read("Start");
      const QString stop = read("Stop");
      const bool useRestart = read("UseRestart") == QLatin1String("YES");
      admin.SetFullName(binding);
      ok = useRestart ? admin.ExecuteProfile(Qbt(restart))
                      : admin.ExecuteProfile(Qbt(stop)) && admin.ExecuteProfile(Qbt(start));
    } else if (handle == QLatin1String("QRX")) {
      admin.SetFullName(binding);
      if (!module) return std::nullopt;
      ok = admin.UnloadQRX(QString::fromLatin1(module->unload)) &&
           admin.LoadQRX(QString::fromLatin1(module->load), QString());
    } else {
      return std::nullopt;
    }
    return ApacheOutcome{Message(command, ok, server), !ok};
  }

  const bool start = command == ApacheCommand::Start;
  bool ok = false;
  if (qbt) {
    const QString file = read(start ? "Start" : "Stop");
    admin.SetFullName(binding);
    ok = admin.ExecuteProfile(Qbt(file));
  } else {
    admin.SetFullName(binding);
    if (!module) return std::nullopt;
    ok = start ? admin.LoadQRX(QString::fromLatin1(module->load), QString())
               : admin.UnloadQRX(QString::fromLatin1(module->unload));
  }
  return ApacheOutcome{Message(command, ok, server), !ok};
}

}  // namespace console
