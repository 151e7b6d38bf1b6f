#include "console/info.h"

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

QUrl HelpUrl(const QDir& current) {
  const QFileInfo page(current.absoluteFilePath(QString::fromLatin1(kHelpPage)));
  if (!page.isFile()) return {};
  return QUrl::fromLocalFile(page.absoluteFilePath());
}

QUrl MailUrl(const QString& address) {
  QUrl url(QStringLiteral("mailto:") + address + QStringLiteral("?subject=") + QString::fromLatin1(kMailSubject));
  return url;
}

void OpenHelp(Host& host, QWidget* owner) {
  const QUrl page = HelpUrl(QDir::current());
  if (page.isValid()) host.OpenUrl(owner, page);
}

void SendMail(Host& host, QWidget* owner) { host.OpenUrl(owner, MailUrl(ContactAddress())); }

void OpenHomepage(Host& host, QWidget* owner) { host.OpenUrl(owner, QUrl(Homepage())); }

}  // namespace console
