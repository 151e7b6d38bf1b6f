#include "console/fonts.h"

namespace console {

QFont CourierNew(int points) {
  QFont f(QStringLiteral("Liberation Mono"), points);
  f.setStyleHint(QFont::Monospace);
  f.setFixedPitch(true);
  return f;
}

QFont Arial(int points) {
  QFont f(QStringLiteral("Liberation Sans"), points);
  f.setStyleHint(QFont::SansSerif);
  return f;
}

QFont MsSansSerif(int points) { return Arial(points); }

}  // namespace console
