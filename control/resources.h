// The control's resources: the toolbox bitmap and its mask, the About box
// (dialog 1), and the version block.
#pragma once

#include <QImage>
#include <string>

#include "olectl/aboutbox.h"

namespace cvsrva {

inline constexpr unsigned IDB_CVSERVERADMIN = 1;       // toolbox bitmap, drawn by the control
inline constexpr unsigned IDB_CVSERVERADMIN_MASK = 203;
inline constexpr unsigned IDD_ABOUTBOX_CVSERVERADMIN = 1;

// 16 x 15 pixels each; the mask is black where the image is drawn.
QImage LoadBitmap(unsigned id);

ole::ctl::DialogTemplate AboutBoxTemplate();

// "Key=Value" lines: FileVersion, ProductVersion, FileDescription,
// ProductName, InternalName, OriginalFilename, CompanyName, LegalCopyright.
std::string VersionBlock();

// Adds TYPELIB 1, BITMAP 1 and 203 (PNG) and VERSION 1 to the module's resources.
void AddModuleResources();

}  // namespace cvsrva
