// The main window's state without its widgets: the console-wide values, the
// status bar texts and the Server menu, as the load step and server selection
// set them.
#pragma once

#include <QString>
#include <QStringList>
#include <array>

#include "console/config.h"

namespace console {

class MainModel {
 public:
  static constexpr int kPanels = 6;
  enum class MenuVisibility { Unchanged, Shown, Hidden };

  explicit MainModel(const QString& programDir) : files_(programDir) {}

  // The load step: current server and mode from setting.ini, Apache
  // directory and handle from that server's section of server.ini, status
  // texts and the Server menu's visibility.
  void Load();
  // The server entries of the Server menu: every section of server.ini in
  // file order (none without the file).
  QStringList ServerEntries() const;
  // Picking a server entry: the section's Servername becomes the current
  // server, its ApachePath the Apache directory.
  void SelectServer(const QString& section);

  const ConfigFiles& Files() const { return files_; }
  const QString& CurrentServer() const { return currentServer_; }
  const QString& ApacheDir() const { return apacheDir_; }
  const QString& CurrentFile() const { return currentFile_; }
  void SetCurrentFile(const QString& file) { currentFile_ = file; }

  // Panel texts; they start as designed.
  const QString& Panel(int index) const { return panels_.at(static_cast<std::size_t>(index)); }
  // What the load step asks of the Server menu.
  MenuVisibility ServerMenu() const { return serverMenu_; }

 private:
  void ShowServer(const QString& apachePath, const QString& serverName, const QString& handle);

  ConfigFiles files_;
  QString currentServer_;
  QString apacheDir_;
  QString currentFile_;
  std::array<QString, kPanels> panels_{QStringLiteral("Path:"),    QStringLiteral("Server:"),
                                       QStringLiteral("Status:"),  QStringLiteral("Version:"),
                                       QString(),                  QStringLiteral("Mode")};
  MenuVisibility serverMenu_ = MenuVisibility::Unchanged;
};

}  // namespace console
