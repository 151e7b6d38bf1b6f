// Modal dialogs laid out from a dialog template in dialog units, as a
// resource dialog is: the About box of a control.
#pragma once

#include <QPixmap>
#include <QPoint>
#include <QRect>
#include <QSize>
#include <QString>
#include <vector>

class QDialog;
class QFont;
class QWidget;

namespace ole::ctl {

struct DialogTemplate {
  static constexpr int IDOK = 1;
  static constexpr int IDCANCEL = 2;

  QString caption;
  QSize size;  // dialog units
  QString fontFamily = "MS Sans Serif";
  int pointSize = 8;
  struct Icon {
    QPixmap pixmap;
    QPoint pos;  // dialog units; shown at the pixmap's own size
    QString objectName;
  };
  std::vector<Icon> icons;
  // Static text: "&&" shows one '&', a single '&' marks a mnemonic and is not
  // shown; long text wraps at word breaks within rect.
  struct Text {
    QString text;
    QRect rect;  // dialog units
    QString objectName;
  };
  std::vector<Text> texts;
  struct Button {
    QString text;
    QRect rect;  // dialog units
    bool isDefault = false;
    int result = IDOK;
    QString objectName;
  };
  std::vector<Button> buttons;
};

// The dialog base units of font, as Windows computes them: x is the average
// width of the 52 letters "A".."Z", "a".."z" (rounded), y the character height.
// One dialog unit is x / 4 pixels across and y / 8 pixels down. Fonts named
// "MS Sans Serif" use Liberation Sans.
QPoint DialogBaseUnits(const QFont& font);
// A control's rect in pixels: position and size each scaled with MulDiv
// rounding, as dialog creation places controls.
QRect DluToPixels(const QFont& font, const QRect& dlu);
// The template's font: its family (mapped as above) at the pixel height of its
// point size on the screen.
QFont DialogFont(const DialogTemplate& t);

// Builds the dialog in DialogFont(t): a fixed client area, caption and close
// button only. A button closes it with its result; Escape and the close button
// close it with IDCANCEL.
QDialog* CreateDialogFromTemplate(const DialogTemplate& t, QWidget* parent);
// Shows it modal with the framework's default owner (the active window) and
// returns the result of the button that closed it.
int ShowModalDialog(const DialogTemplate& t);

}  // namespace ole::ctl
