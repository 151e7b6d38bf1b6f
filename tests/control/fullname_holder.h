// An edited object for the browse page on its own: FullName is any text.
#pragma once

#include <string>

#include "ole/bstr.h"
#include "ole/dispatch.h"

namespace cvtest {

class FullNameHolder : public ole::DispatchObject<FullNameHolder> {
 public:
  static const ole::DispatchTable<FullNameHolder>& DispatchMap() {
    static const ole::DispatchTable<FullNameHolder> table{ole::Property<FullNameHolder>(
        "FullName", VT_BSTR, [](FullNameHolder& h) { return h.fullName; },
        [](FullNameHolder& h, const VARIANT& v) { h.fullName = ole::BstrToUtf8(v.bstrVal); })};
    return table;
  }
  std::string fullName;
};

}  // namespace cvtest
