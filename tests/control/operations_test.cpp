// Loading and unloading modules, running command files, and reading and
// setting server parameters.
#include "control/fixture.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using cvfake::Ok;
using cvfake::Out;
using cvfake::Push;
using cvtest::ExpectRaised;
using cvtest::ExpectRaisedScode;
using cvtest::Outcome;

CComVariant Str(std::string_view s) { return CComVariant(s); }

bool IsTrue(const Outcome& o) { return o.hr == S_OK && o.value.vt == VT_BOOL && o.value.boolVal == VARIANT_TRUE; }
bool IsFalse(const Outcome& o) { return o.hr == S_OK && o.value.vt == VT_BOOL && o.value.boolVal == VARIANT_FALSE; }

class Operations : public cvtest::ControlTest {};

// ---- modules and command files ------------------------------------------------------

TEST_F(Operations, LoadQRXSendsNameBlankAndParametersUnchanged) {
  Create(true);
  BindPlain();
  struct Case {
    const char* name;
    const char* params;
    const char* line;
  };
  for (Case c : {Case{"apache2.qrx", "", "apache2.qrx "}, Case{"Apache2.QRX", "-d  /Web Root ", "Apache2.QRX -d  /Web Root "},
                 Case{"", "", " "}, Case{"sys:\\x\\m.qrx", "\xC3\xA9t\xC3\xA9", "sys:\\x\\m.qrx \xC3\xA9t\xC3\xA9"}}) {
    ClearCalls();
    EXPECT_TRUE(IsTrue(Invoke(u"LoadQRX", {Str(c.name), Str(c.params)})));
    EXPECT_THAT(Calls(), ElementsAre(std::string("CvLoadModule(1001, \"") + c.line + "\")"));
  }
}

TEST_F(Operations, UnloadQRXAndExecuteProfilePassTheNameAsGiven) {
  Create(true);
  BindPlain();
  EXPECT_TRUE(IsTrue(Invoke(u"UnloadQRX", {Str("Apache2.qrx")})));
  EXPECT_TRUE(IsTrue(Invoke(u"ExecuteProfile", {Str("sys:/system/Start Apache.qbt")})));
  EXPECT_THAT(Calls(), ElementsAre("CvUnloadModule(1001, \"Apache2.qrx\")",
                                   "CvRunCommandFile(1001, \"sys:/system/Start Apache.qbt\")"));
}

TEST_F(Operations, ARefusalIsFalseNotAnException) {
  for (bool userMode : {true, false}) {
    cvfake::Reset();
    Create(userMode);
    BindPlain();
    Push("CvLoadModule", 514u);
    Push("CvUnloadModule", 514u);
    Push("CvRunCommandFile", 519u);
    EXPECT_TRUE(IsFalse(Invoke(u"LoadQRX", {Str("apache2.qrx"), Str("")})));
    EXPECT_TRUE(IsFalse(Invoke(u"UnloadQRX", {Str("apache2.qrx")})));
    EXPECT_TRUE(IsFalse(Invoke(u"ExecuteProfile", {Str("start.qbt")})));
    // The binding stays.
    EXPECT_EQ(Ctrl().Connection(), 1001u);
    EXPECT_TRUE(IsTrue(Invoke(u"UnloadQRX", {Str("apache2.qrx")})));
  }
}

struct Method {
  const char16_t* name;
  std::vector<const char*> args;
};

const Method kMethods[] = {
    {u"LoadQRX", {"apache2.qrx", ""}},
    {u"UnloadQRX", {"apache2.qrx"}},
    {u"ExecuteProfile", {"start.qbt"}},
};

class Unbound : public Operations {
 protected:
  Outcome Call(const Method& m) {
    std::vector<CComVariant> args;
    for (const char* a : m.args) args.push_back(Str(a));
    return Invoke(m.name, std::move(args));
  }
};

TEST_F(Unbound, ANeverBoundControlRaisesInvalidConnectionInBothModes) {
  for (bool userMode : {true, false}) {
    cvfake::Reset();
    Create(userMode);
    for (const Method& m : kMethods) {
      SCOPED_TRACE(ole::Utf16ToUtf8(m.name));
      ExpectRaised(Call(m), 0x8801, "Invalid connection");
    }
    EXPECT_THAT(Calls(), IsEmpty());
  }
}

TEST_F(Unbound, TheLastBindingErrorIsRaised) {
  // Authentication failed: its code is the last binding error.
  Create(false);
  Push("CvReadObjectInfo", Ok(Out::Skip(), Out::Record(cvfake::ObjectInfo("KCP Server"))));
  Push("CvAuthenticateConnection", 35270u);
  ASSERT_EQ(Put(u"FullName", CComVariant(cvtest::kBrowseName)).hr, S_OK);
  for (const Method& m : kMethods) {
    SCOPED_TRACE(ole::Utf16ToUtf8(m.name));
    ExpectRaised(Call(m), 0x89C6, "The user does have console privileges.");
  }

  // A failure after a successful authentication is the last binding error
  // too: the operations report the step that failed.
  Push("CvReadObjectInfo", Ok(Out::Skip(), Out::Record(cvfake::ObjectInfo("KCP Server"))));
  Push("CvLicenseConnection", 35067u);
  ASSERT_EQ(Put(u"FullName", CComVariant(cvtest::kBrowseName)).hr, S_OK);
  ExpectRaised(Call(kMethods[0]), 0x88FB, "Invalid parameter");
}

// ---- Parameters get -----------------------------------------------------------------

void PushParameters() {
  Push("CvScanServerParameter", Ok(Out::Record(cvfake::NumberParameter(3, "Maximum Packet Receive Buffers", 500))));
  Push("CvScanServerParameter", Ok(Out::Record(cvfake::TextParameter(7, "Server Description", "Web server"))));
  Push("CvScanServerParameter", Ok(Out::Record(cvfake::NumberParameter(8, "Caf\xC3\xA9 Timeout", 0xFFFFFFFEu, 2))));
  Push("CvScanServerParameter", Ok(Out::Record(cvfake::NumberParameter(12, "Bytes", 0x04030201u, 0))));
  Push("CvScanServerParameter", Ok(Out::Record(cvfake::TextParameter(13, "Empty", ""))));
  cvfake::SetDefault("CvScanServerParameter", kCvErrNoMoreEntries);
}

TEST_F(Operations, ParametersFindsTheFirstNameEqualIgnoringCase) {
  struct Case {
    const char* name;
    std::size_t scans;
    VARTYPE vt;
    const char* text;
    LONG number;
  };
  const Case cases[] = {
      {"maximum packet receive buffers", 1, VT_I4, nullptr, 500},
      {"SERVER DESCRIPTION", 2, VT_BSTR, "Web server", 0},
      {"CAF\xC3\x89 timeout", 3, VT_I4, nullptr, -2},  // a numeric type other than 0
      {"bytes", 4, VT_I4, nullptr, 0x04030201},
      {"Empty", 5, VT_BSTR, "", 0},
  };
  const char* const scans[] = {"CvScanServerParameter(1001, 0, out)", "CvScanServerParameter(1001, 3, out)",
                               "CvScanServerParameter(1001, 7, out)", "CvScanServerParameter(1001, 8, out)",
                               "CvScanServerParameter(1001, 12, out)"};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    cvfake::Reset();
    Create(true);
    BindPlain();
    PushParameters();
    Outcome o = Get(u"Parameters", {Str(c.name)});
    ASSERT_EQ(o.hr, S_OK) << o.description;
    ASSERT_EQ(o.value.vt, c.vt);
    if (c.vt == VT_BSTR)
      EXPECT_EQ(ole::BstrToUtf8(o.value.bstrVal), c.text);
    else
      EXPECT_EQ(o.value.lVal, c.number);
    EXPECT_THAT(Calls(), ::testing::ElementsAreArray(scans, c.scans));
  }
}

TEST_F(Operations, ParametersPastTheLastRecordRaisesInUserMode) {
  Create(true);
  BindPlain();
  PushParameters();
  ExpectRaised(Get(u"Parameters", {Str("Server Descriptio")}), 0x89FF, "Failure");
  EXPECT_EQ(Calls().size(), 6u);
  EXPECT_EQ(Calls().back(), "CvScanServerParameter(1001, 13, out)");
}

TEST_F(Operations, ParametersPastTheLastRecordIsEmptyInDesignMode) {
  Create(false);
  BindPlain();
  PushParameters();
  Outcome o = Get(u"Parameters", {Str("Nothing")});
  EXPECT_EQ(o.hr, S_OK);
  EXPECT_EQ(o.value.vt, VT_EMPTY);
  EXPECT_EQ(Calls().size(), 6u);
}

TEST_F(Operations, ParametersOnAnUnboundControl) {
  Create(true);
  ExpectRaised(Get(u"Parameters", {Str("Empty")}), 0x8801, "Invalid connection");
  EXPECT_THAT(Calls(), IsEmpty());

  SetUserMode(false);
  cvfake::SetDefault("CvScanServerParameter", kCvErrInvalidConnection);
  Outcome o = Get(u"Parameters", {Str("Empty")});
  EXPECT_EQ(o.hr, S_OK);
  EXPECT_EQ(o.value.vt, VT_EMPTY);
  EXPECT_THAT(Calls(), ElementsAre("CvScanServerParameter(0, 0, out)"));
}

TEST_F(Operations, AParameterNameFillingTheWholeAreaMatchesNothingLonger) {
  Create(true);
  BindPlain();
  CvServerParameter r{};
  r.nextSearchIndex = 1;
  r.valueType = kCvParamTypeText;
  std::memset(r.nameValue, 'A', sizeof r.nameValue);  // no terminator anywhere
  Push("CvScanServerParameter", Ok(Out::Record(r)));
  cvfake::SetDefault("CvScanServerParameter", kCvErrNoMoreEntries);
  ExpectRaised(Get(u"Parameters", {Str(std::string(600, 'a'))}), 0x89FF, "Failure");
  EXPECT_EQ(Calls().size(), 2u);
}

// ---- Parameters put -----------------------------------------------------------------

struct PutCase {
  const char* what;
  CComVariant value;
  std::vector<std::uint32_t> text;    // replies of the text attempts, in order
  std::vector<std::uint32_t> number;  // replies of the number attempts
  std::vector<std::string> calls;
  bool raisesInUserMode;
};

std::vector<PutCase> PutCases() {
  const std::string t = "CvSetServerParameterText(1001, \"P\", ";
  const std::string n = "CvSetServerParameterNumber(1001, \"P\", ";
  return {
      {"text accepted", Str("abc"), {0}, {}, {t + "\"abc\")"}, false},
      {"text refused otherwise", Str("100"), {191}, {}, {t + "\"100\")"}, false},
      {"text 100 into a number", Str("100"), {140}, {0}, {t + "\"100\")", n + "100)"}, false},
      {"text refused, number refused", Str("100"), {140}, {140}, {t + "\"100\")", n + "100)"}, false},
      {"text refused, no number", Str("abc"), {140}, {}, {t + "\"abc\")"}, false},
      {"number accepted", CComVariant(LONG{-7}), {}, {0}, {n + "-7)"}, false},
      {"number refused otherwise", CComVariant(LONG{5}), {}, {518}, {n + "5)"}, false},
      {"number 5 into a text", CComVariant(LONG{5}), {0}, {140}, {n + "5)", t + "\"5\")"}, false},
      {"number refused, text refused", CComVariant(LONG{5}), {140}, {140}, {n + "5)", t + "\"5\")"}, true},
      {"number refused, text refused otherwise", CComVariant(LONG{5}), {191}, {140}, {n + "5)", t + "\"5\")"}, false},
      {"a short", CComVariant(SHORT{12}), {}, {0}, {n + "12)"}, false},
      {"a boolean", CComVariant(true), {}, {0}, {n + "-1)"}, false},
      {"no number for a large double", CComVariant(1e10), {0}, {}, {t + "\"10000000000\")"}, false},
      {"no number, text refused", CComVariant(1e10), {140}, {}, {t + "\"10000000000\")"}, true},
      {"nothing of null", [] {
         CComVariant v;
         v.vt = VT_NULL;
         return v;
       }(), {}, {}, {}, false},
  };
}

void PushPutReplies(const PutCase& c) {
  for (std::uint32_t r : c.text) Push("CvSetServerParameterText", r);
  for (std::uint32_t r : c.number) Push("CvSetServerParameterNumber", r);
}

TEST_F(Operations, PuttingAParameterTriesTextAndNumberInTurn) {
  for (bool userMode : {true, false}) {
    for (const PutCase& c : PutCases()) {
      SCOPED_TRACE(std::string(c.what) + (userMode ? " (user mode)" : " (design mode)"));
      cvfake::Reset();
      Create(userMode);
      BindPlain();
      PushPutReplies(c);
      Outcome o = Put(u"Parameters", c.value, {Str("P")});
      if (c.raisesInUserMode && userMode) {
        ExpectRaisedScode(o, CTL_E_INVALIDPROPERTYVALUE);
        EXPECT_EQ(o.description, "Invalid property value");
      } else {
        EXPECT_EQ(o.hr, S_OK) << o.description;
      }
      EXPECT_EQ(Calls(), c.calls);
      EXPECT_EQ(cvfake::Pending("CvSetServerParameterText") + cvfake::Pending("CvSetServerParameterNumber"), 0u);
    }
  }
}

TEST_F(Operations, PuttingAParameterOnAnUnboundControl) {
  Create(true);
  ExpectRaised(Put(u"Parameters", CComVariant(LONG{5}), {Str("P")}), 0x8801, "Invalid connection");
  EXPECT_THAT(Calls(), IsEmpty());

  SetUserMode(false);
  Push("CvSetServerParameterNumber", kCvErrInvalidConnection);
  EXPECT_EQ(Put(u"Parameters", CComVariant(LONG{5}), {Str("P")}).hr, S_OK);
  EXPECT_THAT(Calls(), ElementsAre("CvSetServerParameterNumber(0, \"P\", 5)"));
}

}  // namespace
