// CCvResultObject: the automation object through which a client reads the
// attributes of a remote call's reply by name, changes them, and hands them
// back as an object parameter of a later call. Only the control makes them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "corvane/wire/attobj.h"
#include "ole/comptr.h"
#include "ole/interfaces.h"
#include "ole/object.h"
#include "ole/server.h"
#include "ole/variant.h"

namespace cvsrva {

// Longest attribute name copied out of a reply, in bytes.
inline constexpr std::size_t kMaxAttributeName = 79;
// Longest prefixed (outer.inner.name) attribute name an encoding writes.
inline constexpr std::size_t kMaxEncodedName = 51;

struct ResultProperty {
  std::string name;  // ANSI (UTF-8) bytes as the reply had them
  CComVariant value;
  char access = 0;
  char type = 0;
  DISPID dispid = 0;  // position in the list, from 1
  std::string ansi;   // type 'S': the string's bytes
};

class CCvResultObject final : public ole::ComObject<IDispatch>, private ole::server::ModuleLock {
 public:
  // Fills a new object from the attribute object in area: every attribute
  // becomes a property in order. Returns null when the object is missing,
  // has no attributes, holds fewer than its count says, or a nested object
  // fails the same way (the caller raises "The return value to a method is
  // invalid").
  static ComPtr<CCvResultObject> Fill(cvattobj::Area area);
  // The object behind a dispatch pointer, when it is a live result object
  // (no reference added); null otherwise.
  static CCvResultObject* FromDispatch(IDispatch* d);

  const std::vector<ResultProperty>& Properties() const { return props_; }

  CCvResultObject();

  // IDispatch
  HRESULT GetTypeInfoCount(UINT* count) override;
  HRESULT GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override;
  HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid, DISPID* dispids) override;
  HRESULT Invoke(DISPID dispid, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result,
                 EXCEPINFO* excepinfo, UINT* argErr) override;

 private:
  ~CCvResultObject() override;  // through Release only

  std::vector<ResultProperty> props_;
};

// Decodes one attribute to a value: 'B' VT_BOOL (low 16 bits), 'F' VT_UI4,
// 'I' VT_I4, 'R' VT_R8, 'S' VT_BSTR, 'O' a result object (VT_DISPATCH, one
// reference), other letters VT_EMPTY. A write-only attribute gets its type's
// empty value (0, "", a null object). Returns false when a nested object
// cannot be turned into a result object.
bool DecodeAttribute(const cvattobj::Att& att, CComVariant* value, std::string* ansi = nullptr);

// Appends the properties of a result object to *object: nested objects under
// their dotted path (created when their first property is added), in the
// order the codec's dotted adds give. A property that cannot be added,
// including one whose prefixed name would pass kMaxEncodedName, is left out.
void EncodeResultObject(const CCvResultObject& result, cvattobj::ObjectPtr* object);

}  // namespace cvsrva
