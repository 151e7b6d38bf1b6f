// Binding by FullName: the name check, the directory path and the plain path,
// each step's failure, in user mode, in design mode and while loading.
#include <functional>

#include "control/fixture.h"
#include "names.h"

namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using cvfake::Ok;
using cvfake::Out;
using cvfake::Push;
using cvtest::ExpectRaised;
using cvtest::Outcome;

constexpr char kBrowse[] = R"(CDS:\\TREE\O\OU\SRV1)";
constexpr char kDirectory[] = R"(\\TREE\.SRV1.OU.O)";

std::string Text(const Outcome& o) { return o.value.vt == VT_BSTR ? ole::BstrToUtf8(o.value.bstrVal) : "<not text>"; }

void PushServerObject() { Push("CvReadObjectInfo", Ok(Out::Skip(), Out::Record(cvfake::ObjectInfo("KCP Server")))); }

// The directory path for kBrowse, every step succeeding.
const std::vector<std::string> kDirectoryCalls = {
    "CvCreateContextHandle(out)",
    "CvGetContext(2001, 1, out)",
    "CvSetContext(2001, 1, 0x4)",
    "CvSetContext(2001, 11, \"TREE\")",
    "CvSetContext(2001, 3, \"SRV1.OU.O\")",
    "CvReadObjectInfo(2001, \"\", out, out)",
    "CvOpenConnectionToDirServer(2001, \"\", out)",
    "CvAuthenticateConnection(2001, 1001)",
    "CvLicenseConnection(1001)",
};

// The plain path for \\SRV1 over a directory-authenticated connection.
const std::vector<std::string> kAuthenticatedCalls = {
    "CvGetConnectionHandle(\"SRV1\", 0, out, null)",
    "CvGetConnectionItem(1001, 1, 4, out)",
    "CvCreateContextHandle(out)",
    "CvGetContext(2001, 1, out)",
    "CvSetContext(2001, 1, 0x4)",
    "CvGetConnectionItem(1001, 4, 514, out)",
    "CvSetContext(2001, 11, \"ACME\")",
    "CvGetServerDirectoryName(2001, 1001, out)",
    "CvSetContext(2001, 3, \"SRV1.OU.ACME\")",
};

std::vector<std::string> Prefix(const std::vector<std::string>& calls, std::size_t n, std::vector<std::string> more = {}) {
  std::vector<std::string> out(calls.begin(), calls.begin() + static_cast<std::ptrdiff_t>(n));
  out.insert(out.end(), more.begin(), more.end());
  return out;
}

class Binding : public cvtest::ControlTest {};

// ---- the name ------------------------------------------------------------------

TEST_F(Binding, ABrowseNameIsUpperCasedAndKeptWithItsDirectoryForm) {
  Create(true);
  PushServerObject();
  ASSERT_EQ(Put(u"FullName", CComVariant(u"cds:\\\\tree\\o\\srv1")).hr, S_OK);
  EXPECT_EQ(Text(Get(u"FullName")), R"(CDS:\\TREE\O\SRV1)");
  EXPECT_EQ(Ctrl().InternalName(), R"(\\TREE\.SRV1.O)");
  EXPECT_TRUE(Ctrl().IsDirectoryName());
  EXPECT_THAT(cvfake::Calls("CvSetContext"), ElementsAre("CvSetContext(2001, 1, 0x4)", "CvSetContext(2001, 11, \"TREE\")",
                                                         "CvSetContext(2001, 3, \"SRV1.O\")"));
}

TEST_F(Binding, NonAsciiLettersAreUpperCasedToo) {
  Create(true);
  ASSERT_EQ(Put(u"FullName", CComVariant(u"\\\\s\u00e9rv\u00e9ur")).hr, S_OK);
  EXPECT_EQ(Text(Get(u"FullName")), "\\\\S\xC3\x89RV\xC3\x89UR");
  EXPECT_THAT(Calls(), ElementsAre("CvGetConnectionHandle(\"S\xC3\x89RV\xC3\x89UR\", 0, out, null)",
                                   "CvGetConnectionItem(1001, 1, 4, out)"));
}

const char16_t* const kRejected[] = {uR"(CDS:\\TREE\SRV1)", uR"(\\SRV1.X)", uR"(\\A\B\C)", u"SRV1",
                                     uR"(cds:\\tree\o.u\srv1)"};

TEST_F(Binding, RejectedNamesRaiseInvalidNameFormatInUserMode) {
  Create(true);
  for (const char16_t* name : kRejected) {
    SCOPED_TRACE(ole::Utf16ToUtf8(name));
    ExpectRaised(Put(u"FullName", CComVariant(name)), 0xCE01, "Invalid name format");
  }
  std::string tooLong = R"(\\)" + std::string(cvsrva::kMaxNameLength - 1, 'S');
  ExpectRaised(Put(u"FullName", CComVariant(std::string_view(tooLong))), 0xCE01, "Invalid name format");
  EXPECT_THAT(Calls(), IsEmpty());
  EXPECT_EQ(Ctrl().Connection(), 0u);
}

TEST_F(Binding, RejectedNamesLeaveFullNameEmptyInDesignMode) {
  Create(false);
  for (const char16_t* name : kRejected) {
    SCOPED_TRACE(ole::Utf16ToUtf8(name));
    BindPlain();
    std::string release = "CvReleaseConnection(" + std::to_string(Ctrl().Connection()) + ")";
    ASSERT_EQ(Put(u"FullName", CComVariant(name)).hr, S_OK);
    EXPECT_EQ(Text(Get(u"FullName")), "");
    EXPECT_EQ(Ctrl().InternalName(), "");
    // The earlier binding is dropped first.
    EXPECT_THAT(Calls(), ElementsAre(release));
    EXPECT_EQ(Ctrl().Connection(), 0u);
  }
}

TEST_F(Binding, AnAcceptedNameIsAnnouncedAndMarksTheControlModified) {
  Create(true);
  std::vector<DISPID> changed;
  Site().propertyChanged = [&changed](DISPID d) { changed.push_back(d); };
  ExpectRaised(Put(u"FullName", CComVariant(u"\\\\A\\B\\C")), 0xCE01, "Invalid name format");
  EXPECT_THAT(changed, IsEmpty());
  EXPECT_FALSE(Site().IsDirty());

  // Announced before binding, so a binding that then fails is announced too.
  Push("CvGetConnectionHandle", 34831u);
  ExpectRaised(Put(u"FullName", CComVariant(u"\\\\SRV1")), 0x880F, "No licensed connection to the server");
  EXPECT_THAT(changed, ElementsAre(1));
  EXPECT_TRUE(Site().IsDirty());
}

// ---- the directory path ---------------------------------------------------------------

TEST_F(Binding, TheDirectoryPathMakesAContextAndAnAuthenticatedLicensedConnection) {
  Create(true);
  Push("CvGetContext", Ok(Out::U32(0x41)));
  PushServerObject();
  ASSERT_EQ(Put(u"FullName", CComVariant(cvtest::kBrowseName)).hr, S_OK);
  std::vector<std::string> expected = kDirectoryCalls;
  expected[2] = "CvSetContext(2001, 1, 0x45)";  // the flags read, with 4 added
  EXPECT_THAT(Calls(), ElementsAreArray(expected));
  cvsrva::CCvServerAdminCtrl& c = Ctrl();
  EXPECT_EQ(c.Connection(), 1001u);
  EXPECT_EQ(c.DirectoryContext(), 2001u);
  EXPECT_TRUE(c.IsDirectoryName());
  EXPECT_TRUE(c.IsDirectoryBound());
  EXPECT_EQ(c.InternalName(), kDirectory);
  EXPECT_EQ(c.LastBindingError(), 0);
  EXPECT_EQ(Text(Get(u"FullName")), kBrowse);
}

struct DirectoryFailure {
  const char* step;
  std::function<void()> script;
  std::vector<std::string> calls;
  WORD code;  // 0: raised as code 0 (a generic failure)
  const char* text;
  std::uint32_t context;  // the context field afterwards
  std::int32_t lastError;
};

std::vector<DirectoryFailure> DirectoryFailures() {
  const std::string freeContext = "CvFreeContext(2001)";
  const std::string release = "CvReleaseConnection(1001)";
  return {
      {"create context", [] { Push("CvCreateContextHandle", 65208u); }, Prefix(kDirectoryCalls, 1), 0xFEB8,
       "Context creation error", 0, 65208},
      {"read flags", [] { Push("CvGetContext", static_cast<std::uint32_t>(-303)); },
       Prefix(kDirectoryCalls, 2, {freeContext}), 0xFED1, "Corvane error", 0, -303},
      {"write flags", [] { Push("CvSetContext", 35067u); }, Prefix(kDirectoryCalls, 3, {freeContext}), 0x88FB,
       "Invalid parameter", 0, 35067},
      {"set tree",
       [] {
         Push("CvSetContext", 0u);
         Push("CvSetContext", 34870u);
       },
       Prefix(kDirectoryCalls, 4, {freeContext}), 0x8836, "Corvane error", 0, 34870},
      {"set name context",
       [] {
         Push("CvSetContext", 0u);
         Push("CvSetContext", 0u);
         Push("CvSetContext", 35230u);
       },
       Prefix(kDirectoryCalls, 5, {freeContext}), 0x899E, "Invalid entry name", 0, 35230},
      {"read object", [] { Push("CvReadObjectInfo", static_cast<std::uint32_t>(-601)); }, Prefix(kDirectoryCalls, 6),
       0xFDA7, "Invalid entry name", 2001, -601},
      {"not a server",
       [] { Push("CvReadObjectInfo", Ok(Out::Skip(), Out::Record(cvfake::ObjectInfo("KCP server")))); },
       Prefix(kDirectoryCalls, 6), 0, "Corvane error", 2001, 0},
      {"open connection",
       [] {
         PushServerObject();
         Push("CvOpenConnectionToDirServer", 34831u);
       },
       Prefix(kDirectoryCalls, 7), 0x880F, "No licensed connection to the server", 2001, 34831},
      {"authenticate",
       [] {
         PushServerObject();
         Push("CvAuthenticateConnection", 35327u);
       },
       Prefix(kDirectoryCalls, 8, {release}), 0x89FF, "Failure", 2001, 35327},
      {"license",
       [] {
         PushServerObject();
         Push("CvLicenseConnection", static_cast<std::uint32_t>(-344));
       },
       Prefix(kDirectoryCalls, 9, {release}), 0xFEA8, "No licensed connection to the server", 2001, -344},
  };
}

void ExpectBindRaised(const Outcome& o, WORD code, const char* text) {
  if (code != 0) return ExpectRaised(o, code, text);
  EXPECT_EQ(o.hr, DISP_E_EXCEPTION);
  EXPECT_EQ(o.code, 0);
  EXPECT_EQ(o.scode, E_FAIL);
  EXPECT_EQ(o.description, text);
}

TEST_F(Binding, EachDirectoryStepFailureIsRaisedInUserMode) {
  for (const DirectoryFailure& f : DirectoryFailures()) {
    SCOPED_TRACE(f.step);
    cvfake::Reset();
    Create(true);
    f.script();
    ExpectBindRaised(Put(u"FullName", CComVariant(cvtest::kBrowseName)), f.code, f.text);
    EXPECT_THAT(Calls(), ElementsAreArray(f.calls));
    EXPECT_EQ(Ctrl().Connection(), 0u);
    EXPECT_EQ(Ctrl().DirectoryContext(), f.context);
    EXPECT_FALSE(Ctrl().IsDirectoryBound());
    EXPECT_EQ(Ctrl().LastBindingError(), f.lastError);
    EXPECT_EQ(Text(Get(u"FullName")), kBrowse);
  }
}

TEST_F(Binding, EachDirectoryStepFailureEmptiesFullNameInDesignMode) {
  for (const DirectoryFailure& f : DirectoryFailures()) {
    SCOPED_TRACE(f.step);
    cvfake::Reset();
    Create(false);
    f.script();
    Outcome o = Put(u"FullName", CComVariant(cvtest::kBrowseName));
    EXPECT_EQ(o.hr, S_OK) << o.description;
    EXPECT_THAT(Calls(), ElementsAreArray(f.calls));
    EXPECT_EQ(Ctrl().Connection(), 0u);
    EXPECT_EQ(Text(Get(u"FullName")), "");
    // The name stays the one to persist.
    EXPECT_EQ(Ctrl().InternalName(), kDirectory);
  }
}

TEST_F(Binding, EachDirectoryStepFailureIsSilentWhileLoading) {
  for (const DirectoryFailure& f : DirectoryFailures()) {
    SCOPED_TRACE(f.step);
    cvfake::Reset();
    Create(true);
    f.script();
    EXPECT_EQ(Site().LoadState(cvtest::StateBytes(kDirectory)), S_OK);
    EXPECT_THAT(Calls(), ElementsAreArray(f.calls));
    EXPECT_EQ(Ctrl().Connection(), 0u);
    EXPECT_EQ(Text(Get(u"FullName")), "");
  }
}

TEST_F(Binding, BrowseNamesWithoutTreeOrServerAreRefused) {
  Create(true);
  for (const char16_t* name : {uR"(CDS:\\\O\SRV1)", uR"(CDS:\\TREE\O\)"})
    ExpectRaised(Put(u"FullName", CComVariant(name)), 52737, "Invalid name format");
  EXPECT_THAT(Calls(), IsEmpty());
  EXPECT_EQ(Ctrl().DirectoryContext(), 0u);
}

// ---- the plain path ----------------------------------------------------------------

TEST_F(Binding, ThePlainPathAsksForTheConnectionAndItsState) {
  Create(true);
  ASSERT_EQ(Put(u"FullName", CComVariant(u"\\\\srv1")).hr, S_OK);
  EXPECT_THAT(Calls(), ElementsAre("CvGetConnectionHandle(\"SRV1\", 0, out, null)", "CvGetConnectionItem(1001, 1, 4, out)"));
  cvsrva::CCvServerAdminCtrl& c = Ctrl();
  EXPECT_EQ(c.Connection(), 1001u);
  EXPECT_EQ(c.DirectoryContext(), 0u);
  EXPECT_FALSE(c.IsDirectoryName());
  EXPECT_FALSE(c.IsDirectoryBound());
  EXPECT_EQ(c.InternalName(), R"(\\SRV1)");
  EXPECT_EQ(c.LastBindingError(), 0);
  EXPECT_EQ(Text(Get(u"FullName")), R"(\\SRV1)");
}

void PushAuthenticated(std::string_view tree = "ACME___", std::string_view dirName = "srv1.ou.acme..") {
  Push("CvGetConnectionItem", Ok(Out::U32(kCvStateDirectoryAuthenticated)));
  Push("CvGetConnectionItem", Ok(Out::Text(tree)));
  Push("CvGetServerDirectoryName", Ok(Out::Text(dirName)));
}

TEST_F(Binding, ADirectoryAuthenticatedConnectionGetsAContextWithTreeAndServerName) {
  Create(true);
  PushAuthenticated();
  ASSERT_EQ(Put(u"FullName", CComVariant(u"\\\\SRV1")).hr, S_OK);
  EXPECT_THAT(Calls(), ElementsAreArray(kAuthenticatedCalls));
  cvsrva::CCvServerAdminCtrl& c = Ctrl();
  EXPECT_EQ(c.Connection(), 1001u);
  EXPECT_EQ(c.DirectoryContext(), 2001u);
  EXPECT_FALSE(c.IsDirectoryName());
  EXPECT_TRUE(c.IsDirectoryBound());
  EXPECT_EQ(c.TreeName(), "ACME");
  EXPECT_EQ(c.ServerDirectoryName(), "SRV1.OU.ACME");
  EXPECT_EQ(c.InternalName(), R"(\\SRV1)");
}

TEST_F(Binding, ATreeNameOfOnlyPaddingBecomesEmpty) {
  Create(true);
  PushAuthenticated("____", "SRV1.ACME");
  ASSERT_EQ(Put(u"FullName", CComVariant(u"\\\\SRV1")).hr, S_OK);
  EXPECT_EQ(Ctrl().TreeName(), "");
  EXPECT_THAT(cvfake::Calls("CvSetContext"), ElementsAre("CvSetContext(2001, 1, 0x4)", "CvSetContext(2001, 11, \"\")",
                                                         "CvSetContext(2001, 3, \"SRV1.ACME\")"));
}

TEST_F(Binding, FailingContextSetsOfThePlainPathAreIgnored) {
  Create(true);
  PushAuthenticated();
  Push("CvSetContext", 0u);       // flags
  Push("CvSetContext", 35067u);   // tree
  Push("CvSetContext", 35067u);   // name context
  ASSERT_EQ(Put(u"FullName", CComVariant(u"\\\\SRV1")).hr, S_OK);
  EXPECT_THAT(Calls(), ElementsAreArray(kAuthenticatedCalls));
  EXPECT_EQ(Ctrl().DirectoryContext(), 2001u);
  EXPECT_TRUE(Ctrl().IsDirectoryBound());
}

struct PlainFailure {
  const char* step;
  std::function<void()> script;
  std::vector<std::string> calls;
  WORD code;
  const char* text;
  std::uint32_t connection;  // afterwards
  bool directoryBound;
  bool keepsFullName;  // in design mode
};

std::vector<PlainFailure> PlainFailures() {
  return {
      {"connection handle", [] { Push("CvGetConnectionHandle", 34831u); }, Prefix(kAuthenticatedCalls, 1), 0x880F,
       "No licensed connection to the server", 0, false, false},
      {"state", [] { Push("CvGetConnectionItem", 34920u); }, Prefix(kAuthenticatedCalls, 2), 0x8868,
       "Invalid information type", 1001, false, true},
      {"create context",
       [] {
         PushAuthenticated();
         Push("CvCreateContextHandle", 65208u);
       },
       Prefix(kAuthenticatedCalls, 3), 0xFEB8, "Context creation error", 1001, true, true},
      {"tree name",
       [] {
         Push("CvGetConnectionItem", Ok(Out::U32(kCvStateDirectoryAuthenticated)));
         Push("CvGetConnectionItem", 34817u);
       },
       Prefix(kAuthenticatedCalls, 6), 0x8801, "Invalid connection", 1001, true, true},
      {"server directory name",
       [] {
         Push("CvGetConnectionItem", Ok(Out::U32(kCvStateDirectoryAuthenticated)));
         Push("CvGetConnectionItem", Ok(Out::Text("ACME")));
         Push("CvGetServerDirectoryName", static_cast<std::uint32_t>(-601));
       },
       Prefix(kAuthenticatedCalls, 8), 0xFDA7, "Invalid entry name", 1001, true, true},
  };
}

TEST_F(Binding, EachPlainStepFailureIsRaisedInUserMode) {
  for (const PlainFailure& f : PlainFailures()) {
    SCOPED_TRACE(f.step);
    cvfake::Reset();
    f.script();
    Create(true);
    ExpectRaised(Put(u"FullName", CComVariant(u"\\\\SRV1")), f.code, f.text);
    EXPECT_THAT(Calls(), ElementsAreArray(f.calls));
    EXPECT_EQ(Ctrl().Connection(), f.connection);
    EXPECT_EQ(Ctrl().IsDirectoryBound(), f.directoryBound);
    EXPECT_EQ(Text(Get(u"FullName")), R"(\\SRV1)");
  }
}

TEST_F(Binding, EachPlainStepFailureIsSilentInDesignMode) {
  for (const PlainFailure& f : PlainFailures()) {
    SCOPED_TRACE(f.step);
    cvfake::Reset();
    f.script();
    Create(false);
    Outcome o = Put(u"FullName", CComVariant(u"\\\\SRV1"));
    EXPECT_EQ(o.hr, S_OK) << o.description;
    EXPECT_THAT(Calls(), ElementsAreArray(f.calls));
    EXPECT_EQ(Ctrl().Connection(), f.connection);
    EXPECT_EQ(Text(Get(u"FullName")), f.keepsFullName ? R"(\\SRV1)" : "");
  }
}

TEST_F(Binding, AFailedConnectionHandleBecomesTheLastBindingError) {
  Create(false);
  Push("CvGetConnectionHandle", 34831u);
  ASSERT_EQ(Put(u"FullName", CComVariant(u"\\\\SRV1")).hr, S_OK);
  EXPECT_EQ(Ctrl().LastBindingError(), 34831);
  ExpectRaised(Invoke(u"UnloadQRX", {CComVariant(u"apache2.qrx")}), 0x880F, "No licensed connection to the server");
}

// ---- rebinding and loading ----------------------------------------------------------

TEST_F(Binding, ANewNameDropsTheEarlierBindingFirst) {
  Create(true);
  BindDirectory();
  ASSERT_EQ(Put(u"FullName", CComVariant(u"\\\\SRV2")).hr, S_OK);
  EXPECT_THAT(Calls(), ElementsAre("CvReleaseConnection(1001)", "CvFreeContext(2001)",
                                   "CvGetConnectionHandle(\"SRV2\", 0, out, null)", "CvGetConnectionItem(1002, 1, 4, out)"));
  EXPECT_EQ(Ctrl().Connection(), 1002u);
  EXPECT_EQ(Ctrl().DirectoryContext(), 0u);
  EXPECT_FALSE(Ctrl().IsDirectoryName());
  EXPECT_FALSE(Ctrl().IsDirectoryBound());
}

TEST_F(Binding, AnEmptyNameOnlyDropsTheBinding) {
  Create(true);
  BindDirectory();
  ASSERT_EQ(Put(u"FullName", CComVariant(u"")).hr, S_OK);
  EXPECT_THAT(Calls(), ElementsAre("CvReleaseConnection(1001)", "CvFreeContext(2001)"));
  EXPECT_EQ(Ctrl().Connection(), 0u);
  EXPECT_EQ(Ctrl().DirectoryContext(), 0u);
  EXPECT_EQ(Ctrl().InternalName(), "");
  EXPECT_FALSE(Ctrl().IsDirectoryName());
}

TEST_F(Binding, PersistedNamesThatNoLongerBindLoadSilently) {
  struct Case {
    const char* persisted;
    std::function<void()> script;
  };
  const Case cases[] = {
      {R"(\\SRV1)", [] { Push("CvGetConnectionHandle", 34831u); }},
      {R"(\\A\B\C)", [] {}},
      {R"(\\TREE\.SRV1)", [] {}},  // converts to a name without container
      {kDirectory, [] { Push("CvReadObjectInfo", static_cast<std::uint32_t>(-601)); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.persisted);
    cvfake::Reset();
    c.script();
    site_ = std::make_unique<ole::ctl::OleControlSite>();
    site_->SetUserMode(true);
    QByteArray state = cvtest::StateBytes(c.persisted);
    ASSERT_EQ(Site().CreateControl(cvsrva::CLSID_CvSrvAdm, &state), S_OK);
    EXPECT_EQ(Ctrl().Connection(), 0u);
    EXPECT_EQ(Text(Get(u"FullName")), "");
  }
  // Once loaded, failures are raised again.
  ExpectRaised(Put(u"FullName", CComVariant(u"\\\\A\\B\\C")), 0xCE01, "Invalid name format");
}

TEST_F(Binding, APlainPersistedNameBindsOnLoad) {
  site_ = std::make_unique<ole::ctl::OleControlSite>();
  QByteArray state = cvtest::StateBytes(R"(\\SRV1)");
  ASSERT_EQ(Site().CreateControl(cvsrva::CLSID_CvSrvAdm, &state), S_OK);
  EXPECT_THAT(cvfake::Calls("CvGetConnectionHandle"), ElementsAre("CvGetConnectionHandle(\"SRV1\", 0, out, null)"));
  EXPECT_EQ(Ctrl().Connection(), 1001u);
  EXPECT_EQ(Text(Get(u"FullName")), R"(\\SRV1)");
}

}  // namespace
