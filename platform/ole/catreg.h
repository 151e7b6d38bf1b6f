// The standard component categories manager, built into the runtime: it needs
// no registry entry of its own to be created.
#pragma once

#include "ole/interfaces.h"

inline constexpr CLSID CLSID_StdComponentCategoriesMgr = MakeGuid("{0002E005-0000-0000-C000-000000000046}");
inline constexpr IID IID_ICatRegister = MakeGuid("{0002E012-0000-0000-C000-000000000046}");

struct CATEGORYINFO {
  CATID catid;
  LCID lcid;
  OLECHAR szDescription[128];  // at most 127 characters and a NUL
};

struct ICatRegister : IUnknown {
  static constexpr const IID& kIid = IID_ICatRegister;
  // Component Categories\{catid}, value named by the LCID in hex = description.
  virtual HRESULT RegisterCategories(ULONG count, CATEGORYINFO* infos) = 0;
  virtual HRESULT UnRegisterCategories(ULONG count, CATID* catids) = 0;
  // CLSID\{clsid}\Implemented Categories\{catid}
  virtual HRESULT RegisterClassImplCategories(REFCLSID clsid, ULONG count, CATID* catids) = 0;
  virtual HRESULT UnRegisterClassImplCategories(REFCLSID clsid, ULONG count, CATID* catids) = 0;
  // CLSID\{clsid}\Required Categories\{catid}
  virtual HRESULT RegisterClassReqCategories(REFCLSID clsid, ULONG count, CATID* catids) = 0;
  virtual HRESULT UnRegisterClassReqCategories(REFCLSID clsid, ULONG count, CATID* catids) = 0;

 protected:
  ~ICatRegister() = default;
};
