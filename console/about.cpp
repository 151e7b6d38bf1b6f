#include "console/about.h"

#include <QLabel>
#include <QPushButton>

#include "console/fonts.h"
#include "console/windowframe.h"

namespace console {

Taboutform::Taboutform() : QDialog(nullptr, kNoTitleButtons | Qt::WindowStaysOnTopHint) {
  setObjectName(QStringLiteral("aboutform"));
  setWindowTitle(QStringLiteral("About Webwarden32"));
  setFont(MsSansSerif(8));
  setFixedSize(ClientOfOuter(333, 157));
  auto* label = new QLabel(QStringLiteral("Webwarden32 is a tool for configuring the Apache on Corvane servers.\n"
                                          "It is the succeeding program to Orrin. \n"
                                          "The development of Orrin was stopped in May 2002!"),
                           this);
  label->setObjectName(QStringLiteral("Label1"));
  label->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
  label->setWordWrap(true);  // the first line is wider than the label
  label->setGeometry(8, 8, 309, 65);
  auto* close = new QPushButton(QStringLiteral("Close"), this);
  close->setObjectName(QStringLiteral("Button1"));
  close->setGeometry(136, 88, 75, 25);
  close->setDefault(true);
  connect(close, &QPushButton::clicked, this, [this] { Button1Click(); });
}

}  // namespace console
