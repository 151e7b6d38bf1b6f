#include "tlbdump/dump.h"

#include <cstdio>

#include "ole/bstr.h"
#include "ole/comptr.h"

namespace {

std::string Hex(unsigned v, int width = 0) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%0*X", width, v);
  return buf;
}

std::string Quote(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

const char* KindName(TYPEKIND k) {
  switch (k) {
    case TKIND_DISPATCH: return "dispinterface";
    case TKIND_INTERFACE: return "interface";
    case TKIND_COCLASS: return "coclass";
    default: return "type";
  }
}

const char* InvokeName(INVOKEKIND k) {
  switch (k) {
    case INVOKE_FUNC: return "method";
    case INVOKE_PROPERTYGET: return "propget";
    case INVOKE_PROPERTYPUT: return "propput";
    case INVOKE_PROPERTYPUTREF: return "propputref";
  }
  return "?";
}

std::string TypeName(const TYPEDESC& t, ITypeInfo* info) {
  if (t.vt == VT_PTR && t.lptdesc && t.lptdesc->vt == VT_USERDEFINED) {
    ComPtr<ITypeInfo> ref;
    CComBSTR name;
    if (SUCCEEDED(info->GetRefTypeInfo(t.lptdesc->hreftype, ref.ReleaseAndGetAddressOf())) &&
        SUCCEEDED(ref->GetDocumentation(MEMBERID_NIL, name.Out(), nullptr, nullptr, nullptr)))
      return name.Utf8() + "*";
  }
  return ole::VarTypeName(t.vt);
}

struct Doc {
  CComBSTR name, doc, file;
  DWORD context = 0;
};

std::string Member(ITypeInfo* info, MEMBERID id, const char* kind, WORD flags, const std::string& type,
                   const std::string& params) {
  Doc d;
  info->GetDocumentation(id, d.name.Out(), d.doc.Out(), &d.context, nullptr);
  return "  " + std::string(kind) + " " + d.name.Utf8() + " dispid=" + std::to_string(id) +
         " flags=" + Hex(flags, 4) + " type=" + type + " params=(" + params + ") helpstring=" +
         Quote(d.doc.Utf8()) + " helpcontext=" + std::to_string(d.context) + "\n";
}

}  // namespace

std::string DumpTypeLib(ITypeLib* lib) {
  std::string out;
  TLIBATTR* la = nullptr;
  if (FAILED(lib->GetLibAttr(&la))) return out;
  Doc ld;
  lib->GetDocumentation(-1, ld.name.Out(), ld.doc.Out(), &ld.context, ld.file.Out());
  out += "library " + ld.name.Utf8() + " " + GuidToString(la->guid) + " version=" +
         std::to_string(la->wMajorVerNum) + "." + std::to_string(la->wMinorVerNum) + " lcid=" + Hex(la->lcid, 4) +
         " helpstring=" + Quote(ld.doc.Utf8()) + " helpfile=" + Quote(ld.file.Utf8()) +
         " helpcontext=" + std::to_string(ld.context) + "\n";
  lib->ReleaseTLibAttr(la);

  for (UINT i = 0; i < lib->GetTypeInfoCount(); ++i) {
    ComPtr<ITypeInfo> info;
    if (FAILED(lib->GetTypeInfo(i, info.ReleaseAndGetAddressOf()))) continue;
    TYPEATTR* ta = nullptr;
    if (FAILED(info->GetTypeAttr(&ta))) continue;
    Doc td;
    info->GetDocumentation(MEMBERID_NIL, td.name.Out(), td.doc.Out(), &td.context, nullptr);
    out += std::string(KindName(ta->typekind)) + " " + td.name.Utf8() + " " + GuidToString(ta->guid) +
           " flags=" + Hex(ta->wTypeFlags, 4) + " helpstring=" + Quote(td.doc.Utf8()) +
           " helpcontext=" + std::to_string(td.context) + "\n";
    for (UINT v = 0; v < ta->cVars; ++v) {
      VARDESC* vd = nullptr;
      if (FAILED(info->GetVarDesc(v, &vd))) continue;
      out += Member(info.Get(), vd->memid, "property", vd->wVarFlags, TypeName(vd->elemdescVar.tdesc, info.Get()), "");
      info->ReleaseVarDesc(vd);
    }
    for (UINT f = 0; f < ta->cFuncs; ++f) {
      FUNCDESC* fd = nullptr;
      if (FAILED(info->GetFuncDesc(f, &fd))) continue;
      BSTR names[32] = {};
      UINT count = 0;
      info->GetNames(fd->memid, names, 32, &count);
      std::string params;
      for (SHORT p = 0; p < fd->cParams; ++p) {
        const ELEMDESC& e = fd->lprgelemdescParam[p];
        if (p) params += ", ";
        params += (static_cast<UINT>(p) + 1 < count ? ole::BstrToUtf8(names[p + 1]) : "?") + ":" +
                  TypeName(e.tdesc, info.Get());
        if (e.paramdesc.wParamFlags & PARAMFLAG_FOPT) params += " optional";
      }
      for (UINT n = 0; n < count; ++n) SysFreeString(names[n]);
      out += Member(info.Get(), fd->memid, InvokeName(fd->invkind), fd->wFuncFlags,
                    TypeName(fd->elemdescFunc.tdesc, info.Get()), params);
      info->ReleaseFuncDesc(fd);
    }
    for (UINT k = 0; k < ta->cImplTypes; ++k) {
      HREFTYPE ref = 0;
      INT flags = 0;
      ComPtr<ITypeInfo> impl;
      CComBSTR name;
      if (FAILED(info->GetRefTypeOfImplType(k, &ref)) || FAILED(info->GetImplTypeFlags(k, &flags)) ||
          FAILED(info->GetRefTypeInfo(ref, impl.ReleaseAndGetAddressOf())))
        continue;
      impl->GetDocumentation(MEMBERID_NIL, name.Out(), nullptr, nullptr, nullptr);
      out += "  implements " + name.Utf8() + " flags=" + Hex(static_cast<unsigned>(flags), 2) + "\n";
    }
    info->ReleaseTypeAttr(ta);
  }
  return out;
}
