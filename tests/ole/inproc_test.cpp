// The in-process server life cycle through the real registration tool and
// registry file: register, create by CLSID and ProgID, invoke, unload,
// unregister; and every way creation and registration can fail.
#include <gtest/gtest.h>

#include <filesystem>

#include "modules/adder.h"
#include "ole/catreg.h"
#include "ole/com.h"
#include "ole/comptr.h"
#include "ole/registry.h"
#include "support/automation.h"
#include "support/run.h"
#include "support/temp_dir.h"

namespace {

using testsupport::Quote;
using testsupport::RunShell;

const std::string kModules = TEST_MODULE_DIR;
const std::string kAdder = kModules + "/ADDER.OCX";

testsupport::RunResult Regsvr32(const std::string& args) { return RunShell(Quote(REGSVR32_PATH) + " " + args); }

HRESULT Call(IDispatch* d, const char16_t* name, WORD flags, std::vector<CComVariant> args, CComVariant* result,
             EXCEPINFO* info = nullptr) {
  return testsupport::CallByName(d, name, flags, std::move(args), result, info);
}

class InprocTest : public ::testing::Test {
 protected:
  void SetUp() override { CoFreeUnusedLibraries(); }
  void TearDown() override { CoFreeUnusedLibraries(); }
  testsupport::ScopedRegistry reg_;
};

TEST_F(InprocTest, RegisterCreateInvokeUnloadUnregister) {
  // Written as for a case-insensitive file system.
  auto r = Regsvr32(Quote(kModules + "/adder.ocx"));
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find("DllRegisterServer in " + kModules + "/adder.ocx succeeded."), std::string::npos)
      << r.output;

  std::string clsid = "CLSID\\" + GuidToString(CLSID_Adder);
  EXPECT_EQ(ole::RegGetString(clsid, ""), "Adder Object");
  EXPECT_EQ(ole::RegGetString(clsid + "\\InprocServer32", ""), std::filesystem::canonical(kAdder).string());
  EXPECT_EQ(ole::RegGetString(clsid + "\\InprocServer32", "ThreadingModel"), "Apartment");
  EXPECT_EQ(ole::RegGetString(clsid + "\\ProgID", ""), kAdderProgId);
  EXPECT_EQ(ole::RegGetString(std::string(kAdderProgId) + "\\CLSID", ""), GuidToString(CLSID_Adder));
  EXPECT_TRUE(ole::RegKeyExists(clsid + "\\Implemented Categories\\" + GuidToString(CATID_AdderSafe)));
  EXPECT_EQ(ole::RegGetString("Component Categories\\" + GuidToString(CATID_AdderSafe), "409"),
            "Adders safe for testing");
  std::string tlb = "TypeLib\\" + GuidToString(LIBID_AdderLib) + "\\1.2";
  EXPECT_EQ(ole::RegGetString(tlb, ""), "Adder Test Library");
  EXPECT_EQ(ole::RegGetString(tlb + "\\409\\linux", ""), std::filesystem::canonical(kAdder).string());
  EXPECT_EQ(ole::RegGetString("Interface\\" + GuidToString(DIID_DAdder) + "\\TypeLib", ""),
            GuidToString(LIBID_AdderLib));

  CLSID byProgId{};
  ASSERT_EQ(CLSIDFromProgID(u"adderlib.adder.1", &byProgId), S_OK);
  EXPECT_EQ(byProgId, CLSID_Adder);
  LPOLESTR progid = nullptr;
  ASSERT_EQ(ProgIDFromCLSID(CLSID_Adder, &progid), S_OK);
  EXPECT_EQ(std::u16string_view(progid), u"AdderLib.Adder.1");
  CoTaskMemFree(progid);

  {
    ComPtr<IDispatch> a, b;
    ASSERT_EQ(CoCreateInstance(CLSID_Adder, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, a.PpvOut()), S_OK);
    ASSERT_EQ(CoCreateInstance(byProgId, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, b.PpvOut()), S_OK);
    EXPECT_EQ(ole::LoadedModuleCount(), 1u);  // loaded once for both
    EXPECT_EQ(RefCountOf(a.Get()), 1u);

    CComVariant result;
    ASSERT_EQ(Call(a.Get(), u"ADD", DISPATCH_METHOD, {CComVariant(20), CComVariant("3")}, &result), S_OK);
    EXPECT_EQ(result.vt, VT_I4);
    EXPECT_EQ(result.lVal, 60);
    ASSERT_EQ(Call(b.Get(), u"Add", DISPATCH_METHOD, {CComVariant(5)}, &result), S_OK);
    EXPECT_EQ(result.lVal, 5);  // each object its own total
    ASSERT_EQ(Call(a.Get(), u"Name", DISPATCH_PROPERTYPUT, {CComVariant("first")}, nullptr), S_OK);
    ASSERT_EQ(Call(a.Get(), u"name", DISPATCH_PROPERTYGET, {}, &result), S_OK);
    EXPECT_EQ(ole::BstrView(result.bstrVal), u"first");

    EXCEPINFO info{};
    EXPECT_EQ(Call(a.Get(), u"Add", DISPATCH_METHOD, {CComVariant(1), CComVariant("many")}, &result, &info),
              DISP_E_EXCEPTION);
    EXPECT_EQ(info.wCode, 1001);
    EXPECT_EQ(ole::BstrView(info.bstrDescription), u"Times is no number");
    ClearExcepInfo(&info);

    // While one object lives the module stays.
    a.Reset();
    CoFreeUnusedLibraries();
    EXPECT_EQ(ole::LoadedModuleCount(), 1u);
    ASSERT_EQ(Call(b.Get(), u"Total", DISPATCH_PROPERTYGET, {}, &result), S_OK);
    EXPECT_EQ(result.lVal, 5);
  }
  CoFreeUnusedLibraries();
  EXPECT_EQ(ole::LoadedModuleCount(), 0u);

  // A constructor that raises fails the creation with what it raised, and
  // leaves no lock behind.
  ComPtr<IDispatch> refused;
  EXPECT_EQ(CoCreateInstance(CLSID_Refuser, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, refused.PpvOut()),
            MAKE_HRESULT(SEVERITY_ERROR, FACILITY_CONTROL, 52757));
  EXPECT_FALSE(refused);
  CoFreeUnusedLibraries();
  EXPECT_EQ(ole::LoadedModuleCount(), 0u);

  // A locked server stays loaded without objects.
  {
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(CoGetClassObject(CLSID_Adder, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory, factory.PpvOut()),
              S_OK);
    ASSERT_EQ(factory->LockServer(TRUE), S_OK);
    factory.Reset();
    CoFreeUnusedLibraries();
    EXPECT_EQ(ole::LoadedModuleCount(), 1u);
    ASSERT_EQ(CoGetClassObject(CLSID_Adder, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory, factory.PpvOut()),
              S_OK);
    ComPtr<IUnknown> outer;
    ASSERT_EQ(CoCreateInstance(CLSID_Adder, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, outer.PpvOut()), S_OK);
    void* agg = nullptr;
    EXPECT_EQ(factory->CreateInstance(outer.Get(), IID_IUnknown, &agg), CLASS_E_NOAGGREGATION);
    EXPECT_EQ(agg, nullptr);
    outer.Reset();
    ASSERT_EQ(factory->LockServer(FALSE), S_OK);
    factory.Reset();
    CoFreeUnusedLibraries();
    EXPECT_EQ(ole::LoadedModuleCount(), 0u);
  }

  r = Regsvr32("/u /s " + Quote(kAdder));
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(r.output, "");
  EXPECT_FALSE(ole::RegKeyExists(clsid));
  EXPECT_FALSE(ole::RegKeyExists(kAdderProgId));
  EXPECT_FALSE(ole::RegKeyExists("TypeLib\\" + GuidToString(LIBID_AdderLib)));
  EXPECT_FALSE(ole::RegKeyExists("Interface\\" + GuidToString(DIID_DAdder)));
  // The category itself stays registered, as on Windows.
  EXPECT_TRUE(ole::RegKeyExists("Component Categories\\" + GuidToString(CATID_AdderSafe)));
  ComPtr<IDispatch> gone;
  EXPECT_EQ(CoCreateInstance(CLSID_Adder, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, gone.PpvOut()),
            REGDB_E_CLASSNOTREG);
}

TEST_F(InprocTest, CreationFailures) {
  ComPtr<IUnknown> p;
  const CLSID missing = MakeGuid("{00000000-1111-2222-3333-444444444444}");
  EXPECT_EQ(CoCreateInstance(missing, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, p.PpvOut()), REGDB_E_CLASSNOTREG);

  auto point = [](const CLSID& c, const std::string& path) {
    ASSERT_EQ(ole::RegSetString("CLSID\\" + GuidToString(c) + "\\InprocServer32", "", path), ERROR_SUCCESS);
  };
  point(missing, kModules + "/NOSUCH.OCX");
  EXPECT_EQ(CoCreateInstance(missing, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, p.PpvOut()), CO_E_DLLNOTFOUND);
  EXPECT_NE(ole::LastLoadError().find("NOSUCH.OCX"), std::string::npos) << ole::LastLoadError();

  testsupport::WriteFile(reg_.dir() / "garbage.ocx", "not an ELF file");
  point(missing, reg_.dir() / "garbage.ocx");
  EXPECT_EQ(CoCreateInstance(missing, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, p.PpvOut()), CO_E_DLLNOTFOUND);
  EXPECT_FALSE(ole::LastLoadError().empty());

  point(missing, kModules + "/NOENTRY.OCX");
  EXPECT_EQ(CoCreateInstance(missing, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, p.PpvOut()), CO_E_ERRORINDLL);

  // A module asked for a class it does not serve.
  point(missing, kAdder);
  EXPECT_EQ(CoCreateInstance(missing, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, p.PpvOut()),
            CLASS_E_CLASSNOTAVAILABLE);
  point(CLSID_Adder, kAdder);
  EXPECT_EQ(CoCreateInstance(CLSID_Adder, nullptr, CLSCTX_INPROC_SERVER, IID_IClassFactory, p.PpvOut()),
            E_NOINTERFACE);
  EXPECT_EQ(CoCreateInstance(CLSID_Adder, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown, p.PpvOut()),
            REGDB_E_CLASSNOTREG);

  CLSID c;
  EXPECT_EQ(CLSIDFromProgID(u"No.Such.1", &c), CO_E_CLASSSTRING);
}

TEST_F(InprocTest, RegistrationToolFailures) {
  struct Row {
    std::string args;
    int status;
    std::string message;
  } rows[] = {
      {"", 1, "usage: regsvr32"},
      {"/x " + Quote(kAdder), 1, "usage: regsvr32"},
      {Quote(kModules + "/NOSUCH.OCX"), 3, "failed to load"},
      {Quote(REGSVR32_PATH), 3, "failed to load"},  // not a shared library
      {Quote(kModules + "/noentry.ocx"), 4, "the entry-point DllRegisterServer was not found"},
      {Quote(kModules + "/FAILREG.OCX"), 5, "DllRegisterServer failed with error code 0x80040201"},
  };
  for (const auto& row : rows) {
    auto r = Regsvr32(row.args);
    EXPECT_EQ(r.status, row.status) << row.args << "\n" << r.output;
    EXPECT_NE(r.output.find(row.message), std::string::npos) << row.args << "\n" << r.output;
  }
  EXPECT_FALSE(std::filesystem::exists(reg_.file()));  // nothing was written
}

TEST_F(InprocTest, RegistrationIntoAMalformedRegistryNamesFileLineAndReason) {
  const struct {
    const char* name;
    std::string text;
    std::string where;
  } cases[] = {
      {"value without '='", "REGEDIT4\n\n[HKEY_CLASSES_ROOT\\CLSID]\n\"name\" \"value\"\n",
       ":4: expected '=' after the value name"},
      {"no header", "[HKEY_CLASSES_ROOT\\CLSID]\r\n", ":1: expected the REGEDIT4 header"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::WriteFile(reg_.file(), c.text);
    for (const std::string& args : {"/s " + Quote(kAdder), "/u /s " + Quote(kAdder)}) {
      auto r = Regsvr32(args);
      EXPECT_EQ(r.status, 5) << r.output;
      EXPECT_NE(r.output.find("failed with error code"), std::string::npos) << r.output;
      EXPECT_NE(r.output.find("The registry cannot be read: " + reg_.file() + c.where), std::string::npos)
          << r.output;
    }
    EXPECT_EQ(testsupport::ReadFile(reg_.file()), c.text);
  }
}

TEST_F(InprocTest, CategoriesManagerIsBuiltIn) {
  ComPtr<ICatRegister> cats;
  ASSERT_EQ(CoCreateInstance(CLSID_StdComponentCategoriesMgr, nullptr, CLSCTX_INPROC_SERVER, IID_ICatRegister,
                             cats.PpvOut()),
            S_OK);
  CATEGORYINFO info{CATID_AdderSafe, 0x409, {}};
  for (int i = 0; i < 127; ++i) info.szDescription[i] = static_cast<OLECHAR>(u'a' + i % 26);
  info.szDescription[127] = u'Z';  // no terminator within 128: only 127 are taken
  ASSERT_EQ(cats->RegisterCategories(1, &info), S_OK);
  auto stored = ole::RegGetString("Component Categories\\" + GuidToString(CATID_AdderSafe), "409");
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->size(), 127u);
  EXPECT_EQ(stored->back(), 'w');

  CATID ids[] = {CATID_AdderSafe, MakeGuid("{7DD95801-9882-11CF-9FA9-00AA006C42C4}")};
  ASSERT_EQ(cats->RegisterClassImplCategories(CLSID_Adder, 2, ids), S_OK);
  std::string impl = "CLSID\\" + GuidToString(CLSID_Adder) + "\\Implemented Categories";
  EXPECT_EQ(ole::RegSubkeys(impl).size(), 2u);
  ASSERT_EQ(cats->UnRegisterClassImplCategories(CLSID_Adder, 1, ids), S_OK);
  EXPECT_EQ(ole::RegSubkeys(impl), std::vector<std::string>{GuidToString(ids[1])});
  ASSERT_EQ(cats->UnRegisterClassImplCategories(CLSID_Adder, 1, ids + 1), S_OK);
  EXPECT_FALSE(ole::RegKeyExists(impl));
  ASSERT_EQ(cats->UnRegisterCategories(1, ids), S_OK);
  EXPECT_FALSE(ole::RegKeyExists("Component Categories\\" + GuidToString(CATID_AdderSafe)));
  EXPECT_EQ(RefCountOf(cats.Get()), 1u);
}

}  // namespace
