// KSLOCALE: locale and character tables of the Corvane client library.
// Conventions: cvdefs.h.
#pragma once

#include <cstddef>
#include <cstdint>

#include "corvane/client/cvdefs.h"

// The workstation's locale. The two numbers at its end are what
// CvLoadCharTables takes.
struct CvLocaleInfo {
  char texts[0x38];        // separators and currency texts; not read by the control
  std::uint32_t codePage;  // 0x38
  std::uint32_t country;   // 0x3C
};
static_assert(offsetof(CvLocaleInfo, codePage) == 0x38);
static_assert(offsetof(CvLocaleInfo, country) == 0x3C);
static_assert(sizeof(CvLocaleInfo) == 0x40);

extern "C" {

// Fills info with the workstation's locale.
CVCLIENT_API std::uint32_t CvGetLocaleInfo(CvLocaleInfo* info);

// Loads the character tables for a country (info.country, offset 0x3C) and a
// code page (info.codePage, offset 0x38), in that argument order.
CVCLIENT_API std::uint32_t CvLoadCharTables(std::uint32_t country, std::uint32_t codePage);

// Frees the tables CvLoadCharTables loaded.
CVCLIENT_API std::uint32_t CvFreeCharTables(void);

}  // extern "C"
