#include "resources.h"

#include <QBuffer>

#include "ole/server.h"
#include "stringtable.h"
#include "typelib.h"

namespace cvsrva {
namespace {

// A server tower with a green status light and a network cable: '.' is
// transparent, the other letters are colours.
constexpr const char* kArt[15] = {
    "....kkkkkkkk....",
    "....kwwwwwwk....",
    "....kwggggwk....",
    "....kwwwwwwk....",
    "....kssssssk....",
    "....ksddddsk....",
    "....kssssssk....",
    "....ksddddsk....",
    "....kssssssk....",
    "....ksslgssk....",
    "....kssssssk....",
    "....kkkkkkkk....",
    ".......bb.......",
    "..bbbbbbbbbbbb..",
    "..b..........b..",
};

QRgb Colour(char c) {
  switch (c) {
    case 'k': return qRgb(0, 0, 0);
    case 'w': return qRgb(255, 255, 255);
    case 'g': return qRgb(128, 128, 128);
    case 's': return qRgb(192, 192, 192);
    case 'd': return qRgb(64, 64, 64);
    case 'l': return qRgb(0, 192, 0);
    case 'b': return qRgb(0, 0, 160);
    default: return qRgb(255, 255, 255);
  }
}

std::string Png(const QImage& image) {
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  image.save(&buffer, "PNG");
  return bytes.toStdString();
}

}  // namespace

QImage LoadBitmap(unsigned id) {
  if (id != IDB_CVSERVERADMIN && id != IDB_CVSERVERADMIN_MASK) return {};
  QImage img(16, 15, QImage::Format_RGB32);
  for (int y = 0; y < 15; ++y)
    for (int x = 0; x < 16; ++x) {
      char c = kArt[y][x];
      if (id == IDB_CVSERVERADMIN_MASK)
        img.setPixel(x, y, c == '.' ? qRgb(255, 255, 255) : qRgb(0, 0, 0));
      else
        img.setPixel(x, y, c == '.' ? qRgb(0, 0, 0) : Colour(c));
    }
  return img;
}

ole::ctl::DialogTemplate AboutBoxTemplate() {
  ole::ctl::DialogTemplate t;
  t.caption = "About Veltrane Server Administration Control";
  t.size = QSize(260, 65);
  t.fontFamily = "MS Sans Serif";
  t.pointSize = 8;
  t.icons.push_back({QPixmap::fromImage(LoadBitmap(IDB_CVSERVERADMIN)), QPoint(7, 7), "Icon"});
  t.texts.push_back({"Veltrane Server Administration Control", QRect(39, 10, 168, 9), "Title"});
  t.texts.push_back({"Version 1.3", QRect(39, 23, 168, 9), "Version"});
  t.texts.push_back({"Copyright (C) 2026 The Webwarden32 developers", QRect(39, 36, 168, 9), "Copyright"});
  t.buttons.push_back({"OK", QRect(221, 7, 32, 14), true, ole::ctl::DialogTemplate::IDOK, "OK"});
  return t;
}

std::string VersionBlock() {
  return "FileVersion=1.3.0.0\n"
         "ProductVersion=1.3.0.0\n"
         "FileDescription=Veltrane Server Administration Control\n"
         "ProductName=Veltrane Server Administration Control\n"
         "InternalName=CVSRVADM\n"
         "OriginalFilename=CVSRVA.OCX\n"
         "CompanyName=The Webwarden32 developers\n"
         "LegalCopyright=Copyright (C) 2026 The Webwarden32 developers\n";
}

void AddModuleResources() {
  auto& m = ole::server::Module::Get();
  m.SetTypeLib(MakeTypeLibrary());
  m.AddResource("BITMAP", IDB_CVSERVERADMIN, Png(LoadBitmap(IDB_CVSERVERADMIN)));
  m.AddResource("BITMAP", IDB_CVSERVERADMIN_MASK, Png(LoadBitmap(IDB_CVSERVERADMIN_MASK)));
  m.AddResource("VERSION", 1, VersionBlock());
}

}  // namespace cvsrva
