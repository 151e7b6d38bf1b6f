#include "ole/typelib.h"

#include <dlfcn.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>

#include "ole/bstr.h"
#include "ole/object.h"
#include "ole/registry.h"

namespace ole {
namespace {

thread_local std::string t_error;

// The PSOracle / PSDispatch proxy class Windows registers for dispinterfaces.
constexpr const char* kDispatchProxy = "{00020420-0000-0000-C000-000000000046}";
constexpr std::size_t kMaxTlbFile = 16u << 20;

BSTR Dup(const std::string& s) { return BstrFromUtf8(s); }

void Give(BSTR* out, const std::string& s) {
  if (out) *out = Dup(s);
}

class TypeLib;

class TypeInfo final : public ComObject<ITypeInfo> {
 public:
  TypeInfo(ComPtr<TypeLib> lib, UINT index);

  HRESULT GetTypeAttr(TYPEATTR** attr) override;
  HRESULT GetFuncDesc(UINT index, FUNCDESC** desc) override;
  HRESULT GetVarDesc(UINT index, VARDESC** desc) override;
  HRESULT GetNames(MEMBERID memid, BSTR* names, UINT max, UINT* count) override;
  HRESULT GetRefTypeOfImplType(UINT index, HREFTYPE* ref) override;
  HRESULT GetImplTypeFlags(UINT index, INT* flags) override;
  HRESULT GetIDsOfNames(LPOLESTR* names, UINT count, MEMBERID* ids) override;
  HRESULT GetDocumentation(MEMBERID memid, BSTR* name, BSTR* doc, DWORD* helpContext, BSTR* helpFile) override;
  HRESULT GetRefTypeInfo(HREFTYPE ref, ITypeInfo** info) override;
  HRESULT GetContainingTypeLib(ITypeLib** lib, UINT* index) override;
  void ReleaseTypeAttr(TYPEATTR* attr) override { delete attr; }
  void ReleaseFuncDesc(FUNCDESC* desc) override { Free(desc); }
  void ReleaseVarDesc(VARDESC* desc) override { Free(desc); }

 private:
  // A FUNCDESC or VARDESC with the element descriptions it points at.
  struct Block {
    FUNCDESC func{};
    VARDESC var{};
    std::vector<ELEMDESC> params;
    std::vector<TYPEDESC> pointees;  // targets of VT_PTR descriptions
  };
  const tlb::Interface* Itf() const;
  const tlb::CoClass* Cls() const;
  std::vector<const tlb::Member*> Members(bool variables) const;
  TYPEDESC Describe(Block& b, VARTYPE vt, const std::string& typeName) const;
  void Free(const void* desc) {
    std::lock_guard lock(mutex_);
    blocks_.erase(desc);
  }

  ComPtr<TypeLib> lib_;
  UINT index_;
  std::mutex mutex_;
  std::map<const void*, std::unique_ptr<Block>> blocks_;
};

class TypeLib final : public ComObject<ITypeLib> {
 public:
  explicit TypeLib(tlb::Library lib) : lib_(std::move(lib)) {}
  const tlb::Library& Model() const { return lib_; }

  UINT GetTypeInfoCount() override { return static_cast<UINT>(lib_.interfaces.size() + lib_.coclasses.size()); }
  HRESULT GetTypeInfo(UINT index, ITypeInfo** info) override {
    if (!info) return E_INVALIDARG;
    *info = nullptr;
    if (index >= GetTypeInfoCount()) return TYPE_E_ELEMENTNOTFOUND;
    *info = MakeObject<TypeInfo>(ComPtr<TypeLib>(this), index).Detach();
    return S_OK;
  }
  HRESULT GetTypeInfoType(UINT index, TYPEKIND* kind) override {
    if (!kind) return E_INVALIDARG;
    if (index >= GetTypeInfoCount()) return TYPE_E_ELEMENTNOTFOUND;
    *kind = index < lib_.interfaces.size() ? lib_.interfaces[index].kind : TKIND_COCLASS;
    return S_OK;
  }
  HRESULT GetTypeInfoOfGuid(REFGUID guid, ITypeInfo** info) override {
    for (UINT i = 0; i < lib_.interfaces.size(); ++i)
      if (lib_.interfaces[i].iid == guid) return GetTypeInfo(i, info);
    for (UINT i = 0; i < lib_.coclasses.size(); ++i)
      if (lib_.coclasses[i].clsid == guid) return GetTypeInfo(static_cast<UINT>(lib_.interfaces.size()) + i, info);
    if (info) *info = nullptr;
    return TYPE_E_ELEMENTNOTFOUND;
  }
  HRESULT GetLibAttr(TLIBATTR** attr) override {
    if (!attr) return E_INVALIDARG;
    *attr = new TLIBATTR{lib_.libid, lib_.lcid, SYS_WIN32, lib_.major, lib_.minor, 0};
    return S_OK;
  }
  HRESULT GetDocumentation(INT index, BSTR* name, BSTR* doc, DWORD* helpContext, BSTR* helpFile) override {
    if (index == -1) {
      Give(name, lib_.name), Give(doc, lib_.helpString), Give(helpFile, lib_.helpFile);
      if (helpContext) *helpContext = lib_.helpContext;
      return S_OK;
    }
    ComPtr<ITypeInfo> info;
    HRESULT hr = GetTypeInfo(static_cast<UINT>(index), info.ReleaseAndGetAddressOf());
    if (FAILED(hr)) return hr;
    return info->GetDocumentation(MEMBERID_NIL, name, doc, helpContext, helpFile);
  }
  void ReleaseTLibAttr(TLIBATTR* attr) override { delete attr; }

 private:
  tlb::Library lib_;
};

TypeInfo::TypeInfo(ComPtr<TypeLib> lib, UINT index) : lib_(std::move(lib)), index_(index) {}

const tlb::Interface* TypeInfo::Itf() const {
  const auto& l = lib_->Model();
  return index_ < l.interfaces.size() ? &l.interfaces[index_] : nullptr;
}

const tlb::CoClass* TypeInfo::Cls() const {
  const auto& l = lib_->Model();
  return index_ >= l.interfaces.size() ? &l.coclasses[index_ - l.interfaces.size()] : nullptr;
}

std::vector<const tlb::Member*> TypeInfo::Members(bool variables) const {
  std::vector<const tlb::Member*> out;
  if (const auto* itf = Itf())
    for (const auto& m : itf->members)
      if (m.isVariable == variables) out.push_back(&m);
  return out;
}

TYPEDESC TypeInfo::Describe(Block& b, VARTYPE vt, const std::string& typeName) const {
  TYPEDESC d{};
  d.vt = vt;
  if (typeName.empty() || (vt != VT_DISPATCH && vt != VT_UNKNOWN)) return d;
  const auto& ifs = lib_->Model().interfaces;
  for (std::size_t i = 0; i < ifs.size(); ++i) {
    if (ifs[i].name != typeName) continue;
    TYPEDESC target{};
    target.vt = VT_USERDEFINED;
    target.hreftype = static_cast<HREFTYPE>(i);
    b.pointees.push_back(target);  // reserved by the caller: addresses stay put
    d.vt = VT_PTR;
    d.lptdesc = &b.pointees.back();
    break;
  }
  return d;
}

HRESULT TypeInfo::GetTypeAttr(TYPEATTR** attr) {
  if (!attr) return E_INVALIDARG;
  auto* a = new TYPEATTR{};
  const auto& l = lib_->Model();
  a->lcid = l.lcid;
  a->memidConstructor = a->memidDestructor = MEMBERID_NIL;
  a->wMajorVerNum = l.major;
  a->wMinorVerNum = l.minor;
  a->cbAlignment = 4;
  if (const auto* itf = Itf()) {
    a->guid = itf->iid;
    a->typekind = itf->kind;
    a->wTypeFlags = itf->flags;
    a->cFuncs = static_cast<WORD>(Members(false).size());
    a->cVars = static_cast<WORD>(Members(true).size());
    a->cbSizeVft = 7 * sizeof(void*);  // the IDispatch vtable
  } else {
    const auto* c = Cls();
    a->guid = c->clsid;
    a->typekind = TKIND_COCLASS;
    a->wTypeFlags = c->flags;
    a->cImplTypes = static_cast<WORD>(c->interfaces.size());
  }
  *attr = a;
  return S_OK;
}

HRESULT TypeInfo::GetFuncDesc(UINT index, FUNCDESC** desc) {
  if (!desc) return E_INVALIDARG;
  auto funcs = Members(false);
  if (index >= funcs.size()) return TYPE_E_ELEMENTNOTFOUND;
  const tlb::Member& m = *funcs[index];
  auto b = std::make_unique<Block>();
  b->pointees.reserve(m.params.size() + 1);
  b->params.resize(m.params.size());
  SHORT optional = 0;
  for (std::size_t i = 0; i < m.params.size(); ++i) {
    b->params[i].tdesc = Describe(*b, m.params[i].vt, m.params[i].typeName);
    b->params[i].paramdesc.wParamFlags = PARAMFLAG_FIN | (m.params[i].optional ? PARAMFLAG_FOPT : 0);
    optional = static_cast<SHORT>(optional + (m.params[i].optional ? 1 : 0));
  }
  FUNCDESC& f = b->func;
  f.memid = m.dispid;
  f.lprgelemdescParam = b->params.empty() ? nullptr : b->params.data();
  f.funckind = FUNC_DISPATCH;
  f.invkind = m.invokeKind;
  f.callconv = CC_STDCALL;
  f.cParams = static_cast<SHORT>(m.params.size());
  f.cParamsOpt = optional;
  f.elemdescFunc.tdesc = Describe(*b, m.result == VT_EMPTY ? VARTYPE(VT_VOID) : m.result, m.resultTypeName);
  f.wFuncFlags = m.flags;
  *desc = &f;
  std::lock_guard lock(mutex_);
  blocks_[&f] = std::move(b);
  return S_OK;
}

HRESULT TypeInfo::GetVarDesc(UINT index, VARDESC** desc) {
  if (!desc) return E_INVALIDARG;
  auto vars = Members(true);
  if (index >= vars.size()) return TYPE_E_ELEMENTNOTFOUND;
  const tlb::Member& m = *vars[index];
  auto b = std::make_unique<Block>();
  b->pointees.reserve(1);
  VARDESC& v = b->var;
  v.memid = m.dispid;
  v.elemdescVar.tdesc = Describe(*b, m.result, m.resultTypeName);
  v.wVarFlags = m.flags;
  v.varkind = VAR_DISPATCH;
  *desc = &v;
  std::lock_guard lock(mutex_);
  blocks_[&v] = std::move(b);
  return S_OK;
}

HRESULT TypeInfo::GetNames(MEMBERID memid, BSTR* names, UINT max, UINT* count) {
  if (!names || !count) return E_INVALIDARG;
  *count = 0;
  const auto* itf = Itf();
  if (!itf) return TYPE_E_ELEMENTNOTFOUND;
  for (const auto& m : itf->members) {
    if (m.dispid != memid) continue;
    if (max > 0) names[(*count)++] = Dup(m.name);
    for (const auto& p : m.params)
      if (*count < max) names[(*count)++] = Dup(p.name);
    return S_OK;
  }
  return TYPE_E_ELEMENTNOTFOUND;
}

HRESULT TypeInfo::GetRefTypeOfImplType(UINT index, HREFTYPE* ref) {
  if (!ref) return E_INVALIDARG;
  const auto* c = Cls();
  if (!c || index >= c->interfaces.size()) return TYPE_E_ELEMENTNOTFOUND;
  const auto& ifs = lib_->Model().interfaces;
  for (std::size_t i = 0; i < ifs.size(); ++i)
    if (ifs[i].name == c->interfaces[index].name) {
      *ref = static_cast<HREFTYPE>(i);
      return S_OK;
    }
  return TYPE_E_ELEMENTNOTFOUND;
}

HRESULT TypeInfo::GetImplTypeFlags(UINT index, INT* flags) {
  if (!flags) return E_INVALIDARG;
  const auto* c = Cls();
  if (!c || index >= c->interfaces.size()) return TYPE_E_ELEMENTNOTFOUND;
  *flags = c->interfaces[index].flags;
  return S_OK;
}

HRESULT TypeInfo::GetIDsOfNames(LPOLESTR* names, UINT count, MEMBERID* ids) {
  if (!names || !ids || count == 0) return E_INVALIDARG;
  for (UINT i = 0; i < count; ++i) ids[i] = MEMBERID_NIL;
  const auto* itf = Itf();
  if (!itf) return DISP_E_UNKNOWNNAME;
  for (const auto& m : itf->members) {
    if (!EqualsNoCase(Utf8ToUtf16(m.name), names[0])) continue;
    ids[0] = m.dispid;
    HRESULT hr = S_OK;
    for (UINT i = 1; i < count; ++i) {
      for (std::size_t p = 0; p < m.params.size(); ++p)
        if (EqualsNoCase(Utf8ToUtf16(m.params[p].name), names[i])) ids[i] = static_cast<MEMBERID>(p);
      if (ids[i] == MEMBERID_NIL) hr = DISP_E_UNKNOWNNAME;
    }
    return hr;
  }
  return DISP_E_UNKNOWNNAME;
}

HRESULT TypeInfo::GetDocumentation(MEMBERID memid, BSTR* name, BSTR* doc, DWORD* helpContext, BSTR* helpFile) {
  Give(helpFile, lib_->Model().helpFile);
  if (memid == MEMBERID_NIL) {
    const auto* itf = Itf();
    const auto* c = Cls();
    Give(name, itf ? itf->name : c->name);
    Give(doc, itf ? itf->helpString : c->helpString);
    if (helpContext) *helpContext = itf ? itf->helpContext : c->helpContext;
    return S_OK;
  }
  if (const auto* itf = Itf())
    for (const auto& m : itf->members)
      if (m.dispid == memid) {
        Give(name, m.name), Give(doc, m.helpString);
        if (helpContext) *helpContext = m.helpContext;
        return S_OK;
      }
  if (helpFile) SysFreeString(*helpFile), *helpFile = nullptr;
  return TYPE_E_ELEMENTNOTFOUND;
}

HRESULT TypeInfo::GetRefTypeInfo(HREFTYPE ref, ITypeInfo** info) {
  if (ref >= lib_->Model().interfaces.size()) return TYPE_E_ELEMENTNOTFOUND;
  return lib_->GetTypeInfo(ref, info);
}

HRESULT TypeInfo::GetContainingTypeLib(ITypeLib** lib, UINT* index) {
  if (!lib) return E_INVALIDARG;
  *lib = ComPtr<ITypeLib>(lib_.Get()).Detach();
  if (index) *index = index_;
  return S_OK;
}

std::string Hex(unsigned v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%x", v);
  return buf;
}

std::string VersionKey(WORD major, WORD minor) { return Hex(major) + "." + Hex(minor); }

HRESULT FromBytes(std::string_view bytes, const std::string& source, ITypeLib** lib) {
  std::string why;
  auto model = tlb::Deserialize(bytes, &why);
  if (!model) {
    t_error = source + ": " + why;
    return TYPE_E_CANTLOADLIBRARY;
  }
  return CreateTypeLib(std::move(*model), lib);
}

}  // namespace

HRESULT CreateTypeLib(tlb::Library lib, ITypeLib** out) {
  if (!out) return E_INVALIDARG;
  *out = MakeObject<TypeLib>(std::move(lib)).Detach();
  return S_OK;
}

const tlb::Library* TypeLibModel(ITypeLib* lib) {
  auto* impl = dynamic_cast<TypeLib*>(lib);
  return impl ? &impl->Model() : nullptr;
}

std::string LastTypeLibError() { return t_error; }

}  // namespace ole

using namespace ole;

HRESULT LoadTypeLib(LPCOLESTR path, ITypeLib** lib) {
  if (!path || !lib) return E_INVALIDARG;
  *lib = nullptr;
  std::string file = Utf16ToUtf8(path);
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    t_error = file + ": cannot open";
    return TYPE_E_CANTLOADLIBRARY;
  }
  char magic[4] = {};
  in.read(magic, 4);
  if (in.gcount() == 4 && std::string_view(magic, 4) == "WWTL") {
    std::string bytes(magic, 4);
    std::ostringstream rest;
    rest << in.rdbuf();
    bytes += rest.str();
    if (bytes.size() > kMaxTlbFile) {
      t_error = file + ": larger than 16 MiB";
      return TYPE_E_CANTLOADLIBRARY;
    }
    return FromBytes(bytes, file, lib);
  }
  dlerror();
  void* h = ::dlopen(file.c_str(), RTLD_LAZY | RTLD_LOCAL);
  if (!h) {
    const char* why = dlerror();
    t_error = why ? why : file + ": cannot load";
    return TYPE_E_CANTLOADLIBRARY;
  }
  auto resource = reinterpret_cast<ModuleResourceFn>(::dlsym(h, kResourceExport));
  std::size_t size = 0;
  const void* data = resource ? resource("TYPELIB", 1, &size) : nullptr;
  HRESULT hr;
  if (!data) {
    t_error = file + ": no resource TYPELIB 1";
    hr = TYPE_E_CANTLOADLIBRARY;
  } else {
    hr = FromBytes(std::string_view(static_cast<const char*>(data), size), file, lib);
  }
  ::dlclose(h);
  return hr;
}

HRESULT RegisterTypeLib(ITypeLib* lib, LPCOLESTR fullPath, LPCOLESTR helpDir) {
  if (!lib || !fullPath) return E_INVALIDARG;
  const tlb::Library* m = TypeLibModel(lib);
  if (!m) return E_INVALIDARG;
  std::string path = Utf16ToUtf8(fullPath);
  std::string help = helpDir ? Utf16ToUtf8(helpDir) : std::filesystem::path(path).parent_path().string();
  std::string libid = GuidToString(m->libid);
  std::string version = VersionKey(m->major, m->minor);
  std::string key = "TypeLib\\" + libid + "\\" + version;
  bool ok = RegSetString(key, "", m->helpString.empty() ? m->name : m->helpString) == ERROR_SUCCESS &&
            RegSetString(key + "\\FLAGS", "", "0") == ERROR_SUCCESS &&
            RegSetString(key + "\\HELPDIR", "", help) == ERROR_SUCCESS &&
            RegSetString(key + "\\" + Hex(m->lcid) + "\\linux", "", path) == ERROR_SUCCESS;
  for (const auto& itf : m->interfaces) {
    if (!ok) break;
    std::string ikey = "Interface\\" + GuidToString(itf.iid);
    ok = RegSetString(ikey, "", itf.name) == ERROR_SUCCESS &&
         RegSetString(ikey + "\\ProxyStubClsid", "", kDispatchProxy) == ERROR_SUCCESS &&
         RegSetString(ikey + "\\ProxyStubClsid32", "", kDispatchProxy) == ERROR_SUCCESS &&
         RegSetString(ikey + "\\TypeLib", "", libid) == ERROR_SUCCESS &&
         RegSetString(ikey + "\\TypeLib", "Version", version) == ERROR_SUCCESS;
  }
  return ok ? S_OK : TYPE_E_REGISTRYACCESS;
}

HRESULT UnRegisterTypeLib(REFGUID libid, WORD major, WORD minor, LCID lcid, SYSKIND) {
  std::string id = GuidToString(libid);
  std::string version = VersionKey(major, minor);
  std::string vkey = "TypeLib\\" + id + "\\" + version;
  if (!RegKeyExists(vkey + "\\" + Hex(lcid))) return TYPE_E_REGISTRYACCESS;
  RegDeleteTree(HKEY_CLASSES_ROOT, (vkey + "\\" + Hex(lcid)).c_str());

  // The version goes when no language is left in it, the library when no
  // version is left; the interfaces of that version go with it.
  bool languagesLeft = false;
  for (const auto& sub : RegSubkeys(vkey))
    if (sub != "FLAGS" && sub != "HELPDIR") languagesLeft = true;
  if (!languagesLeft) {
    RegDeleteTree(HKEY_CLASSES_ROOT, vkey.c_str());
    for (const auto& iid : RegSubkeys("Interface")) {
      std::string ikey = "Interface\\" + iid + "\\TypeLib";
      auto owner = RegGetString(ikey, "");
      if (owner && EqualsNoCaseUtf8(*owner, id) && RegGetString(ikey, "Version") == version)
        RegDeleteTree(HKEY_CLASSES_ROOT, ("Interface\\" + iid).c_str());
    }
    if (RegSubkeys("TypeLib\\" + id).empty()) RegDeleteTree(HKEY_CLASSES_ROOT, ("TypeLib\\" + id).c_str());
  }
  return S_OK;
}

HRESULT LoadRegTypeLib(REFGUID libid, WORD major, WORD minor, LCID lcid, ITypeLib** lib) {
  if (!lib) return E_INVALIDARG;
  *lib = nullptr;
  std::string base = "TypeLib\\" + GuidToString(libid);
  int best = -1;
  std::string bestKey;
  for (const auto& v : RegSubkeys(base)) {
    unsigned maj = 0, min = 0;
    char tail = 0;
    if (std::sscanf(v.c_str(), "%x.%x%c", &maj, &min, &tail) != 2) continue;
    if (maj == major && min >= minor && static_cast<int>(min) > best) best = static_cast<int>(min), bestKey = v;
  }
  if (best < 0) return TYPE_E_LIBNOTREGISTERED;
  std::string vkey = base + "\\" + bestKey;
  // The default locales stand for the locale of this runtime, US English.
  if (lcid == LOCALE_USER_DEFAULT || lcid == LOCALE_SYSTEM_DEFAULT) lcid = 0x0409;
  for (LCID candidate : {lcid, static_cast<LCID>(lcid & 0x3FF), static_cast<LCID>(0)}) {
    auto path = RegGetString(vkey + "\\" + Hex(candidate) + "\\linux", "");
    if (!path) continue;
    std::u16string wide = Utf8ToUtf16(*path);
    return LoadTypeLib(wide.c_str(), lib);
  }
  return TYPE_E_LIBNOTREGISTERED;
}
