#include "console/main.h"

#include <QAction>
#include <algorithm>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QLabel>
#include <QMenuBar>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>

#include "console/errors.h"
#include "console/failurereason.h"
#include "console/fonts.h"
#include "console/host.h"
#include "console/synmemo.h"
#include "console/waitcursor.h"

namespace console {
namespace {

struct PanelSpec {
  int width;
  Qt::Alignment alignment;
};
constexpr PanelSpec kPanels[MainModel::kPanels] = {
    {200, Qt::AlignLeft}, {140, Qt::AlignLeft}, {120, Qt::AlignLeft},
    {100, Qt::AlignLeft}, {20, Qt::AlignHCenter}, {30, Qt::AlignHCenter},
};

constexpr int kButtonTop = 472;

// A menu caption shows '&' as it is, without making it an accelerator mark.
QString PlainCaption(const QString& text) {
  QString out = text;
  return out.replace(QLatin1Char('&'), QLatin1String("&&"));
}

}  // namespace

void FitCaption(QPushButton* button) {
  // Liberation Sans runs a little wider than the original bitmap font: a
  // caption that would not fit its button is drawn condensed to fit.
  const int room = button->width() - 8;
  const int needed = button->fontMetrics().horizontalAdvance(button->text());
  if (needed <= room) return;
  QFont font = button->font();
  font.setStretch(std::max(50, room * 100 / needed));
  button->setFont(font);
}

QPoint PlaceInside(QRect frame, const QRect& available) {
  frame.moveCenter(available.center());
  // A window larger than the area keeps its title bar and menus on it: its
  // top left corner, not its centre, decides.
  QPoint at = frame.topLeft();
  at.setX(std::max(available.left(), std::min(at.x(), available.right() + 1 - frame.width())));
  at.setY(std::max(available.top(), std::min(at.y(), available.bottom() + 1 - frame.height())));
  return at;
}

void ShowCentred(QWidget* window) {
  if (!window->property("ww.placed").toBool()) {
    window->setProperty("ww.placed", true);
    if (QScreen* screen = window->screen() ? window->screen() : QGuiApplication::primaryScreen()) {
      // The frame's offset from the window's position: move() places the
      // frame's corner.
      const QRect frame = window->frameGeometry();
      window->move(PlaceInside(frame, screen->availableGeometry()) + (window->pos() - frame.topLeft()));
    }
  }
  static qlonglong raises = 0;
  window->setProperty(kRaisedProperty, ++raises);
  window->show();
  window->raise();
  window->activateWindow();
}

TForm1::TForm1(Host& host) : host_(host), model_(host.ConfigDir()) {
  setObjectName(QStringLiteral("Form1"));
  setWindowTitle(QStringLiteral("Webwarden32 Version 1.0-BETA"));
  setFont(MsSansSerif(8));
  CreateClientArea();
  CreateMenus();
  setFixedSize(kClientWidth, kClientHeight + menuBar()->sizeHint().height());
  FormCreate();
  ConnectFileCommands();
}

TForm1::~TForm1() = default;

void TForm1::CreateClientArea() {
  auto* client = new QWidget(this);
  client->setObjectName(QStringLiteral("ClientArea"));
  client->setFixedSize(kClientWidth, kClientHeight);
  setCentralWidget(client);

  memo_ = new TSynMemo(client);
  memo_->setObjectName(QStringLiteral("SynMemo1"));
  memo_->setGeometry(8, 8, 745, 449);

  AddButton("btSave", "Save", 8, nullptr)->setEnabled(false);
  AddButton("btSaveAs", "Save as", 96, nullptr);
  AddButton("btClose", "Close", 184, nullptr);
  AddButton("btBackup", "Make Backup", 272, nullptr);
  AddButton("btPrint", "Print", 360, nullptr);
  cvSrvAdm_ = std::make_unique<TCvSrvAdm>(client, QRect(568, kButtonTop, 28, 28));
  AddButton("btExit", "Exit Webwarden", 672, &TForm1::btExitClick);

  auto* status = new QWidget(client);
  status->setObjectName(QStringLiteral("StatusBar1"));
  status->setGeometry(0, kClientHeight - kStatusHeight, kClientWidth, kStatusHeight);
  int left = 0;
  for (int i = 0; i < MainModel::kPanels; ++i) {
    auto* panel = new QLabel(status);
    panel->setObjectName(QStringLiteral("Panel%1").arg(i));
    panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    panel->setAlignment(kPanels[i].alignment | Qt::AlignVCenter);
    panel->setIndent(2);
    panel->setGeometry(left, 1, kPanels[i].width, kStatusHeight - 1);
    left += kPanels[i].width;
    panels_[i] = panel;
  }
  ShowPanels();
}

QPushButton* TForm1::AddButton(const char* name, const char* text, int left, void (TForm1::*handler)()) {
  auto* button = new QPushButton(QString::fromLatin1(text), centralWidget());
  button->setObjectName(QString::fromLatin1(name));
  button->setGeometry(left, kButtonTop, 75, 25);
  button->setAutoDefault(false);
  FitCaption(button);
  if (handler) connect(button, &QPushButton::clicked, this, [this, handler] { Run([this, handler] { (this->*handler)(); }); });
  return button;
}

QAction* TForm1::AddEntry(QMenu* menu, const char* name, const char* text, std::function<void()> handler) {
  QAction* action = menu->addAction(QString::fromLatin1(text));
  action->setObjectName(QString::fromLatin1(name));
  if (handler) connect(action, &QAction::triggered, this, [this, handler] { Run(handler); });
  return action;
}

void TForm1::CreateMenus() {
  QMenuBar* bar = menuBar();
  const auto addMenu = [&](const char* name, const char* text) {
    QMenu* menu = bar->addMenu(QString::fromLatin1(text));
    menu->setObjectName(QString::fromLatin1(name));
    return menu;
  };

  QMenu* file = addMenu("File1", "File");
  AddEntry(file, "Open1", "Open");
  QAction* save = AddEntry(file, "Save1", "Save");
  save->setEnabled(false);
  save->setShortcut(QKeySequence::Save);
  AddEntry(file, "Saveas1", "Save as...");
  AddEntry(file, "Close1", "Close");
  AddEntry(file, "Print1", "Print");
  AddEntry(file, "MakeBackup1", "Make Backup");
  file->addSeparator();
  AddEntry(file, "Settings1", "Settings", [this] { Settings1Click(); });
  file->addSeparator();
  AddEntry(file, "Exit1", "Exit", [this] { Exit1Click(); });

  QMenu* edit = addMenu("Edit2", "Edit");
  AddEntry(edit, "Undo1", "Undo")->setShortcut(QKeySequence::Undo);
  edit->addSeparator();
  AddEntry(edit, "Cut1", "Cut");
  AddEntry(edit, "Copy1", "Copy");
  AddEntry(edit, "Paste1", "Paste");
  edit->addSeparator();
  AddEntry(edit, "Selectall1", "Select all");

  serverMenu_ = addMenu("Server1", "Server");
  AddEntry(serverMenu_, "Addnewserver1", "Add new server...", [this] { Addnewserver1Click(); });
  serverMenu_->addSeparator();
  serverMenu_->menuAction()->setVisible(false);

  QMenu* configuration = addMenu("Configuration1", "Configuration");
  AddEntry(configuration, "Edithttpdconf1", "Edit httpd.conf");
  AddEntry(configuration, "Edit1", "Edit...");

  QMenu* apache = addMenu("Apache1", "Apache");
  AddEntry(apache, "StartApache1", "Start Apache", [this] { StartApache1Click(); });
  AddEntry(apache, "StopApache1", "Stop Apache", [this] { StopApache1Click(); });
  AddEntry(apache, "RestartApache1", "Restart Apache", [this] { RestartApache1Click(); });

  QMenu* view = addMenu("View1", "View");
  AddEntry(view, "Viewerrorlog1", "View error_log");
  AddEntry(view, "Viewaccesslog1", "View access_log");
  AddEntry(view, "View2", "View...");

  QMenu* info = addMenu("Info1", "Info");
  AddEntry(info, "Help1", "Help");
  AddEntry(info, "Sendemail1", "Send email");
  AddEntry(info, "Gotohomepage1", "Homepage");
  AddEntry(info, "About1", "About", [this] { About1Click(); });
  AddMenuKeys();
}

void TForm1::AddMenuKeys() {
  // The captions carry no accelerator marks: Alt and the first letter of a
  // menu's caption open it, and F10 the first menu, as on the desktop.
  QMenuBar* bar = menuBar();
  for (QAction* menu : bar->actions()) {
    const QString caption = menu->text();
    if (caption.isEmpty()) continue;
    auto* key = new QShortcut(QKeySequence(Qt::ALT | Qt::Key(caption.at(0).toUpper().unicode())), this);
    key->setObjectName(QStringLiteral("MenuKey") + caption);
    connect(key, &QShortcut::activated, this, [bar, menu] {
      if (menu->isVisible() && menu->isEnabled()) bar->setActiveAction(menu);
    });
  }
  auto* f10 = new QShortcut(QKeySequence(Qt::Key_F10), this);
  f10->setObjectName(QStringLiteral("MenuKeyF10"));
  connect(f10, &QShortcut::activated, this, [bar] {
    for (QAction* menu : bar->actions()) {
      if (menu->isVisible() && menu->isEnabled()) {
        bar->setActiveAction(menu);
        return;
      }
    }
  });
}

void TForm1::SetDialogs(QWidget* settings, QWidget* about, QWidget* addServer) {
  settings_ = settings;
  about_ = about;
  addServer_ = addServer;
}

void TForm1::Run(const std::function<void()>& handler) { GeneralErrorReport(host_, this, handler); }

void TForm1::ShowPanels() {
  for (int i = 0; i < MainModel::kPanels; ++i) {
    const QString text = model_.Panel(i);
    QLabel* panel = panels_[i];
    // A path wider than its panel is shortened in its middle, so that its
    // start and its last folder stay, and shown whole as a tooltip. The
    // other panels show their texts as they are.
    const int room = panel->contentsRect().width() - 2 * panel->indent();
    const QString shown = i == 0 ? panel->fontMetrics().elidedText(text, Qt::ElideMiddle, std::max(room, 0)) : text;
    panel->setText(shown);
    panel->setToolTip(shown == text ? QString() : text);
  }
}

QString TForm1::PanelText(int index) const { return model_.Panel(index); }

QString TForm1::ShownPanelText(int index) const { return panels_[index]->text(); }

void TForm1::FormCreate() {
  model_.Load();
  ShowPanels();
  if (model_.ServerMenu() != MainModel::MenuVisibility::Unchanged)
    SetServerMenuVisible(model_.ServerMenu() == MainModel::MenuVisibility::Shown);
  BuildServerMenu();
  // No file is loaded yet.
  findChild<QPushButton*>(QStringLiteral("btBackup"))->setEnabled(false);
  findChild<QAction*>(QStringLiteral("MakeBackup1"))->setEnabled(false);
}

void TForm1::BuildServerMenu() {
  for (QAction* entry : serverEntries_) {
    serverMenu_->removeAction(entry);
    entry->deleteLater();
  }
  serverEntries_.clear();
  for (const QString& section : model_.ServerEntries()) {
    QAction* entry = serverMenu_->addAction(PlainCaption(section));
    entry->setObjectName(QStringLiteral("ServerEntry"));
    entry->setData(section);
    connect(entry, &QAction::triggered, this, [this, section] { Run([this, section] { ServerClick(section); }); });
    serverEntries_.push_back(entry);
  }
}

void TForm1::SetServerMenuVisible(bool visible) { serverMenu_->menuAction()->setVisible(visible); }

bool TForm1::ServerMenuVisible() const { return serverMenu_->menuAction()->isVisible(); }

void TForm1::ServerClick(const QString& section) {
  model_.SelectServer(section);
  ShowPanels();
}

void TForm1::Settings1Click() {
  if (settings_) ShowCentred(settings_);
}

void TForm1::Addnewserver1Click() {
  if (addServer_) ShowCentred(addServer_);
}

void TForm1::About1Click() {
  if (about_) ShowCentred(about_);
}

void TForm1::Exit1Click() { close(); }

void TForm1::RunApache(ApacheCommand command) {
  std::optional<ApacheOutcome> outcome;
  // Where Apache's error log ends now: a failure's reason is what the agent
  // appends to it meanwhile.
  const ErrorLogMark mark(FixedPath(kErrorLog));
  {
    // The control's calls block this thread until the server answers (or
    // the client library's timeouts pass); the message comes after it.
    TWaitCursor wait;
    outcome = console::RunApache(command, model_.Files().server, model_.CurrentServer(), *cvSrvAdm_);
  }
  if (!outcome) return;
  if (outcome->failed)
    host_.ShowMessageWithDetails(this, outcome->message, mark.Details());
  else
    host_.ShowMessage(this, outcome->message);
}

void TForm1::StartApache1Click() { RunApache(ApacheCommand::Start); }
void TForm1::StopApache1Click() { RunApache(ApacheCommand::Stop); }
void TForm1::RestartApache1Click() { RunApache(ApacheCommand::Restart); }

void TForm1::closeEvent(QCloseEvent* event) {
  if (!ConfirmExit()) {
    event->ignore();
    return;
  }
  event->accept();
  // Closing the main window ends the program, whatever dialogs are open.
  QCoreApplication::quit();
}

}  // namespace console
