// The server information properties: what each asks the client library, the
// not-initialised check, library failures in user and design mode, and the
// two ways Description is read.
#include <functional>

#include "control/fixture.h"

namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAreArray;
using cvfake::Ok;
using cvfake::Out;
using cvfake::Push;
using cvtest::ExpectRaised;
using cvtest::Outcome;

// A value as the host reads it.
std::string Show(const VARIANT& v) {
  switch (v.vt) {
    case VT_BSTR: return "\"" + ole::BstrToUtf8(v.bstrVal) + "\"";
    case VT_I2: return "I2 " + std::to_string(v.iVal);
    case VT_BOOL: return v.boolVal == VARIANT_TRUE ? "TRUE" : v.boolVal == VARIANT_FALSE ? "FALSE" : "BOOL?";
    default: return "vt " + std::to_string(v.vt);
  }
}

struct Getter {
  const char16_t* name;
  const char* op;
  const char* call;      // on connection 1001
  const char* value;     // with the replies of ScriptServer
  const char* fallback;  // in design mode
};

const Getter kGetters[] = {
    {u"CorvaneVersion", "CvGetConnectionItem", "CvGetConnectionItem(1001, 12, 12, out)", "\"5.70\"", "\"\""},
    {u"Description", "CvGetServerDescription", "CvGetServerDescription(1001, null, out, null, null)", "\"Web server\"",
     "\"\""},
    {u"DirectoryInstalled", "CvGetConnectionItem", "CvGetConnectionItem(1001, 8, 4, out)", "TRUE", "FALSE"},
    {u"ShortName", "CvGetConnectionItem", "CvGetConnectionItem(1001, 7, 49, out)", "\"SRV1\"", "\"\""},
    {u"TotalConnections", "CvGetServerInformation",
     "CvGetServerInformation(1001, null, null, null, null, out, null, null)", "I2 250", "I2 0"},
    {u"UsedConnections", "CvGetServerInformation",
     "CvGetServerInformation(1001, null, null, null, null, null, null, out)", "I2 17", "I2 0"},
    {u"Company", "CvGetServerDescription", "CvGetServerDescription(1001, out, null, null, null)", "\"Acme Inc.\"", "\"\""},
};

const char* const kGetterOps[] = {"CvGetConnectionItem", "CvGetServerDescription", "CvGetServerInformation"};

// Replies for the getter `name`: every output the operation has, so that each
// getter must take its own.
void ScriptServer(std::u16string_view name) {
  if (name == u"CorvaneVersion") Push("CvGetConnectionItem", Ok(Out::Record(cvfake::Version(5, 70, 3))));
  if (name == u"DirectoryInstalled") Push("CvGetConnectionItem", Ok(Out::U32(0x100)));
  if (name == u"ShortName") Push("CvGetConnectionItem", Ok(Out::Text("SRV1")));
  cvfake::SetDefault("CvGetServerDescription", Ok(Out::Text("Acme Inc."), Out::Text("Web server"), Out::Text("1.1.2020"),
                                                  Out::Text("(c) Acme")));
  cvfake::SetDefault("CvGetServerInformation", Ok(Out::Text("SRV1"), Out::U8(5), Out::U8(70), Out::U8(3), Out::U16(250),
                                                  Out::U16(40), Out::U16(17)));
}

class Properties : public cvtest::ControlTest {};

TEST_F(Properties, EachGetterAsksTheLibraryOnceWithItsOwnItem) {
  Create(true);
  BindPlain();
  for (const Getter& g : kGetters) {
    SCOPED_TRACE(ole::Utf16ToUtf8(g.name));
    ScriptServer(g.name);
    ClearCalls();
    Outcome o = Get(g.name);
    ASSERT_EQ(o.hr, S_OK) << o.description;
    EXPECT_EQ(Show(o.value), g.value);
    EXPECT_THAT(Calls(), ElementsAre(g.call));
  }
}

TEST_F(Properties, LibraryFailuresAreRaisedInUserMode) {
  Create(true);
  BindPlain();
  for (const char* op : kGetterOps) cvfake::SetDefault(op, 35067u);
  for (const Getter& g : kGetters) {
    SCOPED_TRACE(ole::Utf16ToUtf8(g.name));
    ExpectRaised(Get(g.name), 0x88FB, "Invalid parameter");
  }
}

TEST_F(Properties, LibraryFailuresGiveTheFallbackInDesignMode) {
  Create(false);
  BindPlain();
  for (const char* op : kGetterOps) cvfake::SetDefault(op, cvfake::Reply(35067u, {Out::Text("stale"), Out::Text("stale")}));
  for (const Getter& g : kGetters) {
    SCOPED_TRACE(ole::Utf16ToUtf8(g.name));
    Outcome o = Get(g.name);
    ASSERT_EQ(o.hr, S_OK) << o.description;
    EXPECT_EQ(Show(o.value), g.fallback);
  }
}

TEST_F(Properties, AnUninitialisedControlRaisesBeforeAskingTheLibrary) {
  Create(true);
  for (const Getter& g : kGetters) {
    SCOPED_TRACE(ole::Utf16ToUtf8(g.name));
    ExpectRaised(Get(g.name), 0xCE15, "Control not initialized");
  }
  ExpectRaised(Get(u"ActiveConnections"), 0xCE15, "Control not initialized");
  EXPECT_THAT(Calls(), IsEmpty());
}

TEST_F(Properties, AnUninitialisedControlInDesignModeAsksWithHandle0AndFallsBack) {
  Create(false);
  for (const char* op : kGetterOps) cvfake::SetDefault(op, 34817u);  // what the library says to handle 0
  for (const Getter& g : kGetters) {
    SCOPED_TRACE(ole::Utf16ToUtf8(g.name));
    ClearCalls();
    Outcome o = Get(g.name);
    ASSERT_EQ(o.hr, S_OK) << o.description;
    EXPECT_EQ(Show(o.value), g.fallback);
    if (std::u16string_view(g.name) == u"ShortName") {
      EXPECT_THAT(Calls(), IsEmpty());
    } else {
      std::string call = g.call;
      EXPECT_THAT(Calls(), ElementsAre(call.replace(call.find("1001"), 4, "0")));
    }
  }
}

TEST_F(Properties, AFailedBindingLeavesTheGettersAskingWithHandle0) {
  Create(true);
  Push("CvGetConnectionHandle", 34831u);
  ExpectRaised(Put(u"FullName", CComVariant(u"\\\\SRV1")), 0x880F, "No licensed connection to the server");
  ClearCalls();
  // FullName is set, so the getters go on, and the library refuses handle 0.
  Outcome shortName = Get(u"ShortName");
  EXPECT_EQ(shortName.hr, S_OK);
  EXPECT_EQ(Show(shortName.value), "\"\"");
  EXPECT_THAT(Calls(), IsEmpty());
  Push("CvGetConnectionItem", 34817u);
  ExpectRaised(Get(u"CorvaneVersion"), 0x8801, "Invalid connection");
  EXPECT_THAT(Calls(), ElementsAre("CvGetConnectionItem(0, 12, 12, out)"));
}

TEST_F(Properties, ConnectionCountsAboveTheShortRangeAreNegative) {
  Create(true);
  BindPlain();
  struct Case {
    std::uint16_t total, used;
    SHORT wantTotal, wantUsed;
  };
  for (Case c : {Case{32767, 0, 32767, 0}, Case{32768, 40000, -32768, -25536}, Case{65535, 65535, -1, -1}}) {
    SCOPED_TRACE(c.total);
    auto reply = Ok(Out::Skip(), Out::Skip(), Out::Skip(), Out::Skip(), Out::U16(c.total), Out::U16(1), Out::U16(c.used));
    Push("CvGetServerInformation", reply);
    Push("CvGetServerInformation", reply);
    Outcome total = Get(u"TotalConnections");
    Outcome used = Get(u"UsedConnections");
    ASSERT_EQ(total.value.vt, VT_I2);
    ASSERT_EQ(used.value.vt, VT_I2);
    EXPECT_EQ(total.value.iVal, c.wantTotal);
    EXPECT_EQ(used.value.iVal, c.wantUsed);
  }
}

TEST_F(Properties, CorvaneVersionIsMajorDotMinorUnsigned) {
  Create(true);
  BindPlain();
  struct Case {
    CvVersionItem v;
    const char* text;
  };
  for (Case c : {Case{{0, 0, 9}, "0.0"}, Case{{6, 5, 1}, "6.5"}, Case{{4000000000u, 4294967295u, 0}, "4000000000.4294967295"}}) {
    Push("CvGetConnectionItem", Ok(Out::Record(c.v)));
    EXPECT_EQ(Show(Get(u"CorvaneVersion").value), std::string("\"") + c.text + "\"");
  }
}

TEST_F(Properties, ServerTextsAreCutToTheirAreas) {
  Create(true);
  BindPlain();
  std::string longText(150, 'x');
  Push("CvGetServerDescription", Ok(Out::Text(longText)));
  Push("CvGetConnectionItem", Ok(Out::Text(longText)));
  EXPECT_EQ(Show(Get(u"Company").value), "\"" + std::string(99, 'x') + "\"");
  EXPECT_EQ(Show(Get(u"ShortName").value), "\"" + std::string(48, 'x') + "\"");
}

// ---- Description through the directory ----------------------------------------------

// The read of the attribute "Description" through context 2001, every step
// succeeding, without the two buffer frees.
const std::vector<std::string> kAttributeCalls = {
    "CvAllocBuffer(4096, out)",
    "CvAllocBuffer(4096, out)",
    "CvInitDirBuffer(2001, 3, 3001)",
    "CvPutAttributeName(2001, 3001, \"Description\")",
    "CvReadObject(2001, \"\", 1, 0, 3001, 0xFFFFFFFF, 3002)",
    "CvGetAttributeCount(2001, 3002, out)",
    "CvGetAttributeName(2001, 3002, out, out, out)",
    "CvGetAttributeValueSize(2001, 3002, 9, out)",
    "CvGetAttributeValue(2001, 3002, 9, 11, out)",
};
const std::vector<std::string> kBothFrees = {"CvFreeBuffer(3001)", "CvFreeBuffer(3002)"};

void ScriptAttribute() {
  Push("CvGetAttributeCount", Ok(Out::U32(1)));
  Push("CvGetAttributeName", Ok(Out::Text("Description"), Out::U32(1), Out::U32(9)));
  Push("CvGetAttributeValueSize", Ok(Out::U32(10)));
  Push("CvGetAttributeValue", Ok(Out::Text("Web server")));
}

std::vector<std::string> Without(std::vector<std::string> calls, std::string_view op) {
  std::erase_if(calls, [op](const std::string& c) { return c.starts_with(op); });
  return calls;
}

TEST_F(Properties, DescriptionOfADirectoryServerIsItsAttribute) {
  Create(true);
  BindDirectory();
  ScriptAttribute();
  Outcome o = Get(u"Description");
  ASSERT_EQ(o.hr, S_OK);
  EXPECT_EQ(Show(o.value), "\"Web server\"");
  EXPECT_THAT(Without(Calls(), "CvFreeBuffer"), ElementsAreArray(kAttributeCalls));
  EXPECT_THAT(cvfake::Calls("CvFreeBuffer"), UnorderedElementsAreArray(kBothFrees));
  EXPECT_THAT(cvfake::Calls("CvGetServerDescription"), IsEmpty());
}

TEST_F(Properties, DescriptionOfAPlainNameOnADirectoryAuthenticatedConnectionIsItsAttribute) {
  Create(true);
  Push("CvGetConnectionItem", Ok(Out::U32(kCvStateDirectoryAuthenticated)));
  ASSERT_EQ(Put(u"FullName", CComVariant(u"\\\\SRV1")).hr, S_OK);
  ASSERT_TRUE(Ctrl().IsDirectoryBound());
  ClearCalls();
  ScriptAttribute();
  EXPECT_EQ(Show(Get(u"Description").value), "\"Web server\"");
  EXPECT_THAT(Without(Calls(), "CvFreeBuffer"), ElementsAreArray(kAttributeCalls));
}

TEST_F(Properties, ADirectoryNameAloneChoosesTheAttributeRead) {
  // The binding failed after making the context: not directory-bound, but the
  // name is a directory name.
  Create(true);
  Push("CvReadObjectInfo", Ok(Out::Skip(), Out::Record(cvfake::ObjectInfo("KCP Server"))));
  Push("CvLicenseConnection", 35067u);
  ExpectRaised(Put(u"FullName", CComVariant(cvtest::kBrowseName)), 0x88FB, "Invalid parameter");
  ASSERT_FALSE(Ctrl().IsDirectoryBound());
  ClearCalls();
  ScriptAttribute();
  EXPECT_EQ(Show(Get(u"Description").value), "\"Web server\"");
  EXPECT_THAT(cvfake::Calls("CvGetServerDescription"), IsEmpty());
}

TEST_F(Properties, AnUnfinishedAttributeReadIsClosedBeforeTheBuffersAreFreed) {
  Create(true);
  BindDirectory();
  ScriptAttribute();
  Push("CvReadObject", Ok(Out::U32(0x1234)));
  EXPECT_EQ(Show(Get(u"Description").value), "\"Web server\"");
  std::vector<std::string> calls = Calls();
  ASSERT_EQ(calls.size(), kAttributeCalls.size() + 3);
  EXPECT_EQ(calls[kAttributeCalls.size()], "CvCloseIteration(2001, 0x1234, 3)");
  EXPECT_THAT(std::vector<std::string>(calls.end() - 2, calls.end()), UnorderedElementsAreArray(kBothFrees));
}

struct AttributeFailure {
  const char* step;
  std::function<void()> script;
  std::size_t calls;  // of kAttributeCalls
  std::vector<std::string> frees;
  bool closes;  // CvCloseIteration(2001, 0x1234, 3)
};

constexpr std::uint32_t kOom = static_cast<std::uint32_t>(-301);

std::vector<AttributeFailure> AttributeFailures() {
  return {
      {"request buffer", [] { Push("CvAllocBuffer", kOom); }, 1, {}, false},
      {"reply buffer",
       [] {
         Push("CvAllocBuffer", 0u);
         Push("CvAllocBuffer", kOom);
       },
       2, {"CvFreeBuffer(3001)"}, false},
      {"init request", [] { Push("CvInitDirBuffer", 34870u); }, 3, kBothFrees, false},
      {"put name", [] { Push("CvPutAttributeName", 34870u); }, 4, kBothFrees, false},
      {"read", [] { Push("CvReadObject", cvfake::Reply(static_cast<std::uint32_t>(-601), {Out::U32(0x1234)})); }, 5,
       kBothFrees, true},
      {"no attribute",
       [] {
         Push("CvGetAttributeCount", Ok(Out::U32(0)));
       },
       6, kBothFrees, false},
      {"attribute name",
       [] {
         Push("CvGetAttributeCount", Ok(Out::U32(1)));
         Push("CvGetAttributeName", 34830u);
       },
       7, kBothFrees, false},
      {"no value",
       [] {
         Push("CvGetAttributeCount", Ok(Out::U32(1)));
         Push("CvGetAttributeName", Ok(Out::Text("Description"), Out::U32(0), Out::U32(9)));
       },
       7, kBothFrees, false},
      {"value size",
       [] {
         Push("CvGetAttributeCount", Ok(Out::U32(1)));
         Push("CvGetAttributeName", Ok(Out::Text("Description"), Out::U32(1), Out::U32(9)));
         Push("CvGetAttributeValueSize", 34830u);
       },
       8, kBothFrees, false},
      {"value",
       [] {
         Push("CvGetAttributeCount", Ok(Out::U32(1)));
         Push("CvGetAttributeName", Ok(Out::Text("Description"), Out::U32(1), Out::U32(9)));
         Push("CvGetAttributeValueSize", Ok(Out::U32(10)));
         Push("CvGetAttributeValue", cvfake::Reply(34830u, {Out::Text("Web serve")}));
       },
       9, kBothFrees, false},
  };
}

TEST_F(Properties, AFailingAttributeReadGivesEmptyTextWithoutRaising) {
  for (const AttributeFailure& f : AttributeFailures()) {
    SCOPED_TRACE(f.step);
    cvfake::Reset();
    Create(true);
    BindDirectory();
    f.script();
    Outcome o = Get(u"Description");
    ASSERT_EQ(o.hr, S_OK) << o.description;
    EXPECT_EQ(Show(o.value), "\"\"");
    std::vector<std::string> expected(kAttributeCalls.begin(), kAttributeCalls.begin() + static_cast<std::ptrdiff_t>(f.calls));
    if (f.closes) expected.push_back("CvCloseIteration(2001, 0x1234, 3)");
    EXPECT_THAT(Without(Calls(), "CvFreeBuffer"), ElementsAreArray(expected));
    EXPECT_THAT(cvfake::Calls("CvFreeBuffer"), UnorderedElementsAreArray(f.frees));
  }
}

}  // namespace
