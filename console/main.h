// The main window TForm1: the editor, the command buttons, the status bar,
// the menus and the main instance of the administration control. Its state
// lives in MainModel; the window shows it and routes each command to its
// handler inside the general error report.
#pragma once

#include <QMainWindow>
#include <functional>
#include <memory>
#include <vector>

#include "console/cvsrvadm.h"
#include "console/document.h"
#include "console/mainmodel.h"
#include "console/memotext.h"

class QAction;
class QLabel;
class QMenu;
class QPushButton;

namespace console {

class Host;
class TLogView;
class TSave;
class TSynMemo;

// Apache's error log below the Apache directory, written as the server's
// paths are.
inline constexpr const char* kErrorLog = "\\log\\error_log";

class TForm1 : public QMainWindow {
 public:
  static constexpr int kClientWidth = 765;
  static constexpr int kClientHeight = 520;
  static constexpr int kStatusHeight = 19;

  // Creates the window and its control instance, then runs FormCreate.
  // Throws when the control cannot be created.
  explicit TForm1(Host& host);
  ~TForm1() override;

  // The windows that the menus show; set once they are created.
  void SetDialogs(QWidget* settings, QWidget* about, QWidget* addServer);

  // Handlers.
  void FormCreate();
  void ServerClick(const QString& section);
  void Settings1Click();
  void Addnewserver1Click();
  void About1Click();
  void Exit1Click();
  void btExitClick() { Exit1Click(); }
  void StartApache1Click();
  void StopApache1Click();
  void RestartApache1Click();

  // The Server menu's server entries, built anew from server.ini.
  void BuildServerMenu();
  void SetServerMenuVisible(bool visible);
  bool ServerMenuVisible() const;

  MainModel& Model() { return model_; }
  Host& HostRef() { return host_; }
  TCvSrvAdm& CvSrvAdm1() { return *cvSrvAdm_; }
  TSynMemo* SynMemo1() const { return memo_; }
  // The read-only view that View's commands show files in, in the editor's
  // place.
  TLogView* LogView1() const { return logView_; }
  // A panel's text, and what the panel shows of it (shortened when too wide).
  QString PanelText(int index) const;
  QString ShownPanelText(int index) const;

  // Runs a handler inside the general error report.
  void Run(const std::function<void()>& handler);

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void CreateMenus();
  void AddMenuKeys();
  void CreateClientArea();
  void ShowPanels();
  void RunApache(ApacheCommand command);
  QAction* AddEntry(QMenu* menu, const char* name, const char* text, std::function<void()> handler = {});
  QPushButton* AddButton(const char* name, const char* text, int left, void (TForm1::*handler)());

  Host& host_;
  MainModel model_;
  TSynMemo* memo_ = nullptr;
  std::unique_ptr<TCvSrvAdm> cvSrvAdm_;
  QLabel* panels_[MainModel::kPanels] = {};
  QMenu* serverMenu_ = nullptr;
  std::vector<QAction*> serverEntries_;
  QWidget* settings_ = nullptr;
  QWidget* about_ = nullptr;
  QWidget* addServer_ = nullptr;

  // ---- File editing, backup, printing, clipboard and Info (main_file.cpp) ----
 public:
  void Edithttpdconf1Click();
  void Viewerrorlog1Click();
  void Viewaccesslog1Click();
  void Edit1Click();
  void View2Click();
  void SynMemo1Change();
  void btSaveClick();
  void Save1Click() { btSaveClick(); }
  void btSaveAsClick();
  void Saveas1Click() { btSaveAsClick(); }
  void btCloseClick();
  void Close1Click() { btCloseClick(); }
  void btBackupClick();
  void MakeBackup1Click() { btBackupClick(); }
  void btPrintClick();
  void Cut1Click();
  void Copy1Click();
  void Paste1Click();
  void Selectall1Click();
  void Undo1Click();
  void Help1Click();
  void Sendemail1Click();
  void Gotohomepage1Click();

  // The unsaved-changes dialog; set once it is created.
  void SetSaveDialog(TSave* dialog);

 private:
  void ConnectFileCommands();
  // Whether the window may close now; with unsaved changes it asks first.
  bool ConfirmExit();
  // Shows the unsaved-changes dialog; "Close anyway" runs closeAnyway.
  void AskUnsaved(const std::function<void()>& closeAnyway);
  // Runs then now, or after "Close anyway" when there are unsaved changes.
  void UnlessUnsaved(const std::function<void()>& then);
  void OpenFile(const QString& path, Document::Access access, bool enableBackup);
  QString FixedPath(const char* piece) const;
  QString DialogDir() const;
  // The save and backup commands and the current file, from the document.
  void ShowFileCommands();
  // A read-only file goes to the log view, which takes the editor's place.
  void OpenLog(const QString& path, bool enableBackup);
  bool LogShown() const;
  void ShowEditor();
  QString CurrentFile() const;

  std::unique_ptr<MemoText> memoText_;
  std::unique_ptr<Document> document_;
  TSave* save_ = nullptr;
  TLogView* logView_ = nullptr;
  bool exitConfirmed_ = false;
  QPushButton* btSave_ = nullptr;
  QAction* save1_ = nullptr;
  QPushButton* btBackup_ = nullptr;
  QAction* makeBackup1_ = nullptr;
  // ---- end of file editing ----
};

// Where a window's frame goes: centred on available, and inside it, its top
// left corner first when it is larger.
QPoint PlaceInside(QRect frame, const QRect& available);
// Shows a window centred on its screen (inside the screen's available area)
// and brings it to the front.
void ShowCentred(QWidget* window);
// Condenses a button's font when its caption would not fit its width.
void FitCaption(QPushButton* button);

}  // namespace console
