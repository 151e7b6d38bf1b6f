#include "olectl/aboutbox.h"

#include <QApplication>
#include <QDialog>
#include <QFont>
#include <QFontMetrics>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <algorithm>
#include <memory>

#include "olectl/convert.h"

namespace ole::ctl {
namespace {

// a * b / c rounded half away from zero, as Windows' MulDiv.
int MulDiv(int a, int b, int c) {
  const long long p = static_cast<long long>(a) * b;
  const long long half = c / 2;
  return static_cast<int>(((p < 0) != (c < 0)) ? (p - half) / c : (p + half) / c);
}

QFont MapFamily(const QFont& font) {
  if (font.family().compare(QLatin1String("MS Sans Serif"), Qt::CaseInsensitive) != 0) return font;
  QFont mapped = font;
  mapped.setFamilies({QStringLiteral("Liberation Sans")});
  return mapped;
}

// Static text shows "&&" as '&' and hides a single '&' (it marks a mnemonic).
QString StaticText(const QString& text) {
  QString shown;
  shown.reserve(text.size());
  for (qsizetype i = 0; i < text.size(); ++i) {
    if (text[i] == u'&') {
      ++i;  // "&x" shows x, "&&" shows '&', a trailing '&' nothing
      if (i == text.size()) break;
    }
    shown += text[i];
  }
  return shown;
}

// Escape and the title bar's close button end a resource dialog with IDCANCEL.
class TemplateDialog final : public QDialog {
 public:
  using QDialog::QDialog;
  void reject() override { done(DialogTemplate::IDCANCEL); }
};

}  // namespace

QPoint DialogBaseUnits(const QFont& font) {
  QFontMetrics metrics(MapFamily(font));
  const int cx = metrics.horizontalAdvance(
      QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  return QPoint((cx / 26 + 1) / 2, metrics.height());
}

QRect DluToPixels(const QFont& font, const QRect& dlu) {
  const QPoint base = DialogBaseUnits(font);
  return QRect(MulDiv(dlu.x(), base.x(), 4), MulDiv(dlu.y(), base.y(), 8),
               MulDiv(dlu.width(), base.x(), 4), MulDiv(dlu.height(), base.y(), 8));
}

QFont DialogFont(const DialogTemplate& t) {
  QFont font(t.fontFamily);
  font.setPixelSize(std::max(1, MulDiv(t.pointSize, ScreenDpi(), 72)));
  return MapFamily(font);
}

QDialog* CreateDialogFromTemplate(const DialogTemplate& t, QWidget* parent) {
  auto dialog = std::make_unique<TemplateDialog>(
      parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                  Qt::WindowCloseButtonHint);
  const QFont font = DialogFont(t);
  dialog->setFont(font);
  dialog->setWindowTitle(t.caption);
  const QRect client = DluToPixels(font, QRect(QPoint(0, 0), t.size));
  dialog->setFixedSize(client.size());

  for (const DialogTemplate::Icon& icon : t.icons) {
    auto* label = new QLabel(dialog.get());
    label->setObjectName(icon.objectName);
    label->setPixmap(icon.pixmap);
    const QRect at = DluToPixels(font, QRect(icon.pos, QSize(0, 0)));
    label->setGeometry(QRect(at.topLeft(), icon.pixmap.deviceIndependentSize().toSize()));
  }
  for (const DialogTemplate::Text& text : t.texts) {
    auto* label = new QLabel(StaticText(text.text), dialog.get());
    label->setObjectName(text.objectName);
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label->setGeometry(DluToPixels(font, text.rect));
  }
  for (const DialogTemplate::Button& b : t.buttons) {
    auto* button = new QPushButton(b.text, dialog.get());
    button->setObjectName(b.objectName);
    button->setGeometry(DluToPixels(font, b.rect));
    button->setAutoDefault(true);
    button->setDefault(b.isDefault);
    QObject::connect(button, &QPushButton::clicked, dialog.get(),
                     [d = dialog.get(), result = b.result] { d->done(result); });
  }
  return dialog.release();
}

int ShowModalDialog(const DialogTemplate& t) {
  QPointer<QDialog> dialog = CreateDialogFromTemplate(t, QApplication::activeWindow());
  const int result = dialog->exec();
  delete dialog.data();
  return result;
}

}  // namespace ole::ctl
