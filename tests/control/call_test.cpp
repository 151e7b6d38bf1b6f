// Call: the request bytes it sends for every parameter rule, the replies it
// turns into values, objects and errors, and the order of its failures.
#include <cstring>

#include "control/callbytes.h"
#include "control/fixture.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using cvtest::AttBytes;
using cvtest::Bytes;
using cvtest::Cat;
using cvtest::ExpectRaised;
using cvtest::LastRequest;
using cvtest::ObjBytes;
using cvtest::Outcome;
using cvtest::PushReply;

constexpr char kLookup[] = "CvGetServiceInfoByName(1001, \"CvSrvA Remote Function Calls\", out, out, out, out, out)";

CComVariant Str(std::string_view s) { return CComVariant(s); }
CComVariant I4(LONG v) { return CComVariant(v); }
CComVariant Raw(VARTYPE vt) {
  VARIANT v{};
  v.vt = vt;
  CComVariant r;
  static_cast<VARIANT&>(r) = v;  // plain values only: nothing to own
  return r;
}

Bytes Item(char tag, const Bytes& data) {
  Bytes b;
  cvtest::Le16(b, data.size());
  b.push_back(static_cast<std::uint8_t>(tag));
  b.insert(b.end(), data.begin(), data.end());
  return b;
}
Bytes Text(std::string_view s) { return Item('C', Bytes(s.begin(), s.end())); }
Bytes U32(char tag, std::uint32_t v) {
  return Item(tag, {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v >> 16),
                    static_cast<std::uint8_t>(v >> 24)});
}
Bytes Real(double d) {
  Bytes b(8);
  std::memcpy(b.data(), &d, 8);
  return Item('R', b);
}
Bytes Request(std::uint8_t kind, const std::vector<Bytes>& items) {
  Bytes b{kind};
  cvtest::Le16(b, items.size());
  for (const Bytes& i : items) b.insert(b.end(), i.begin(), i.end());
  return b;
}

// The worked reply: RESULT = 42, an 'I' attribute.
Bytes Result42() { return ObjBytes({AttBytes("RESULT", 'I', "42")}); }

class CallTest : public cvtest::ControlTest {
 protected:
  void SetUp() override {
    ControlTest::SetUp();
    Create(true);
    BindPlain();
  }
  Outcome Call(std::vector<CComVariant> args) { return Invoke(u"Call", std::move(args)); }
};

// ---- the worked requests and replies -------------------------------------------------

TEST_F(CallTest, WorkedFunctionRequestAndReply) {
  PushReply(Bytes{0x1C, 0, 0, 0, 0, 0, 1, 0, 7, 0, 1, 0, 6, 0, 2, 0, 0x49, 0, 'a', 0,
                  0x52, 0x45, 0x53, 0x55, 0x4C, 0x54, 0x34, 0x32});
  Outcome o = Call({Str("add"), I4(2), CComVariant(SHORT{3})});
  ASSERT_EQ(o.hr, S_OK) << o.description;
  EXPECT_EQ(o.value.vt, VT_I4);
  EXPECT_EQ(o.value.lVal, 42);
  EXPECT_EQ(LastRequest(), (Bytes{0x00, 0x03, 0x00, 0x03, 0x00, 0x43, 0x41, 0x44, 0x44, 0x04, 0x00, 0x49, 0x02, 0x00,
                                  0x00, 0x00, 0x04, 0x00, 0x49, 0x03, 0x00, 0x00, 0x00}));
  EXPECT_THAT(Calls(), ElementsAre(kLookup, "CvServiceRequest(1001, 4001, 1, [23], 1, [2500])"));
}

TEST_F(CallTest, WorkedScriptRequest) {
  PushReply(Result42());
  ASSERT_EQ(Call({Str("add.bas"), I4(2), CComVariant(SHORT{3})}).hr, S_OK);
  EXPECT_EQ(LastRequest(), (Bytes{0x80, 0x03, 0x00, 0x07, 0x00, 0x43, 0x41, 0x44, 0x44, 0x2E, 0x42, 0x41, 0x53, 0x01,
                                  0x00, 0x43, 0x32, 0x01, 0x00, 0x43, 0x33}));
  EXPECT_THAT(Calls(), ElementsAre(kLookup, "CvServiceRequest(1001, 4001, 1, [21], 1, [2500])"));
}

TEST_F(CallTest, WorkedObjectParameter) {
  // A result object with the single property N = 42 ('I', access a), as a
  // reply's nested object gives it.
  PushReply(ObjBytes({AttBytes("OBJ", 'O', ObjBytes({AttBytes("N", 'I', "42")}))}));
  Outcome got = Call({Str("get")});
  ASSERT_EQ(got.value.vt, VT_DISPATCH);
  PushReply(Result42());
  ASSERT_EQ(Call({Str("put"), got.value}).hr, S_OK);
  EXPECT_EQ(LastRequest(), Cat({Bytes{0x00, 0x02, 0x00}, Text("PUT"),
                                Bytes{0x17, 0x00, 0x4F, 0x17, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x01,
                                      0x00, 0x01, 0x00, 0x01, 0x00, 0x02, 0x00, 0x49, 0x00, 'a', 0x00, 0x4E,
                                      0x34, 0x32}}));
}

TEST_F(CallTest, WorkedReplyOfFiveRaisesNoRights) {
  Bytes reply = ObjBytes({AttBytes("RESULT", 'I', "5")});
  ASSERT_EQ(reply.size(), 27u);
  PushReply(reply);
  ExpectRaised(Call({Str("add")}), 0xCE14, "The user does have console privileges.");
}

// ---- parameters ------------------------------------------------------------------------

struct ParamCase {
  const char* what;
  const char* name;
  std::vector<CComVariant> params;
  Bytes request;  // empty when a raise is expected
  WORD raised = 0;
  VARTYPE raw = VT_EMPTY;  // a last parameter of this type, built in place (no copy would keep it)
};

TEST_F(CallTest, ParameterRules) {
  LONG byrefLong = 77;
  SHORT shortRef = -2;
  CComVariant pointee(std::string_view("via ref"));
  VARIANT innerRef{};
  innerRef.vt = VT_BYREF | VT_VARIANT;
  innerRef.pvarVal = &pointee;
  auto byref = [](VARTYPE vt, void* p) {
    CComVariant v;
    v.vt = static_cast<VARTYPE>(VT_BYREF | vt);
    v.byref = p;
    return v;
  };
  CComVariant t(true), f(false);
  CComVariant ui4(ULONG{0x80000001u});
  CComVariant r4(1.5f), r4b(0.1f);
  CComVariant dateValue = CComVariant::FromDate(1.0);
  CComVariant other = CComVariant::FromError(E_FAIL);
  CComVariant cy = Raw(VT_CY), null = Raw(VT_NULL), ui1 = Raw(VT_UI1), i1 = Raw(VT_I1), ui2 = Raw(VT_UI2);
  CComVariant i8 = Raw(VT_I8);

  const ParamCase cases[] = {
      {"no parameters", "f", {}, Request(0x00, {Text("F")})},
      {"a missing parameter ends the list", "f", {I4(1), CComVariant::Missing(), I4(3)},
       Request(0x00, {Text("F"), U32('I', 1)})},
      {"VT_EMPTY sends nothing", "f", {CComVariant(), I4(9)}, Request(0x00, {Text("F"), U32('I', 9)})},
      {"an empty string sends nothing, a blank is sent", "f", {Str(""), Str(" ")},
       Request(0x00, {Text("F"), Text(" ")})},
      {"VT_I2 is sign-extended", "f", {CComVariant(SHORT{-3})}, Request(0x00, {Text("F"), U32('I', 0xFFFFFFFDu)})},
      {"by-reference VT_I4", "f", {byref(VT_I4, &byrefLong)}, Request(0x00, {Text("F"), U32('I', 77)})},
      {"by-reference VT_I2", "f", {byref(VT_I2, &shortRef)}, Request(0x00, {Text("F"), U32('I', 0xFFFFFFFEu)})},
      {"VT_BYREF|VT_VARIANT to a string", "f", {byref(VT_VARIANT, &pointee)},
       Request(0x00, {Text("F"), Text("via ref")})},
      {"a reference to a reference", "f", {byref(VT_VARIANT, &innerRef)}, {}, 0xCE11},
      {"VT_R4 is widened", "f", {r4, r4b}, Request(0x00, {Text("F"), Real(1.5), Real(static_cast<double>(0.1f))})},
      {"VT_R8", "f", {CComVariant(-2.25)}, Request(0x00, {Text("F"), Real(-2.25)})},
      {"VT_BOOL", "f", {t, f}, Request(0x00, {Text("F"), U32('B', 0xFFFFFFFFu), U32('B', 0)})},
      {"VT_UI4", "f", {ui4}, Request(0x00, {Text("F"), U32('D', 0x80000001u)})},
      {"script: integers as text", "s.bas", {I4(-7), CComVariant(SHORT{12})},
       Request(0x80, {Text("S.BAS"), Bytes{0x02, 0x00, 0x43, 0x2D, 0x37}, Text("12")})},
      {"script: reals as _gcvt text", "s.bas",
       {CComVariant(2.5), CComVariant(1.0), CComVariant(1e20), CComVariant(-0.000015), CComVariant(0.1),
        CComVariant(1234567890.0), CComVariant(12345678901.0), CComVariant(1.0 / 3)},
       Request(0x80, {Text("S.BAS"), Text("2.5"), Text("1."), Text("1.e+020"), Text("-1.5e-005"), Text("0.1"),
                      Text("1234567890"), Text("1.23456789e+010"), Text("0.3333333333")})},
      {"script: strings as they are", "x.basic", {Str("a b")}, Request(0x80, {Text("X.BASIC"), Text("a b")})},
      {"script: VT_BOOL refused", "s.bas", {t}, {}, 0xCE11},
      {"script: VT_UI4 refused", "s.bas", {ui4}, {}, 0xCE11},
      {"VT_DATE refused", "f", {dateValue}, {}, 0xCE11},
      {"VT_ERROR other than missing refused", "f", {other}, {}, 0xCE11},
      {"VT_CY refused", "f", {cy}, {}, 0xCE11},
      {"VT_NULL refused", "f", {null}, {}, 0xCE11},
      {"VT_UI1 refused", "f", {ui1}, {}, 0xCE11},
      {"VT_I1 refused", "f", {i1}, {}, 0xCE11},
      {"VT_UI2 refused", "f", {ui2}, {}, 0xCE11},
      {"VT_VARIANT by value refused", "f", {}, {}, 0xCE11, VT_VARIANT},
      {"VT_DECIMAL refused", "f", {}, {}, 0xCE11, VT_DECIMAL},
      {"VT_I8 refused", "f", {i8}, {}, 0xCE11},
      {"VT_UNKNOWN refused", "f", {}, {}, 0xCE11, VT_UNKNOWN},
      {"type numbers above 19 refused", "f", {}, {}, 0xCE11, VT_INT},
      {"arrays refused", "f", {}, {}, 0xCE11, VT_ARRAY | VT_I4},
      {"a refused parameter after good ones", "f", {I4(1), null}, {}, 0xCE11},
  };
  for (const ParamCase& c : cases) {
    SCOPED_TRACE(c.what);
    ClearCalls();
    PushReply(Result42());
    std::vector<CComVariant> args{Str(c.name)};
    args.insert(args.end(), c.params.begin(), c.params.end());
    if (c.raw != VT_EMPTY) {
      args.emplace_back();
      args.back().vt = c.raw;  // a null pointer or zero value; the call refuses it unread
    }
    Outcome o = Call(std::move(args));
    if (c.raised) {
      ExpectRaised(o, c.raised, "The parameter to a function is invalid");
      // The service was looked up; nothing was sent.
      EXPECT_THAT(Calls(), ElementsAre(kLookup));
    } else {
      EXPECT_EQ(o.hr, S_OK) << o.description;
      EXPECT_EQ(LastRequest(), c.request);
    }
  }
}

TEST_F(CallTest, TenParametersAreSent) {
  std::vector<CComVariant> args{Str("f")};
  std::vector<Bytes> items{Text("F")};
  for (LONG i = 1; i <= 10; ++i) {
    args.push_back(I4(i));
    items.push_back(U32('I', static_cast<std::uint32_t>(i)));
  }
  PushReply(Result42());
  ASSERT_EQ(Call(args).hr, S_OK);
  EXPECT_EQ(LastRequest(), Request(0x00, items));
}

TEST_F(CallTest, AForeignObjectParameterIsRefused) {
  CComVariant self = CComVariant::FromDispatch(Dispatch());
  ExpectRaised(Call({Str("f"), self}), 0xCE11, "The parameter to a function is invalid");
  CComVariant none = CComVariant::FromDispatch(nullptr);
  ExpectRaised(Call({Str("f"), none}), 0xCE11, "The parameter to a function is invalid");
  // In a script, any object is refused.
  PushReply(ObjBytes({AttBytes("O", 'O', ObjBytes({AttBytes("N", 'I', "1")}))}));
  Outcome got = Call({Str("get")});
  ASSERT_EQ(got.value.vt, VT_DISPATCH);
  ExpectRaised(Call({Str("s.bas"), got.value}), 0xCE11, "The parameter to a function is invalid");
}

// ---- names, limits and the order of failures -----------------------------------------------

TEST_F(CallTest, NamesAreUpperCasedAndBounded) {
  PushReply(Result42());
  ASSERT_EQ(Call({Str("Stra\xC3\x9F" "e.\xC3\xA9t\xC3\xA9")}).hr, S_OK);
  EXPECT_EQ(LastRequest(), Request(0x00, {Text("STRA\xC3\x9F" "E.\xC3\x89T\xC3\x89")}));

  PushReply(Result42());
  std::string longest(256, 'n');
  ASSERT_EQ(Call({Str(longest)}).hr, S_OK);
  EXPECT_EQ(LastRequest(), Request(0x00, {Text(std::string(256, 'N'))}));

  ClearCalls();
  ExpectRaised(Call({Str(std::string(257, 'n'))}), 0xCE11, "The parameter to a function is invalid");
  EXPECT_THAT(Calls(), ElementsAre(kLookup));  // looked up first, nothing sent

  ClearCalls();
  ExpectRaised(Call({Str("")}), 0xCE11, "The parameter to a function is invalid");
  EXPECT_THAT(Calls(), IsEmpty());
}

TEST_F(CallTest, ARequestPastFiveHundredBytesIsNotSent) {
  // Name item 4 bytes + 3 header; two 240-byte strings need 486 more: 493.
  PushReply(Result42());
  ASSERT_EQ(Call({Str("f"), Str(std::string(240, 'a')), Str(std::string(240, 'b'))}).hr, S_OK);
  EXPECT_EQ(LastRequest().size(), 493u);
  // One byte more than fits.
  ClearCalls();
  ExpectRaised(Call({Str("f"), Str(std::string(240, 'a')), Str(std::string(248, 'b'))}), 0xCE10,
               "Exceeds the limit");
  EXPECT_THAT(Calls(), ElementsAre(kLookup));
  // Exactly 500 is sent.
  PushReply(Result42());
  ASSERT_EQ(Call({Str("f"), Str(std::string(240, 'a')), Str(std::string(247, 'b'))}).hr, S_OK);
  EXPECT_EQ(LastRequest().size(), 500u);
}

TEST_F(CallTest, UnboundRaisesTheLastBindingError) {
  cvfake::Reset();
  Create(true);
  ExpectRaised(Call({Str("f")}), 0x8801, "Invalid connection");
  cvfake::Push("CvGetConnectionHandle", 34831u);
  Put(u"FullName", CComVariant(u"\\\\SRV2"));
  ClearCalls();
  ExpectRaised(Call({Str("f")}), 0x880F, "No licensed connection to the server");
  EXPECT_THAT(Calls(), IsEmpty());
}

TEST_F(CallTest, DesignModeRaisesAsWell) {
  // Call names no design-mode exception: its failures are raised in both modes.
  cvfake::Reset();
  Create(false);
  ExpectRaised(Call({Str("f")}), 0x8801, "Invalid connection");
  BindPlain();
  cvfake::Push("CvGetServiceInfoByName", 1u);
  ExpectRaised(Call({Str("f")}), 0xCE13, "Qrx is not running");
  PushReply(Result42());
  EXPECT_EQ(Call({Str("f")}).value.lVal, 42);
}

TEST_F(CallTest, ServiceLookupFailureIsQrxNotRunning) {
  cvfake::Push("CvGetServiceInfoByName", 35230u);
  ExpectRaised(Call({Str("f"), I4(1)}), 0xCE13, "Qrx is not running");
  EXPECT_THAT(Calls(), ElementsAre(kLookup));
}

TEST_F(CallTest, RequestFailureRaisesItsOwnCode) {
  struct Case {
    std::uint32_t rc;
    WORD code;
    const char* text;
  };
  for (Case c : {Case{35327, 0x89FF, "Failure"}, Case{9999, 9999, "Corvane error"},
                 Case{34817, 0x8801, "Invalid connection"}}) {
    cvfake::Push("CvServiceRequest", c.rc);
    ExpectRaised(Call({Str("f")}), c.code, c.text);
  }
}

// ---- replies --------------------------------------------------------------------------------

struct ReplyCase {
  const char* what;
  Bytes reply;
  VARTYPE vt;  // VT_EMPTY with raised 0: an empty value
  WORD raised = 0;
};

TEST_F(CallTest, ReplyRules) {
  const ReplyCase cases[] = {
      {"no attribute", ObjBytes({}), VT_EMPTY, 0xCE12},
      {"nothing written into the reply", Bytes{}, VT_EMPTY, 0xCE12},
      {"'I' 5 whatever its name", ObjBytes({AttBytes("X", 'I', "5")}), VT_EMPTY, 0xCE14},
      {"'I' 5 named ERROR", ObjBytes({AttBytes("ERROR", 'I', "5")}), VT_EMPTY, 0xCE14},
      {"'I' 6", ObjBytes({AttBytes("X", 'I', "6")}), VT_I4},
      {"'S' 5 is a string", ObjBytes({AttBytes("X", 'S', "5")}), VT_BSTR},
      {"MYERROR", ObjBytes({AttBytes("MYERROR", 'S', "bad")}), VT_EMPTY, 0xCE12},
      {"ERROR is an object", ObjBytes({AttBytes("ERROR", 'S', "no such function")}), VT_DISPATCH},
      {"ERROR 'I' 7 is an object", ObjBytes({AttBytes("ERROR", 'I', "7")}), VT_DISPATCH},
      {"'B' 1", ObjBytes({AttBytes("X", 'B', "1")}), VT_BOOL},
      {"'F'", ObjBytes({AttBytes("X", 'F', "-1")}), VT_UI4},
      {"'R'", ObjBytes({AttBytes("X", 'R', "2.500000")}), VT_R8},
      {"unknown type letter", ObjBytes({AttBytes("X", 'Z', "1")}), VT_EMPTY},
      {"'O' with an empty object", ObjBytes({AttBytes("X", 'O', ObjBytes({}))}), VT_EMPTY, 0xCE12},
      {"'O' shorter than its count", ObjBytes({AttBytes("X", 'O', ObjBytes({AttBytes("N", 'I', "1")}, 2))}),
       VT_EMPTY, 0xCE12},
      {"'O'", ObjBytes({AttBytes("X", 'O', ObjBytes({AttBytes("N", 'I', "1")}))}), VT_DISPATCH},
      {"two attributes", ObjBytes({AttBytes("A", 'I', "1"), AttBytes("B", 'S', "b")}), VT_DISPATCH},
      {"count 2, one attribute", ObjBytes({AttBytes("A", 'I', "1")}, 2), VT_EMPTY, 0xCE12},
      {"count 1, no attribute", ObjBytes({}, 1), VT_EMPTY, 0xCE12},
      {"attribute crossing the total size", Bytes{20, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 1, 0, 9, 0, 'I', 0, 'a', 0,
                                                  'X', '1', '2'}, VT_EMPTY, 0xCE12},
  };
  const char* texts[] = {nullptr, "The return value to a method is invalid", "The user does have console privileges."};
  for (const ReplyCase& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.reply.empty())
      cvfake::Push("CvServiceRequest", cvfake::Ok());  // success without outputs
    else
      PushReply(c.reply);
    Outcome o = Call({Str("f")});
    if (c.raised) {
      ExpectRaised(o, c.raised, c.raised == 0xCE14 ? texts[2] : texts[1]);
    } else {
      EXPECT_EQ(o.hr, S_OK) << o.description;
      EXPECT_EQ(o.value.vt, c.vt);
    }
  }
}

TEST_F(CallTest, ReplyValues) {
  PushReply(ObjBytes({AttBytes("RESULT", 'I', "6")}));
  EXPECT_EQ(Call({Str("f")}).value.lVal, 6);
  PushReply(ObjBytes({AttBytes("RESULT", 'I', "-2147483648")}));
  EXPECT_EQ(Call({Str("f")}).value.lVal, -2147483647 - 1);
  // The server's error, read by name.
  PushReply(ObjBytes({AttBytes("ERROR", 'S', "no such function")}));
  Outcome error = Call({Str("f")});
  ASSERT_EQ(error.value.vt, VT_DISPATCH);
  CComVariant text;
  ASSERT_EQ(testsupport::CallByName(error.value.pdispVal, u"Error", DISPATCH_PROPERTYGET, {}, &text), S_OK);
  EXPECT_EQ(ole::BstrToUtf8(text.bstrVal), "no such function");
  PushReply(ObjBytes({AttBytes("X", 'B', "1")}));
  EXPECT_EQ(Call({Str("f")}).value.boolVal, 1);
  PushReply(ObjBytes({AttBytes("X", 'B', "-1")}));
  EXPECT_EQ(Call({Str("f")}).value.boolVal, VARIANT_TRUE);
  PushReply(ObjBytes({AttBytes("X", 'B', "65537")}));  // the low 16 bits
  EXPECT_EQ(Call({Str("f")}).value.boolVal, 1);
  PushReply(ObjBytes({AttBytes("X", 'F', "-2147483648")}));
  EXPECT_EQ(Call({Str("f")}).value.ulVal, 0x80000000u);
  PushReply(ObjBytes({AttBytes("X", 'R', "-0.125000")}));
  EXPECT_EQ(Call({Str("f")}).value.dblVal, -0.125);
  PushReply(ObjBytes({AttBytes("X", 'S', "h\xC3\xA9llo")}));
  EXPECT_EQ(ole::BstrToUtf8(Call({Str("f")}).value.bstrVal), "h\xC3\xA9llo");
  PushReply(ObjBytes({AttBytes("X", 'S', "")}));
  EXPECT_EQ(ole::BstrToUtf8(Call({Str("f")}).value.bstrVal), "");
  // A write-only attribute keeps its type, with an empty value.
  PushReply(ObjBytes({AttBytes("X", 'I', "5", 'W')}));
  Outcome wo = Call({Str("f")});
  EXPECT_EQ(wo.value.vt, VT_I4);
  EXPECT_EQ(wo.value.lVal, 0);
  // A reply that fills the whole 2500-byte area.
  std::string big(2500 - 12 - 8 - 1, 'z');
  PushReply(ObjBytes({AttBytes("X", 'S', big)}));
  EXPECT_EQ(ole::BstrToUtf8(Call({Str("f")}).value.bstrVal), big);
}

TEST_F(CallTest, ReplyLongerThanTheAreaIsCut) {
  // The library writes no more than the fragment's 2500 bytes: an object
  // claiming more is read only as far as it arrived.
  Bytes reply = ObjBytes({AttBytes("A", 'I', "1"), AttBytes("B", 'S', std::string(2600, 'x'))});
  PushReply(reply);
  ExpectRaised(Call({Str("f")}), 0xCE12, "The return value to a method is invalid");
  // One attribute that arrived whole is still read.
  Bytes one = ObjBytes({AttBytes("A", 'I', "3")});
  one[0] = 0xFF;
  one[1] = 0x7F;
  PushReply(one);
  EXPECT_EQ(Call({Str("f")}).value.lVal, 3);
}

}  // namespace
