// KSLOCALE operations, answered locally: a fixed en-US locale and character
// tables that are loaded and freed with a reference count.
#include "corvane/client/kslocale.h"

#include <cstring>
#include <mutex>

#include "corvane/client/cverrors.h"

namespace {

constexpr std::uint32_t kCodePageUtf8 = 65001;
constexpr std::uint32_t kCountryUs = 1;

std::mutex gTablesMutex;
int gTablesLoaded = 0;

}  // namespace

extern "C" {

CVCLIENT_API std::uint32_t CvGetLocaleInfo(CvLocaleInfo* info) {
  if (!info) return kCvErrInvalidArgument;
  std::memset(info, 0, sizeof *info);
  // Thousands and decimal separators, currency symbol, date and time separators.
  static constexpr char kTexts[] = ",\0.\0$\0/\0:\0en-US";
  std::memcpy(info->texts, kTexts, sizeof kTexts);
  info->codePage = kCodePageUtf8;
  info->country = kCountryUs;
  return kCvOk;
}

CVCLIENT_API std::uint32_t CvLoadCharTables(std::uint32_t country, std::uint32_t codePage) {
  if (country != kCountryUs || codePage != kCodePageUtf8) return kCvErrInvalidArgument;
  std::lock_guard lock(gTablesMutex);
  ++gTablesLoaded;
  return kCvOk;
}

CVCLIENT_API std::uint32_t CvFreeCharTables(void) {
  std::lock_guard lock(gTablesMutex);
  if (gTablesLoaded == 0) return kCvErrFailure;
  --gTablesLoaded;
  return kCvOk;
}

}  // extern "C"
