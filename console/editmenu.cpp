#include "console/editmenu.h"

#include <QAction>
#include <QKeyEvent>
#include <QMenu>

namespace console {

int DigitOf(const QKeyEvent* event) {
  const int key = event->key();
  if (key >= Qt::Key_0 && key <= Qt::Key_9) return key - Qt::Key_0;
  static constexpr int kShifted[] = {Qt::Key_ParenRight, Qt::Key_Exclam,  Qt::Key_At,          Qt::Key_NumberSign,
                                     Qt::Key_Dollar,     Qt::Key_Percent, Qt::Key_AsciiCircum, Qt::Key_Ampersand,
                                     Qt::Key_Asterisk,   Qt::Key_ParenLeft};
  for (int d = 0; d < 10; ++d)
    if (key == kShifted[d]) return d;
  return -1;
}

QMenu* CreateEditMenu(QWidget* parent, QObject* receiver, const EditCommands& commands, const EditActions& direct) {
  auto* menu = new QMenu(parent);
  menu->setObjectName(QStringLiteral("PopupMenu1"));
  const auto entry = [&](const char* text, const char* name, const QPointer<QAction>& command,
                         std::function<void()> act) {
    QAction* action = menu->addAction(QString::fromLatin1(text), receiver, [command, act] {
      if (command)
        command->trigger();
      else
        act();
    });
    action->setObjectName(QString::fromLatin1(name));
  };
  entry("Cut", "Cut2", commands.cut, direct.cut);
  entry("Copy", "Copy2", commands.copy, direct.copy);
  entry("Paste", "Paste2", commands.paste, direct.paste);
  menu->addSeparator();
  entry("Select all", "Selectall2", commands.selectAll, direct.selectAll);
  return menu;
}

}  // namespace console
