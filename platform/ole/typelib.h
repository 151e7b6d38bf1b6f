// ITypeLib and ITypeInfo over the in-memory model, and the type library
// registration functions. A module carries its library as resource TYPELIB 1,
// handed out by its export OleModuleResource.
#pragma once

#include <string>

#include "ole/interfaces.h"
#include "ole/typelib_model.h"

using HREFTYPE = DWORD;
enum SYSKIND : DWORD { SYS_WIN16 = 0, SYS_WIN32 = 1, SYS_MAC = 2, SYS_WIN64 = 3 };
enum FUNCKIND : DWORD { FUNC_VIRTUAL = 0, FUNC_PUREVIRTUAL, FUNC_NONVIRTUAL, FUNC_STATIC, FUNC_DISPATCH };
enum VARKIND : DWORD { VAR_PERINSTANCE = 0, VAR_STATIC, VAR_CONST, VAR_DISPATCH };
enum CALLCONV : DWORD { CC_STDCALL = 4 };

struct TYPEDESC {
  union {
    TYPEDESC* lptdesc;  // VT_PTR
    HREFTYPE hreftype;  // VT_USERDEFINED
  };
  VARTYPE vt;
};
struct PARAMDESC {
  void* pparamdescex;
  USHORT wParamFlags;  // PARAMFLAG_*
};
struct ELEMDESC {
  TYPEDESC tdesc;
  PARAMDESC paramdesc;
};
struct TLIBATTR {
  GUID guid;
  LCID lcid;
  SYSKIND syskind;
  WORD wMajorVerNum;
  WORD wMinorVerNum;
  WORD wLibFlags;
};
struct TYPEATTR {
  GUID guid;
  LCID lcid;
  MEMBERID memidConstructor;
  MEMBERID memidDestructor;
  ULONG cbSizeInstance;
  TYPEKIND typekind;
  WORD cFuncs;
  WORD cVars;
  WORD cImplTypes;
  WORD cbSizeVft;
  WORD cbAlignment;
  WORD wTypeFlags;
  WORD wMajorVerNum;
  WORD wMinorVerNum;
};
struct FUNCDESC {
  MEMBERID memid;
  ELEMDESC* lprgelemdescParam;
  FUNCKIND funckind;
  INVOKEKIND invkind;
  CALLCONV callconv;
  SHORT cParams;
  SHORT cParamsOpt;
  SHORT oVft;
  ELEMDESC elemdescFunc;
  WORD wFuncFlags;
};
struct VARDESC {
  MEMBERID memid;
  ULONG oInst;
  ELEMDESC elemdescVar;
  WORD wVarFlags;
  VARKIND varkind;
};

inline constexpr MEMBERID MEMBERID_NIL = DISPID_UNKNOWN;

struct ITypeInfo : IUnknown {
  static constexpr const IID& kIid = IID_ITypeInfo;
  virtual HRESULT GetTypeAttr(TYPEATTR** attr) = 0;
  virtual HRESULT GetFuncDesc(UINT index, FUNCDESC** desc) = 0;
  virtual HRESULT GetVarDesc(UINT index, VARDESC** desc) = 0;
  // The member's name followed by its parameter names.
  virtual HRESULT GetNames(MEMBERID memid, BSTR* names, UINT max, UINT* count) = 0;
  virtual HRESULT GetRefTypeOfImplType(UINT index, HREFTYPE* ref) = 0;
  virtual HRESULT GetImplTypeFlags(UINT index, INT* flags) = 0;
  virtual HRESULT GetIDsOfNames(LPOLESTR* names, UINT count, MEMBERID* ids) = 0;
  // memid MEMBERID_NIL documents the type itself.
  virtual HRESULT GetDocumentation(MEMBERID memid, BSTR* name, BSTR* doc, DWORD* helpContext,
                                   BSTR* helpFile) = 0;
  virtual HRESULT GetRefTypeInfo(HREFTYPE ref, ITypeInfo** info) = 0;
  virtual HRESULT GetContainingTypeLib(ITypeLib** lib, UINT* index) = 0;
  virtual void ReleaseTypeAttr(TYPEATTR* attr) = 0;
  virtual void ReleaseFuncDesc(FUNCDESC* desc) = 0;
  virtual void ReleaseVarDesc(VARDESC* desc) = 0;

 protected:
  ~ITypeInfo() = default;
};

struct ITypeLib : IUnknown {
  static constexpr const IID& kIid = IID_ITypeLib;
  virtual UINT GetTypeInfoCount() = 0;
  virtual HRESULT GetTypeInfo(UINT index, ITypeInfo** info) = 0;
  virtual HRESULT GetTypeInfoType(UINT index, TYPEKIND* kind) = 0;
  virtual HRESULT GetTypeInfoOfGuid(REFGUID guid, ITypeInfo** info) = 0;
  virtual HRESULT GetLibAttr(TLIBATTR** attr) = 0;
  // index -1 documents the library itself.
  virtual HRESULT GetDocumentation(INT index, BSTR* name, BSTR* doc, DWORD* helpContext,
                                   BSTR* helpFile) = 0;
  virtual void ReleaseTLibAttr(TLIBATTR* attr) = 0;

 protected:
  ~ITypeLib() = default;
};

// Loads the library of a module file (its resource TYPELIB 1) or of a file of
// serialized bytes.
HRESULT LoadTypeLib(LPCOLESTR path, ITypeLib** lib);
// Writes TypeLib\{libid}\major.minor\lcid\linux = path, FLAGS, HELPDIR, and
// the Interface keys of the library's interfaces.
HRESULT RegisterTypeLib(ITypeLib* lib, LPCOLESTR fullPath, LPCOLESTR helpDir);
HRESULT UnRegisterTypeLib(REFGUID libid, WORD major, WORD minor, LCID lcid, SYSKIND syskind);
// Finds the registered library: the same major version with the highest minor
// at least the one asked for; the exact LCID, else its primary language, else
// LCID 0. TYPE_E_LIBNOTREGISTERED when there is none.
HRESULT LoadRegTypeLib(REFGUID libid, WORD major, WORD minor, LCID lcid, ITypeLib** lib);

namespace ole {

// The name of the export through which a module hands out its resources.
inline constexpr const char* kResourceExport = "OleModuleResource";
using ModuleResourceFn = const void* (*)(const char* type, unsigned id, std::size_t* size);

// An ITypeLib serving lib.
HRESULT CreateTypeLib(tlb::Library lib, ITypeLib** out);
// The model behind an ITypeLib made by this runtime (null for others).
const tlb::Library* TypeLibModel(ITypeLib* lib);
// The reason of the last failed LoadTypeLib in this thread.
std::string LastTypeLibError();

}  // namespace ole
