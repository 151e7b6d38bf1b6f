// The Info menu's targets: the help page beside the program, the contact
// mail link and the homepage, handed to the desktop's handler. The contact
// address and the homepage are settings of the build.
#pragma once

#include <QString>
#include <QUrl>

class QWidget;

namespace console {

class Host;

// Below the program folder, as the program was first drawn to find it when
// started from its own folder.
inline constexpr const char* kHelpPage = "help/help.html";
inline constexpr const char* kMailSubject = "Contact about Webwarden32";

QString ContactAddress();
QString Homepage();

// The help page below programDir (the directory of the program).
QString HelpPath(const QString& programDir);
// "mailto:" address "?subject=Contact about Webwarden32".
QUrl MailUrl(const QString& address);

// What Info > Help says when the page is not there, and what the three
// commands say when the desktop has no program for their target.
QString NoHelpPageMessage(const QString& path);
QString NoProgramMessage(const QString& target);

// Info > Help, Send email, Homepage: the target goes to the desktop's
// handler, and what cannot be opened is said in a message box.
void OpenHelp(Host& host, QWidget* owner);
void SendMail(Host& host, QWidget* owner);
void OpenHomepage(Host& host, QWidget* owner);

}  // namespace console
