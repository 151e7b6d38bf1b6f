#include "classimages.h"

#include <QPainter>
#include <QPainterPath>
#include <QPolygon>
#include <algorithm>
#include <iterator>

namespace cvsrva {

// Class-name string id, image index, bitmap id; row 0 is the default.
const ClassImageRow kClassImageTable[kClassImageRows] = {
    {120, 0, 213},  {121, 1, 214},  {122, 2, 215},  {123, 3, 216},  {124, 4, 217},  {125, 5, 218},
    {126, 6, 219},  {127, 7, 220},  {128, 8, 221},  {129, 9, 222},  {130, 10, 223}, {131, 11, 224},
    {132, 12, 225}, {133, 13, 226}, {134, 14, 227}, {135, 15, 228}, {136, 16, 229}, {137, 17, 230},
    {138, 18, 232}, {139, 19, 233}, {140, 20, 234}, {141, 21, 235}, {142, 22, 236}, {143, 23, 237},
    {144, 24, 238}, {145, 25, 239}, {146, 26, 240}, {147, 27, 241}, {148, 28, 242}, {149, 29, 243},
    {150, 30, 244}, {151, 31, 245}, {152, 32, 246}, {153, 33, 247}, {154, 34, 248}, {155, 35, 249},
    {156, 36, 250},
};

namespace {

// The shapes the pictures are made of; a class is told apart by its shape and
// its colour together.
enum class Glyph {
  Cube,         // a generic object
  Tower,        // a server
  Arrow,        // an alias
  Window,       // an application
  Document,     // a file-like object
  Stack,        // a queue
  Monitor,      // a computer
  Globe,        // a country
  Chip,         // a device
  Map,          // a directory map
  Person,       // a user or person
  People,       // a group
  Pin,          // a locality
  Building,     // an organization
  Folder,       // an organizational unit
  Badge,        // a role
  Pie,          // a partition
  Printer,      // a printer
  Card,         // a profile
  Ribbon,       // a certificate
  Question,     // unknown
  Disk,         // a volume
  Tree,         // a directory tree
  Network,      // the root of the browse tree
  Drawers,      // a group node
};

struct Picture {
  unsigned bitmap;
  Glyph glyph;
  QRgb colour;
  char mark;  // a letter drawn small in the corner, or 0
};

constexpr Picture kPictures[] = {
    {213, Glyph::Cube, 0x808080, 0},       {214, Glyph::Tower, 0x2E7D32, 'A'},
    {215, Glyph::Arrow, 0x6A1B9A, 0},      {216, Glyph::Window, 0x1565C0, 0},
    {217, Glyph::Window, 0x424242, 'D'},   {218, Glyph::Window, 0x00838F, '3'},
    {219, Glyph::Window, 0x00897B, '9'},   {220, Glyph::Window, 0x283593, 'N'},
    {221, Glyph::Document, 0xC62828, 0},   {222, Glyph::Cube, 0xEF6C00, 0},
    {223, Glyph::Stack, 0xEF6C00, 0},      {224, Glyph::Monitor, 0x455A64, 0},
    {225, Glyph::Globe, 0x1E88E5, 0},      {226, Glyph::Chip, 0x5D4037, 0},
    {227, Glyph::Map, 0x7CB342, 0},        {228, Glyph::Cube, 0x8E24AA, 'X'},
    {229, Glyph::People, 0x3949AB, 0},     {230, Glyph::Pin, 0xD32F2F, 0},
    {232, Glyph::Tower, 0xF9A825, 'M'},    {233, Glyph::Tower, 0x1565C0, 0},
    {234, Glyph::Tower, 0x6D4C41, 'L'},    {235, Glyph::Ribbon, 0xFFA000, 0},
    {236, Glyph::Building, 0x6D4C41, 0},   {237, Glyph::Person, 0x00897B, 0},
    {238, Glyph::Badge, 0x5E35B1, 0},      {239, Glyph::Folder, 0xF9A825, 0},
    {240, Glyph::Pie, 0x8E24AA, 0},        {241, Glyph::Person, 0x757575, 0},
    {242, Glyph::Tower, 0x37474F, 'P'},    {243, Glyph::Printer, 0x37474F, 0},
    {244, Glyph::Card, 0x0277BD, 0},       {245, Glyph::Stack, 0x546E7A, 0},
    {246, Glyph::Tower, 0x616161, 0},      {247, Glyph::Document, 0x9E9E9E, 'T'},
    {248, Glyph::Question, 0x9E9E9E, 0},   {249, Glyph::Person, 0x1E88E5, 0},
    {250, Glyph::Disk, 0x546E7A, 0},       {207, Glyph::Network, 0x00695C, 0},
    {260, Glyph::Tree, 0x2E7D32, 0},       {261, Glyph::Tower, 0xC62828, 0},
    {211, Glyph::Drawers, 0x795548, 0},
};

// Never pure white inside a picture: white is transparent in the image list.
constexpr QRgb kLight = 0xF4F4F4;

QColor Darker(QColor c) { return c.darker(160); }

void DrawGlyph(QPainter& p, Glyph g, QColor c) {
  const QColor edge = Darker(c);
  const QColor light(kLight);
  p.setPen(edge);
  p.setBrush(c);
  switch (g) {
    case Glyph::Cube:
      p.drawPolygon(QPolygon({QPoint(2, 5), QPoint(8, 2), QPoint(14, 5), QPoint(14, 11), QPoint(8, 14),
                              QPoint(2, 11)}));
      p.drawLine(2, 5, 8, 8);
      p.drawLine(8, 8, 14, 5);
      p.drawLine(8, 8, 8, 14);
      break;
    case Glyph::Tower:
      p.drawRect(4, 1, 8, 14);
      p.setPen(light);
      p.drawLine(6, 4, 10, 4);
      p.drawLine(6, 6, 10, 6);
      p.drawLine(6, 8, 10, 8);
      p.setPen(QColor(0x00E676));
      p.drawPoint(10, 12);
      break;
    case Glyph::Arrow:
      p.drawPolygon(QPolygon({QPoint(1, 6), QPoint(9, 6), QPoint(9, 2), QPoint(15, 8), QPoint(9, 14),
                              QPoint(9, 10), QPoint(1, 10)}));
      break;
    case Glyph::Window:
      p.setBrush(light);
      p.drawRect(1, 2, 14, 12);
      p.setPen(Qt::NoPen);
      p.setBrush(c);
      p.drawRect(2, 3, 13, 3);
      break;
    case Glyph::Document:
      p.setBrush(light);
      p.drawPolygon(QPolygon({QPoint(3, 1), QPoint(10, 1), QPoint(13, 4), QPoint(13, 15), QPoint(3, 15)}));
      p.setPen(c);
      for (int y = 6; y <= 12; y += 2) p.drawLine(5, y, 11, y);
      break;
    case Glyph::Stack:
      for (int y = 2; y <= 11; y += 3) p.drawRect(2, y, 12, 2);
      break;
    case Glyph::Monitor:
      p.drawRect(1, 2, 14, 9);
      p.setBrush(QColor(0x90CAF9));
      p.drawRect(3, 4, 10, 5);
      p.setBrush(c);
      p.drawRect(5, 12, 6, 2);
      break;
    case Glyph::Globe:
      p.setRenderHint(QPainter::Antialiasing);
      p.drawEllipse(QRectF(1.5, 1.5, 13, 13));
      p.setBrush(Qt::NoBrush);
      p.setPen(light);
      p.drawEllipse(QRectF(5, 1.5, 6, 13));
      p.drawLine(2, 8, 14, 8);
      break;
    case Glyph::Chip:
      p.drawRect(4, 4, 8, 8);
      p.setPen(edge);
      for (int i = 5; i <= 11; i += 3) {
        p.drawLine(i, 1, i, 3);
        p.drawLine(i, 13, i, 15);
        p.drawLine(1, i, 3, i);
        p.drawLine(13, i, 15, i);
      }
      break;
    case Glyph::Map:
      p.drawPolygon(QPolygon({QPoint(1, 3), QPoint(5, 1), QPoint(10, 3), QPoint(15, 1), QPoint(15, 13),
                              QPoint(10, 15), QPoint(5, 13), QPoint(1, 15)}));
      p.drawLine(5, 1, 5, 13);
      p.drawLine(10, 3, 10, 15);
      break;
    case Glyph::Person:
      p.setRenderHint(QPainter::Antialiasing);
      p.drawEllipse(QRectF(5, 1, 6, 6));
      p.drawRoundedRect(QRectF(3, 8, 10, 7), 3, 3);
      break;
    case Glyph::People:
      p.setRenderHint(QPainter::Antialiasing);
      p.setBrush(c.lighter(140));
      p.drawEllipse(QRectF(8, 1, 5, 5));
      p.drawRoundedRect(QRectF(7, 7, 8, 7), 3, 3);
      p.setBrush(c);
      p.drawEllipse(QRectF(3, 3, 5, 5));
      p.drawRoundedRect(QRectF(1, 9, 9, 6), 3, 3);
      break;
    case Glyph::Pin:
      p.setRenderHint(QPainter::Antialiasing);
      p.drawPolygon(QPolygonF({QPointF(3.5, 7), QPointF(8, 15), QPointF(12.5, 7)}));
      p.drawEllipse(QRectF(3, 1, 10, 10));
      p.setBrush(light);
      p.drawEllipse(QRectF(6, 4, 4, 4));
      break;
    case Glyph::Building:
      p.drawRect(2, 3, 12, 12);
      p.setPen(Qt::NoPen);
      p.setBrush(QColor(0xFFF59D));
      for (int y = 5; y <= 9; y += 4)
        for (int x = 4; x <= 10; x += 3) p.drawRect(x, y, 2, 2);
      p.setBrush(edge);
      p.drawRect(7, 12, 2, 3);
      break;
    case Glyph::Folder:
      p.drawPolygon(QPolygon({QPoint(1, 3), QPoint(6, 3), QPoint(7, 5), QPoint(15, 5), QPoint(15, 14),
                              QPoint(1, 14)}));
      p.setPen(c.lighter(130));
      p.drawLine(2, 7, 14, 7);
      break;
    case Glyph::Badge:
      p.setRenderHint(QPainter::Antialiasing);
      p.drawEllipse(QRectF(5, 1, 6, 6));
      p.drawRoundedRect(QRectF(3, 8, 10, 7), 3, 3);
      p.setBrush(QColor(0xFFD600));
      p.drawRect(QRectF(6.5, 10, 3, 3));
      break;
    case Glyph::Pie:
      p.setRenderHint(QPainter::Antialiasing);
      p.drawPie(QRectF(1.5, 1.5, 13, 13), 90 * 16, 270 * 16);
      p.setBrush(c.lighter(150));
      p.drawPie(QRectF(2.5, 0.5, 13, 13), 0, 90 * 16);
      break;
    case Glyph::Printer:
      p.setBrush(light);
      p.drawRect(4, 1, 8, 5);
      p.setBrush(c);
      p.drawRect(1, 6, 14, 6);
      p.setBrush(light);
      p.drawRect(4, 10, 8, 5);
      break;
    case Glyph::Card:
      p.setBrush(light);
      p.drawRect(1, 3, 14, 10);
      p.setBrush(c);
      p.drawRect(3, 5, 4, 5);
      p.setPen(c);
      p.drawLine(9, 6, 13, 6);
      p.drawLine(9, 9, 13, 9);
      break;
    case Glyph::Ribbon:
      p.setRenderHint(QPainter::Antialiasing);
      p.drawPolygon(QPolygonF({QPointF(5, 8), QPointF(3, 15), QPointF(6, 13), QPointF(8, 15), QPointF(8, 9)}));
      p.drawPolygon(QPolygonF({QPointF(11, 8), QPointF(13, 15), QPointF(10, 13), QPointF(8, 15), QPointF(8, 9)}));
      p.drawEllipse(QRectF(3, 1, 10, 10));
      break;
    case Glyph::Question: {
      p.setBrush(light);
      p.drawRect(2, 1, 12, 14);
      QFont f;
      f.setPixelSize(12);
      f.setBold(true);
      p.setFont(f);
      p.setPen(c.darker(140));
      p.drawText(QRect(2, 1, 12, 14), Qt::AlignCenter, QStringLiteral("?"));
      break;
    }
    case Glyph::Disk:
      p.setRenderHint(QPainter::Antialiasing);
      p.drawRect(QRectF(2, 4, 12, 9));
      p.drawEllipse(QRectF(2, 10, 12, 5));
      p.setBrush(c.lighter(150));
      p.drawEllipse(QRectF(2, 1, 12, 5));
      break;
    case Glyph::Tree:
      p.setRenderHint(QPainter::Antialiasing);
      p.setBrush(QColor(0x795548));
      p.setPen(QColor(0x4E342E));
      p.drawRect(QRectF(7, 10, 2, 5));
      p.setPen(edge);
      p.setBrush(c);
      p.drawPolygon(QPolygonF({QPointF(8, 0.5), QPointF(14, 11), QPointF(2, 11)}));
      break;
    case Glyph::Network:
      p.setRenderHint(QPainter::Antialiasing);
      p.setPen(QPen(edge, 1.2));
      p.drawLine(QPointF(8, 5), QPointF(3, 12));
      p.drawLine(QPointF(8, 5), QPointF(13, 12));
      p.drawLine(QPointF(3, 12), QPointF(13, 12));
      p.setPen(edge);
      p.drawEllipse(QRectF(5, 1, 6, 6));
      p.drawEllipse(QRectF(0.5, 9.5, 5, 5));
      p.drawEllipse(QRectF(10.5, 9.5, 5, 5));
      break;
    case Glyph::Drawers:
      p.drawRect(2, 1, 12, 6);
      p.drawRect(2, 8, 12, 6);
      p.setPen(light);
      p.drawLine(6, 4, 10, 4);
      p.drawLine(6, 11, 10, 11);
      break;
  }
}

}  // namespace

QImage LoadBrowseBitmap(unsigned id) {
  const auto it = std::find_if(std::begin(kPictures), std::end(kPictures),
                               [id](const Picture& p) { return p.bitmap == id; });
  if (it == std::end(kPictures)) return {};
  QImage image(16, 16, QImage::Format_RGB32);
  image.fill(Qt::white);
  QPainter p(&image);
  DrawGlyph(p, it->glyph, QColor(it->colour));
  if (it->mark) {
    p.setRenderHint(QPainter::Antialiasing, false);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x212121));
    p.drawRect(9, 9, 7, 7);
    QFont f;
    f.setPixelSize(7);
    f.setBold(true);
    p.setFont(f);
    p.setPen(QColor(kLight));
    p.drawText(QRect(9, 9, 7, 7), Qt::AlignCenter, QString(QChar::fromLatin1(it->mark)));
  }
  p.end();
  return image;
}

}  // namespace cvsrva
