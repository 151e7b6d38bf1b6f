// CVSRVA.OCX through the registration tool and the type library browser, in a
// registry of its own.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <filesystem>

#include "ids.h"
#include "ole/com.h"
#include "ole/comptr.h"
#include "ole/registry.h"
#include "ole/typelib.h"
#include "support/run.h"
#include "support/temp_dir.h"

namespace {

using testsupport::Quote;
using testsupport::RunShell;

const std::string kModule = std::string(CVSRVA_TEST_DIR) + "/CVSRVA.OCX";

testsupport::RunResult Regsvr32(const std::string& args) { return RunShell(Quote(REGSVR32_PATH) + " " + args); }

// What a type library browser shows of the module.
const char kTypeLibrary[] =
    "library CvSrvAdmLib {EC747AF0-8EF6-11D0-B375-0000E20315E2} version=1.3 lcid=0x0409 helpstring=\"Veltrane Server Administration Control\" helpfile=\"cvsrva.chm\" helpcontext=11\n"
    "dispinterface _DCvServerAdmin {EC747AF2-8EF6-11D0-B375-0000E20315E2} flags=0x1010 helpstring=\"Dispatch interface for Veltrane Server Administration Control\" helpcontext=11\n"
    "  property FullName dispid=1 flags=0x0000 type=VT_BSTR params=() helpstring=\"Returs/sets  FullName of the server.\" helpcontext=6\n"
    "  property CorvaneVersion dispid=2 flags=0x0401 type=VT_BSTR params=() helpstring=\"Returns the version of Corvane being run.\" helpcontext=12\n"
    "  property Description dispid=3 flags=0x0401 type=VT_BSTR params=() helpstring=\"Returns the description of the server\" helpcontext=2\n"
    "  property DirectoryInstalled dispid=4 flags=0x0401 type=VT_BOOL params=() helpstring=\"Returns TRUE if the server supports CDS.\" helpcontext=3\n"
    "  property ShortName dispid=5 flags=0x0401 type=VT_BSTR params=() helpstring=\"Returns relative distinguished name of the server.\" helpcontext=19\n"
    "  property TotalConnections dispid=6 flags=0x0401 type=VT_I2 params=() helpstring=\"Returns total connections available to this server.\" helpcontext=20\n"
    "  property UsedConnections dispid=7 flags=0x0401 type=VT_I2 params=() helpstring=\"Returns currently used connections to the server.\" helpcontext=22\n"
    "  property Company dispid=8 flags=0x0401 type=VT_BSTR params=() helpstring=\"Returns Company name.\" helpcontext=1\n"
    "  property ActiveConnections dispid=9 flags=0x0000 type=ICvConnections* params=() helpstring=\"Returns Active connections to the server.\" helpcontext=23\n"
    "  method ExecuteProfile dispid=10 flags=0x0000 type=VT_BOOL params=(QBTFileName:VT_BSTR) helpstring=\"Runs the given QBT file on the server.\" helpcontext=4\n"
    "  method LoadQRX dispid=11 flags=0x0000 type=VT_BOOL params=(QRXName:VT_BSTR, Parameters:VT_BSTR) helpstring=\"Loads a given QRX module on the server.\" helpcontext=7\n"
    "  method UnloadQRX dispid=12 flags=0x0000 type=VT_BOOL params=(QRXName:VT_BSTR) helpstring=\"Unloads a given QRX module from the server.\" helpcontext=21\n"
    "  method Call dispid=13 flags=0x0000 type=VT_VARIANT params=(Name:VT_BSTR, Param1:VT_VARIANT optional, Param2:VT_VARIANT optional, Param3:VT_VARIANT optional, Param4:VT_VARIANT optional, Param5:VT_VARIANT optional, Param6:VT_VARIANT optional, Param7:VT_VARIANT optional, Param8:VT_VARIANT optional, Param9:VT_VARIANT optional, Param10:VT_VARIANT optional) helpstring=\"Executes the remote RFX function or remote Kelpscript script.\" helpcontext=8\n"
    "  propget Parameters dispid=14 flags=0x0000 type=VT_VARIANT params=(PropertyName:VT_BSTR) helpstring=\"Returns/sets the server parameter.\" helpcontext=15\n"
    "  propput Parameters dispid=14 flags=0x0000 type=VT_VOID params=(PropertyName:VT_BSTR, ?:VT_VARIANT) helpstring=\"Returns/sets the server parameter.\" helpcontext=15\n"
    "  method AboutBox dispid=-552 flags=0x0000 type=VT_VOID params=() helpstring=\"\" helpcontext=0\n"
    "dispinterface _DCvServerAdminEvents {EC747AF3-8EF6-11D0-B375-0000E20315E2} flags=0x1000 helpstring=\"Event interface for Veltrane Server Administration Control\" helpcontext=0\n"
    "dispinterface ICvConnections {03F19625-DE06-11D2-90C4-8E9E16F15C06} flags=0x1000 helpstring=\"Dispatch interface for CvConnections collection\" helpcontext=0\n"
    "  property Count dispid=1 flags=0x0000 type=VT_I4 params=() helpstring=\"Returns number of CvConnection objects in the collection\" helpcontext=0\n"
    "  method SendBroadCast dispid=2 flags=0x0000 type=VT_VOID params=(Message:VT_BSTR) helpstring=\"Sends broadcast message to all connections.\" helpcontext=0\n"
    "  method Refresh dispid=3 flags=0x0000 type=VT_VOID params=() helpstring=\"Refreshes CvConnections collection.\" helpcontext=0\n"
    "  method Remove dispid=4 flags=0x0000 type=VT_VOID params=(ConnectionNo:VT_I2) helpstring=\"Removes an object from the collection and clears the connection.\" helpcontext=0\n"
    "  propget Item dispid=5 flags=0x0000 type=ICvConnection* params=(Index:VT_I4) helpstring=\"Returns CvConnection object at the specified index.\" helpcontext=0\n"
    "dispinterface ICvConnection {03F19628-DE06-11D2-90C4-8E9E16F15C06} flags=0x1000 helpstring=\"Dispatch interface for CvConnection object\" helpcontext=0\n"
    "  property FullName dispid=1 flags=0x0000 type=VT_BSTR params=() helpstring=\"Returns FullName of the connection.\" helpcontext=0\n"
    "  property ShortName dispid=2 flags=0x0000 type=VT_BSTR params=() helpstring=\"Returns ShortName of the connection.\" helpcontext=0\n"
    "  property LoginTime dispid=3 flags=0x0000 type=VT_DATE params=() helpstring=\"Returns LoginTime of the connection.\" helpcontext=0\n"
    "  property NetworkAddress dispid=4 flags=0x0000 type=VT_BSTR params=() helpstring=\"Returns NetworkAddress of the connection.\" helpcontext=0\n"
    "  property ConnectionNumber dispid=5 flags=0x0000 type=VT_I2 params=() helpstring=\"Returns ConnectionNumber of the connection.\" helpcontext=0\n"
    "  property ConnectionType dispid=6 flags=0x0000 type=VT_I2 params=() helpstring=\"Returns ConnectionType of the connection.\" helpcontext=0\n"
    "  method SendMessage dispid=7 flags=0x0000 type=VT_VOID params=(Message:VT_BSTR) helpstring=\"Sends broadcast message to specified connection.\" helpcontext=0\n"
    "coclass CvSrvAdm {EC747AF1-8EF6-11D0-B375-0000E20315E2} flags=0x0022 helpstring=\"Veltrane Server Administration Control\" helpcontext=11\n"
    "  implements _DCvServerAdmin flags=0x01\n"
    "  implements _DCvServerAdminEvents flags=0x03\n"
    "coclass CvConnections {03F19626-DE06-11D2-90C4-8E9E16F15C06} flags=0x0002 helpstring=\"CvConnections collection\" helpcontext=0\n"
    "  implements ICvConnections flags=0x01\n"
    "coclass CvConnection {03F19629-DE06-11D2-90C4-8E9E16F15C06} flags=0x0002 helpstring=\"CvConnection object\" helpcontext=0\n"
    "  implements ICvConnection flags=0x01\n"
;

TEST(CvsrvaModule, RegistersTheControlItsLibraryAndCategories) {
  testsupport::ScopedRegistry reg;
  // The name as written for a case-insensitive file system.
  auto r = Regsvr32(Quote(std::string(CVSRVA_TEST_DIR) + "/CVSRVA.ocx"));
  ASSERT_EQ(r.status, 0) << r.output;

  const std::string clsid = "CLSID\\" + GuidToString(cvsrva::CLSID_CvSrvAdm);
  const std::string path = std::filesystem::canonical(kModule).string();
  EXPECT_EQ(ole::RegGetString(clsid, ""), "Veltrane Server Administration Control");
  EXPECT_EQ(ole::RegGetString(clsid + "\\InprocServer32", ""), path);
  EXPECT_EQ(ole::RegGetString(clsid + "\\InprocServer32", "ThreadingModel"), "Apartment");
  EXPECT_EQ(ole::RegGetString(clsid + "\\ProgID", ""), "CvSrvAdmLib.CvServerAdminCtrl.1");
  EXPECT_EQ(ole::RegGetString(clsid + "\\MiscStatus\\1", ""), "132241");  // 0x20491
  EXPECT_EQ(ole::RegGetString(clsid + "\\ToolboxBitmap32", ""), path + ", 1");
  EXPECT_EQ(ole::RegGetString(clsid + "\\TypeLib", ""), "{EC747AF0-8EF6-11D0-B375-0000E20315E2}");
  EXPECT_EQ(ole::RegGetString(clsid + "\\Version", ""), "1.3");
  EXPECT_TRUE(ole::RegKeyExists(clsid + "\\Control"));
  EXPECT_FALSE(ole::RegKeyExists(clsid + "\\Insertable"));
  EXPECT_EQ(ole::RegGetString("CvSrvAdmLib.CvServerAdminCtrl.1\\CLSID", ""), GuidToString(cvsrva::CLSID_CvSrvAdm));
  // The property page, with the type name string 2.
  const std::string page = "CLSID\\{EC747AF4-8EF6-11D0-B375-0000E20315E2}";
  EXPECT_EQ(ole::RegGetString(page, ""), "Veltrane Server Administration Control Property Page");
  EXPECT_EQ(ole::RegGetString(page + "\\InprocServer32", ""), path);
  EXPECT_EQ(ole::RegGetString(page + "\\ProgID", ""), "CvSrvAdmLib.CvServerAdminPropPage.1");
  EXPECT_EQ(ole::RegGetString("CvSrvAdmLib.CvServerAdminPropPage.1\\CLSID", ""),
            "{EC747AF4-8EF6-11D0-B375-0000E20315E2}");
  for (const auto& [catid, text] :
       {std::pair{cvsrva::CATID_SafeForScripting, "Controls that are safely scriptable"},
        std::pair{cvsrva::CATID_SafeForInitializing, "Controls safely initializable from persistent data"}}) {
    EXPECT_TRUE(ole::RegKeyExists(clsid + "\\Implemented Categories\\" + GuidToString(catid)));
    EXPECT_EQ(ole::RegGetString("Component Categories\\" + GuidToString(catid), "409"), text);
  }
  for (const auto& [cls, progid] : {std::pair{cvsrva::CLSID_CvConnections, "CvSrvAdmLib.CvConnections"},
                                     std::pair{cvsrva::CLSID_CvConnection, "CvSrvAdmLib.CvConnection"}}) {
    const std::string key = "CLSID\\" + GuidToString(cls);
    EXPECT_EQ(ole::RegGetString(key, ""), progid);
    EXPECT_EQ(ole::RegGetString(key + "\\InprocServer32", ""), path);
    EXPECT_EQ(ole::RegGetString(key + "\\ProgID", ""), progid);
    EXPECT_EQ(ole::RegGetString(std::string(progid) + "\\CLSID", ""), GuidToString(cls));
  }
  const std::string tlb = "TypeLib\\{EC747AF0-8EF6-11D0-B375-0000E20315E2}\\1.3";
  EXPECT_EQ(ole::RegGetString(tlb + "\\409\\linux", ""), path);

  auto dump = RunShell(Quote(TLBDUMP_PATH) + " {EC747AF0-8EF6-11D0-B375-0000E20315E2} 1.3");
  ASSERT_EQ(dump.status, 0) << dump.output;
  EXPECT_EQ(dump.output, kTypeLibrary);

  r = Regsvr32("/u " + Quote(kModule));
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_FALSE(ole::RegKeyExists(clsid));
  EXPECT_FALSE(ole::RegKeyExists("CvSrvAdmLib.CvServerAdminCtrl.1"));
  for (const char* gone : {"CvSrvAdmLib.CvConnections", "CvSrvAdmLib.CvConnection"}) EXPECT_FALSE(ole::RegKeyExists(gone));
  EXPECT_FALSE(ole::RegKeyExists("CLSID\\" + GuidToString(cvsrva::CLSID_CvConnections)));
  EXPECT_FALSE(ole::RegKeyExists("CLSID\\" + GuidToString(cvsrva::CLSID_CvConnection)));
  EXPECT_FALSE(ole::RegKeyExists(page));
  EXPECT_FALSE(ole::RegKeyExists("CvSrvAdmLib.CvServerAdminPropPage.1"));
  EXPECT_FALSE(ole::RegKeyExists("TypeLib\\{EC747AF0-8EF6-11D0-B375-0000E20315E2}"));
  // Component-category entries are not removed.
  EXPECT_TRUE(ole::RegKeyExists("Component Categories\\" + GuidToString(cvsrva::CATID_SafeForScripting)));
}

// The connection classes made by their factories: unbound objects whose type
// information comes from the registered library.
TEST(CvsrvaModule, ConnectionClassesAreCreatableByProgId) {
  testsupport::ScopedRegistry reg;
  ASSERT_EQ(Regsvr32("/s " + Quote(kModule)).status, 0);
  for (const char16_t* progid : {u"CvSrvAdmLib.CvConnections", u"CvSrvAdmLib.CvConnection"}) {
    CLSID clsid{};
    ASSERT_EQ(CLSIDFromProgID(progid, &clsid), S_OK);
    ComPtr<IDispatch> d;
    ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, d.PpvOut()), S_OK);
    ComPtr<ITypeInfo> info;
    ASSERT_EQ(d->GetTypeInfo(0, 0x0409, info.ReleaseAndGetAddressOf()), S_OK);
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(info->GetTypeAttr(&attr), S_OK);
    EXPECT_EQ(attr->guid, clsid == cvsrva::CLSID_CvConnections ? cvsrva::IID_ICvConnections : cvsrva::IID_ICvConnection);
    info->ReleaseTypeAttr(attr);
  }
  CoFreeUnusedLibraries();
}

TEST(CvsrvaModule, TypeLibraryIsReadFromTheModuleItself) {
  auto dump = RunShell(Quote(TLBDUMP_PATH) + " " + Quote(kModule));
  EXPECT_EQ(dump.status, 0);
  EXPECT_EQ(dump.output, kTypeLibrary);
}

TEST(CvsrvaModule, CarriesItsVersionBlockAndBitmaps) {
  void* module = ::dlopen(kModule.c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(module, nullptr) << dlerror();
  auto resource = reinterpret_cast<ole::ModuleResourceFn>(::dlsym(module, ole::kResourceExport));
  ASSERT_NE(resource, nullptr);
  std::size_t size = 0;
  auto* version = static_cast<const char*>(resource("VERSION", 1, &size));
  ASSERT_NE(version, nullptr);
  std::string block(version, size);
  for (const char* line : {"FileVersion=1.3.0.0\n", "ProductVersion=1.3.0.0\n",
                           "FileDescription=Veltrane Server Administration Control\n",
                           "ProductName=Veltrane Server Administration Control\n", "InternalName=CVSRVADM\n",
                           "OriginalFilename=CVSRVA.OCX\n"})
    EXPECT_NE(block.find(line), std::string::npos) << line;
  for (unsigned id : {1u, 203u}) {
    auto* png = static_cast<const unsigned char*>(resource("BITMAP", id, &size));
    ASSERT_NE(png, nullptr) << id;
    ASSERT_GT(size, 24u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(png) + 1, 3), "PNG");
    // IHDR: width and height, big-endian, at offsets 16 and 20.
    auto be32 = [&](std::size_t at) { return (png[at] << 24) | (png[at + 1] << 16) | (png[at + 2] << 8) | png[at + 3]; };
    EXPECT_EQ(be32(16), 16) << id;
    EXPECT_EQ(be32(20), 15) << id;
  }
  EXPECT_EQ(resource("BITMAP", 2, &size), nullptr);
  ::dlclose(module);
}

}  // namespace
