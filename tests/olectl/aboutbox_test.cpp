// Dialogs laid out from templates in dialog units: the geometry Windows would
// give them, and their modal results.
#include <QApplication>
#include <QDialog>
#include <QFontInfo>
#include <QFontMetrics>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QtTest>
#include <functional>
#include <memory>

#include "olectl/aboutbox.h"

using namespace ole::ctl;

namespace {

// The About box of a control: icon, two lines of text, OK.
DialogTemplate AboutTemplate() {
  DialogTemplate t;
  t.caption = "About Sample Control";
  t.size = QSize(260, 65);
  QPixmap icon(32, 32);
  icon.fill(Qt::darkBlue);
  t.icons.push_back({icon, QPoint(7, 7), "Icon"});
  t.texts.push_back({"Sample Control, Version 1.0", QRect(39, 10, 168, 9), "Version"});
  t.texts.push_back({"Copyright && Co. 1998", QRect(39, 23, 168, 9), "Copyright"});
  t.buttons.push_back({"OK", QRect(221, 7, 32, 14), true, DialogTemplate::IDOK, "OK"});
  return t;
}

// MulDiv(value, base, units) for the positive values of a template.
int Scale(int value, int base, int units) { return (value * base + units / 2) / units; }

}  // namespace

class AboutBoxTest : public QObject {
  Q_OBJECT

  // Runs ShowModalDialog(t) and, once its dialog is up, drive(dialog).
  int RunModal(const DialogTemplate& t, const std::function<void(QDialog&)>& drive, bool* driven) {
    *driven = false;
    QTimer timer;
    timer.setSingleShot(true);
    connect(&timer, &QTimer::timeout, this, [&] {
      QDialog* dialog = nullptr;
      [&] {
        QTRY_VERIFY((dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget())) != nullptr);
      }();
      if (dialog) {
        *driven = true;
        drive(*dialog);
      }
      if (auto* open = qobject_cast<QDialog*>(QApplication::activeModalWidget())) open->done(-1);
    });
    timer.start(0);
    return ShowModalDialog(t);
  }

 private slots:
  void baseUnitsAreTheLettersAverageAndHeight() {
    const QFont font = DialogFont(AboutTemplate());
    QCOMPARE(QFontInfo(font).family(), QString("Liberation Sans"));
    const int dpi = qRound(QGuiApplication::primaryScreen()->logicalDotsPerInchX());
    QCOMPARE(font.pixelSize(), Scale(8, dpi, 72));

    const QFontMetrics metrics(font);
    const double letters =
        metrics.horizontalAdvance("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    const QPoint base = DialogBaseUnits(font);
    QCOMPARE(base.x(), qRound(letters / 52));
    QCOMPARE(base.y(), metrics.height());
    // An 8 point sans serif at 96 dpi is about 6 x 13, as on Windows.
    QVERIFY2(base.x() >= 5 && base.x() <= 7, qPrintable(QString::number(base.x())));
    QVERIFY2(base.y() >= 12 && base.y() <= 14, qPrintable(QString::number(base.y())));

    // The family is mapped however the font was made.
    QFont named("MS Sans Serif");
    named.setPixelSize(font.pixelSize());
    QCOMPARE(DialogBaseUnits(named), base);
  }

  void controlsSitAtTheirDialogUnits_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QRect>("dlu");
    QTest::newRow("version") << "Version" << QRect(39, 10, 168, 9);
    QTest::newRow("copyright") << "Copyright" << QRect(39, 23, 168, 9);
    QTest::newRow("ok") << "OK" << QRect(221, 7, 32, 14);
  }

  void controlsSitAtTheirDialogUnits() {
    QFETCH(QString, name);
    QFETCH(QRect, dlu);
    std::unique_ptr<QDialog> dialog(CreateDialogFromTemplate(AboutTemplate(), nullptr));
    const QPoint base = DialogBaseUnits(dialog->font());
    auto* widget = dialog->findChild<QWidget*>(name);
    QVERIFY(widget);
    QCOMPARE(widget->parentWidget(), dialog.get());
    const QRect expected(Scale(dlu.x(), base.x(), 4), Scale(dlu.y(), base.y(), 8),
                         Scale(dlu.width(), base.x(), 4), Scale(dlu.height(), base.y(), 8));
    QCOMPARE(widget->geometry(), expected);
    QCOMPARE(DluToPixels(dialog->font(), dlu), expected);
    QCOMPARE(widget->font().family(), QString("Liberation Sans"));
  }

  void dialogHasTheTemplatesSizeCaptionAndTexts() {
    std::unique_ptr<QDialog> dialog(CreateDialogFromTemplate(AboutTemplate(), nullptr));
    const QPoint base = DialogBaseUnits(dialog->font());
    const QSize client(Scale(260, base.x(), 4), Scale(65, base.y(), 8));
    QCOMPARE(dialog->minimumSize(), client);
    QCOMPARE(dialog->maximumSize(), client);
    QCOMPARE(dialog->windowTitle(), QString("About Sample Control"));
    const Qt::WindowFlags flags = dialog->windowFlags();
    QVERIFY(flags & Qt::WindowCloseButtonHint);
    QVERIFY(!(flags & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint |
                       Qt::WindowContextHelpButtonHint)));

    auto* icon = dialog->findChild<QLabel*>("Icon");
    QVERIFY(icon);
    QCOMPARE(icon->geometry(), QRect(Scale(7, base.x(), 4), Scale(7, base.y(), 8), 32, 32));
    QCOMPARE(icon->pixmap().size(), QSize(32, 32));

    QCOMPARE(dialog->findChild<QLabel*>("Version")->text(), QString("Sample Control, Version 1.0"));
    QCOMPARE(dialog->findChild<QLabel*>("Copyright")->text(), QString("Copyright & Co. 1998"));
    auto* ok = dialog->findChild<QPushButton*>("OK");
    QVERIFY(ok);
    QVERIFY(ok->isDefault());
    QCOMPARE(ok->text(), QString("OK"));
  }

  void staticTextHidesMnemonicMarks_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("shown");
    QTest::newRow("plain") << "Version 1.0" << "Version 1.0";
    QTest::newRow("mnemonic") << "&Server:" << "Server:";
    QTest::newRow("ampersand") << "A && B" << "A & B";
    QTest::newRow("three") << "A &&& B" << "A & B";
    QTest::newRow("trailing") << "End&" << "End";
  }

  void staticTextHidesMnemonicMarks() {
    QFETCH(QString, text);
    QFETCH(QString, shown);
    DialogTemplate t = AboutTemplate();
    t.texts = {{text, QRect(39, 10, 168, 9), "Text"}};
    std::unique_ptr<QDialog> dialog(CreateDialogFromTemplate(t, nullptr));
    QCOMPARE(dialog->findChild<QLabel*>("Text")->text(), shown);
  }

  void closingButtonGivesTheResult_data() {
    QTest::addColumn<QString>("button");
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("result");
    QTest::newRow("ok") << "OK" << 0 << DialogTemplate::IDOK;
    QTest::newRow("other button") << "Info" << 0 << 7;
    QTest::newRow("escape") << "" << int(Qt::Key_Escape) << DialogTemplate::IDCANCEL;
    QTest::newRow("enter: the default") << "" << int(Qt::Key_Return) << DialogTemplate::IDOK;
  }

  void closingButtonGivesTheResult() {
    QFETCH(QString, button);
    QFETCH(int, key);
    QFETCH(int, result);
    QWidget owner;
    owner.show();
    owner.activateWindow();
    QTRY_COMPARE(QApplication::activeWindow(), &owner);

    DialogTemplate t = AboutTemplate();
    t.buttons.insert(t.buttons.begin(), {"&Info...", QRect(221, 24, 32, 14), false, 7, "Info"});
    bool driven = false;
    const int got = RunModal(t, [&](QDialog& dialog) {
      QCOMPARE(dialog.parentWidget(), &owner);
      QCOMPARE(dialog.windowTitle(), QString("About Sample Control"));
      QVERIFY(dialog.findChild<QPushButton*>("OK")->isDefault());
      QVERIFY(!dialog.findChild<QPushButton*>("Info")->isDefault());
      if (key) {
        QTest::keyClick(&dialog, Qt::Key(key));
      } else {
        QTest::mouseClick(dialog.findChild<QPushButton*>(button), Qt::LeftButton);
      }
      QTRY_VERIFY(!dialog.isVisible());
    }, &driven);
    QVERIFY(driven);
    QCOMPARE(got, result);
    QVERIFY(owner.findChildren<QDialog*>().isEmpty());  // the dialog is gone
  }
};

QTEST_MAIN(AboutBoxTest)
#include "aboutbox_test.moc"
