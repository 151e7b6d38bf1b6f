// The add/edit server dialog TAddserver: any number of server configurations
// in server.ini, listed in a sorted list box.
#pragma once

#include "console/serverdialog.h"

class QListWidget;

namespace console {

class TAddserver : public TServerDialog {
 public:
  TAddserver(Host& host, TForm1& main);

  void FormCreate();
  void btSaveClick() override;
  void btCloseClick() override;
  // However the dialog closes (Close settings, Escape, the title bar), the
  // Server menu lists what was saved in it.
  void done(int result) override;
  void ListBox1DblClick();

  QStringList ListedServers() const;

 private:
  void FillList();

  QListWidget* list_ = nullptr;
};

// The list box's order: alphabetical without regard to case, stable.
QStringList SortedWithoutCase(QStringList names);

}  // namespace console
