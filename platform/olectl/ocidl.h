// The OLE control interfaces between a container and a control, as this
// platform declares them: the Windows names, identifiers and method order,
// each with the subset of methods the framework uses. Window handles are Qt
// widgets and device contexts are QPainters.
#pragma once

#include "ole/interfaces.h"

class QPainter;
class QWidget;

using OLE_COLOR = DWORD;

struct SIZEL {
  LONG cx;
  LONG cy;
  friend bool operator==(const SIZEL&, const SIZEL&) = default;
};
struct RECTL {
  LONG left;
  LONG top;
  LONG right;
  LONG bottom;
};

inline constexpr LONG OLEIVERB_PRIMARY = 0;
inline constexpr LONG OLEIVERB_SHOW = -1;
inline constexpr LONG OLEIVERB_PROPERTIES = -7;

inline constexpr DWORD OLEMISC_RECOMPOSEONRESIZE = 0x1;
inline constexpr DWORD OLEMISC_CANTLINKINSIDE = 0x10;
inline constexpr DWORD OLEMISC_INSIDEOUT = 0x80;
inline constexpr DWORD OLEMISC_ACTIVATEWHENVISIBLE = 0x100;
inline constexpr DWORD OLEMISC_INVISIBLEATRUNTIME = 0x400;
inline constexpr DWORD OLEMISC_SETCLIENTSITEFIRST = 0x20000;

inline constexpr DWORD DVASPECT_CONTENT = 1;

inline constexpr DISPID DISPID_AMBIENT_BACKCOLOR = -701;
inline constexpr DISPID DISPID_AMBIENT_DISPLAYNAME = -702;
inline constexpr DISPID DISPID_AMBIENT_USERMODE = -709;

inline constexpr HRESULT OLEOBJ_E_NOVERBS = HR(0x80040180);
inline constexpr HRESULT OLEOBJ_S_INVALIDVERB = HR(0x00040181);
inline constexpr HRESULT STG_E_READFAULT = HR(0x8003001E);
inline constexpr HRESULT STG_E_WRITEFAULT = HR(0x8003001D);
inline constexpr HRESULT STG_E_MEDIUMFULL = HR(0x80030070);
inline constexpr HRESULT E_OLEVERB_FAILED = HR(0x80040000);

inline constexpr IID IID_IStream = MakeGuid("{0000000C-0000-0000-C000-000000000046}");
inline constexpr IID IID_IPropertyBag = MakeGuid("{55272A00-42CB-11CE-8135-00AA004BB851}");
inline constexpr IID IID_IPersistStreamInit = MakeGuid("{7FD52380-4E07-101B-AE2D-08002B2EC713}");
inline constexpr IID IID_IPersistPropertyBag = MakeGuid("{37D84F60-42CB-11CE-8135-00AA004BB851}");
inline constexpr IID IID_IOleClientSite = MakeGuid("{00000118-0000-0000-C000-000000000046}");
inline constexpr IID IID_IOleObject = MakeGuid("{00000112-0000-0000-C000-000000000046}");
inline constexpr IID IID_IViewObject = MakeGuid("{0000010D-0000-0000-C000-000000000046}");
inline constexpr IID IID_ISpecifyPropertyPages = MakeGuid("{B196B28B-BAB4-101A-B69C-00AA00341D07}");
inline constexpr IID IID_IPropertyPage = MakeGuid("{B196B28D-BAB4-101A-B69C-00AA00341D07}");
inline constexpr IID IID_IPropertyPageSite = MakeGuid("{B196B290-BAB4-101A-B69C-00AA00341D07}");
inline constexpr IID IID_IPropertyNotifySink = MakeGuid("{9BFBBC02-EFF1-101A-84ED-00AA00341D07}");

struct IStream : IUnknown {
  static constexpr const IID& kIid = IID_IStream;
  virtual HRESULT Read(void* data, ULONG size, ULONG* read) = 0;
  virtual HRESULT Write(const void* data, ULONG size, ULONG* written) = 0;

 protected:
  ~IStream() = default;
};

struct IPropertyBag : IUnknown {
  static constexpr const IID& kIid = IID_IPropertyBag;
  // value's type on entry is the type wanted (VT_EMPTY: as stored).
  virtual HRESULT Read(LPCOLESTR name, VARIANT* value, void* errorLog) = 0;
  virtual HRESULT Write(LPCOLESTR name, VARIANT* value) = 0;

 protected:
  ~IPropertyBag() = default;
};

struct IPersistStreamInit : IUnknown {
  static constexpr const IID& kIid = IID_IPersistStreamInit;
  virtual HRESULT GetClassID(CLSID* clsid) = 0;
  virtual HRESULT IsDirty() = 0;  // S_OK when modified, S_FALSE otherwise
  virtual HRESULT Load(IStream* stream) = 0;
  virtual HRESULT Save(IStream* stream, BOOL clearDirty) = 0;
  virtual HRESULT InitNew() = 0;

 protected:
  ~IPersistStreamInit() = default;
};

struct IPersistPropertyBag : IUnknown {
  static constexpr const IID& kIid = IID_IPersistPropertyBag;
  virtual HRESULT GetClassID(CLSID* clsid) = 0;
  virtual HRESULT InitNew() = 0;
  virtual HRESULT Load(IPropertyBag* bag, void* errorLog) = 0;
  virtual HRESULT Save(IPropertyBag* bag, BOOL clearDirty, BOOL saveAll) = 0;

 protected:
  ~IPersistPropertyBag() = default;
};

// The container's side of one embedded object. Its ambient properties are
// read through the IDispatch the site answers to QueryInterface.
struct IOleClientSite : IUnknown {
  static constexpr const IID& kIid = IID_IOleClientSite;
  virtual HRESULT SaveObject() = 0;
  virtual HRESULT ShowObject() = 0;
  virtual HRESULT RequestNewObjectLayout() = 0;

 protected:
  ~IOleClientSite() = default;
};

struct IOleObject : IUnknown {
  static constexpr const IID& kIid = IID_IOleObject;
  virtual HRESULT SetClientSite(IOleClientSite* site) = 0;
  virtual HRESULT GetClientSite(IOleClientSite** site) = 0;
  virtual HRESULT Close(DWORD saveOption) = 0;
  // parent: the window the verb's UI belongs to (may be null).
  virtual HRESULT DoVerb(LONG verb, IOleClientSite* site, QWidget* parent) = 0;
  virtual HRESULT GetUserClassID(CLSID* clsid) = 0;
  virtual HRESULT GetUserType(DWORD form, LPOLESTR* name) = 0;  // *name from CoTaskMemAlloc
  virtual HRESULT SetExtent(DWORD aspect, SIZEL* size) = 0;     // HIMETRIC
  virtual HRESULT GetExtent(DWORD aspect, SIZEL* size) = 0;
  virtual HRESULT GetMiscStatus(DWORD aspect, DWORD* status) = 0;

 protected:
  ~IOleObject() = default;
};

struct IViewObject : IUnknown {
  static constexpr const IID& kIid = IID_IViewObject;
  virtual HRESULT Draw(DWORD aspect, QPainter* painter, const RECTL* bounds, const RECTL* invalid) = 0;

 protected:
  ~IViewObject() = default;
};

// Counted array of GUIDs; pElems comes from CoTaskMemAlloc.
struct CAUUID {
  ULONG cElems;
  GUID* pElems;
};

struct ISpecifyPropertyPages : IUnknown {
  static constexpr const IID& kIid = IID_ISpecifyPropertyPages;
  virtual HRESULT GetPages(CAUUID* pages) = 0;

 protected:
  ~ISpecifyPropertyPages() = default;
};

struct IPropertyNotifySink : IUnknown {
  static constexpr const IID& kIid = IID_IPropertyNotifySink;
  virtual HRESULT OnChanged(DISPID dispid) = 0;
  virtual HRESULT OnRequestEdit(DISPID dispid) = 0;

 protected:
  ~IPropertyNotifySink() = default;
};

inline constexpr DWORD PROPPAGESTATUS_DIRTY = 0x1;
inline constexpr DWORD PROPPAGESTATUS_VALIDATE = 0x2;

struct IPropertyPageSite : IUnknown {
  static constexpr const IID& kIid = IID_IPropertyPageSite;
  virtual HRESULT OnStatusChange(DWORD flags) = 0;

 protected:
  ~IPropertyPageSite() = default;
};

struct PROPPAGEINFO {
  LPOLESTR pszTitle;  // CoTaskMemAlloc
  LONG width;         // pixels
  LONG height;
};

struct IPropertyPage : IUnknown {
  static constexpr const IID& kIid = IID_IPropertyPage;
  virtual HRESULT SetPageSite(IPropertyPageSite* site) = 0;
  // Creates the page's widgets inside parent.
  virtual HRESULT Activate(QWidget* parent) = 0;
  virtual HRESULT Deactivate() = 0;
  virtual HRESULT GetPageInfo(PROPPAGEINFO* info) = 0;
  // The objects whose properties the page edits (their IUnknown).
  virtual HRESULT SetObjects(ULONG count, IUnknown** objects) = 0;
  virtual HRESULT IsPageDirty() = 0;  // S_OK when modified
  // Writes the page's values to the objects; on failure, *error (when given)
  // receives the exception the object raised.
  virtual HRESULT Apply(EXCEPINFO* error) = 0;

 protected:
  ~IPropertyPage() = default;
};
