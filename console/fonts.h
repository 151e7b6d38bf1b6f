// The fonts of the console: Courier New, Arial and MS Sans Serif are drawn
// with their metric-compatible Liberation faces.
#pragma once

#include <QFont>

namespace console {

QFont CourierNew(int points);
QFont Arial(int points);
QFont MsSansSerif(int points);

}  // namespace console
