// Units, colours and drawing helpers of the control framework.
#pragma once

#include <QColor>
#include <QImage>
#include <QRect>
#include <QSize>

#include "olectl/ocidl.h"

class QPainter;

namespace ole::ctl {

inline constexpr int kHimetricPerInch = 2540;

// The screen's logical resolution (96 when there is no screen).
int ScreenDpi();
// MulDiv rounding, as Windows converts between the two.
LONG PixelsToHimetric(int pixels, int dpi);
int HimetricToPixels(LONG himetric, int dpi);
SIZEL PixelsToHimetric(QSize pixels, int dpi = ScreenDpi());
QSize HimetricToPixels(SIZEL himetric, int dpi = ScreenDpi());

// OleTranslateColor: 0x80000000 | index is the system colour of that index
// (the Windows defaults), anything else is 0x00BBGGRR. False for an invalid
// colour; *out is untouched then.
bool TranslateColor(OLE_COLOR color, QColor* out);
inline constexpr int COLOR_WINDOW = 5;
inline constexpr int COLOR_BTNFACE = 15;

// A solid fill of rect.
void FillSolidRect(QPainter& p, const QRect& rect, const QColor& color);
// DrawEdge with EDGE_RAISED and BF_RECT: a raised outer and inner border.
void DrawRaisedEdge(QPainter& p, const QRect& rect);
// FrameRect: a one-pixel border inside rect.
void FrameRect(QPainter& p, const QRect& rect, const QColor& color);
// Draws image at pos where mask is black and leaves the target where the mask
// is white: what the XOR, AND, XOR blit sequence produces with such a mask.
void TransparentBlit(QPainter& p, QPoint pos, const QImage& image, const QImage& mask);

}  // namespace ole::ctl
