#include "console/config.h"

#include <QFileInfo>
#include <filesystem>

#include "console/errors.h"
#include "profile/profile.h"

namespace console {
namespace {

std::filesystem::path FsPath(const QString& path) { return std::filesystem::path(path.toStdString()); }

}  // namespace

bool IniFile::Exists() const { return QFileInfo(path_).isFile(); }

QString IniFile::Read(const QString& section, const QString& key) const {
  return QString::fromStdString(
      profile::GetPrivateProfileString(section.toStdString(), key.toStdString(), "", FsPath(path_)));
}

void IniFile::Write(const QString& section, const QString& key, const QString& value) const {
  const std::string v = value.toStdString();
  const profile::WriteResult r =
      profile::WritePrivateProfileString(section.toStdString(), key.toStdString(), std::string_view(v), FsPath(path_));
  if (!r) throw EFileError(QString::fromStdString(r.error));
}

QStringList IniFile::Sections() const {
  QStringList out;
  for (const std::string& name : profile::GetPrivateProfileSectionNames(FsPath(path_)))
    out << QString::fromStdString(name);
  return out;
}

QString TrimBlanks(const QString& text) {
  qsizetype begin = 0;
  qsizetype end = text.size();
  while (begin < end && text[begin].unicode() <= u' ') ++begin;
  while (end > begin && text[end - 1].unicode() <= u' ') --end;
  return text.mid(begin, end - begin);
}

void SelectHandle(ServerFields& fields, Choice handle) {
  fields.handle = handle;
  if (handle == Choice::First) fields.commandFieldsEnabled = false;
  if (handle == Choice::Second) fields.commandFieldsEnabled = true;
}

void LoadServerSection(ServerFields& fields, const IniFile& serverIni, const QString& section) {
  const auto read = [&](const char* key) { return serverIni.Read(section, QString::fromLatin1(key)); };
  fields.apacheDir = read("ApachePath");
  const QString version = read("ApacheVersion");
  if (version == QLatin1String("1.3.xx")) fields.version = Choice::First;
  if (version == QLatin1String("2.0.xx")) fields.version = Choice::Second;
  fields.start = read("Start");
  fields.stop = read("Stop");
  fields.restart = read("Restart");
  const QString useRestart = read("UseRestart");
  if (useRestart == QLatin1String("NO")) fields.useRestart = false;
  if (useRestart == QLatin1String("YES")) fields.useRestart = true;
  const QString handle = read("Handle");
  if (handle == QLatin1String("QRX")) SelectHandle(fields, Choice::First);
  if (handle == QLatin1String("QBT")) SelectHandle(fields, Choice::Second);
}

QString RefusedServerFields(const ServerFields& fields) {
  const QString nothing = QStringLiteral(" Nothing was saved.");
  const auto hasBreak = [](const QString& text) {
    return text.contains(QLatin1Char('\n')) || text.contains(QLatin1Char('\r'));
  };
  const QString& name = fields.serverName;
  if (hasBreak(name)) return QStringLiteral("The server name cannot be saved: it holds a line break.") + nothing;
  if (TrimBlanks(name).isEmpty()) return QStringLiteral("Please enter the name of the server.") + nothing;
  if (name.contains(QLatin1Char(']')))
    return QStringLiteral("The server name \"%1\" cannot be saved: a server name in server.ini cannot hold \"]\".")
               .arg(name) +
           nothing;
  const struct {
    const QString& value;
    const char* what;
  } values[] = {{fields.apacheDir, "Apache directory"},
                {fields.start, "start file"},
                {fields.stop, "stop file"},
                {fields.restart, "restart file"}};
  for (const auto& v : values)
    if (hasBreak(v.value))
      return QStringLiteral("The %1 cannot be saved: it holds a line break.").arg(QLatin1String(v.what)) + nothing;
  return {};
}

void CheckServerFields(const ServerFields& fields) {
  if (const QString reason = RefusedServerFields(fields); !reason.isEmpty()) throw ConsoleError(reason);
}

void SaveServerSection(ServerFields& fields, const IniFile& serverIni) {
  CheckServerFields(fields);
  const QString& section = fields.serverName;
  const auto write = [&](const char* key, const QString& value) {
    serverIni.Write(section, QString::fromLatin1(key), value);
  };
  write("Servername", fields.serverName);
  write("ApachePath", fields.apacheDir);
  write("ApacheVersion", QLatin1String(fields.version == Choice::First ? "1.3.xx" : "2.0.xx"));
  write("Handle", QLatin1String(fields.handle == Choice::First ? "QRX" : "QBT"));
  for (QString* file : {&fields.start, &fields.stop, &fields.restart})
    if (file->isEmpty()) *file = QStringLiteral("-");
  write("Start", fields.start);
  write("Stop", fields.stop);
  write("Restart", fields.restart);
  write("UseRestart", QLatin1String(fields.useRestart ? "YES" : "NO"));
}

}  // namespace console
