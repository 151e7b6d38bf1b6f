// The connections collection over the scripted client: the build in plain
// and directory mode, Item, Count, Remove, Refresh, SendBroadCast in batches,
// SendMessage, the address and login-time formats, the enumerator, and the
// lifetimes of what the collection hands out.
#include <functional>
#include <map>

#include "connections.h"
#include "control/fixture.h"
#include "ole/date.h"

namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using cvfake::Ok;
using cvfake::Out;
using cvfake::Push;
using cvtest::CallOn;
using cvtest::ExpectRaised;
using cvtest::Outcome;

constexpr WORD kLimit = 0xCE10;
constexpr char kLimitText[] = "Exceeds the limit";

struct User {
  std::string name;
  std::uint32_t id = 0;
  CvLoginTime login = cvfake::LoginTime(126, 12, 8, 9, 30, 0);
  CvConnectionAddress address = cvfake::Ipv4Address(127, 0, 0, 1);
  bool addressFails = false;
};

// Scripts one build: the capacity, then each slot from 1 to it (a failure for
// a free slot), each occupied slot's address.
void ScriptSlots(std::uint16_t capacity, const std::map<std::uint16_t, User>& users) {
  Push("CvGetServerInformation", Ok(Out::Skip(), Out::Skip(), Out::Skip(), Out::Skip(), Out::U16(capacity)));
  for (std::uint16_t c = 1; c <= capacity; ++c) {
    auto it = users.find(c);
    if (it == users.end()) {
      Push("CvGetConnectionInformation", kCvErrBadConnectionNumber);
      continue;
    }
    const User& u = it->second;
    Push("CvGetConnectionInformation",
         Ok(Out::Text(u.name), Out::U16(1), Out::U32(u.id), Out::Record(u.login)));
    Push("CvGetConnectionAddress", u.addressFails ? cvfake::Reply(kCvErrBadConnectionNumber)
                                                  : Ok(Out::Record(u.address)));
  }
}

std::string Text(const CComVariant& v) { return v.vt == VT_BSTR ? ole::BstrToUtf8(v.bstrVal) : "<not text>"; }

class Connections : public cvtest::ControlTest {
 protected:
  // ActiveConnections of a control bound to \\SALES1 (connection 1001).
  ComPtr<IDispatch> Collection(std::uint16_t capacity, const std::map<std::uint16_t, User>& users,
                               const char16_t* server = u"\\\\SALES1") {
    if (!site_) {
      Create(true);
      EXPECT_EQ(Put(u"FullName", CComVariant(server)).hr, S_OK);
      ClearCalls();
    }
    ScriptSlots(capacity, users);
    Outcome o = Get(u"ActiveConnections");
    EXPECT_EQ(o.hr, S_OK) << o.description;
    EXPECT_EQ(o.value.vt, VT_DISPATCH);
    return ComPtr<IDispatch>(o.value.vt == VT_DISPATCH ? o.value.pdispVal : nullptr);
  }

  static LONG Count(IDispatch* c) {
    Outcome o = CallOn(c, u"Count", DISPATCH_PROPERTYGET);
    EXPECT_EQ(o.hr, S_OK);
    return o.value.lVal;
  }
  static ComPtr<IDispatch> Item(IDispatch* c, LONG i) {
    Outcome o = CallOn(c, u"Item", DISPATCH_PROPERTYGET, {CComVariant(i)});
    EXPECT_EQ(o.hr, S_OK) << o.description;
    return ComPtr<IDispatch>(o.value.vt == VT_DISPATCH ? o.value.pdispVal : nullptr);
  }
  static CComVariant Prop(IDispatch* d, const char16_t* name) { return CallOn(d, name, DISPATCH_PROPERTYGET).value; }
  static ComPtr<IEnumVARIANT> Enum(IDispatch* c) {
    Outcome o = CallOn(c, u"_NewEnum", DISPATCH_PROPERTYGET);
    EXPECT_EQ(o.value.vt, VT_UNKNOWN);
    ComPtr<IEnumVARIANT> e;
    if (o.value.vt == VT_UNKNOWN) o.value.punkVal->QueryInterface(IID_IEnumVARIANT, e.PpvOut());
    return e;
  }
  static SHORT Number(const VARIANT& v) {
    return v.vt == VT_DISPATCH ? Prop(v.pdispVal, u"ConnectionNumber").iVal : SHORT(-999);
  }
};

const std::map<std::uint16_t, User> kThree = {{2, {"ADMIN", 1}}, {5, {"JSMITH", 7}}, {9, {"GUEST", 2}}};

// ---- building ----------------------------------------------------------------------

TEST_F(Connections, PlainBuildScansEverySlotAndNamesEntriesAfterTheServer) {
  auto c = Collection(6, {{5, {"JSMITH", 7, cvfake::LoginTime(99, 12, 31, 23, 59, 58)}}});
  EXPECT_THAT(Calls(), ElementsAre("CvGetServerInformation(1001, null, null, null, null, out, null, null)",
                                   "CvGetConnectionInformation(1001, 1, out, out, out, out)",
                                   "CvGetConnectionInformation(1001, 2, out, out, out, out)",
                                   "CvGetConnectionInformation(1001, 3, out, out, out, out)",
                                   "CvGetConnectionInformation(1001, 4, out, out, out, out)",
                                   "CvGetConnectionInformation(1001, 5, out, out, out, out)",
                                   "CvGetConnectionAddress(1001, 5, out)",
                                   "CvGetConnectionInformation(1001, 6, out, out, out, out)"));
  ASSERT_EQ(Count(c.Get()), 1);
  auto e = Item(c.Get(), 0);
  EXPECT_EQ(Text(Prop(e.Get(), u"FullName")), "\\\\SALES1\\JSMITH");
  EXPECT_EQ(Text(Prop(e.Get(), u"ShortName")), "JSMITH");
  EXPECT_EQ(Prop(e.Get(), u"ConnectionNumber").iVal, 5);
  EXPECT_EQ(Text(Prop(e.Get(), u"NetworkAddress")), "127.0.0.1");
  EXPECT_EQ(Prop(e.Get(), u"ConnectionType").iVal, 11);
  CComVariant login = Prop(e.Get(), u"LoginTime");
  ASSERT_EQ(login.vt, VT_DATE);
  EXPECT_EQ(login.date, *ole::DateFromCivil({1999, 12, 31, 23, 59, 58}));
}

TEST_F(Connections, CapacityZeroGivesAnEmptyCollection) {
  auto c = Collection(0, {});
  EXPECT_EQ(Count(c.Get()), 0);
  ExpectRaised(CallOn(c.Get(), u"Item", DISPATCH_PROPERTYGET, {CComVariant(LONG{0})}), kLimit, kLimitText);
  auto e = Enum(c.Get());
  ASSERT_TRUE(e);
  VARIANT v;
  ULONG fetched = 7;
  EXPECT_EQ(e->Next(1, &v, &fetched), S_FALSE);
  EXPECT_EQ(fetched, 0u);
  ClearCalls();
  EXPECT_EQ(CallOn(c.Get(), u"SendBroadCast", DISPATCH_METHOD, {CComVariant("hello")}).hr, S_OK);
  EXPECT_THAT(Calls(), IsEmpty());
}

TEST_F(Connections, ItemIsZeroBasedAndBounded) {
  auto c = Collection(10, kThree);
  ASSERT_EQ(Count(c.Get()), 3);
  EXPECT_EQ(Prop(Item(c.Get(), 0).Get(), u"ConnectionNumber").iVal, 2) << "the lowest connection number first";
  EXPECT_EQ(Prop(Item(c.Get(), 2).Get(), u"ConnectionNumber").iVal, 9);
  for (LONG bad : {-1, 3, 1000}) {
    SCOPED_TRACE(bad);
    ExpectRaised(CallOn(c.Get(), u"Item", DISPATCH_PROPERTYGET, {CComVariant(bad)}), kLimit, kLimitText);
  }
  EXPECT_EQ(CallOn(c.Get(), u"Item", DISPATCH_METHOD, {CComVariant(LONG{1})}).hr, S_OK);
}

TEST_F(Connections, SlotsAndAddressesThatCannotBeReadAreNoErrors) {
  User noAddress{"NOADDR", 3};
  noAddress.addressFails = true;
  User ipx{"IPX", 4, cvfake::LoginTime(101, 1, 2, 3, 4, 5),
           cvfake::Address({0x00, 0x00, 0xAB, 0xCD, 0x00, 0xA0, 0xC9, 0x12, 0x34, 0x56, 0x40, 0x05}, 0)};
  User badDate{"BADDATE", 5, cvfake::LoginTime(120, 0, 0, 25, 0, 0), cvfake::Address({192, 168, 0, 10}, 11)};
  auto c = Collection(3, {{1, noAddress}, {2, ipx}, {3, badDate}});
  ASSERT_EQ(Count(c.Get()), 3);
  auto a = Item(c.Get(), 0);
  EXPECT_EQ(Text(Prop(a.Get(), u"NetworkAddress")), "");
  EXPECT_EQ(Prop(a.Get(), u"ConnectionType").iVal, 0) << "the record's initial content";
  auto b = Item(c.Get(), 1);
  EXPECT_EQ(Text(Prop(b.Get(), u"NetworkAddress")), "0000ABCD:00A0C9123456:4005");
  EXPECT_EQ(Prop(b.Get(), u"LoginTime").date, *ole::DateFromCivil({2001, 1, 2, 3, 4, 5}));
  auto d = Item(c.Get(), 2);
  EXPECT_EQ(Text(Prop(d.Get(), u"NetworkAddress")), "192.168.0.10");
  EXPECT_EQ(Prop(d.Get(), u"LoginTime").date, 0.0) << "no valid date";
}

TEST_F(Connections, AddressFormats) {
  struct Case {
    std::vector<std::uint8_t> bytes;
    std::uint16_t type;
    const char* text;
  };
  const Case cases[] = {
      {{192, 168, 0, 10}, 11, "192.168.0.10"},
      {{255, 255, 255, 255, 0x1F, 0x90}, 11, "255.255.255.255"},
      {{0x00, 0x00, 0xAB, 0xCD, 0x00, 0xA0, 0xC9, 0x12, 0x34, 0x56, 0x40, 0x05}, 0, "0000ABCD:00A0C9123456:4005"},
      {{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, 23, "00000000:000000000000:0001"},
      {{0xFE, 0xDC, 0xBA, 0x98}, 1, "FEDCBA98:000000000000:0000"},
  };
  for (const Case& c : cases) EXPECT_EQ(cvsrva::FormatNetworkAddress(cvfake::Address(c.bytes, c.type)), c.text);
}

TEST_F(Connections, LibraryFailuresOfTheBuildAreRaised) {
  Create(true);
  ASSERT_EQ(Put(u"FullName", CComVariant(u"\\\\SALES1")).hr, S_OK);
  Push("CvGetServerInformation", kCvErrNoAnswer);
  ExpectRaised(Get(u"ActiveConnections"), 0x8805, "Attempt to receive from the selected transport failed.");
  Push("CvGetServerInformation", 9999);
  ExpectRaised(Get(u"ActiveConnections"), 9999, "Corvane error");
}

TEST_F(Connections, EmptyFullNameRaisesInUserModeAndBuildsUnboundInDesignMode) {
  Create(true);
  ExpectRaised(Get(u"ActiveConnections"), 0xCE15, "Control not initialized");
  EXPECT_THAT(Calls(), IsEmpty());
  SetUserMode(false);
  ScriptSlots(1, {});
  Outcome o = Get(u"ActiveConnections");
  EXPECT_EQ(o.hr, S_OK);
  EXPECT_THAT(Calls(), ElementsAre("CvGetServerInformation(0, null, null, null, null, out, null, null)",
                                   "CvGetConnectionInformation(0, 1, out, out, out, out)"));
}

TEST_F(Connections, PropertiesCannotBeSet) {
  auto c = Collection(10, kThree);
  auto e = Item(c.Get(), 0);
  for (const char16_t* name : {u"FullName", u"ShortName", u"LoginTime", u"NetworkAddress", u"ConnectionNumber",
                               u"ConnectionType"}) {
    Outcome o = CallOn(e.Get(), name, DISPATCH_PROPERTYPUT, {CComVariant(SHORT{1})});
    EXPECT_EQ(o.scode, CTL_E_SETNOTSUPPORTED) << ole::Utf16ToUtf8(name);
  }
  EXPECT_EQ(CallOn(c.Get(), u"Count", DISPATCH_PROPERTYPUT, {CComVariant(LONG{1})}).scode, CTL_E_SETNOTSUPPORTED);
  EXPECT_EQ(CallOn(c.Get(), u"Item", DISPATCH_PROPERTYPUT, {CComVariant(LONG{0}), CComVariant(LONG{1})}).scode,
            CTL_E_SETNOTSUPPORTED);
}

TEST_F(Connections, DispidsArePositionalAndNewEnumIsMinusFour) {
  auto c = Collection(10, kThree);
  auto e = Item(c.Get(), 0);
  auto id = [](IDispatch* d, const char16_t* name) {
    DISPID id = 0;
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    EXPECT_EQ(d->GetIDsOfNames(IID_NULL, names, 1, 0, &id), S_OK);
    return id;
  };
  const char16_t* collection[] = {u"Count", u"SendBroadCast", u"Refresh", u"Remove", u"Item"};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(id(c.Get(), collection[i]), i + 1);
  EXPECT_EQ(id(c.Get(), u"_NewEnum"), DISPID_NEWENUM);
  const char16_t* entry[] = {u"FullName", u"ShortName", u"LoginTime", u"NetworkAddress", u"ConnectionNumber",
                             u"ConnectionType", u"SendMessage"};
  for (int i = 0; i < 7; ++i) EXPECT_EQ(id(e.Get(), entry[i]), i + 1);
  // No default member: a call of dispid 0 is refused.
  DISPPARAMS none{};
  CComVariant r;
  EXPECT_EQ(c->Invoke(DISPID_VALUE, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &r, nullptr, nullptr),
            DISP_E_MEMBERNOTFOUND);
}

// ---- directory mode ----------------------------------------------------------------

// Binds to the browse name through the directory, then scripts the rebuild's
// re-resolution over a directory-authenticated connection with tree.
class DirectoryConnections : public Connections {
 protected:
  void SetUp() override {
    Connections::SetUp();
    Create(true);
    BindDirectory();  // context 2001, connection 1001
  }
  static void ScriptResolve(const char* tree) {
    Push("CvGetConnectionItem", Ok(Out::U32(kCvStateDirectoryAuthenticated)));
    Push("CvGetContext", Ok(Out::U32(0x41)));  // made by the rebuild
    Push("CvGetContext", Ok(Out::U32(0x15)));
    Push("CvGetConnectionItem", Ok(Out::Text(tree)));
    Push("CvGetServerDirectoryName", Ok(Out::Text("srv1.ou.o.")));
    Push("CvGetConnectionItem", Ok(Out::Text(tree)));
  }
  ComPtr<IDispatch> Build(std::uint16_t capacity, const std::map<std::uint16_t, User>& users) {
    ScriptSlots(capacity, users);
    Outcome o = Get(u"ActiveConnections");
    EXPECT_EQ(o.hr, S_OK) << o.description;
    return ComPtr<IDispatch>(o.value.vt == VT_DISPATCH ? o.value.pdispVal : nullptr);
  }
};

TEST_F(DirectoryConnections, RebuildResolvesTheServerAndNamesEntriesFromTheDirectory) {
  ScriptResolve("ACME___");
  Push("CvMapIdToName", Ok(Out::Text("JSMITH.SALES.ACME")));
  Push("CvMapIdToName", kCvErrDirNoSuchEntry);
  auto c = Build(3, {{1, {"JSMITH", 77}}, {3, {"ADMIN", 1}}});
  EXPECT_THAT(Calls(), ElementsAre("CvGetConnectionHandle(\"SRV1\", 0, out, null)",
                                   "CvGetConnectionItem(1002, 1, 4, out)",
                                   "CvCreateContextHandle(out)",
                                   "CvGetContext(2002, 1, out)",
                                   "CvSetContext(2002, 1, 0x45)",
                                   "CvGetContext(2002, 1, out)",
                                   "CvSetContext(2002, 1, 0x5)",
                                   "CvGetConnectionItem(1002, 4, 514, out)",
                                   "CvSetContext(2002, 11, \"ACME\")",
                                   "CvGetServerDirectoryName(2002, 1002, out)",
                                   "CvSetContext(2002, 3, \"SRV1.OU.O\")",
                                   "CvGetServerInformation(1002, null, null, null, null, out, null, null)",
                                   "CvGetConnectionItem(1002, 4, 514, out)",
                                   "CvGetConnectionInformation(1002, 1, out, out, out, out)",
                                   "CvMapIdToName(2002, 1002, 77, out)",
                                   "CvGetConnectionAddress(1002, 1, out)",
                                   "CvGetConnectionInformation(1002, 2, out, out, out, out)",
                                   "CvGetConnectionInformation(1002, 3, out, out, out, out)",
                                   "CvMapIdToName(2002, 1002, 1, out)",
                                   "CvGetConnectionAddress(1002, 3, out)"));
  ASSERT_EQ(Count(c.Get()), 2);
  auto mapped = Item(c.Get(), 0);
  EXPECT_EQ(Text(Prop(mapped.Get(), u"FullName")), "CDS:\\\\ACME\\ACME\\SALES\\JSMITH");
  EXPECT_EQ(Text(Prop(mapped.Get(), u"ShortName")), "JSMITH");
  auto unmapped = Item(c.Get(), 1);
  EXPECT_EQ(Text(Prop(unmapped.Get(), u"FullName")), "ADMIN");
  EXPECT_EQ(Text(Prop(unmapped.Get(), u"ShortName")), "ADMIN");

  // The collection sends through the connection it resolved, and releases
  // what it took itself (never the control's connection and context).
  ClearCalls();
  EXPECT_EQ(CallOn(c.Get(), u"SendBroadCast", DISPATCH_METHOD, {CComVariant("hi")}).hr, S_OK);
  mapped.Reset();
  unmapped.Reset();
  c.Reset();
  EXPECT_THAT(Calls(), ElementsAre("CvSendBroadcastMessage(1002, \"hi\", 2, [1, 3], out)", "CvFreeContext(2002)",
                                   "CvReleaseConnection(1002)"));
}

TEST_F(DirectoryConnections, TreeNameOfOnlyPaddingIsEmpty) {
  ScriptResolve("___");
  Push("CvMapIdToName", Ok(Out::Text("JSMITH.SALES.ACME")));
  auto c = Build(1, {{1, {"JSMITH", 77}}});
  EXPECT_THAT(cvfake::Calls("CvSetContext"), testing::Contains("CvSetContext(2002, 11, \"\")"));
  auto e = Item(c.Get(), 0);
  EXPECT_EQ(Text(Prop(e.Get(), u"FullName")), "CDS:") << "no tree: the name parts are empty";
  EXPECT_EQ(Text(Prop(e.Get(), u"ShortName")), "");
}

TEST_F(DirectoryConnections, MappedNamesAreNormalizedIntoPaths) {
  struct Case {
    const char* mapped;
    const char* fullName;
    const char* shortName;
  };
  const Case cases[] = {
      {" ..JSMITH.SALES.ACME. ", "CDS:\\\\ACME\\ACME\\SALES\\JSMITH", "JSMITH"},
      {"ACME", "CDS:\\\\ACME\\ACME", "ACME"},
      {"...", "CDS:\\\\ACME", "ACME"},                 // the tree's root
      {"BAD\\NAME.ACME", "CDS:\\\\ACME", "ACME"},    // a backslash: no dotted name
      {"A..B", "CDS:\\\\ACME\\B\\\\A", "A"},     // an empty inner component stays
  };
  ScriptResolve("ACME");
  std::map<std::uint16_t, User> users;
  for (std::uint16_t i = 0; i < std::size(cases); ++i) {
    users[static_cast<std::uint16_t>(i + 1)] = {"PLAIN", i};
    Push("CvMapIdToName", Ok(Out::Text(cases[i].mapped)));
  }
  auto c = Build(static_cast<std::uint16_t>(std::size(cases)), users);
  ASSERT_EQ(Count(c.Get()), static_cast<LONG>(std::size(cases)));
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].mapped);
    auto e = Item(c.Get(), static_cast<LONG>(i));
    EXPECT_EQ(Text(Prop(e.Get(), u"FullName")), cases[i].fullName);
    EXPECT_EQ(Text(Prop(e.Get(), u"ShortName")), cases[i].shortName);
  }
}

TEST_F(DirectoryConnections, ConnectionNotAuthenticatedKeepsTheControlsContext) {
  Push("CvGetConnectionItem", Ok(Out::U32(1)));
  Push("CvGetConnectionItem", Ok(Out::Text("ACME_")));
  Push("CvMapIdToName", Ok(Out::Text("ADMIN.ACME")));
  auto c = Build(1, {{1, {"ADMIN", 1}}});
  EXPECT_THAT(cvfake::Calls("CvMapIdToName"), ElementsAre("CvMapIdToName(2001, 1002, 1, out)"));
  EXPECT_EQ(Text(Prop(Item(c.Get(), 0).Get(), u"FullName")), "CDS:\\\\ACME\\ACME\\ADMIN");
}

TEST_F(DirectoryConnections, FailuresOfTheResolutionAreRaised) {
  struct Case {
    std::function<void()> script;
    WORD code;
    std::vector<std::string> freed;  // what the failure frees
  };
  const Case cases[] = {
      {[] { Push("CvGetConnectionHandle", kCvErrUnknownServer); }, 0x880F, {}},
      {[] { Push("CvGetConnectionItem", kCvErrInvalidConnection); }, 0x8801, {}},
      {[] {
         Push("CvGetConnectionItem", Ok(Out::U32(2)));
         Push("CvCreateContextHandle", kCvErrContextCreation);
         Push("CvGetContext", kCvErrDirNoSuchContext);
       },
       static_cast<WORD>(kCvErrDirNoSuchContext & 0xFFFF),
       {}},
      {[] {
         Push("CvGetConnectionItem", Ok(Out::U32(2)));
         Push("CvGetContext", Ok(Out::U32(0)));
         Push("CvSetContext", Ok());
         Push("CvSetContext", 34870);
       },
       34870,
       {"CvFreeContext(2002)"}},  // freed as the step fails
      {[] {
         Push("CvGetConnectionItem", Ok(Out::U32(2)));
         Push("CvGetServerDirectoryName", 34865);
       },
       34865,
       {"CvFreeContext(2002)"}},  // freed with the collection that was not handed out
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(i);
    cases[i].script();
    ClearCalls();
    Outcome o = Get(u"ActiveConnections");
    EXPECT_EQ(o.hr, DISP_E_EXCEPTION);
    EXPECT_EQ(o.code, cases[i].code);
    EXPECT_THAT(cvfake::Calls("CvFreeContext"), ElementsAreArray(cases[i].freed));
    EXPECT_THAT(cvfake::Calls("CvGetServerInformation"), IsEmpty());
    cvfake::Reset();
    Create(true);
    BindDirectory();
  }
}

// ---- Remove, SendBroadCast, SendMessage, Refresh ----------------------------------

TEST_F(Connections, RemoveClearsTheConnectionAndUnlistsIt) {
  auto c = Collection(10, kThree);
  auto held = Item(c.Get(), 1);
  ClearCalls();
  ExpectRaised(CallOn(c.Get(), u"Remove", DISPATCH_METHOD, {CComVariant(SHORT{4})}), kLimit, kLimitText);
  EXPECT_THAT(Calls(), IsEmpty()) << "an unlisted number makes no library call";

  Push("CvClearConnection", kCvErrNotConsoleOperator);
  ExpectRaised(CallOn(c.Get(), u"Remove", DISPATCH_METHOD, {CComVariant(SHORT{5})}), 0x89C6,
               "The user does have console privileges.");
  EXPECT_EQ(Count(c.Get()), 3) << "a failed Remove leaves the collection";

  EXPECT_EQ(CallOn(c.Get(), u"Remove", DISPATCH_METHOD, {CComVariant(SHORT{5})}).hr, S_OK);
  EXPECT_THAT(Calls(), ElementsAre("CvClearConnection(1001, 5)", "CvClearConnection(1001, 5)"));
  ASSERT_EQ(Count(c.Get()), 2);
  EXPECT_EQ(Prop(Item(c.Get(), 1).Get(), u"ConnectionNumber").iVal, 9);
  EXPECT_EQ(Text(Prop(held.Get(), u"ShortName")), "JSMITH") << "a held entry keeps working with its old values";
}

TEST_F(Connections, RemoveOfAnEmptyCollectionIsOutsideTheLimit) {
  auto c = Collection(0, {});
  ClearCalls();
  ExpectRaised(CallOn(c.Get(), u"Remove", DISPATCH_METHOD, {CComVariant(SHORT{1})}), kLimit, kLimitText);
  EXPECT_THAT(Calls(), IsEmpty());
}

TEST_F(Connections, BroadcastGoesInBatchesOf62) {
  std::map<std::uint16_t, User> users;
  for (std::uint16_t n = 1; n <= 130; ++n) users[n] = {"U" + std::to_string(n), n};
  auto c = Collection(130, users);
  ASSERT_EQ(Count(c.Get()), 130);
  ClearCalls();
  ASSERT_EQ(CallOn(c.Get(), u"SendBroadCast", DISPATCH_METHOD, {CComVariant("Server goes down")}).hr, S_OK);
  auto list = [](int from, int to) {
    std::string s = "[";
    for (int i = from; i <= to; ++i) s += (i > from ? ", " : "") + std::to_string(i);
    return s + "]";
  };
  EXPECT_THAT(Calls(), ElementsAre("CvSendBroadcastMessage(1001, \"Server goes down\", 62, " + list(1, 62) + ", out)",
                                   "CvSendBroadcastMessage(1001, \"Server goes down\", 62, " + list(63, 124) + ", out)",
                                   "CvSendBroadcastMessage(1001, \"Server goes down\", 6, " + list(125, 130) + ", out)"));

  // Every batch is sent; a failure of any batch is raised.
  for (int failing = 0; failing < 3; ++failing) {
    SCOPED_TRACE(failing);
    ClearCalls();
    for (int i = 0; i < 3; ++i) Push("CvSendBroadcastMessage", i == failing ? kCvErrMessageQueueFull : 0u);
    ExpectRaised(CallOn(c.Get(), u"SendBroadCast", DISPATCH_METHOD, {CComVariant("x")}), 0x89FC,
                 "Message queue full.");
    EXPECT_EQ(Calls().size(), 3u);
  }
}

TEST_F(Connections, SendMessageGoesToItsOwnConnectionAlone) {
  auto c = Collection(10, kThree);
  auto e = Item(c.Get(), 1);
  c.Reset();  // the entry outlives its collection
  ClearCalls();
  EXPECT_EQ(CallOn(e.Get(), u"SendMessage", DISPATCH_METHOD, {CComVariant("only you")}).hr, S_OK);
  Push("CvSendBroadcastMessage", kCvErrBadConnectionNumber);
  ExpectRaised(CallOn(e.Get(), u"SendMessage", DISPATCH_METHOD, {CComVariant("gone")}), 0x89FD, "Bad station  number.");
  EXPECT_THAT(Calls(), ElementsAre("CvSendBroadcastMessage(1001, \"only you\", 1, [5], out)",
                                   "CvSendBroadcastMessage(1001, \"gone\", 1, [5], out)"));
}

TEST_F(Connections, RefreshRebuildsAndKeepsWhatClientsHeld) {
  auto c = Collection(10, kThree);
  auto old = Item(c.Get(), 0);
  auto e = Enum(c.Get());
  ScriptSlots(4, {{4, {"NEWBIE", 9}}});
  ClearCalls();
  ASSERT_EQ(CallOn(c.Get(), u"Refresh", DISPATCH_METHOD).hr, S_OK);
  EXPECT_EQ(Calls().front(), "CvGetServerInformation(1001, null, null, null, null, out, null, null)");
  ASSERT_EQ(Count(c.Get()), 1);
  EXPECT_EQ(Text(Prop(Item(c.Get(), 0).Get(), u"ShortName")), "NEWBIE");
  EXPECT_EQ(Text(Prop(old.Get(), u"ShortName")), "ADMIN");
  VARIANT v[3];
  ULONG n = 0;
  EXPECT_EQ(e->Next(3, v, &n), S_OK) << "the enumerator still lists the old entries";
  EXPECT_EQ(Number(v[2]), 9);
  for (auto& x : v) VariantClear(&x);

  // Unreadable slots are skipped; a rebuild that fails leaves no entries.
  Push("CvGetServerInformation", Ok(Out::Skip(), Out::Skip(), Out::Skip(), Out::Skip(), Out::U16(3)));
  Push("CvGetConnectionInformation", Ok(Out::Text("FIRST"), Out::U16(1), Out::U32(1)));
  Push("CvGetConnectionAddress", Ok(Out::Record(cvfake::Ipv4Address(10, 0, 0, 1))));
  Push("CvGetConnectionInformation", Ok(Out::Text("SECOND"), Out::U16(1), Out::U32(2)));
  Push("CvGetConnectionAddress", Ok(Out::Record(cvfake::Ipv4Address(10, 0, 0, 2))));
  Push("CvGetConnectionInformation", kCvErrBadConnectionNumber);
  EXPECT_EQ(CallOn(c.Get(), u"Refresh", DISPATCH_METHOD).hr, S_OK);
  EXPECT_EQ(Count(c.Get()), 2);
  Push("CvGetServerInformation", kCvErrNoAnswer);
  ExpectRaised(CallOn(c.Get(), u"Refresh", DISPATCH_METHOD), 0x8805, "Attempt to receive from the selected transport failed.");
  EXPECT_EQ(Count(c.Get()), 0) << "the old entries went before the rebuild failed";
}

TEST_F(Connections, ACollectionIsASnapshotOfTheBinding) {
  auto c = Collection(10, kThree);
  ASSERT_EQ(Put(u"FullName", CComVariant(u"\\\\OTHER")).hr, S_OK);
  ScriptSlots(1, {{1, {"X", 1}}});
  ClearCalls();
  ASSERT_EQ(CallOn(c.Get(), u"Refresh", DISPATCH_METHOD).hr, S_OK);
  EXPECT_EQ(Calls().front(), "CvGetServerInformation(1001, null, null, null, null, out, null, null)");
  EXPECT_EQ(Text(Prop(Item(c.Get(), 0).Get(), u"FullName")), "\\\\SALES1\\X");
}

// ---- the enumerator ----------------------------------------------------------------

TEST_F(Connections, EnumeratorNextSkipResetClone) {
  auto c = Collection(10, kThree);
  auto e = Enum(c.Get());
  ASSERT_TRUE(e);
  VARIANT v[5];
  ULONG n = 99;
  ASSERT_EQ(e->Next(5, v, &n), S_FALSE);
  ASSERT_EQ(n, 3u);
  EXPECT_EQ(Number(v[0]), 2);
  EXPECT_EQ(Number(v[2]), 9);
  for (ULONG i = 0; i < n; ++i) VariantClear(&v[i]);
  EXPECT_EQ(e->Next(1, v, &n), S_FALSE);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(e->Reset(), S_OK);
  ASSERT_EQ(e->Next(1, v, nullptr), S_OK);
  EXPECT_EQ(Number(v[0]), 2) << "Reset starts again at the first element";
  VariantClear(&v[0]);

  // A clone starts where its source is, moves on its own, and outlives it.
  ComPtr<IEnumVARIANT> clone;
  ASSERT_EQ(e->Clone(clone.ReleaseAndGetAddressOf()), S_OK);
  EXPECT_EQ(e->Skip(1), S_OK);
  EXPECT_EQ(e->Skip(5), S_FALSE);
  e.Reset();
  c.Reset();
  ASSERT_EQ(clone->Next(1, v, &n), S_OK);
  EXPECT_EQ(Number(v[0]), 5) << "the clone was made after one Next";
  VariantClear(&v[0]);
  EXPECT_EQ(clone->Skip(1), S_OK);
  EXPECT_EQ(clone->Skip(1), S_FALSE);
  EXPECT_EQ(clone->Reset(), S_OK);
  ASSERT_EQ(clone->Next(1, v, &n), S_OK);
  EXPECT_EQ(Number(v[0]), 2);
  VariantClear(&v[0]);
}

TEST_F(Connections, EveryObjectHoldsAModuleLockUntilItGoes) {
  const long before = ole::server::Module::Get().LockCount();
  {
    auto c = Collection(10, kThree);
    auto e = Enum(c.Get());
    ComPtr<IEnumVARIANT> clone;
    e->Clone(clone.ReleaseAndGetAddressOf());
    auto item = Item(c.Get(), 0);
    // the control, the collection, three entries, two enumerators
    EXPECT_EQ(ole::server::Module::Get().LockCount(), before + 1 + 1 + 3 + 2);
    c.Reset();
    e.Reset();
    EXPECT_EQ(ole::server::Module::Get().LockCount(), before + 1 + 3 + 2) << "the clone holds its source";
    clone.Reset();
    EXPECT_EQ(ole::server::Module::Get().LockCount(), before + 1 + 1);
  }
  EXPECT_EQ(ole::server::Module::Get().LockCount(), before + 1);
}

TEST(ConnectionClasses, MadeByTheirFactoriesTheyHaveNoBinding) {
  cvfake::Reset();
  auto c = ole::MakeObject<cvsrva::CvConnections>();
  EXPECT_EQ(c->Count(), 0);
  EXPECT_EQ(c->Connection(), 0u);
  ScriptSlots(0, {});
  c->Refresh();
  EXPECT_THAT(cvfake::Calls(), ElementsAre("CvGetServerInformation(0, null, null, null, null, out, null, null)"));
  auto e = ole::MakeObject<cvsrva::CvConnection>();
  EXPECT_EQ(e->FullName(), "");
  EXPECT_EQ(e->Number(), 0);
}

}  // namespace
