// Creating and destroying the control, its fixed size, read-only members and
// its persisted state.
#include "control/fixture.h"
#include "ole/comptr.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using cvfake::Ok;
using cvfake::Out;
using cvtest::Outcome;
using cvtest::StateBytes;

class Construction : public cvtest::ControlTest {
 protected:
  // Creates the control directly on a site, without the fixture's assertion.
  HRESULT CreateOnSite(bool userMode, const QByteArray* state = nullptr) {
    site_.reset();
    cvfake::ClearCalls();
    site_ = std::make_unique<ole::ctl::OleControlSite>();
    site_->SetUserMode(userMode);
    return site_->CreateControl(cvsrva::CLSID_CvSrvAdm, state);
  }
  // Destroys the control and returns the calls that made.
  std::vector<std::string> Destroy() {
    ClearCalls();
    site_.reset();
    return Calls();
  }
};

TEST_F(Construction, StartsTheClientAndLoadsTheCharacterTablesOfTheLocale) {
  cvfake::Push("CvGetLocaleInfo", Ok(Out::Record(cvfake::Locale(49, 1252))));
  ASSERT_EQ(CreateOnSite(true), S_OK);
  EXPECT_THAT(Calls(), ElementsAre("CvClientStartup(null, null)", "CvGetLocaleInfo(out)", "CvLoadCharTables(49, 1252)"));

  cvsrva::CCvServerAdminCtrl& c = Ctrl();
  EXPECT_EQ(c.Connection(), 0u);
  EXPECT_EQ(c.DirectoryContext(), 0u);
  EXPECT_FALSE(c.IsDirectoryName());
  EXPECT_FALSE(c.IsDirectoryBound());
  EXPECT_EQ(c.InternalName(), "");
  EXPECT_EQ(c.LastBindingError(), 34817);
  Outcome name = Get(u"FullName");
  EXPECT_EQ(name.hr, S_OK);
  EXPECT_EQ(ole::BstrToUtf8(name.value.bstrVal), "");
}

TEST_F(Construction, DestroyingAnUnboundControlFreesOnlyTheCharacterTables) {
  Create(true);
  EXPECT_THAT(Destroy(), ElementsAre("CvFreeCharTables()"));
}

TEST_F(Construction, DestroyingReleasesTheConnectionAndTheContext) {
  Create(true);
  BindPlain();
  EXPECT_THAT(Destroy(), ElementsAre("CvReleaseConnection(1001)", "CvFreeCharTables()"));

  cvfake::Reset();
  Create(true);
  BindDirectory();
  EXPECT_THAT(Destroy(), ElementsAre("CvReleaseConnection(1001)", "CvFreeContext(2001)", "CvFreeCharTables()"));
}

TEST_F(Construction, DestroyingAfterAFailedDirectoryBindFreesTheContextOnly) {
  Create(false);
  cvfake::Push("CvReadObjectInfo", 35230u);
  ASSERT_EQ(Put(u"FullName", CComVariant(cvtest::kBrowseName)).hr, S_OK);
  EXPECT_THAT(Destroy(), ElementsAre("CvFreeContext(2001)", "CvFreeCharTables()"));
}

struct StartupCase {
  const char* op;
  std::uint32_t code;
};

const StartupCase kStartupFailures[] = {{"CvClientStartup", 34821}, {"CvLoadCharTables", 35327}};

TEST_F(Construction, AFailingStartInUserModeFailsTheCreation) {
  for (const StartupCase& c : kStartupFailures) {
    SCOPED_TRACE(c.op);
    cvfake::Reset();
    cvfake::Push(c.op, c.code);
    HRESULT hr = CreateOnSite(true);
    EXPECT_TRUE(FAILED(hr)) << std::hex << hr;
    EXPECT_FALSE(Site().HasControl());
    // The instance is released again, and with it the character tables.
    EXPECT_THAT(cvfake::Calls("CvFreeCharTables"), ElementsAre("CvFreeCharTables()"));
  }
}

TEST_F(Construction, AFailingStartInDesignModeStillCreatesTheControl) {
  for (const StartupCase& c : kStartupFailures) {
    SCOPED_TRACE(c.op);
    cvfake::Reset();
    cvfake::Push(c.op, c.code);
    ASSERT_EQ(CreateOnSite(false), S_OK);
    EXPECT_THAT(Calls(), ElementsAre("CvClientStartup(null, null)", "CvGetLocaleInfo(out)", "CvLoadCharTables(0, 0)"));
    // Nothing is raised later for it, in either mode.
    ClearCalls();
    SetUserMode(true);
    EXPECT_EQ(Put(u"FullName", CComVariant(u"\\\\SRV1")).hr, S_OK);
    EXPECT_EQ(Ctrl().Connection(), 1001u);
    QByteArray state;
    EXPECT_EQ(Site().SaveState(&state), S_OK);
    EXPECT_EQ(Site().LoadState(state), S_OK);
    EXPECT_EQ(Ctrl().Connection(), 1002u);
  }
}

TEST_F(Construction, TheExtentIsAlways28By28Pixels) {
  Create(true);
  ComPtr<IOleObject> ole;
  ASSERT_EQ(Site().Control()->QueryInterface(IID_IOleObject, ole.PpvOut()), S_OK);
  SIZEL e{0, 0};
  ASSERT_EQ(ole->GetExtent(DVASPECT_CONTENT, &e), S_OK);
  EXPECT_EQ(e.cx, 741);
  EXPECT_EQ(e.cy, 741);
  SIZEL wanted{5000, 2000};
  EXPECT_EQ(ole->SetExtent(DVASPECT_CONTENT, &wanted), S_OK);
  ASSERT_EQ(ole->GetExtent(DVASPECT_CONTENT, &e), S_OK);
  EXPECT_EQ(e.cx, 741);
  EXPECT_EQ(e.cy, 741);
}

const char16_t* const kReadOnly[] = {u"CorvaneVersion",   u"Description",     u"DirectoryInstalled",
                                     u"ShortName",        u"TotalConnections", u"UsedConnections",
                                     u"Company",          u"ActiveConnections"};

TEST_F(Construction, PutsOnReadOnlyPropertiesAreRefused) {
  for (bool userMode : {true, false}) {
    cvfake::Reset();
    Create(userMode);
    BindPlain();
    for (const char16_t* name : kReadOnly) {
      SCOPED_TRACE(ole::Utf16ToUtf8(name));
      cvtest::ExpectRaisedScode(Put(name, CComVariant(u"X")), CTL_E_SETNOTSUPPORTED);
      cvtest::ExpectRaisedScode(Put(name, CComVariant(LONG{1})), CTL_E_SETNOTSUPPORTED);
    }
    EXPECT_THAT(Calls(), IsEmpty());
    EXPECT_EQ(Ctrl().Connection(), 1001u);
  }
}

TEST_F(Construction, AnUnboundControlSaves17Bytes) {
  Create(true);
  QByteArray state;
  ASSERT_EQ(Site().SaveState(&state), S_OK);
  EXPECT_EQ(state.toHex(), QByteArray("03000100" "e5020000" "e5020000" "00000000" "00"));
  EXPECT_EQ(state, StateBytes(""));
}

TEST_F(Construction, ABoundControlSavesItsInternalName) {
  Create(true);
  BindDirectory();
  QByteArray state;
  ASSERT_EQ(Site().SaveState(&state), S_OK);
  EXPECT_EQ(state, StateBytes(R"(\\TREE\.SRV1.OU.O)"));

  BindPlain();
  ASSERT_EQ(Site().SaveState(&state), S_OK);
  EXPECT_EQ(state, StateBytes(R"(\\SRV1)"));

  // An empty FullName drops the binding and the saved name.
  ASSERT_EQ(Put(u"FullName", CComVariant(u"")).hr, S_OK);
  ASSERT_EQ(Site().SaveState(&state), S_OK);
  EXPECT_EQ(state.size(), 17);
}

TEST_F(Construction, LoadingTheDirectoryFormBindsAgain) {
  cvfake::Push("CvReadObjectInfo", Ok(Out::Skip(), Out::Record(cvfake::ObjectInfo("KCP Server"))));
  QByteArray state = StateBytes(R"(\\TREE\.SRV1.OU.O)");
  ASSERT_EQ(CreateOnSite(true, &state), S_OK);
  std::vector<std::string> calls = Calls();
  ASSERT_GE(calls.size(), 3u);
  calls.erase(calls.begin(), calls.begin() + 3);  // the start of the client
  EXPECT_THAT(calls, ElementsAre("CvCreateContextHandle(out)", "CvGetContext(2001, 1, out)",
                                 "CvSetContext(2001, 1, 0x4)", "CvSetContext(2001, 11, \"TREE\")",
                                 "CvSetContext(2001, 3, \"SRV1.OU.O\")", "CvReadObjectInfo(2001, \"\", out, out)",
                                 "CvOpenConnectionToDirServer(2001, \"\", out)", "CvAuthenticateConnection(2001, 1001)",
                                 "CvLicenseConnection(1001)"));
  EXPECT_EQ(ole::BstrToUtf8(Get(u"FullName").value.bstrVal), R"(CDS:\\TREE\O\OU\SRV1)");
  EXPECT_EQ(Ctrl().Connection(), 1001u);
  EXPECT_TRUE(Ctrl().IsDirectoryBound());
  EXPECT_FALSE(Site().IsDirty());

  // Saved again, the state is what was loaded.
  QByteArray again;
  ASSERT_EQ(Site().SaveState(&again), S_OK);
  EXPECT_EQ(again, state);
}

}  // namespace
