// The About dialog Taboutform.
#pragma once

#include <QDialog>

namespace console {

class Taboutform : public QDialog {
 public:
  Taboutform();
  void Button1Click() { hide(); }
};

}  // namespace console
