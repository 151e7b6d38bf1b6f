// The settings dialog TSettingform: the default server and the mode, in
// setting.ini, and that server's configuration in server.ini.
#pragma once

#include "console/serverdialog.h"

namespace console {

class TSettingform : public TServerDialog {
 public:
  TSettingform(Host& host, TForm1& main);

  void FormCreate();
  void btSaveClick() override;
  void btCloseClick() override;

  // Mode buttons: First "Simple Mode", Second "Expert Mode".
  Choice Mode() const;
  void SetMode(Choice mode);

 private:
  QButtonGroup* mode_ = nullptr;
};

}  // namespace console
