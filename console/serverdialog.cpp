#include "console/serverdialog.h"

#include <QAction>
#include <QButtonGroup>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QToolButton>
#include <exception>

#include "console/errors.h"
#include "console/host.h"
#include "console/main.h"
#include "console/waitcursor.h"
#include "console/fonts.h"

namespace console {
namespace {

constexpr int kRowHeight = 21;
constexpr int kLabelGap = 16;  // from a label's top to its field's top

QRadioButton* AddRadio(QWidget* parent, QButtonGroup* group, Choice id, const char* name, const char* text,
                       QRect geometry) {
  auto* button = new QRadioButton(QString::fromLatin1(text), parent);
  button->setObjectName(QString::fromLatin1(name));
  button->setGeometry(geometry);
  group->addButton(button, static_cast<int>(id));
  return button;
}

}  // namespace

void TServerDialog::TabToCheckedOnly(QButtonGroup* group) {
  const auto update = [group] {
    const QList<QAbstractButton*> buttons = group->buttons();
    QAbstractButton* stop = group->checkedButton() ? group->checkedButton() : buttons.value(0);
    for (QAbstractButton* b : buttons) b->setFocusPolicy(b == stop ? Qt::StrongFocus : Qt::ClickFocus);
  };
  QObject::connect(group, &QButtonGroup::buttonToggled, group, update);
  update();
}

namespace {

QLineEdit* AddEdit(QWidget* parent, const char* name, QRect geometry) {
  auto* edit = new QLineEdit(parent);
  edit->setObjectName(QString::fromLatin1(name));
  edit->setGeometry(geometry);
  return edit;
}

}  // namespace

QString Lines(std::initializer_list<const char*> lines) {
  QStringList out;
  for (const char* line : lines) out << QString::fromLatin1(line);
  return out.join(QLatin1Char('\n'));
}

TServerDialog::TServerDialog(Host& host, TForm1& main, const char* name, const char* caption, QSize client,
                             const ServerFieldLayout& layout)
    : QDialog(nullptr, Qt::Dialog | Qt::WindowStaysOnTopHint | Qt::MSWindowsFixedSizeDialogHint),
      host_(host),
      main_(main),
      files_(host.ConfigDir()) {
  setObjectName(QString::fromLatin1(name));
  setWindowTitle(QString::fromLatin1(caption));
  setModal(false);
  setFont(MsSansSerif(8));
  setFixedSize(client);
  CreateFields(layout);
  cvSrvAdm_ = std::make_unique<TCvSrvAdm>(this, QRect(client.width() - 36, 8, 28, 28));
}

TServerDialog::~TServerDialog() = default;

void TServerDialog::Run(const std::function<void()>& handler) { GeneralErrorReport(host_, this, handler); }

QLabel* TServerDialog::AddLabel(const QString& text, int left, int top, bool warning) {
  auto* label = new QLabel(text, this);
  if (warning) {
    label->setFont(MsSansSerif(7));
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, Qt::red);
    label->setPalette(palette);
  }
  label->move(left, top);
  label->adjustSize();
  return label;
}

QPushButton* TServerDialog::AddButton(const char* name, const char* text, QRect geometry) {
  auto* button = new QPushButton(QString::fromLatin1(text), this);
  button->setObjectName(QString::fromLatin1(name));
  button->setGeometry(geometry);
  // Enter presses the focused button, else the dialog's default button.
  button->setAutoDefault(true);
  return button;
}

void TServerDialog::AddSaveAndClose(int left, int top) {
  QPushButton* save = AddButton("btSave", "Save settings", QRect(left, top, 105, 25));
  save->setDefault(true);
  connect(save, &QPushButton::clicked, this, [this] { Run([this] { btSaveClick(); }); });
  connect(AddButton("btClose", "Close settings", QRect(left + 113, top, 105, 25)), &QPushButton::clicked, this,
          [this] { Run([this] { btCloseClick(); }); });
}

void TServerDialog::CreateFields(const ServerFieldLayout& l) {
  const int x = l.left;
  AddLabel("Select your default server on which apache is running", x, l.serverTop);
  editSrvName_ = AddEdit(this, "EditSrvName", QRect(x, l.serverTop + kLabelGap, l.fieldWidth - 26, kRowHeight));
  connect(AddButton("btGetServer", "...", QRect(x + l.fieldWidth - 23, l.serverTop + kLabelGap, 23, kRowHeight)),
          &QPushButton::clicked, this, [this] { Run([this] { btGetServerClick(); }); });

  AddLabel("Select your path to the apache directory", x, l.directoryTop);
  editApDir_ = AddEdit(this, "EditApDir", QRect(x, l.directoryTop + kLabelGap, l.fieldWidth, kRowHeight));
  QAction* browse = editApDir_->addAction(style()->standardIcon(QStyle::SP_DirOpenIcon), QLineEdit::TrailingPosition);
  browse->setObjectName(QStringLiteral("EditApDirButton"));
  connect(browse, &QAction::triggered, this, [this] { Run([this] { PickDirectory(); }); });
  // The folder button is reached with Tab after the field, and pressed with
  // Space, as any button.
  for (QToolButton* button : editApDir_->findChildren<QToolButton*>()) {
    if (button->defaultAction() != browse) continue;
    button->setObjectName(QStringLiteral("EditApDirFolder"));
    button->setFocusPolicy(Qt::TabFocus);
    button->setToolTip(QStringLiteral("Pick the folder"));
  }

  AddLabel("Select you Apache Version", x, l.versionTop);
  version_ = new QButtonGroup(this);
  AddRadio(this, version_, Choice::First, "Apache1", "Apache 1.3.xx", QRect(x, l.versionTop + kLabelGap, 113, 17));
  AddRadio(this, version_, Choice::Second, "Apache2", "Apache 2.0.xx",
           QRect(x + 120, l.versionTop + kLabelGap, 113, 17));

  AddLabel("Select, if you use a QBT or directly the QRX to start/stop Apache", x, l.handleTop);
  handle_ = new QButtonGroup(this);
  connect(AddRadio(this, handle_, Choice::First, "cbQRX", "QRX", QRect(x, l.handleTop + kLabelGap, 57, 17)),
          &QRadioButton::clicked, this, [this] { Run([this] { cbQRXClick(); }); });
  connect(AddRadio(this, handle_, Choice::Second, "cbQBT", "QBT", QRect(x + 64, l.handleTop + kLabelGap, 57, 17)),
          &QRadioButton::clicked, this, [this] { Run([this] { cbQBTClick(); }); });

  TabToCheckedOnly(version_);
  TabToCheckedOnly(handle_);

  const int filesLeft = x + 64;
  AddLabel("Start", x, l.filesTop + 3);
  qbtStart_ = AddEdit(this, "QBTstart", QRect(filesLeft, l.filesTop, 121, kRowHeight));
  AddLabel("Stop", x, l.filesTop + 29);
  qbtStop_ = AddEdit(this, "QBTstop", QRect(filesLeft, l.filesTop + 26, 121, kRowHeight));
  cbRestart_ = new QCheckBox(QStringLiteral("Restart"), this);
  cbRestart_->setObjectName(QStringLiteral("cbRestart"));
  cbRestart_->setGeometry(x, l.filesTop + 54, 61, 17);
  qbtRestart_ = AddEdit(this, "QBTrestart", QRect(filesLeft, l.filesTop + 52, 121, kRowHeight));
}

void TServerDialog::SetChoice(QButtonGroup* group, Choice choice) {
  if (choice == Choice::None) {
    // An exclusive group does not let its checked button go; clear it aside.
    group->setExclusive(false);
    for (QAbstractButton* b : group->buttons()) b->setChecked(false);
    group->setExclusive(true);
    return;
  }
  group->button(static_cast<int>(choice))->setChecked(true);
}

Choice TServerDialog::GetChoice(const QButtonGroup* group) {
  const int id = group->checkedId();
  return id < 0 ? Choice::None : static_cast<Choice>(id);
}

ServerFields TServerDialog::Fields() const {
  ServerFields f;
  f.serverName = editSrvName_->text();
  f.apacheDir = editApDir_->text();
  f.version = GetChoice(version_);
  f.handle = GetChoice(handle_);
  f.start = qbtStart_->text();
  f.stop = qbtStop_->text();
  f.restart = qbtRestart_->text();
  f.useRestart = cbRestart_->isChecked();
  f.commandFieldsEnabled = qbtStart_->isEnabled();
  return f;
}

void TServerDialog::ShowFields(const ServerFields& f) {
  editSrvName_->setText(f.serverName);
  editApDir_->setText(f.apacheDir);
  SetChoice(version_, f.version);
  SetChoice(handle_, f.handle);
  qbtStart_->setText(f.start);
  qbtStop_->setText(f.stop);
  qbtRestart_->setText(f.restart);
  cbRestart_->setChecked(f.useRestart);
  for (QWidget* w : std::initializer_list<QWidget*>{qbtStart_, qbtStop_, qbtRestart_, cbRestart_})
    w->setEnabled(f.commandFieldsEnabled);
}

void TServerDialog::cbQRXClick() {
  ServerFields f = Fields();
  SelectHandle(f, Choice::First);
  ShowFields(f);
}

void TServerDialog::cbQBTClick() {
  ServerFields f = Fields();
  SelectHandle(f, Choice::Second);
  ShowFields(f);
}

void TServerDialog::btGetServerClick() {
  // The browse page opens at the server the control is bound to. This
  // dialog's control is bound to none until a server is picked: it is bound
  // to the server the field names first, so that the page opens there too.
  // When that name does not bind, the page opens at its root; left without
  // a pick, the binding's error is what the user learns, and the field
  // keeps its text.
  const QString typed = TrimBlanks(editSrvName_->text());
  QString tried;
  std::exception_ptr failed;
  if (!typed.isEmpty() && cvSrvAdm_->FullName().isEmpty()) {
    tried = QStringLiteral("\\\\") + typed;
    try {
      TWaitCursor wait;  // binding waits for the server's answer
      cvSrvAdm_->SetFullName(tried);
    } catch (const ConsoleError&) {
      failed = std::current_exception();
    }
  }
  cvSrvAdm_->ShowProperties();
  if (failed && cvSrvAdm_->FullName().compare(tried, Qt::CaseInsensitive) == 0) std::rethrow_exception(failed);
  editSrvName_->setText(cvSrvAdm_->ShortName());
}

void TServerDialog::PickDirectory() {
  const QString picked = host_.GetExistingDirectory(this, editApDir_->text());
  if (!picked.isEmpty()) editApDir_->setText(picked);
}

}  // namespace console
