#include "olectl/convert.h"

#include <QGuiApplication>
#include <QPainter>
#include <QScreen>
#include <cstdint>

namespace ole::ctl {

int ScreenDpi() {
  if (qobject_cast<QGuiApplication*>(QCoreApplication::instance()))
    if (QScreen* s = QGuiApplication::primaryScreen()) return qRound(s->logicalDotsPerInchX());
  return 96;
}

namespace {
LONG MulDiv(LONG a, LONG b, LONG c) {
  if (c == 0) return -1;
  std::int64_t p = std::int64_t(a) * b;
  std::int64_t half = (c < 0 ? -c : c) / 2;
  std::int64_t q = ((p < 0) != (c < 0)) ? (p - half) / c : (p + half) / c;
  return static_cast<LONG>(q);
}
}  // namespace

LONG PixelsToHimetric(int pixels, int dpi) { return MulDiv(pixels, kHimetricPerInch, dpi); }
int HimetricToPixels(LONG himetric, int dpi) { return MulDiv(himetric, dpi, kHimetricPerInch); }

SIZEL PixelsToHimetric(QSize px, int dpi) {
  return SIZEL{PixelsToHimetric(px.width(), dpi), PixelsToHimetric(px.height(), dpi)};
}
QSize HimetricToPixels(SIZEL hm, int dpi) { return QSize(HimetricToPixels(hm.cx, dpi), HimetricToPixels(hm.cy, dpi)); }

bool TranslateColor(OLE_COLOR color, QColor* out) {
  // GetSysColor defaults of Windows, by COLOR_* index.
  static const std::uint32_t kSystem[] = {
      0xC8C8C8, 0x000000, 0xD1B499, 0xDBCDBF, 0xF0F0F0, 0xFFFFFF, 0x646464, 0x000000, 0x000000,
      0x000000, 0xB4B4B4, 0xFCF7F4, 0xABABAB, 0xD77800, 0xFFFFFF, 0xF0F0F0, 0xA0A0A0, 0x6D6D6D,
      0x000000, 0x000000, 0xFFFFFF, 0x696969, 0xE3E3E3, 0x000000, 0xE1FFFF, 0xB4B4B4, 0xCC6600,
      0xEAD1B9, 0xF2E4D7, 0xFF9933, 0xF0F0F0};  // stored 0x00BBGGRR like COLORREF
  std::uint32_t rgb;
  if (color & 0x80000000u) {
    std::uint32_t index = color & 0x00FFFFFFu;
    if (color & 0x7F000000u || index >= std::size(kSystem)) return false;
    rgb = kSystem[index];
  } else {
    if (color & 0xFF000000u) return false;  // palette forms are not supported
    rgb = color;
  }
  if (out) *out = QColor(rgb & 0xFF, (rgb >> 8) & 0xFF, (rgb >> 16) & 0xFF);
  return true;
}

void FillSolidRect(QPainter& p, const QRect& rect, const QColor& color) { p.fillRect(rect, color); }

void DrawRaisedEdge(QPainter& p, const QRect& r) {
  QColor light, hilight, shadow, dark;
  TranslateColor(0x80000000u | 22, &light);    // COLOR_3DLIGHT
  TranslateColor(0x80000000u | 20, &hilight);  // COLOR_BTNHIGHLIGHT
  TranslateColor(0x80000000u | 16, &shadow);   // COLOR_BTNSHADOW
  TranslateColor(0x80000000u | 21, &dark);     // COLOR_3DDKSHADOW
  auto border = [&](QRect b, const QColor& topLeft, const QColor& bottomRight) {
    if (b.width() <= 0 || b.height() <= 0) return;
    p.fillRect(QRect(b.left(), b.top(), b.width(), 1), topLeft);
    p.fillRect(QRect(b.left(), b.top(), 1, b.height()), topLeft);
    p.fillRect(QRect(b.left(), b.bottom(), b.width(), 1), bottomRight);
    p.fillRect(QRect(b.right(), b.top(), 1, b.height()), bottomRight);
  };
  border(r, light, dark);
  border(r.adjusted(1, 1, -1, -1), hilight, shadow);
}

void FrameRect(QPainter& p, const QRect& r, const QColor& color) {
  if (r.width() <= 0 || r.height() <= 0) return;
  p.fillRect(QRect(r.left(), r.top(), r.width(), 1), color);
  p.fillRect(QRect(r.left(), r.bottom(), r.width(), 1), color);
  p.fillRect(QRect(r.left(), r.top(), 1, r.height()), color);
  p.fillRect(QRect(r.right(), r.top(), 1, r.height()), color);
}

void TransparentBlit(QPainter& p, QPoint pos, const QImage& image, const QImage& mask) {
  QImage out = image.convertToFormat(QImage::Format_ARGB32);
  QImage m = mask.convertToFormat(QImage::Format_RGB32);
  for (int y = 0; y < out.height(); ++y) {
    auto* line = reinterpret_cast<QRgb*>(out.scanLine(y));
    for (int x = 0; x < out.width(); ++x) {
      bool keepTarget = x < m.width() && y < m.height() && qGray(m.pixel(x, y)) >= 128;
      line[x] = keepTarget ? qRgba(0, 0, 0, 0) : (line[x] | 0xFF000000u);
    }
  }
  p.drawImage(pos, out);
}

}  // namespace ole::ctl
