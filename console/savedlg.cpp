#include "console/savedlg.h"

#include <QLabel>
#include <QPushButton>

#include "console/fonts.h"
#include "console/windowframe.h"

namespace console {

TSave::TSave() : QDialog(nullptr, kNoTitleButtons) {
  setObjectName(QStringLiteral("Save"));
  setWindowTitle(QStringLiteral("Don't forget so save"));
  setFont(MsSansSerif(8));
  setFixedSize(ClientOfOuter(294, 109));
  auto* label = new QLabel(QStringLiteral("You have unsaved changes, please save them or \n"
                                          "select 'close' to exit the file without saving."),
                           this);
  label->setObjectName(QStringLiteral("Label1"));
  label->setGeometry(8, 8, 272, 30);
  const auto addButton = [this](const char* name, const char* text, int left, void (TSave::*handler)()) {
    auto* button = new QPushButton(QString::fromLatin1(text), this);
    button->setObjectName(QString::fromLatin1(name));
    button->setGeometry(left, 48, 89, 25);
    connect(button, &QPushButton::clicked, this, [this, handler] { (this->*handler)(); });
    return button;
  };
  // Enter goes back to the file: nothing is lost by it.
  addButton("Button2", "Back to file", 40, &TSave::Button2Click)->setDefault(true);
  addButton("Button3", "Close anyway", 160, &TSave::Button3Click);
}

void TSave::Button2Click() {
  hide();
  if (onBackToFile) onBackToFile();
}

void TSave::Button3Click() {
  hide();
  if (onCloseAnyway) onCloseAnyway();
}

}  // namespace console
