// The Apache commands: start, stop and restart Apache on the current server,
// by loading and unloading its module or by running command files, as the
// server's section of server.ini says.
#pragma once

#include <QString>
#include <optional>

namespace console {

class IniFile;

// The members of the administration control the commands use.
class ServerAdmin {
 public:
  virtual ~ServerAdmin() = default;
  virtual void SetFullName(const QString& name) = 0;
  virtual bool ExecuteProfile(const QString& qbtFileName) = 0;
  virtual bool LoadQRX(const QString& qrxName, const QString& parameters) = 0;
  virtual bool UnloadQRX(const QString& qrxName) = 0;
};

enum class ApacheCommand { Start, Stop, Restart };

// What a command showed: its message, and whether it reports a failure.
struct ApacheOutcome {
  QString message;
  bool failed = false;
};

// Runs a command for server (the current server name) with the values of its
// section read afresh from serverIni. Returns what to show, or nothing when
// the command shows no message. Errors of the control propagate.
std::optional<ApacheOutcome> RunApache(ApacheCommand command, const IniFile& serverIni, const QString& server,
                                       ServerAdmin& admin);

// Runs a command for server (the current server name) with the values of its
// section read afresh from serverIni. Returns the message to show, or nothing
// when the command shows none. Errors of the control propagate.
std::optional<QString> RunApacheCommand(ApacheCommand command, const IniFile& serverIni, const QString& server,
                                        ServerAdmin& admin);

}  // namespace console
