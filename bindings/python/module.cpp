// The cvole module: its classes, exceptions and constants.
#include "cvole.h"
#include "ole/bstr.h"
#include "ole/com.h"

PYBIND11_MODULE(cvole, m) {
  using namespace cvole;
  m.doc() =
      "cvole: an automation host. Dispatch(progid) creates an automation object through the registry;\n"
      "its members are reached by name through IDispatch.";
  CoInitialize(nullptr);

  InitErrors(m);
  InitConvert(m);
  InitDispatch(m);

  const std::pair<const char*, VARTYPE> types[] = {
      {"VT_EMPTY", VT_EMPTY}, {"VT_NULL", VT_NULL},       {"VT_I2", VT_I2},         {"VT_I4", VT_I4},
      {"VT_R4", VT_R4},       {"VT_R8", VT_R8},           {"VT_CY", VT_CY},         {"VT_DATE", VT_DATE},
      {"VT_BSTR", VT_BSTR},   {"VT_DISPATCH", VT_DISPATCH}, {"VT_ERROR", VT_ERROR}, {"VT_BOOL", VT_BOOL},
      {"VT_VARIANT", VT_VARIANT}, {"VT_UNKNOWN", VT_UNKNOWN}, {"VT_I1", VT_I1},     {"VT_UI1", VT_UI1},
      {"VT_UI2", VT_UI2},     {"VT_UI4", VT_UI4},         {"VT_I8", VT_I8},         {"VT_UI8", VT_UI8},
      {"VT_INT", VT_INT},     {"VT_UINT", VT_UINT},       {"VT_BYREF", VT_BYREF},   {"VT_ARRAY", VT_ARRAY},
  };
  for (const auto& [name, vt] : types) m.attr(name) = vt;

  m.attr("DISPATCH_METHOD") = DISPATCH_METHOD;
  m.attr("DISPATCH_PROPERTYGET") = DISPATCH_PROPERTYGET;
  m.attr("DISPATCH_PROPERTYPUT") = DISPATCH_PROPERTYPUT;
  m.attr("DISPATCH_PROPERTYPUTREF") = DISPATCH_PROPERTYPUTREF;
  m.attr("DISPID_VALUE") = DISPID_VALUE;
  m.attr("DISPID_UNKNOWN") = DISPID_UNKNOWN;
  m.attr("DISPID_PROPERTYPUT") = DISPID_PROPERTYPUT;
  m.attr("DISPID_NEWENUM") = DISPID_NEWENUM;

  // HRESULTs as unsigned numbers, as ComError.hresult and DispatchError.scode hold them.
  const std::pair<const char*, HRESULT> codes[] = {
      {"E_NOTIMPL", E_NOTIMPL},
      {"E_NOINTERFACE", E_NOINTERFACE},
      {"E_POINTER", E_POINTER},
      {"E_FAIL", E_FAIL},
      {"E_UNEXPECTED", E_UNEXPECTED},
      {"E_OUTOFMEMORY", E_OUTOFMEMORY},
      {"E_INVALIDARG", E_INVALIDARG},
      {"DISP_E_UNKNOWNINTERFACE", DISP_E_UNKNOWNINTERFACE},
      {"DISP_E_MEMBERNOTFOUND", DISP_E_MEMBERNOTFOUND},
      {"DISP_E_PARAMNOTFOUND", DISP_E_PARAMNOTFOUND},
      {"DISP_E_TYPEMISMATCH", DISP_E_TYPEMISMATCH},
      {"DISP_E_UNKNOWNNAME", DISP_E_UNKNOWNNAME},
      {"DISP_E_NONAMEDARGS", DISP_E_NONAMEDARGS},
      {"DISP_E_BADVARTYPE", DISP_E_BADVARTYPE},
      {"DISP_E_EXCEPTION", DISP_E_EXCEPTION},
      {"DISP_E_OVERFLOW", DISP_E_OVERFLOW},
      {"DISP_E_BADINDEX", DISP_E_BADINDEX},
      {"DISP_E_BADPARAMCOUNT", DISP_E_BADPARAMCOUNT},
      {"DISP_E_PARAMNOTOPTIONAL", DISP_E_PARAMNOTOPTIONAL},
      {"REGDB_E_CLASSNOTREG", REGDB_E_CLASSNOTREG},
      {"CO_E_CLASSSTRING", CO_E_CLASSSTRING},
      {"CO_E_DLLNOTFOUND", CO_E_DLLNOTFOUND},
      {"CTL_E_INVALIDPROPERTYVALUE", CTL_E_INVALIDPROPERTYVALUE},
      {"CTL_E_SETNOTSUPPORTED", CTL_E_SETNOTSUPPORTED},
      {"CTL_E_GETNOTSUPPORTED", CTL_E_GETNOTSUPPORTED},
  };
  for (const auto& [name, hr] : codes) m.attr(name) = static_cast<std::uint32_t>(hr);

  m.def("_live_bstr_count", &ole::LiveBstrCount,
        "The number of BSTRs the automation runtime has allocated and not freed, for leak checks.");
}
