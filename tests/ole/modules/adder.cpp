// ADDER.OCX: a tiny in-process server for the runtime's tests. One class,
// Adder, with a name, a running total and an Add method; registers a type
// library and a component category.
#include "ole/catreg.h"
#include "ole/dispatch.h"
#include "ole/server.h"
#include "ole/variant_convert.h"
#include "modules/adder.h"

namespace {

class Adder : public ole::DispatchObject<Adder>, ole::server::ModuleLock {
 public:
  static const ole::DispatchTable<Adder>& DispatchMap() {
    static const ole::DispatchTable<Adder> table{
        ole::Property<Adder>(
            "Name", VT_BSTR, [](Adder& a) { return CComBSTR(a.name_); },
            [](Adder& a, const VARIANT& v) { a.name_ = ole::BstrToUtf8(v.bstrVal); }),
        ole::ReadOnly<Adder>("Total", VT_I4, [](Adder& a) { return a.total_; }),
        ole::Method<Adder>("Add", VT_I4, {{"Value", VT_I4}, {"Times", VT_VARIANT, true}},
                           [](Adder& a, const ole::DispArgs& args) {
                             LONG times = 1;
                             if (!args.IsMissing(1)) {
                               CComVariant t;
                               if (FAILED(VariantChangeType(&t, &args[1], 0, VT_I4)))
                                 throw ole::DispatchException::FromCode(1001, "Times is no number");
                               times = t.lVal;
                             }
                             a.total_ += args.I4(0) * times;
                             return a.total_;
                           }),
    };
    return table;
  }

 private:
  std::string name_;
  LONG total_ = 0;
};

// A class whose construction always fails, as a control whose client start-up
// fails does.
class Refuser : public ole::DispatchObject<Refuser>, ole::server::ModuleLock {
 public:
  Refuser() { throw ole::DispatchException::FromCode(52757, "Not today"); }
  static const ole::DispatchTable<Refuser>& DispatchMap() {
    static const ole::DispatchTable<Refuser> table{};
    return table;
  }
};

ole::tlb::Library MakeLibrary() {
  using namespace ole::tlb;
  Library lib;
  lib.name = "AdderLib";
  lib.libid = LIBID_AdderLib;
  lib.major = 1;
  lib.minor = 2;
  lib.lcid = 0x0409;
  lib.helpString = "Adder Test Library";
  lib.helpFile = "adder.hlp";
  Interface itf;
  itf.name = "_DAdder";
  itf.iid = DIID_DAdder;
  itf.flags = WORD(TYPEFLAG_FDISPATCHABLE | TYPEFLAG_FHIDDEN);
  itf.helpString = "Dispatch interface of Adder";
  Member name{"Name", 1, true, INVOKE_FUNC, 0, VT_BSTR, "", {}, "The adder's name", 10};
  Member total{"Total", 2, true, INVOKE_FUNC, WORD(VARFLAG_FREADONLY | VARFLAG_FNONBROWSABLE), VT_I4, "", {}, "Running total", 11};
  Member add{"Add", 3, false, INVOKE_FUNC, 0, VT_I4, "",
             {{"Value", VT_I4, false, ""}, {"Times", VT_VARIANT, true, ""}}, "Adds to the total", 12};
  itf.members = {name, total, add};
  lib.interfaces.push_back(itf);
  CoClass cls;
  cls.name = "Adder";
  cls.clsid = CLSID_Adder;
  cls.flags = TYPEFLAG_FCANCREATE;
  cls.helpString = "Adder class";
  cls.interfaces = {{"_DAdder", IMPLTYPEFLAG_FDEFAULT}};
  lib.coclasses.push_back(cls);
  return lib;
}

const bool g_setup = [] {
  ole::server::Module::Get().SetTypeLib(MakeLibrary());
  return true;
}();
ole::server::ClassRegistrar<Adder> g_adder(CLSID_Adder, kAdderProgId, "Adder Object");
ole::server::ClassRegistrar<Refuser> g_refuser(CLSID_Refuser, "AdderLib.Refuser.1", "Refuser Object");

HRESULT Categories(bool registering) {
  ComPtr<ICatRegister> cats;
  HRESULT hr = CoCreateInstance(CLSID_StdComponentCategoriesMgr, nullptr, CLSCTX_INPROC_SERVER, IID_ICatRegister,
                                cats.PpvOut());
  if (FAILED(hr)) return hr;
  CATID id = CATID_AdderSafe;
  if (!registering) return cats->UnRegisterClassImplCategories(CLSID_Adder, 1, &id);
  CATEGORYINFO info{id, 0x409, {}};
  std::u16string text = u"Adders safe for testing";
  std::copy(text.begin(), text.end(), info.szDescription);
  hr = cats->RegisterCategories(1, &info);
  return SUCCEEDED(hr) ? cats->RegisterClassImplCategories(CLSID_Adder, 1, &id) : hr;
}

}  // namespace

OLE_DEFINE_MODULE_EXPORTS()

OLE_EXPORT HRESULT DllRegisterServer() {
  if (FAILED(ole::server::RegisterModuleTypeLib())) return SELFREG_E_TYPELIB;
  if (!ole::server::Module::Get().UpdateRegistryAll(true)) return SELFREG_E_CLASS;
  return SUCCEEDED(Categories(true)) ? S_OK : SELFREG_E_CLASS;
}

OLE_EXPORT HRESULT DllUnregisterServer() {
  Categories(false);
  ole::server::UnregisterModuleTypeLib();
  return ole::server::Module::Get().UpdateRegistryAll(false) ? S_OK : SELFREG_E_CLASS;
}
