#include "console/mainmodel.h"

namespace console {

void MainModel::ShowServer(const QString& apachePath, const QString& serverName, const QString& handle) {
  panels_[0] = QStringLiteral("Path: ") + apachePath;
  panels_[1] = QStringLiteral("Servername: ") + serverName;
  if (handle == QLatin1String("QRX") || handle == QLatin1String("QBT")) panels_[5] = handle;
}

void MainModel::Load() {
  const QString main = QString::fromLatin1(kMainSection);
  QString mode;
  if (files_.setting.Exists()) {
    currentServer_ = files_.setting.Read(main, QStringLiteral("Servername"));
    mode = files_.setting.Read(main, QStringLiteral("Mode"));
  }
  QString handle;
  if (files_.server.Exists()) {
    apacheDir_ = files_.server.Read(currentServer_, QStringLiteral("ApachePath"));
    handle = files_.server.Read(currentServer_, QStringLiteral("Handle"));
  }
  ShowServer(apacheDir_, currentServer_, handle);
  if (mode == QLatin1String("Simple")) {
    panels_[4] = QStringLiteral("S");
    serverMenu_ = MenuVisibility::Hidden;
  } else if (mode == QLatin1String("Expert")) {
    panels_[4] = QStringLiteral("E");
    serverMenu_ = MenuVisibility::Shown;
  }
}

QStringList MainModel::ServerEntries() const {
  if (!files_.server.Exists()) return {};
  return files_.server.Sections();
}

void MainModel::SelectServer(const QString& section) {
  const IniFile& ini = files_.server;
  const QString serverName = ini.Read(section, QStringLiteral("Servername"));
  const QString apachePath = ini.Read(section, QStringLiteral("ApachePath"));
  const QString handle = ini.Read(section, QStringLiteral("Handle"));
  ShowServer(apachePath, serverName, handle);
  apacheDir_ = apachePath;
  currentServer_ = serverName;
}

}  // namespace console
