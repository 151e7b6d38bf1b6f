// A call reply turned into a result object, on arbitrary bytes (at most the
// 2500-byte reply area): every property is read through IDispatch, the object
// is encoded back into an attribute object, and that one must turn into a
// result object again whenever it holds an attribute.
#include <cstddef>
#include <cstdint>

#include "corvane/wire/attobj.h"
#include "result.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  cvattobj::Area area(data, size < 2500 ? size : 2500);
  ComPtr<cvsrva::CCvResultObject> result = cvsrva::CCvResultObject::Fill(area);
  if (!result) return 0;
  if (result->Properties().size() != cvattobj::Count(area)) __builtin_trap();
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  for (const cvsrva::ResultProperty& p : result->Properties()) {
    CComVariant v;
    if (result->Invoke(p.dispid, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &v, nullptr, nullptr) != S_OK)
      __builtin_trap();
  }
  cvattobj::ObjectPtr encoded = cvattobj::CreateObject(nullptr);
  if (!encoded) return 0;
  cvsrva::EncodeResultObject(*result.Get(), &encoded);
  cvattobj::Area bytes = cvattobj::View(encoded);
  if (cvattobj::TotalSize(bytes) != bytes.size()) __builtin_trap();
  if (cvattobj::Count(bytes) > 0 && !cvsrva::CCvResultObject::Fill(bytes)) __builtin_trap();
  return 0;
}
