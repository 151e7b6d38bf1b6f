// The console's two configuration files, setting.ini and server.ini in the
// program directory, read and written one value at a time; and a server
// configuration as the two server dialogs hold it in their fields.
#pragma once

#include <QString>
#include <QStringList>

namespace console {

// One INI file. Missing files, sections and keys read as empty.
class IniFile {
 public:
  explicit IniFile(QString path) : path_(std::move(path)) {}
  const QString& Path() const { return path_; }
  bool Exists() const;
  QString Read(const QString& section, const QString& key) const;
  // Writes one value, creating the file, section or key; throws EFileError
  // with the reason when it cannot be stored.
  void Write(const QString& section, const QString& key, const QString& value) const;
  // Section names in file order; empty when the file does not exist.
  QStringList Sections() const;

 private:
  QString path_;
};

// The files of a program directory (given with a trailing '/').
struct ConfigFiles {
  explicit ConfigFiles(const QString& programDir)
      : setting(programDir + QStringLiteral("setting.ini")), server(programDir + QStringLiteral("server.ini")) {}
  IniFile setting;
  IniFile server;
};

inline constexpr const char* kMainSection = "Main";

// Delphi's Trim: removes leading and trailing spaces and control characters.
QString TrimBlanks(const QString& text);

// Which of two radio buttons is selected.
enum class Choice { None, First, Second };

// A server configuration in the dialogs' fields. version: First "Apache
// 1.3.xx", Second "Apache 2.0.xx"; handle: First "QRX", Second "QBT".
struct ServerFields {
  QString serverName;
  QString apacheDir;
  Choice version = Choice::None;
  Choice handle = Choice::None;
  QString start, stop, restart;
  bool useRestart = false;
  bool commandFieldsEnabled = true;  // the three file fields and "Restart"

  bool operator==(const ServerFields&) const = default;
};

// Selecting a handle button: QRX disables the command-file fields and the
// check box, QBT enables them; the texts stay.
void SelectHandle(ServerFields& fields, Choice handle);

// Fills every field but the server name from a section of server.ini. A value
// that matches none of the known texts leaves its buttons as they are.
void LoadServerSection(ServerFields& fields, const IniFile& serverIni, const QString& section);

// Why server.ini cannot hold a configuration as the fields have it: a server
// name that is empty (or only blanks), or holds "]" or a line break, which no
// section name can carry, or a value with a line break. Empty when it can.
QString RefusedServerFields(const ServerFields& fields);

// Throws ConsoleError with RefusedServerFields' reason, when there is one.
void CheckServerFields(const ServerFields& fields);

// Writes the eight keys of the section named by the server name field, as
// typed; empty command-file fields become "-" in the fields first. Checks the
// fields first (CheckServerFields): a refused configuration writes nothing.
void SaveServerSection(ServerFields& fields, const IniFile& serverIni);

}  // namespace console
