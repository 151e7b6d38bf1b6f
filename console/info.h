// The Info menu's targets: the help page beside the program, the contact
// mail link and the homepage, handed to the desktop's handler. The contact
// address and the homepage are settings of the build.
#pragma once

#include <QDir>
#include <QString>
#include <QUrl>

class QWidget;

namespace console {

class Host;

// Relative: the desktop resolves it against the current directory.
inline constexpr const char* kHelpPage = "help/help.html";
inline constexpr const char* kMailSubject = "Contact about Webwarden32";

QString ContactAddress();
QString Homepage();

// The help page under current; empty when there is none.
QUrl HelpUrl(const QDir& current);
// "mailto:" address "?subject=Contact about Webwarden32".
QUrl MailUrl(const QString& address);

// Info > Help, Send email, Homepage. The desktop's result is not looked at
// and nothing of the console's own is shown: a help page that is not there
// opens nothing.
void OpenHelp(Host& host, QWidget* owner);
void SendMail(Host& host, QWidget* owner);
void OpenHomepage(Host& host, QWidget* owner);

}  // namespace console
