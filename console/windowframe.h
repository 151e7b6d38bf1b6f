// Sizes and flags of the console's small fixed dialogs.
#pragma once

#include <QSize>
#include <Qt>

namespace console {

// A dialog frame of the original desktop: 3 pixels on each side and a
// 19-pixel caption. A window given by its outer size gets this client area.
inline QSize ClientOfOuter(int width, int height) { return QSize(width - 2 * 3, height - 19 - 2 * 3); }

// A dialog with a caption but no title-bar buttons.
inline constexpr Qt::WindowFlags kNoTitleButtons = Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint;

}  // namespace console
