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
#include "console/mainmodel.h"

class QAction;
class QLabel;
class QMenu;
class QPushButton;

namespace console {

class Host;
class TSynMemo;

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
  QString PanelText(int index) const;

  // Runs a handler inside the general error report.
  void Run(const std::function<void()>& handler);

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void CreateMenus();
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
};

// Shows a window centred on its screen and brings it to the front.
void ShowCentred(QWidget* window);
// Condenses a button's font when its caption would not fit its width.
void FitCaption(QPushButton* button);

}  // namespace console
