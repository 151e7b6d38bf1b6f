#include <gtest/gtest.h>

#include "modules/adder.h"
#include "ole/bstr.h"
#include "ole/comptr.h"
#include "ole/registry.h"
#include "ole/typelib.h"
#include "support/run.h"
#include "support/temp_dir.h"

namespace {

using testsupport::Quote;
using testsupport::RunShell;

const std::string kAdder = std::string(TEST_MODULE_DIR) + "/ADDER.OCX";

const char kAdderDump[] =
    "library AdderLib {6F1B2C3D-4E5F-4A6B-9C7D-8E9FA0B1C2D0} version=1.2 lcid=0x0409 "
    "helpstring=\"Adder Test Library\" helpfile=\"adder.hlp\" helpcontext=0\n"
    "dispinterface _DAdder {6F1B2C3D-4E5F-4A6B-9C7D-8E9FA0B1C2D1} flags=0x1010 "
    "helpstring=\"Dispatch interface of Adder\" helpcontext=0\n"
    "  property Name dispid=1 flags=0x0000 type=VT_BSTR params=() helpstring=\"The adder's name\" helpcontext=10\n"
    "  property Total dispid=2 flags=0x0401 type=VT_I4 params=() helpstring=\"Running total\" helpcontext=11\n"
    "  method Add dispid=3 flags=0x0000 type=VT_I4 params=(Value:VT_I4, Times:VT_VARIANT optional) "
    "helpstring=\"Adds to the total\" helpcontext=12\n"
    "coclass Adder {6F1B2C3D-4E5F-4A6B-9C7D-8E9FA0B1C2D3} flags=0x0002 helpstring=\"Adder class\" helpcontext=0\n"
    "  implements _DAdder flags=0x01\n";

TEST(TypeLib, DumpOfAModuleFileAndOfTheRegisteredLibrary) {
  testsupport::ScopedRegistry reg;
  auto file = RunShell(Quote(TLBDUMP_PATH) + " " + Quote(kAdder));
  ASSERT_EQ(file.status, 0) << file.output;
  EXPECT_EQ(file.output, kAdderDump);

  auto missing = RunShell(Quote(TLBDUMP_PATH) + " " + GuidToString(LIBID_AdderLib) + " 1.2");
  EXPECT_EQ(missing.status, 2);
  EXPECT_NE(missing.output.find("0x8002801D"), std::string::npos) << missing.output;

  ASSERT_EQ(RunShell(Quote(REGSVR32_PATH) + " /s " + Quote(kAdder)).status, 0);
  auto registered = RunShell(Quote(TLBDUMP_PATH) + " " + GuidToString(LIBID_AdderLib) + " 1.0");
  ASSERT_EQ(registered.status, 0) << registered.output;
  EXPECT_EQ(registered.output, kAdderDump);
}

TEST(TypeLib, LoadRegTypeLibPicksVersionAndLanguage) {
  testsupport::ScopedRegistry reg;
  ole::tlb::Library m;
  m.name = "Versions";
  m.libid = LIBID_AdderLib;
  auto save = [&](WORD major, WORD minor, const std::string& name) {
    m.major = major, m.minor = minor, m.name = name;
    std::string path = reg.dir() / (name + ".tlb");
    testsupport::WriteFile(path, ole::tlb::Serialize(m));
    return path;
  };
  std::string base = "TypeLib\\" + GuidToString(LIBID_AdderLib);
  ASSERT_EQ(ole::RegSetString(base + "\\1.2\\0\\linux", "", save(1, 2, "v12")), ERROR_SUCCESS);
  ASSERT_EQ(ole::RegSetString(base + "\\1.a\\409\\linux", "", save(1, 10, "v1a")), ERROR_SUCCESS);
  ASSERT_EQ(ole::RegSetString(base + "\\2.0\\0\\linux", "", save(2, 0, "v20")), ERROR_SUCCESS);

  auto nameOf = [](REFGUID g, WORD major, WORD minor, LCID lcid) -> std::string {
    ComPtr<ITypeLib> lib;
    HRESULT hr = LoadRegTypeLib(g, major, minor, lcid, lib.ReleaseAndGetAddressOf());
    if (FAILED(hr)) return "error " + std::to_string(hr);
    CComBSTR name;
    lib->GetDocumentation(-1, name.Out(), nullptr, nullptr, nullptr);
    return name.Utf8();
  };
  EXPECT_EQ(nameOf(LIBID_AdderLib, 1, 0, 0x409), "v1a");  // highest minor of major 1
  EXPECT_EQ(nameOf(LIBID_AdderLib, 1, 0, LOCALE_USER_DEFAULT), "v1a");  // the runtime's locale is 409
  EXPECT_EQ(nameOf(LIBID_AdderLib, 1, 0, LOCALE_SYSTEM_DEFAULT), "v1a");
  // 1.a is the version; it has neither 809 nor its primary language 9 nor 0.
  EXPECT_EQ(nameOf(LIBID_AdderLib, 1, 3, 0x809), "error " + std::to_string(TYPE_E_LIBNOTREGISTERED));
  EXPECT_EQ(nameOf(LIBID_AdderLib, 1, 11, 0x409), "error " + std::to_string(TYPE_E_LIBNOTREGISTERED));
  EXPECT_EQ(nameOf(LIBID_AdderLib, 2, 0, 0x409), "v20");  // falls back to LCID 0
  EXPECT_EQ(nameOf(LIBID_AdderLib, 3, 0, 0), "error " + std::to_string(TYPE_E_LIBNOTREGISTERED));
  EXPECT_EQ(nameOf(DIID_DAdder, 1, 0, 0), "error " + std::to_string(TYPE_E_LIBNOTREGISTERED));
}

TEST(TypeLib, TypeInfoAnswersNamesAndDocumentation) {
  ComPtr<ITypeLib> lib;
  std::u16string path = ole::Utf8ToUtf16(kAdder);
  ASSERT_EQ(LoadTypeLib(path.c_str(), lib.ReleaseAndGetAddressOf()), S_OK);
  ComPtr<ITypeInfo> info;
  ASSERT_EQ(lib->GetTypeInfoOfGuid(DIID_DAdder, info.ReleaseAndGetAddressOf()), S_OK);
  LPOLESTR names[] = {const_cast<LPOLESTR>(u"aDD"), const_cast<LPOLESTR>(u"times"),
                      const_cast<LPOLESTR>(u"nope")};
  MEMBERID ids[3];
  EXPECT_EQ(info->GetIDsOfNames(names, 2, ids), S_OK);
  EXPECT_EQ(ids[0], 3);
  EXPECT_EQ(ids[1], 1);
  EXPECT_EQ(info->GetIDsOfNames(names, 3, ids), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(ids[2], MEMBERID_NIL);
  EXPECT_EQ(info->GetIDsOfNames(names + 2, 1, ids), DISP_E_UNKNOWNNAME);

  BSTR got[4];
  UINT count = 0;
  ASSERT_EQ(info->GetNames(3, got, 4, &count), S_OK);
  ASSERT_EQ(count, 3u);
  EXPECT_EQ(ole::BstrView(got[0]), u"Add");
  EXPECT_EQ(ole::BstrView(got[2]), u"Times");
  for (UINT i = 0; i < count; ++i) SysFreeString(got[i]);

  ComPtr<ITypeLib> owner;
  UINT index = 99;
  ASSERT_EQ(info->GetContainingTypeLib(owner.ReleaseAndGetAddressOf(), &index), S_OK);
  EXPECT_EQ(owner.Get(), lib.Get());
  EXPECT_EQ(index, 0u);
  EXPECT_EQ(lib->GetTypeInfoCount(), 2u);
  ComPtr<ITypeInfo> none;
  EXPECT_EQ(lib->GetTypeInfo(2, none.ReleaseAndGetAddressOf()), TYPE_E_ELEMENTNOTFOUND);
}

TEST(TypeLib, SerializedFormRoundTripsAndRejectsDamage) {
  ComPtr<ITypeLib> lib;
  std::u16string path = ole::Utf8ToUtf16(kAdder);
  ASSERT_EQ(LoadTypeLib(path.c_str(), lib.ReleaseAndGetAddressOf()), S_OK);
  const ole::tlb::Library* model = ole::TypeLibModel(lib.Get());
  ASSERT_TRUE(model);
  std::string bytes = ole::tlb::Serialize(*model);
  std::string why;
  auto back = ole::tlb::Deserialize(bytes, &why);
  ASSERT_TRUE(back) << why;
  EXPECT_EQ(ole::tlb::Serialize(*back), bytes);

  // Every truncation, and an extra byte, is refused with a reason.
  for (std::size_t n = 0; n < bytes.size(); ++n) {
    why.clear();
    EXPECT_FALSE(ole::tlb::Deserialize(bytes.substr(0, n), &why)) << n;
    EXPECT_FALSE(why.empty()) << n;
  }
  EXPECT_FALSE(ole::tlb::Deserialize(bytes + "x", &why));
  // A count that promises more than the data holds is refused before allocating.
  std::string lying = bytes;
  std::size_t countAt = 4 + 4 + 4 + model->name.size() + 20 + 12 + 4 + model->helpString.size() + 4 +
                        model->helpFile.size() + 4;
  ASSERT_LT(countAt + 4, lying.size());
  lying[countAt] = '\xFF', lying[countAt + 1] = '\xFF', lying[countAt + 2] = '\xFF';
  EXPECT_FALSE(ole::tlb::Deserialize(lying, &why));
  EXPECT_EQ(why, "item count larger than the data");
}

}  // namespace
