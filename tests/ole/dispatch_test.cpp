// A sample automation class served through a dispatch table, driven through
// IDispatch the way a client drives it: names to dispids, then Invoke with the
// arguments in reverse order.
#include "ole/dispatch.h"

#include <gtest/gtest.h>

#include <map>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using ole::DispArgs;
using ole::DispatchException;

constexpr IID kOtherIid = MakeGuid("{6A1B3C4D-0000-4000-8000-00000000ABCD}");
constexpr UINT kNoArgErr = 0xBEEF;

class Sample : public ole::DispatchObject<Sample> {
 public:
  Sample() { ++live; }
  ~Sample() override { --live; }
  static inline int live = 0;

  static const ole::DispatchTable<Sample>& DispatchMap();

  std::string Describe(const DispArgs& a) {
    extraVt = a[3].vt;
    extraRef = V_ISBYREF(&a[3]) ? a[3].byref : nullptr;
    std::string flag = a.IsMissing(2) ? "-" : a.Bool(2) ? "true" : "false";
    return a.Str(0) + "|" + std::to_string(a.I2(1)) + "|" + flag;
  }

  void Fail(const DispArgs& a) {
    switch (a.I4(0)) {
      case 0: {
        auto e = DispatchException::FromCode(1001, "Server not found", "cvsrva.hlp", 42);
        e.source = "CVSRVA";
        throw e;
      }
      case 1: throw DispatchException::FromScode(CTL_E_INVALIDPROPERTYVALUE);
      case 2: throw DispatchException();
      case 3: throw ole::ComError(E_ACCESSDENIED);
      case 4: throw std::bad_alloc();
      case 5: throw std::runtime_error("disk on fire");
      case 6: throw 42;
      case 7: a.Str(0); break;  // an I4 argument read as a string
      case 8: a[3]; break;      // past the declared parameters
    }
  }

  std::string fullName = "Initial";
  LONG count = 0;
  std::map<std::string, CComVariant> parameters;
  std::string password;
  int aboutBoxCalls = 0;
  VARTYPE extraVt = VT_EMPTY;
  const void* extraRef = nullptr;
};

const ole::DispatchTable<Sample>& Sample::DispatchMap() {
  using S = Sample;
  static const ole::DispatchTable<S> table{
      ole::Property<S>(  // 1
          "FullName", VT_BSTR, [](S& s) { return s.fullName; },
          [](S& s, const VARIANT& v) { s.fullName = ole::BstrToUtf8(v.bstrVal); }),
      ole::Property<S>("Count", VT_I4, &S::count,  // 2
                       [](S& s, const VARIANT& v) { s.count = v.lVal; }),
      ole::ReadOnly<S>("Company", VT_BSTR, [](S&) { return "Corvane Systems"; }),  // 3
      ole::Property<S>(                                                              // 4
          "Parameters", VT_VARIANT, {{"PropertyName", VT_BSTR}},
          [](S& s, const DispArgs& a) {
            auto it = s.parameters.find(a.Str(0));
            if (it == s.parameters.end())
              throw DispatchException::FromScode(CTL_E_INVALIDPROPERTYVALUE);
            return it->second;
          },
          [](S& s, const DispArgs& a, const VARIANT& v) { s.parameters[a.Str(0)] = v; }),
      ole::Method<S>("Describe", VT_BSTR,  // 5
                     {{"Text", VT_BSTR},
                      {"Number", VT_I2},
                      {"Flag", VT_BOOL, true},
                      {"Extra", VT_VARIANT, true}},
                     &S::Describe),
      ole::Method<S>("AboutBox", VT_EMPTY, [](S& s) { ++s.aboutBoxCalls; })  // slot 6
          .Id(DISPID_ABOUTBOX),
      ole::Method<S>("Twice", VT_I4, {{"Value", VT_I4}},  // 7; the result is coerced
                     [](S&, const DispArgs& a) { return 2.0 * a.I4(0); }),
      ole::Method<S>("Fail", VT_EMPTY, {{"Kind", VT_I4}}, &S::Fail),  // 8
      ole::Method<S>("Self", VT_DISPATCH,                              // 9
                     [](S& s) { return CComVariant::FromDispatch(&s); }),
      ole::WriteOnly<S>("Password", VT_BSTR,  // 10
                        [](S& s, const VARIANT& v) { s.password = ole::BstrToUtf8(v.bstrVal); }),
      ole::ReadOnly<S>("Größe", VT_R8, [](S&) { return 1.5; }),  // 11
      ole::ReadOnly<S>("Имя", VT_BSTR, [](S&) { return "имя"; }),  // 12
  };
  return table;
}

CComVariant Str(const char* s) { return CComVariant(s); }
CComVariant I4(LONG v) { return CComVariant(v); }

std::string TextOf(const VARIANT& v) {
  EXPECT_EQ(v.vt, VT_BSTR);
  return v.vt == VT_BSTR ? ole::BstrToUtf8(v.bstrVal) : std::string();
}

// One call through IDispatch::Invoke, arguments given first to last.
struct Invocation {
  Invocation(IDispatch* d, DISPID id, WORD flags, std::vector<CComVariant> args,
             std::vector<DISPID> named = {}, bool wantResult = true, bool wantInfo = true) {
    std::vector<VARIANT> reversed(args.rbegin(), args.rend());  // args keeps ownership
    DISPPARAMS params{reversed.data(), named.data(), static_cast<UINT>(reversed.size()),
                      static_cast<UINT>(named.size())};
    hr = d->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params,
                   wantResult ? &result : nullptr, wantInfo ? &info : nullptr, &argErr);
  }
  Invocation(const Invocation&) = delete;
  ~Invocation() { ClearExcepInfo(&info); }

  std::string Description() const { return ole::BstrToUtf8(info.bstrDescription); }

  HRESULT hr;
  CComVariant result;
  EXCEPINFO info{};
  UINT argErr = kNoArgErr;
};

HRESULT Put(IDispatch* d, DISPID id, std::vector<CComVariant> paramsThenValue) {
  return Invocation(d, id, DISPATCH_PROPERTYPUT, std::move(paramsThenValue), {DISPID_PROPERTYPUT})
      .hr;
}

class DispatchTest : public ::testing::Test {
 protected:
  void SetUp() override { bstrsAtStart_ = ole::LiveBstrCount(); }
  void TearDown() override {
    obj.Reset();
    EXPECT_EQ(Sample::live, 0);
    EXPECT_EQ(ole::LiveBstrCount(), bstrsAtStart_) << "BSTRs leaked";
  }
  IDispatch* disp() { return obj.Get(); }

  ComPtr<Sample> obj = ole::MakeObject<Sample>();

 private:
  long bstrsAtStart_ = 0;
};

TEST_F(DispatchTest, MembersTakeDispidsByPositionUnlessExplicit) {
  const auto& members = Sample::DispatchMap().Members();
  std::vector<DISPID> ids;
  for (const auto& m : members) ids.push_back(m.dispid);
  EXPECT_EQ(ids, (std::vector<DISPID>{1, 2, 3, 4, 5, DISPID_ABOUTBOX, 7, 8, 9, 10, 11, 12}));
  EXPECT_EQ(Sample::DispatchMap().Find(6), nullptr);
  ASSERT_NE(Sample::DispatchMap().Find(DISPID_ABOUTBOX), nullptr);
  EXPECT_EQ(Sample::DispatchMap().Find(DISPID_ABOUTBOX)->name, "AboutBox");

  EXPECT_TRUE(members[2].ReadOnly());   // Company
  EXPECT_FALSE(members[0].ReadOnly());  // FullName
  EXPECT_FALSE(members[4].ReadOnly());  // a method is not a read-only property
}

TEST_F(DispatchTest, GetIDsOfNames) {
  struct Case {
    std::vector<std::u16string> names;
    std::vector<DISPID> ids;
    HRESULT hr;
  };
  const Case cases[] = {
      {{u"FullName"}, {1}, S_OK},
      {{u"fULLnAME"}, {1}, S_OK},
      {{u"COMPANY"}, {3}, S_OK},
      {{u"aboutbox"}, {DISPID_ABOUTBOX}, S_OK},
      {{u"Twice"}, {7}, S_OK},
      {{u"GRÖßE"}, {11}, S_OK},
      {{u"иМЯ"}, {12}, S_OK},
      {{u"FullNam"}, {DISPID_UNKNOWN}, DISP_E_UNKNOWNNAME},
      {{u"Describe", u"extra", u"TEXT"}, {5, 3, 0}, S_OK},
      {{u"Parameters", u"propertyName"}, {4, 0}, S_OK},
      {{u"Describe", u"Bogus", u"number"}, {5, DISPID_UNKNOWN, 1}, DISP_E_UNKNOWNNAME},
      {{u"Nothing", u"Text"}, {DISPID_UNKNOWN, DISPID_UNKNOWN}, DISP_E_UNKNOWNNAME},
  };
  for (const Case& c : cases) {
    std::vector<LPOLESTR> names;
    for (const auto& n : c.names) names.push_back(const_cast<LPOLESTR>(n.c_str()));
    std::vector<DISPID> ids(names.size(), 12345);
    HRESULT hr = disp()->GetIDsOfNames(IID_NULL, names.data(), static_cast<UINT>(names.size()),
                                       LOCALE_USER_DEFAULT, ids.data());
    std::string label = ole::Utf16ToUtf8(c.names[0]);
    EXPECT_EQ(hr, c.hr) << label;
    EXPECT_EQ(ids, c.ids) << label;
  }

  LPOLESTR name = const_cast<LPOLESTR>(u"FullName");
  DISPID id = 0;
  EXPECT_EQ(disp()->GetIDsOfNames(kOtherIid, &name, 1, 0, &id), DISP_E_UNKNOWNINTERFACE);
}

TEST_F(DispatchTest, PropertiesGetAndPut) {
  EXPECT_EQ(Put(disp(), 1, {Str("Wébserver ☃")}), S_OK);
  EXPECT_EQ(obj->fullName, "Wébserver ☃");
  for (WORD flags : {WORD(DISPATCH_PROPERTYGET), WORD(DISPATCH_METHOD),
                     WORD(DISPATCH_METHOD | DISPATCH_PROPERTYGET)}) {
    Invocation get(disp(), 1, flags, {});
    EXPECT_EQ(get.hr, S_OK) << flags;
    EXPECT_EQ(TextOf(get.result), "Wébserver ☃") << flags;
  }
  EXPECT_EQ(Invocation(disp(), 1, DISPATCH_PROPERTYPUTREF, {Str("by ref")}, {DISPID_PROPERTYPUT}).hr,
            S_OK);
  EXPECT_EQ(obj->fullName, "by ref");

  // The value is coerced to the property's type.
  EXPECT_EQ(Put(disp(), 2, {Str("12")}), S_OK);
  Invocation count(disp(), 2, DISPATCH_PROPERTYGET, {});
  EXPECT_EQ(count.result.vt, VT_I4);
  EXPECT_EQ(count.result.lVal, 12);
  Invocation bad(disp(), 2, DISPATCH_PROPERTYPUT, {Str("abc")}, {DISPID_PROPERTYPUT});
  EXPECT_EQ(bad.hr, DISP_E_TYPEMISMATCH);
  EXPECT_EQ(bad.argErr, 0u);
  EXPECT_EQ(obj->count, 12);

  // A get whose result is not wanted is still made, and leaks nothing.
  EXPECT_EQ(Invocation(disp(), 3, DISPATCH_PROPERTYGET, {}, {}, false).hr, S_OK);
}

TEST_F(DispatchTest, ParameterizedProperty) {
  EXPECT_EQ(Put(disp(), 4, {Str("Port"), I4(8080)}), S_OK);
  EXPECT_EQ(Put(disp(), 4, {Str("Name"), Str("web")}), S_OK);
  Invocation port(disp(), 4, DISPATCH_PROPERTYGET, {Str("Port")});
  EXPECT_EQ(port.hr, S_OK);
  EXPECT_EQ(port.result.vt, VT_I4);  // a VT_VARIANT property keeps the value's type
  EXPECT_EQ(port.result.lVal, 8080);
  Invocation name(disp(), 4, DISPATCH_PROPERTYGET, {Str("Name")});
  EXPECT_EQ(TextOf(name.result), "web");

  Invocation unknown(disp(), 4, DISPATCH_PROPERTYGET, {Str("Nope")});
  EXPECT_EQ(unknown.hr, DISP_E_EXCEPTION);
  EXPECT_EQ(unknown.info.scode, CTL_E_INVALIDPROPERTYVALUE);
  EXPECT_EQ(unknown.Description(), "Invalid property value");
}

TEST_F(DispatchTest, MethodArgumentsAreCoercedAndOptionalsMayBeMissing) {
  struct Case {
    std::vector<CComVariant> args;
    const char* text;
    VARTYPE extraVt;
  };
  const Case cases[] = {
      {{Str("hello"), I4(12)}, "hello|12|-", VT_ERROR},
      {{Str("hello"), Str("12"), I4(1)}, "hello|12|true", VT_ERROR},
      {{I4(5), CComVariant(3.0), CComVariant(false)}, "5|3|false", VT_ERROR},
      {{Str("x"), CComVariant(SHORT(-7)), CComVariant::Missing(), Str("more")}, "x|-7|-", VT_BSTR},
  };
  for (const Case& c : cases) {
    Invocation call(disp(), 5, DISPATCH_METHOD, c.args);
    EXPECT_EQ(call.hr, S_OK) << c.text;
    EXPECT_EQ(TextOf(call.result), c.text);
    EXPECT_EQ(obj->extraVt, c.extraVt) << c.text;
  }
}

TEST_F(DispatchTest, ByReferenceArguments) {
  CComBSTR text("referenced");
  BSTR textSlot = text.m_str();
  SHORT number = 4;
  VARIANT_BOOL flag = VARIANT_TRUE;
  LONG extra = 99;
  VARIANT args[4] = {};  // reverse order: Extra, Flag, Number, Text
  args[0].vt = VT_BYREF | VT_I4;
  args[0].plVal = &extra;
  args[1].vt = VT_BYREF | VT_BOOL;
  args[1].pboolVal = &flag;
  args[2].vt = VT_BYREF | VT_I2;
  args[2].piVal = &number;
  args[3].vt = VT_BYREF | VT_BSTR;
  args[3].pbstrVal = &textSlot;
  DISPPARAMS params{args, nullptr, 4, 0};
  CComVariant result;
  ASSERT_EQ(disp()->Invoke(5, IID_NULL, 0, DISPATCH_METHOD, &params, &result, nullptr, nullptr),
            S_OK);
  EXPECT_EQ(TextOf(result), "referenced|4|true");
  // A VT_VARIANT parameter arrives as given, still pointing at the caller's value.
  EXPECT_EQ(obj->extraVt, VT_BYREF | VT_I4);
  EXPECT_EQ(obj->extraRef, &extra);
}

TEST_F(DispatchTest, CallErrors) {
  const CComVariant kMissing = CComVariant::Missing();
  struct Case {
    const char* what;
    DISPID id;
    WORD flags;
    std::vector<CComVariant> args;
    std::vector<DISPID> named;
    HRESULT hr;
    UINT argErr = kNoArgErr;
  };
  const Case cases[] = {
      {"unknown dispid", 99, DISPATCH_METHOD, {}, {}, DISP_E_MEMBERNOTFOUND},
      {"slot of an explicit dispid", 6, DISPATCH_METHOD, {}, {}, DISP_E_MEMBERNOTFOUND},
      {"no call flags", 1, 0, {}, {}, DISP_E_MEMBERNOTFOUND},
      {"put on a method", 7, DISPATCH_PROPERTYPUT, {I4(1)}, {DISPID_PROPERTYPUT}, DISP_E_MEMBERNOTFOUND},
      {"put, value not named", 1, DISPATCH_PROPERTYPUT, {Str("x")}, {}, DISP_E_PARAMNOTOPTIONAL},
      {"put, value named 0", 1, DISPATCH_PROPERTYPUT, {Str("x")}, {0}, DISP_E_PARAMNOTOPTIONAL},
      {"put, another named", 4, DISPATCH_PROPERTYPUT, {Str("a"), Str("x")},
       {DISPID_PROPERTYPUT, 0}, DISP_E_NONAMEDARGS},
      {"named on a method", 5, DISPATCH_METHOD, {Str("x"), I4(1)}, {0, 1}, DISP_E_NONAMEDARGS},
      {"named on a get", 1, DISPATCH_PROPERTYGET, {Str("x")}, {DISPID_PROPERTYPUT},
       DISP_E_NONAMEDARGS},
      {"too many to a method", 7, DISPATCH_METHOD, {I4(1), I4(2)}, {}, DISP_E_BADPARAMCOUNT},
      {"argument to a simple get", 1, DISPATCH_PROPERTYGET, {I4(1)}, {}, DISP_E_BADPARAMCOUNT},
      {"too many to a put", 4, DISPATCH_PROPERTYPUT, {Str("a"), Str("b"), I4(1)},
       {DISPID_PROPERTYPUT}, DISP_E_BADPARAMCOUNT},
      {"required left out", 5, DISPATCH_METHOD, {Str("x")}, {}, DISP_E_PARAMNOTOPTIONAL},
      {"required passed missing", 5, DISPATCH_METHOD, {kMissing, I4(1)}, {},
       DISP_E_PARAMNOTOPTIONAL},
      {"put without its parameter", 4, DISPATCH_PROPERTYPUT, {I4(1)}, {DISPID_PROPERTYPUT},
       DISP_E_PARAMNOTOPTIONAL},
      {"not a number", 5, DISPATCH_METHOD, {Str("x"), Str("abc")}, {}, DISP_E_TYPEMISMATCH, 0},
      {"too big for VT_I2", 5, DISPATCH_METHOD, {Str("x"), I4(70000), I4(1)}, {},
       DISP_E_OVERFLOW, 1},
      {"error value as text", 5, DISPATCH_METHOD, {CComVariant::FromError(E_FAIL), I4(1), I4(1)},
       {}, DISP_E_TYPEMISMATCH, 2},
      {"put parameter mismatch", 4, DISPATCH_PROPERTYPUT, {CComVariant::FromError(E_FAIL), I4(1)},
       {DISPID_PROPERTYPUT}, DISP_E_TYPEMISMATCH, 1},
  };
  for (const Case& c : cases) {
    Invocation call(disp(), c.id, c.flags, c.args, c.named);
    EXPECT_EQ(call.hr, c.hr) << c.what;
    EXPECT_EQ(call.argErr, c.argErr) << c.what;
    EXPECT_EQ(call.result.vt, VT_EMPTY) << c.what;
  }

  DISPPARAMS none{nullptr, nullptr, 0, 0};
  EXPECT_EQ(disp()->Invoke(1, kOtherIid, 0, DISPATCH_PROPERTYGET, &none, nullptr, nullptr, nullptr),
            DISP_E_UNKNOWNINTERFACE);
  EXPECT_EQ(disp()->Invoke(1, IID_NULL, 0, DISPATCH_PROPERTYGET, nullptr, nullptr, nullptr, nullptr),
            E_INVALIDARG);
}

TEST_F(DispatchTest, ReadOnlyAndWriteOnlyRaiseControlErrors) {
  Invocation set(disp(), 3, DISPATCH_PROPERTYPUT, {Str("Other")}, {DISPID_PROPERTYPUT});
  EXPECT_EQ(set.hr, DISP_E_EXCEPTION);
  EXPECT_EQ(set.info.wCode, 0);
  EXPECT_EQ(set.info.scode, CTL_E_SETNOTSUPPORTED);
  EXPECT_EQ(set.Description(), "Property is read-only");

  EXPECT_EQ(Put(disp(), 10, {CComVariant(LONG(1234))}), S_OK);
  EXPECT_EQ(obj->password, "1234");
  Invocation get(disp(), 10, DISPATCH_PROPERTYGET, {});
  EXPECT_EQ(get.hr, DISP_E_EXCEPTION);
  EXPECT_EQ(get.info.scode, CTL_E_GETNOTSUPPORTED);
  EXPECT_EQ(get.Description(), "Property is write-only");
}

TEST_F(DispatchTest, ExceptionsBecomeAutomationErrors) {
  struct Case {
    LONG kind;
    HRESULT hr;
    WORD code;
    SCODE scode;
    const char* description;
    const char* source;
    const char* helpFile;
    DWORD helpContext;
  };
  const Case cases[] = {
      {0, DISP_E_EXCEPTION, 1001, 0, "Server not found", "CVSRVA", "cvsrva.hlp", 42},
      {1, DISP_E_EXCEPTION, 0, CTL_E_INVALIDPROPERTYVALUE, "Invalid property value", "", "", 0},
      {2, DISP_E_EXCEPTION, 0, E_FAIL, "", "", "", 0},
      {3, E_ACCESSDENIED, 0, 0, "", "", "", 0},
      {4, E_OUTOFMEMORY, 0, 0, "", "", "", 0},
      {5, DISP_E_EXCEPTION, 0, E_UNEXPECTED, "disk on fire", "", "", 0},
      {6, DISP_E_EXCEPTION, 0, E_UNEXPECTED, "Unexpected error", "", "", 0},
      {7, DISP_E_EXCEPTION, 0, E_UNEXPECTED, "dispatch argument 0 is VT_I4, read as VT_BSTR", "",
       "", 0},
      {8, DISP_E_EXCEPTION, 0, E_UNEXPECTED, "dispatch argument 3 of 1", "", "", 0},
  };
  for (const Case& c : cases) {
    Invocation call(disp(), 8, DISPATCH_METHOD, {I4(c.kind)});
    EXPECT_EQ(call.hr, c.hr) << c.kind;
    EXPECT_EQ(call.info.wCode, c.code) << c.kind;
    EXPECT_EQ(call.info.scode, c.scode) << c.kind;
    EXPECT_EQ(call.Description(), c.description) << c.kind;
    EXPECT_EQ(ole::BstrToUtf8(call.info.bstrSource), c.source) << c.kind;
    EXPECT_EQ(ole::BstrToUtf8(call.info.bstrHelpFile), c.helpFile) << c.kind;
    EXPECT_EQ(call.info.dwHelpContext, c.helpContext) << c.kind;
  }
  // Without an EXCEPINFO the caller still learns that an exception happened.
  EXPECT_EQ(Invocation(disp(), 8, DISPATCH_METHOD, {I4(0)}, {}, true, false).hr, DISP_E_EXCEPTION);
}

TEST_F(DispatchTest, Results) {
  Invocation twice(disp(), 7, DISPATCH_METHOD, {Str("21")});
  EXPECT_EQ(twice.hr, S_OK);
  EXPECT_EQ(twice.result.vt, VT_I4);  // the body's double, coerced to the result type
  EXPECT_EQ(twice.result.lVal, 42);

  // A method without a result leaves the caller's VARIANT empty.
  VARIANT result;
  result.vt = VT_I4;
  result.lVal = 7;
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  EXPECT_EQ(disp()->Invoke(DISPID_ABOUTBOX, IID_NULL, 0, DISPATCH_METHOD, &none, &result, nullptr,
                           nullptr),
            S_OK);
  EXPECT_EQ(result.vt, VT_EMPTY);
  EXPECT_EQ(obj->aboutBoxCalls, 1);
}

TEST_F(DispatchTest, ReferenceCounting) {
  EXPECT_EQ(RefCountOf(disp()), 1u);
  {
    ComPtr<IDispatch> d;
    ASSERT_EQ(obj->QueryInterface(IID_IDispatch, d.PpvOut()), S_OK);
    EXPECT_EQ(d.Get(), disp());
    EXPECT_EQ(RefCountOf(disp()), 2u);
    int dummy = 0;
    void* other = &dummy;
    EXPECT_EQ(obj->QueryInterface(kOtherIid, &other), E_NOINTERFACE);
    EXPECT_EQ(other, nullptr);
  }
  EXPECT_EQ(RefCountOf(disp()), 1u);
  {
    Invocation self(disp(), 9, DISPATCH_METHOD, {});
    ASSERT_EQ(self.result.vt, VT_DISPATCH);
    EXPECT_EQ(self.result.pdispVal, disp());
    EXPECT_EQ(RefCountOf(disp()), 2u);  // the result holds one reference
  }
  EXPECT_EQ(RefCountOf(disp()), 1u);
  EXPECT_EQ(Sample::live, 1);
}

TEST(DispatchTable, MalformedTablesAbort) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  using S = Sample;
  auto nothing = [](S&) {};
  EXPECT_DEATH((ole::DispatchTable<S>{ole::Method<S>("A", VT_EMPTY, nothing),
                                      ole::Method<S>("B", VT_EMPTY, nothing).Id(1)}),
               "dispid 1 already taken by A");
  EXPECT_DEATH((ole::DispatchTable<S>{ole::Method<S>("A", VT_EMPTY, nothing).Id(2),
                                      ole::Method<S>("B", VT_EMPTY, nothing)}),
               "dispid 2 already taken by A");
  EXPECT_DEATH((ole::DispatchTable<S>{ole::Method<S>("Größe", VT_EMPTY, nothing),
                                      ole::Method<S>("GRÖßE", VT_EMPTY, nothing)}),
               "duplicate name");
  EXPECT_DEATH((ole::DispatchTable<S>{ole::Method<S>(
                   "A", VT_EMPTY, {{"x", VT_I4, true}, {"y", VT_I4}}, nothing)}),
               "required parameter after an optional one");
  EXPECT_DEATH((ole::DispatchTable<S>{ole::Method<S>("A", VT_EMPTY, {{"x", VT_CY}}, nothing)}),
               "unsupported type");
}

}  // namespace
