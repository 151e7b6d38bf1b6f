// HRESULT values and helpers with the numbers of the Windows API.
#pragma once

#include "ole/types.h"

constexpr bool SUCCEEDED(HRESULT hr) { return hr >= 0; }
constexpr bool FAILED(HRESULT hr) { return hr < 0; }

constexpr HRESULT MAKE_HRESULT(unsigned severity, unsigned facility, unsigned code) {
  return static_cast<HRESULT>((severity << 31) | ((facility & 0x7FFFu) << 16) | (code & 0xFFFFu));
}
constexpr unsigned HRESULT_CODE(HRESULT hr) { return static_cast<unsigned>(hr) & 0xFFFFu; }
constexpr unsigned HRESULT_FACILITY(HRESULT hr) { return (static_cast<unsigned>(hr) >> 16) & 0x1FFFu; }
constexpr unsigned HRESULT_SEVERITY(HRESULT hr) { return (static_cast<unsigned>(hr) >> 31) & 1u; }

inline constexpr unsigned SEVERITY_SUCCESS = 0;
inline constexpr unsigned SEVERITY_ERROR = 1;
inline constexpr unsigned FACILITY_NULL = 0;
inline constexpr unsigned FACILITY_RPC = 1;
inline constexpr unsigned FACILITY_DISPATCH = 2;
inline constexpr unsigned FACILITY_ITF = 4;
inline constexpr unsigned FACILITY_WIN32 = 7;
inline constexpr unsigned FACILITY_CONTROL = 10;

constexpr HRESULT HR(std::uint32_t v) { return static_cast<HRESULT>(v); }

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT NOERROR = 0;

inline constexpr HRESULT E_NOTIMPL = HR(0x80004001);
inline constexpr HRESULT E_NOINTERFACE = HR(0x80004002);
inline constexpr HRESULT E_POINTER = HR(0x80004003);
inline constexpr HRESULT E_ABORT = HR(0x80004004);
inline constexpr HRESULT E_FAIL = HR(0x80004005);
inline constexpr HRESULT E_UNEXPECTED = HR(0x8000FFFF);
inline constexpr HRESULT E_ACCESSDENIED = HR(0x80070005);
inline constexpr HRESULT E_HANDLE = HR(0x80070006);
inline constexpr HRESULT E_OUTOFMEMORY = HR(0x8007000E);
inline constexpr HRESULT E_INVALIDARG = HR(0x80070057);

inline constexpr HRESULT DISP_E_UNKNOWNINTERFACE = HR(0x80020001);
inline constexpr HRESULT DISP_E_MEMBERNOTFOUND = HR(0x80020003);
inline constexpr HRESULT DISP_E_PARAMNOTFOUND = HR(0x80020004);
inline constexpr HRESULT DISP_E_TYPEMISMATCH = HR(0x80020005);
inline constexpr HRESULT DISP_E_UNKNOWNNAME = HR(0x80020006);
inline constexpr HRESULT DISP_E_NONAMEDARGS = HR(0x80020007);
inline constexpr HRESULT DISP_E_BADVARTYPE = HR(0x80020008);
inline constexpr HRESULT DISP_E_EXCEPTION = HR(0x80020009);
inline constexpr HRESULT DISP_E_OVERFLOW = HR(0x8002000A);
inline constexpr HRESULT DISP_E_BADINDEX = HR(0x8002000B);
inline constexpr HRESULT DISP_E_UNKNOWNLCID = HR(0x8002000C);
inline constexpr HRESULT DISP_E_ARRAYISLOCKED = HR(0x8002000D);
inline constexpr HRESULT DISP_E_BADPARAMCOUNT = HR(0x8002000E);
inline constexpr HRESULT DISP_E_PARAMNOTOPTIONAL = HR(0x8002000F);

inline constexpr HRESULT TYPE_E_ELEMENTNOTFOUND = HR(0x8002802B);
inline constexpr HRESULT TYPE_E_LIBNOTREGISTERED = HR(0x8002801D);
inline constexpr HRESULT TYPE_E_CANTLOADLIBRARY = HR(0x80029C4A);
inline constexpr HRESULT TYPE_E_REGISTRYACCESS = HR(0x8002801C);

inline constexpr HRESULT CLASS_E_NOAGGREGATION = HR(0x80040110);
inline constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = HR(0x80040111);
inline constexpr HRESULT REGDB_E_READREGDB = HR(0x80040150);
inline constexpr HRESULT REGDB_E_WRITEREGDB = HR(0x80040151);
inline constexpr HRESULT REGDB_E_KEYMISSING = HR(0x80040152);
inline constexpr HRESULT REGDB_E_CLASSNOTREG = HR(0x80040154);
inline constexpr HRESULT SELFREG_E_TYPELIB = HR(0x80040200);
inline constexpr HRESULT SELFREG_E_CLASS = HR(0x80040201);
inline constexpr HRESULT CO_E_CLASSSTRING = HR(0x800401F3);
inline constexpr HRESULT CO_E_DLLNOTFOUND = HR(0x800401F8);
inline constexpr HRESULT CO_E_ERRORINDLL = HR(0x800401F9);

// Standard control errors (FACILITY_CONTROL, the Visual Basic error numbers).
inline constexpr HRESULT CTL_E_ILLEGALFUNCTIONCALL = HR(0x800A0005);
inline constexpr HRESULT CTL_E_OVERFLOW = HR(0x800A0006);
inline constexpr HRESULT CTL_E_OUTOFMEMORY = HR(0x800A0007);
inline constexpr HRESULT CTL_E_INVALIDPROPERTYVALUE = HR(0x800A017C);
inline constexpr HRESULT CTL_E_SETNOTSUPPORTED = HR(0x800A017F);
inline constexpr HRESULT CTL_E_GETNOTSUPPORTED = HR(0x800A018A);
