// The unsaved-changes dialog TSave: "Back to file" or "Close anyway". What
// each button does beyond hiding the dialog is given by the main window.
#pragma once

#include <QDialog>
#include <functional>

namespace console {

class TSave : public QDialog {
 public:
  TSave();

  void Button2Click();  // "Back to file"
  void Button3Click();  // "Close anyway"

  std::function<void()> onBackToFile;
  std::function<void()> onCloseAnyway;
};

}  // namespace console
