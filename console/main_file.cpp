// The main window's file commands: loading the fixed-path files and picked
// files, change tracking, Save, Save as, Close and the unsaved-changes
// dialog, Make Backup, Print, the clipboard commands and the Info menu. The
// state lives in the Document; these handlers show it on the buttons and
// menu entries.
#include <QAction>
#include <QFileInfo>
#include <QLocale>
#include <QProgressDialog>
#include <QPushButton>
#include <algorithm>
#include <optional>

#include "console/backup.h"
#include "console/errors.h"
#include "console/filesave.h"
#include "console/host.h"
#include "console/info.h"
#include "console/logoutput.h"
#include "console/logview.h"
#include "console/main.h"
#include "console/printing.h"
#include "console/savedlg.h"
#include "console/synmemo.h"

namespace console {
namespace {

// Below the Apache directory, written as the server's paths are.
constexpr const char* kHttpdConf = "\\conf\\httpd.conf";
constexpr const char* kAccessLog = "\\log\\access_log";

// A load that takes longer than this shows its progress.
constexpr int kProgressDelayMs = 400;
constexpr int kProgressSteps = 1000;

// A path written with backslashes, composed with '/'.
QString Slashed(QString path) { return path.replace(QLatin1Char('\\'), QLatin1Char('/')); }

template <class T>
T* Named(QObject* parent, const char* name) {
  T* child = parent->findChild<T*>(QString::fromLatin1(name));
  if (!child) qFatal("the main window has no %s", name);
  return child;
}

}  // namespace

void TForm1::ConnectFileCommands() {
  memoText_ = std::make_unique<MemoText>(*memo_);
  document_ = std::make_unique<Document>(*memoText_);
  btSave_ = Named<QPushButton>(this, "btSave");
  save1_ = Named<QAction>(this, "Save1");
  btBackup_ = Named<QPushButton>(this, "btBackup");
  makeBackup1_ = Named<QAction>(this, "MakeBackup1");
  logView_ = new TLogView(memo_->parentWidget());
  logView_->setObjectName(QStringLiteral("LogView1"));
  logView_->setGeometry(memo_->geometry());
  logView_->FollowLook(*memo_);
  logView_->SetRunner([this](const std::function<void()>& command) { Run(command); });
  logView_->hide();

  using Handler = void (TForm1::*)();
  const auto run = [this](Handler handler) { return [this, handler] { Run([this, handler] { (this->*handler)(); }); }; };
  const struct {
    const char* name;
    Handler handler;
  } entries[] = {
      {"Open1", &TForm1::Edit1Click},  // File > Open picks a file to edit
      {"Save1", &TForm1::Save1Click},
      {"Saveas1", &TForm1::Saveas1Click},
      {"Close1", &TForm1::Close1Click},
      {"Print1", &TForm1::btPrintClick},
      {"MakeBackup1", &TForm1::MakeBackup1Click},
      {"Cut1", &TForm1::Cut1Click},
      {"Copy1", &TForm1::Copy1Click},
      {"Paste1", &TForm1::Paste1Click},
      {"Selectall1", &TForm1::Selectall1Click},
      {"Undo1", &TForm1::Undo1Click},
      {"Edithttpdconf1", &TForm1::Edithttpdconf1Click},
      {"Edit1", &TForm1::Edit1Click},
      {"Viewerrorlog1", &TForm1::Viewerrorlog1Click},
      {"Viewaccesslog1", &TForm1::Viewaccesslog1Click},
      {"View2", &TForm1::View2Click},
      {"Help1", &TForm1::Help1Click},
      {"Sendemail1", &TForm1::Sendemail1Click},
      {"Gotohomepage1", &TForm1::Gotohomepage1Click},
  };
  for (const auto& e : entries) connect(Named<QAction>(this, e.name), &QAction::triggered, this, run(e.handler));
  // The editor's context menu goes through the Edit menu's entries.
  memo_->SetContextCommands(Named<QAction>(this, "Cut1"), Named<QAction>(this, "Copy1"), Named<QAction>(this, "Paste1"),
                            Named<QAction>(this, "Selectall1"));
  logView_->SetContextCommands(Named<QAction>(this, "Cut1"), Named<QAction>(this, "Copy1"), Named<QAction>(this, "Paste1"),
                               Named<QAction>(this, "Selectall1"));
  const struct {
    const char* name;
    Handler handler;
  } buttons[] = {
      {"btSave", &TForm1::btSaveClick},     {"btSaveAs", &TForm1::btSaveAsClick},
      {"btClose", &TForm1::btCloseClick},   {"btBackup", &TForm1::btBackupClick},
      {"btPrint", &TForm1::btPrintClick},
  };
  for (const auto& b : buttons) connect(Named<QPushButton>(this, b.name), &QPushButton::clicked, this, run(b.handler));
  // Loads and Close replace the editor's document, which is not an edit:
  // only the user's typing, cutting and pasting reach this.
  connect(memo_, &QsciScintilla::textChanged, this, run(&TForm1::SynMemo1Change));
  ShowFileCommands();
}

void TForm1::SetSaveDialog(TSave* dialog) { save_ = dialog; }

QString TForm1::FixedPath(const char* piece) const { return Slashed(model_.ApacheDir() + QString::fromLatin1(piece)); }

QString TForm1::DialogDir() const { return Slashed(model_.ApacheDir()); }

void TForm1::ShowFileCommands() {
  const bool modified = document_->Modified();
  btSave_->setEnabled(modified);
  save1_->setEnabled(modified);
  const bool backup = document_->BackupEnabled();
  btBackup_->setEnabled(backup);
  makeBackup1_->setEnabled(backup);
  model_.SetCurrentFile(CurrentFile());
}

bool TForm1::LogShown() const { return logView_ && logView_->IsOpen(); }

QString TForm1::CurrentFile() const { return LogShown() ? logView_->File() : document_->File(); }

void TForm1::OpenLog(const QString& path, bool enableBackup) {
  logView_->Open(path);  // a file that cannot be opened changes nothing
  // The editor lets go of its text; the view shows the file in its place.
  document_->Close();
  memo_->hide();
  logView_->show();
  logView_->setFocus();
  if (enableBackup) document_->SetBackupEnabled(true);
  ShowFileCommands();
}

void TForm1::ShowEditor() {
  if (!LogShown()) return;
  logView_->Close();
  logView_->hide();
  memo_->show();
}

void TForm1::AskUnsaved(const std::function<void()>& closeAnyway) {
  if (!save_) return;
  save_->onBackToFile = {};
  save_->onCloseAnyway = [this, closeAnyway] { Run(closeAnyway); };
  ShowCentred(save_);
}

void TForm1::UnlessUnsaved(const std::function<void()>& then) {
  if (document_->Modified())
    AskUnsaved(then);
  else
    then();
}

bool TForm1::ConfirmExit() {
  if (exitConfirmed_ || !document_ || !document_->Modified() || !save_) return true;
  AskUnsaved([this] {
    exitConfirmed_ = true;
    close();
    exitConfirmed_ = false;
  });
  return false;
}

void TForm1::OpenFile(const QString& path, Document::Access access, bool enableBackup) {
  if (access == Document::Access::ReadOnly) return OpenLog(path, enableBackup);
  // A save killed mid-write may have left the file half new, half old.
  if (std::optional<InterruptedSave> interrupted = InterruptedSave::Find(path))
    if (host_.Ask(this, InterruptedSaveQuestion(path, interrupted->Copy()))) interrupted->Restore();
  QProgressDialog progress(QStringLiteral("Loading %1 ...").arg(path), QStringLiteral("Cancel"), 0, kProgressSteps, this);
  progress.setWindowTitle(QString::fromLatin1(kProgramName));
  progress.setWindowModality(Qt::ApplicationModal);
  progress.setMinimumDuration(kProgressDelayMs);
  progress.setAutoReset(false);
  // Once the dialog is up, each block lets the window repaint and the user
  // cancel; a cancelled load changes nothing.
  const auto report = [&progress](std::uint64_t done, std::uint64_t total) {
    const std::uint64_t step = total == 0 ? 0 : done * kProgressSteps / total;
    progress.setValue(static_cast<int>(std::min<std::uint64_t>(step, kProgressSteps)));
    return !progress.wasCanceled();
  };
  if (!document_->Load(path, access, report)) return;
  ShowEditor();
  if (enableBackup) document_->SetBackupEnabled(true);
  ShowFileCommands();
}

void TForm1::Edithttpdconf1Click() {
  const QString path = FixedPath(kHttpdConf);
  UnlessUnsaved([this, path] { OpenFile(path, Document::Access::Editable, true); });
}

void TForm1::Viewerrorlog1Click() {
  const QString path = FixedPath(kErrorLog);
  UnlessUnsaved([this, path] { OpenFile(path, Document::Access::ReadOnly, true); });
}

void TForm1::Viewaccesslog1Click() {
  const QString path = FixedPath(kAccessLog);
  UnlessUnsaved([this, path] { OpenFile(path, Document::Access::ReadOnly, true); });
}

void TForm1::Edit1Click() {
  const QString path = host_.GetOpenFileName(this, DialogDir());
  if (path.isEmpty()) return;
  UnlessUnsaved([this, path] { OpenFile(path, Document::Access::Editable, false); });
}

void TForm1::View2Click() {
  const QString path = host_.GetOpenFileName(this, DialogDir());
  if (path.isEmpty()) return;
  UnlessUnsaved([this, path] { OpenFile(path, Document::Access::ReadOnly, false); });
}

void TForm1::SynMemo1Change() {
  // Undoing back to the text the file holds leaves nothing to save.
  // Scintilla's own flag: QsciScintilla's follows it only after the change.
  if (memo_->SendScintilla(QsciScintillaBase::SCI_GETMODIFY) != 0)
    document_->Edited();
  else
    document_->BackToSaved();
  ShowFileCommands();
}

void TForm1::btSaveClick() {
  document_->Save();
  ShowFileCommands();
}

void TForm1::btSaveAsClick() {
  const QString path = host_.GetSaveFileName(this, DialogDir());
  if (path.isEmpty()) return;
  if (LogShown()) {
    SaveLogAs(*logView_->Log(), path);
    logView_->Open(path);  // the copy is the current file now
  } else {
    document_->SaveAs(path);
  }
  document_->SetBackupEnabled(true);
  ShowFileCommands();
}

void TForm1::btCloseClick() {
  const auto close = [this] {
    ShowEditor();
    document_->Close();
    ShowFileCommands();
  };
  if (document_->Modified())
    AskUnsaved(close);
  else
    close();
}

void TForm1::btBackupClick() {
  const QString file = CurrentFile();
  if (file.isEmpty() || !QFileInfo(file).isFile()) return;
  const QString backup = BackupName(file, host_.Now().date());
  try {
    CopyNewFile(file, backup);
    host_.ShowMessage(this, BackupDoneMessage(file, backup));
  } catch (const EFileError& e) {
    host_.ShowMessage(this, BackupFailedMessage(file, backup, e.Text()));
  }
  document_->SetBackupEnabled(false);
  ShowFileCommands();
}

void TForm1::btPrintClick() {
  const PrintTarget target = host_.PrintDestination();
  const QString date = QLocale().toString(host_.Now().date(), QLocale::ShortFormat);
  const QString file = CurrentFile();
  if (LogShown()) {
    const LogFile& log = *logView_->Log();
    const std::uint64_t pages = EstimateLogPages(log);
    if (pages > kAskAbovePages && !host_.Ask(this, LongPrintQuestion(pages))) return;
    PrintLog(log, target, PrintHeader(file, model_.CurrentServer()), PrintFooter(date), QFileInfo(file).fileName());
    if (target.ToPdf()) host_.ShowMessage(this, PrintedToPdfMessage(target.pdfFile));
    return;
  }
  PrintText(*memo_, target, PrintHeader(file, model_.CurrentServer()), PrintFooter(date),
            file.isEmpty() ? QString::fromLatin1(kProgramName) : QFileInfo(file).fileName());
  if (target.ToPdf()) host_.ShowMessage(this, PrintedToPdfMessage(target.pdfFile));
}

// A log view is read-only: Cut and Paste do nothing there.
void TForm1::Cut1Click() {
  if (!LogShown()) memo_->cut();
}

void TForm1::Copy1Click() {
  if (LogShown())
    logView_->Copy();
  else
    memo_->copy();
}

void TForm1::Paste1Click() {
  if (!LogShown()) memo_->paste();
}

void TForm1::Undo1Click() {
  if (!LogShown()) memo_->undo();
}

void TForm1::Selectall1Click() {
  if (LogShown())
    logView_->SelectAll();
  else
    memo_->selectAll();
}

void TForm1::Help1Click() { OpenHelp(host_, this); }

void TForm1::Sendemail1Click() { SendMail(host_, this); }

void TForm1::Gotohomepage1Click() { OpenHomepage(host_, this); }

}  // namespace console
