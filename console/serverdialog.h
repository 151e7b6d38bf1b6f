// What the settings dialog and the add/edit server dialog share: the fields
// of one server configuration, their handlers, and the dialog's own instance
// of the administration control for the "..." button. Each dialog places the
// fields and adds its own controls.
#pragma once

#include <QDialog>
#include <memory>

#include "console/config.h"
#include "console/cvsrvadm.h"

class QAbstractButton;
class QButtonGroup;
class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

namespace console {

class Host;
class TForm1;

// Where a dialog puts the shared fields (left, top of each row).
struct ServerFieldLayout {
  int left;
  int serverTop;     // label, then name field and "..."
  int directoryTop;  // label, then directory field
  int versionTop;    // label, then the two version buttons
  int handleTop;     // label, then the two handle buttons
  int filesTop;      // "Start", "Stop", then "Restart" rows
  int fieldWidth;
};

class TServerDialog : public QDialog {
 public:
  TServerDialog(Host& host, TForm1& main, const char* name, const char* caption, QSize client,
                const ServerFieldLayout& layout);
  ~TServerDialog() override;

  // The fields as they stand, and putting a configuration into them.
  ServerFields Fields() const;
  void ShowFields(const ServerFields& fields);

  // Handlers both dialogs have.
  void cbQRXClick();
  void cbQBTClick();
  void btGetServerClick();
  virtual void btSaveClick() = 0;
  virtual void btCloseClick() = 0;

  TCvSrvAdm& CvSrvAdm1() { return *cvSrvAdm_; }

 protected:
  // Runs a handler inside the general error report.
  void Run(const std::function<void()>& handler);
  QLabel* AddLabel(const QString& text, int left, int top, bool warning = false);
  QLabel* AddLabel(const char* text, int left, int top, bool warning = false) {
    return AddLabel(QString::fromLatin1(text), left, top, warning);
  }
  QPushButton* AddButton(const char* name, const char* text, QRect geometry);
  // The two buttons "Save settings" and "Close settings" at top.
  void AddSaveAndClose(int left, int top);
  static void SetChoice(QButtonGroup* group, Choice choice);
  // Tab stops at one button of the group: the selected one, or the first
  // while none is; the arrow keys move between them.
  static void TabToCheckedOnly(QButtonGroup* group);
  static Choice GetChoice(const QButtonGroup* group);
  // The configuration files of the program directory.
  const ConfigFiles& Files() const { return files_; }

  Host& host_;
  TForm1& main_;

 private:
  void CreateFields(const ServerFieldLayout& layout);
  void PickDirectory();

  ConfigFiles files_;
  std::unique_ptr<TCvSrvAdm> cvSrvAdm_;
  QLineEdit* editSrvName_ = nullptr;
  QLineEdit* editApDir_ = nullptr;
  QButtonGroup* version_ = nullptr;
  QButtonGroup* handle_ = nullptr;
  QLineEdit* qbtStart_ = nullptr;
  QLineEdit* qbtStop_ = nullptr;
  QLineEdit* qbtRestart_ = nullptr;
  QCheckBox* cbRestart_ = nullptr;
};

// Joins the lines of a label; every line but the last ends with a line break.
QString Lines(std::initializer_list<const char*> lines);

}  // namespace console
