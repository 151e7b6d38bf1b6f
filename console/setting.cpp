#include "console/setting.h"

#include <QButtonGroup>
#include <QRadioButton>

#include "console/main.h"

namespace console {
namespace {

constexpr ServerFieldLayout kLayout{8, 8, 52, 96, 140, 184, 243};

}  // namespace

TSettingform::TSettingform(Host& host, TForm1& main)
    : TServerDialog(host, main, "Settingform", "Settings of Webwarden32", QSize(520, 388), kLayout) {
  AddLabel(Lines({"Be sure to set the right version of apache,", "because of the different handles between ",
                  "apache 1.3.xx and apache 2.0.xx"}),
           272, 96, true);
  AddLabel(Lines({"If you use QBT please be sure ", "to add the search path to the ", "location of the QBT-files or copy",
                  "them to sys:system!"}),
           272, 184, true);

  mode_ = new QButtonGroup(this);
  const auto addMode = [&](Choice id, const char* name, const char* text, int left) {
    auto* button = new QRadioButton(QString::fromLatin1(text), this);
    button->setObjectName(QString::fromLatin1(name));
    button->setGeometry(left, 270, 105, 17);
    mode_->addButton(button, static_cast<int>(id));
  };
  addMode(Choice::First, "rbSimpleMode", "Simple Mode", 8);
  addMode(Choice::Second, "rbExpertMode", "Expert Mode", 128);
  TabToCheckedOnly(mode_);
  AddLabel(Lines({"Notice, that if have running apache on more than one server,",
                  "you can select the expert option, to set the server or path for each server.",
                  "Please use the server menu for configuring more servers!"}),
           8, 296);
  AddSaveAndClose(8, 352);
  FormCreate();
}

Choice TSettingform::Mode() const { return GetChoice(mode_); }
void TSettingform::SetMode(Choice mode) { SetChoice(mode_, mode); }

void TSettingform::FormCreate() {
  const QString main = QString::fromLatin1(kMainSection);
  ServerFields f = Fields();
  f.serverName = TrimBlanks(Files().setting.Read(main, QStringLiteral("Servername")));
  const QString mode = Files().setting.Read(main, QStringLiteral("Mode"));
  if (mode == QLatin1String("Simple")) SetMode(Choice::First);
  if (mode == QLatin1String("Expert")) SetMode(Choice::Second);
  if (Files().server.Exists()) LoadServerSection(f, Files().server, f.serverName);
  ShowFields(f);
}

void TSettingform::btSaveClick() {
  const QString main = QString::fromLatin1(kMainSection);
  ServerFields f = Fields();
  // Both files or neither: a name that server.ini refuses must not reach
  // setting.ini either.
  CheckServerFields(f);
  Files().setting.Write(main, QStringLiteral("Servername"), f.serverName);
  const Choice mode = Mode();
  Files().setting.Write(main, QStringLiteral("Mode"),
                        mode == Choice::First    ? QStringLiteral("Simple")
                        : mode == Choice::Second ? QStringLiteral("Expert")
                                                 : QString());
  SaveServerSection(f, Files().server);
  ShowFields(f);
}

void TSettingform::btCloseClick() {
  if (Mode() == Choice::First) main_.SetServerMenuVisible(false);
  if (Mode() == Choice::Second) main_.SetServerMenuVisible(true);
  hide();
}

}  // namespace console
