#include "console/info.h"

#include <QDir>
#include <QFileInfo>

#include "console/host.h"

#ifndef WW_CONTACT_EMAIL
#error "the build sets WW_CONTACT_EMAIL"
#endif
#ifndef WW_HOMEPAGE
#error "the build sets WW_HOMEPAGE"
#endif

namespace console {

QString ContactAddress() { return QStringLiteral(WW_CONTACT_EMAIL); }

QString Homepage() { return QStringLiteral(WW_HOMEPAGE); }

QString HelpPath(const QString& programDir) {
  return QDir(programDir).absoluteFilePath(QString::fromLatin1(kHelpPage));
}

QUrl MailUrl(const QString& address) {
  QUrl url(QStringLiteral("mailto:") + address + QStringLiteral("?subject=") + QString::fromLatin1(kMailSubject));
  return url;
}

QString NoHelpPageMessage(const QString& path) {
  return QStringLiteral("The help page %1 was not found.").arg(QDir::toNativeSeparators(path));
}

QString NoProgramMessage(const QString& target) {
  return QStringLiteral("There is no program on this desktop to open %1.").arg(target);
}

namespace {

void Open(Host& host, QWidget* owner, const QUrl& url, const QString& shown) {
  if (!host.OpenUrl(owner, url)) host.ShowMessage(owner, NoProgramMessage(shown));
}

}  // namespace

void OpenHelp(Host& host, QWidget* owner) {
  const QString path = HelpPath(host.ProgramDir());
  if (!QFileInfo(path).isFile()) {
    host.ShowMessage(owner, NoHelpPageMessage(path));
    return;
  }
  Open(host, owner, QUrl::fromLocalFile(path), QStringLiteral("the help page ") + path);
}

void SendMail(Host& host, QWidget* owner) {
  Open(host, owner, MailUrl(ContactAddress()), QStringLiteral("a mail to ") + ContactAddress());
}

void OpenHomepage(Host& host, QWidget* owner) {
  Open(host, owner, QUrl(Homepage()), QStringLiteral("the homepage ") + Homepage());
}

}  // namespace console
