// Loading and unloading modules, running command files, and reading and
// setting server parameters.
#include <cstring>

#include "corvane/client/kscalls.h"
#include "ctrl.h"
#include "ole/bstr.h"
#include "ole/variant_convert.h"

namespace cvsrva {
namespace {
constexpr std::uint32_t kTypeMismatch = 140;
}

bool CCvServerAdminCtrl::ExecuteProfile(const std::string& qbtFileName) {
  CheckBound();
  return CvRunCommandFile(connection_, qbtFileName.c_str()) == 0;
}

bool CCvServerAdminCtrl::LoadQRX(const std::string& qrxName, const std::string& parameters) {
  CheckBound();
  std::string commandLine = qrxName + " " + parameters;
  return CvLoadModule(connection_, commandLine.c_str()) == 0;
}

bool CCvServerAdminCtrl::UnloadQRX(const std::string& qrxName) {
  CheckBound();
  return CvUnloadModule(connection_, qrxName.c_str()) == 0;
}

CComVariant CCvServerAdminCtrl::GetParameters(const std::string& propertyName) {
  if (AmbientUserMode()) CheckBound();
  CvServerParameter record;
  std::memset(&record, 0, sizeof record);
  std::uint32_t index = 0;
  while (true) {
    if (std::uint32_t rc = CvScanServerParameter(connection_, index, &record)) {
      RaiseInUserMode(static_cast<std::int32_t>(rc));
      return CComVariant();
    }
    index = record.nextSearchIndex;
    // The name is NUL-terminated within the area; a record that is not is
    // read up to the area's end and matches nothing longer.
    std::size_t nameLength = strnlen(record.nameValue, sizeof record.nameValue);
    std::string_view name(record.nameValue, nameLength);
    if (!ole::EqualsNoCaseUtf8(name, propertyName)) continue;
    const char* value = record.nameValue + nameLength + 1;
    std::size_t room = nameLength + 1 <= sizeof record.nameValue ? sizeof record.nameValue - nameLength - 1 : 0;
    if (record.valueType == kCvParamTypeText)
      return CComVariant(std::string_view(value, strnlen(value, room)));
    unsigned char b[4] = {};
    std::memcpy(b, value, std::min<std::size_t>(4, room));
    return CComVariant(static_cast<LONG>(std::uint32_t(b[0]) | std::uint32_t(b[1]) << 8 | std::uint32_t(b[2]) << 16 |
                                         std::uint32_t(b[3]) << 24));
  }
}

void CCvServerAdminCtrl::SetParameters(const std::string& propertyName, const VARIANT& value) {
  if (AmbientUserMode()) CheckBound();
  bool textTried = false;
  if (value.vt == VT_BSTR) {
    std::string text = ole::BstrToUtf8(value.bstrVal);
    if (CvSetServerParameterText(connection_, propertyName.c_str(), text.c_str()) != kTypeMismatch) return;
    textTried = true;
  }
  CComVariant number;
  if (SUCCEEDED(VariantChangeType(&number, &value, 0, VT_I4)) &&
      CvSetServerParameterNumber(connection_, propertyName.c_str(), number.lVal) != kTypeMismatch)
    return;
  if (textTried) return;
  CComVariant text;
  if (FAILED(VariantChangeType(&text, &value, 0, VT_BSTR))) return;
  std::string utf8 = ole::BstrToUtf8(text.bstrVal);
  if (CvSetServerParameterText(connection_, propertyName.c_str(), utf8.c_str()) == kTypeMismatch && AmbientUserMode())
    ThrowError(CTL_E_INVALIDPROPERTYVALUE, {});  // the framework's own text
}

}  // namespace cvsrva
