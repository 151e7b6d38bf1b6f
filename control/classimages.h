// The pictures of the server browse page: one per directory base class, and
// four for the page's own nodes. Each is a 16 x 16 bitmap on white, white
// being the mask colour of the page's image list.
#pragma once

#include <QImage>
#include <cstdint>

namespace cvsrva {

// One row of the class image table: the string id of the class name, the
// image index and the bitmap id.
struct ClassImageRow {
  std::uint32_t nameId;
  std::uint32_t image;
  std::uint32_t bitmap;
};

inline constexpr int kClassImageRows = 37;
extern const ClassImageRow kClassImageTable[kClassImageRows];

// The bitmaps of the page's nodes, added after the class images.
inline constexpr unsigned IDB_CORVANE_SERVICES = 207;  // the root
inline constexpr unsigned IDB_DIRECTORY_TREE = 260;
inline constexpr unsigned IDB_LISTED_SERVER = 261;     // a server under "Corvane Servers"
inline constexpr unsigned IDB_GROUP_NODE = 211;        // "Corvane Servers", "Veltrane Directory Services"

// The 16 x 16 picture of a class or node bitmap, drawn on white; a null image
// for an id that is neither.
QImage LoadBrowseBitmap(unsigned id);

}  // namespace cvsrva
