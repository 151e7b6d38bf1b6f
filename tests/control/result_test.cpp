// Result objects: names and dispids, reading and changing properties, their
// references and those of nested objects, and their encoding when they go
// back to the server as an object parameter.
#include "control/callbytes.h"
#include "control/fixture.h"
#include "ole/server.h"
#include "result.h"

namespace {

using ::testing::ElementsAre;
using cvtest::AttBytes;
using cvtest::Bytes;
using cvtest::Cat;
using cvtest::LastRequest;
using cvtest::ObjBytes;
using cvtest::PushReply;

CComVariant Str(std::string_view s) { return CComVariant(s); }

DISPID IdOf(IDispatch* d, const char16_t* name, HRESULT* hr = nullptr) {
  DISPID id = 12345;
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  HRESULT h = d->GetIDsOfNames(IID_NULL, names, 1, 0, &id);
  if (hr) *hr = h;
  return id;
}

HRESULT GetProp(IDispatch* d, DISPID id, CComVariant* out, WORD flags = DISPATCH_PROPERTYGET) {
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  out->Clear();
  return d->Invoke(id, IID_NULL, 0, flags, &none, out, nullptr, nullptr);
}

HRESULT PutProp(IDispatch* d, DISPID id, CComVariant value, UINT* argErr = nullptr) {
  DISPID named = DISPID_PROPERTYPUT;
  DISPPARAMS p{&value, &named, 1, 1};
  return d->Invoke(id, IID_NULL, 0, DISPATCH_PROPERTYPUT, &p, nullptr, nullptr, argErr);
}

class ResultObjectTest : public cvtest::ControlTest {
 protected:
  void SetUp() override {
    ControlTest::SetUp();
    Create(true);
    BindPlain();
  }
  // A result object made from reply; the test owns its one reference.
  ComPtr<IDispatch> FromReply(const Bytes& reply) {
    PushReply(reply);
    cvtest::Outcome o = Invoke(u"Call", {Str("get")});
    EXPECT_EQ(o.hr, S_OK) << o.description;
    EXPECT_EQ(o.value.vt, VT_DISPATCH);
    if (o.value.vt != VT_DISPATCH) return {};
    return ComPtr<IDispatch>(o.value.pdispVal);
  }
  // The 'O' item the control sends for obj as the only parameter of a call.
  Bytes Sent(IDispatch* obj) {
    PushReply(ObjBytes({AttBytes("R", 'I', "1")}));
    CComVariant param = CComVariant::FromDispatch(obj);
    cvtest::Outcome o = Invoke(u"Call", {Str("f"), param});
    EXPECT_EQ(o.hr, S_OK) << o.description;
    Bytes r = LastRequest();
    return r.size() > 7 ? Bytes(r.begin() + 7, r.end()) : Bytes{};  // after kind, count and "F"
  }
};

Bytes Status() {
  return ObjBytes({AttBytes("Count", 'I', "3"), AttBytes("Name", 'S', "srv", 'r'), AttBytes("Up", 'B', "-1"),
                   AttBytes("Free", 'F', "7"), AttBytes("Load", 'R', "0.500000"), AttBytes("Odd", 'Z', "?")});
}

TEST_F(ResultObjectTest, NamesResolveWithoutCase) {
  ComPtr<IDispatch> r = FromReply(Status());
  ASSERT_TRUE(r);
  HRESULT hr;
  EXPECT_EQ(IdOf(r.Get(), u"COUNT", &hr), 1);
  EXPECT_EQ(hr, S_OK);
  EXPECT_EQ(IdOf(r.Get(), u"load"), 5);
  EXPECT_EQ(IdOf(r.Get(), u"Nothing", &hr), DISPID_UNKNOWN);
  EXPECT_EQ(hr, DISP_E_UNKNOWNNAME);
  ComPtr<IDispatch> accents = FromReply(ObjBytes({AttBytes("\xC3\xA4rger", 'I', "1"), AttBytes("b", 'I', "2")}));
  ASSERT_TRUE(accents);
  EXPECT_EQ(IdOf(accents.Get(), u"\u00C4RGER", &hr), 1);
  EXPECT_EQ(hr, S_OK);
  EXPECT_EQ(IdOf(accents.Get(), u"ARGER", &hr), DISPID_UNKNOWN);
  EXPECT_EQ(hr, DISP_E_UNKNOWNNAME);
  DISPID id;
  LPOLESTR names[] = {const_cast<LPOLESTR>(u"Count")};
  EXPECT_EQ(r->GetIDsOfNames(IID_IDispatch, names, 1, 0, &id), DISP_E_UNKNOWNINTERFACE);
  UINT n = 7;
  EXPECT_EQ(r->GetTypeInfoCount(&n), S_OK);
  EXPECT_EQ(n, 0u);
  ITypeInfo* info = reinterpret_cast<ITypeInfo*>(&n);
  EXPECT_EQ(r->GetTypeInfo(0, 0, &info), E_NOTIMPL);
  EXPECT_EQ(info, nullptr);
}

TEST_F(ResultObjectTest, PropertiesReadByDispid) {
  ComPtr<IDispatch> r = FromReply(Status());
  ASSERT_TRUE(r);
  struct Expect {
    DISPID id;
    VARTYPE vt;
  };
  for (Expect e : {Expect{1, VT_I4}, Expect{2, VT_BSTR}, Expect{3, VT_BOOL}, Expect{4, VT_UI4}, Expect{5, VT_R8},
                   Expect{6, VT_EMPTY}, Expect{7, VT_EMPTY}, Expect{-7, VT_EMPTY}}) {
    CComVariant v;
    EXPECT_EQ(GetProp(r.Get(), e.id, &v), S_OK) << e.id;
    EXPECT_EQ(v.vt, e.vt) << e.id;
  }
  CComVariant v;
  GetProp(r.Get(), 2, &v, DISPATCH_METHOD);
  EXPECT_EQ(ole::BstrToUtf8(v.bstrVal), "srv");
  GetProp(r.Get(), 3, &v);
  EXPECT_EQ(v.boolVal, VARIANT_TRUE);
  GetProp(r.Get(), 5, &v);
  EXPECT_EQ(v.dblVal, 0.5);
  // Dispid 0 is the object itself.
  GetProp(r.Get(), DISPID_VALUE, &v);
  ASSERT_EQ(v.vt, VT_DISPATCH);
  EXPECT_EQ(v.pdispVal, r.Get());
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  EXPECT_EQ(r->Invoke(1, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, nullptr, nullptr, nullptr), E_INVALIDARG);
  EXPECT_EQ(r->Invoke(1, IID_IDispatch, 0, DISPATCH_PROPERTYGET, &none, &v, nullptr, nullptr),
            DISP_E_UNKNOWNINTERFACE);
}

TEST_F(ResultObjectTest, PutsConvertByTheCurrentType) {
  ComPtr<IDispatch> r = FromReply(Status());
  ASSERT_TRUE(r);
  struct PutCase {
    const char* what;
    DISPID id;
    CComVariant value;
    HRESULT hr;
    VARTYPE vtAfter;
  };
  const PutCase cases[] = {
      {"string 12 into 'I'", 1, Str("12"), S_OK, VT_I4},
      {"double into 'I'", 1, CComVariant(7.0), S_OK, VT_I4},
      {"number into 'S'", 2, CComVariant(LONG{5}), S_OK, VT_BSTR},
      {"number into 'B'", 3, CComVariant(LONG{0}), S_OK, VT_BOOL},
      {"string into 'F'", 4, Str("1"), E_INVALIDARG, VT_UI4},
      {"integer into 'R'", 5, CComVariant(LONG{2}), S_OK, VT_R8},
      {"into an empty value", 6, CComVariant(LONG{2}), E_INVALIDARG, VT_EMPTY},
      {"no such property", 9, CComVariant(LONG{2}), DISP_E_MEMBERNOTFOUND, VT_EMPTY},
  };
  CComVariant twelve;
  ASSERT_EQ(PutProp(r.Get(), 1, Str("12")), S_OK);
  GetProp(r.Get(), 1, &twelve);
  EXPECT_EQ(twelve.vt, VT_I4);
  EXPECT_EQ(twelve.lVal, 12);
  for (const PutCase& c : cases) {
    EXPECT_EQ(PutProp(r.Get(), c.id, c.value), c.hr) << c.what;
    CComVariant v;
    GetProp(r.Get(), c.id, &v);
    EXPECT_EQ(v.vt, c.vtAfter) << c.what;
  }
  CComVariant v;
  GetProp(r.Get(), 1, &v);
  EXPECT_EQ(v.lVal, 7);
  GetProp(r.Get(), 2, &v);
  EXPECT_EQ(ole::BstrToUtf8(v.bstrVal), "5");

  // A failed conversion keeps the value and points at the argument.
  UINT argErr = 99;
  EXPECT_EQ(PutProp(r.Get(), 1, Str("twelve"), &argErr), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(argErr, 0u);
  GetProp(r.Get(), 1, &v);
  EXPECT_EQ(v.lVal, 7);

  // The shape of a put.
  CComVariant a(LONG{1}), b(LONG{2});
  VARIANT two[] = {a, b};
  DISPID named = DISPID_PROPERTYPUT;
  DISPPARAMS p2{two, &named, 2, 1};
  EXPECT_EQ(r->Invoke(1, IID_NULL, 0, DISPATCH_PROPERTYPUT, &p2, nullptr, nullptr, nullptr), DISP_E_BADPARAMCOUNT);
  DISPPARAMS unnamed{two, nullptr, 1, 0};
  EXPECT_EQ(r->Invoke(1, IID_NULL, 0, DISPATCH_PROPERTYPUT, &unnamed, nullptr, nullptr, nullptr),
            DISP_E_PARAMNOTOPTIONAL);
  DISPID wrong = 3;
  DISPPARAMS wrongName{two, &wrong, 1, 1};
  EXPECT_EQ(r->Invoke(1, IID_NULL, 0, DISPATCH_PROPERTYPUT, &wrongName, nullptr, nullptr, nullptr),
            DISP_E_PARAMNOTOPTIONAL);
}

TEST_F(ResultObjectTest, ReferencesAndModuleLocks) {
  auto& module = ole::server::Module::Get();
  long before = module.LockCount();
  Bytes reply = ObjBytes({AttBytes("A", 'I', "1"),
                          AttBytes("Inner", 'O', ObjBytes({AttBytes("N", 'I', "2"), AttBytes("M", 'S', "m")}))});
  PushReply(reply);
  cvtest::Outcome o = Invoke(u"Call", {Str("get")});
  ASSERT_EQ(o.value.vt, VT_DISPATCH);
  IDispatch* r = o.value.pdispVal;
  // The client holds the only reference: the outcome's.
  EXPECT_EQ(r->AddRef(), 2u);
  EXPECT_EQ(r->Release(), 1u);
  EXPECT_EQ(module.LockCount(), before + 2);  // the object and its nested one

  // The nested object outlives its parent while the client holds it.
  CComVariant inner;
  ASSERT_EQ(GetProp(r, 2, &inner), S_OK);
  ASSERT_EQ(inner.vt, VT_DISPATCH);
  EXPECT_EQ(inner.pdispVal->AddRef(), 3u);  // property, this copy, and now one more
  inner.pdispVal->Release();
  o.value.Clear();  // releases the parent
  EXPECT_EQ(module.LockCount(), before + 1);
  CComVariant n;
  EXPECT_EQ(GetProp(inner.pdispVal, IdOf(inner.pdispVal, u"n"), &n), S_OK);
  EXPECT_EQ(n.lVal, 2);
  inner.Clear();
  EXPECT_EQ(module.LockCount(), before);

  // QueryInterface answers IUnknown and IDispatch only.
  ComPtr<IDispatch> again = FromReply(reply);
  void* out = &out;
  EXPECT_EQ(again->QueryInterface(IID_IEnumVARIANT, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(again->QueryInterface(IID_IUnknown, &out), S_OK);
  EXPECT_EQ(out, static_cast<IUnknown*>(again.Get()));
  static_cast<IUnknown*>(out)->Release();
}

TEST_F(ResultObjectTest, LongNamesAreCutToSeventyNineBytes) {
  std::string name(100, 'q');
  ComPtr<IDispatch> r = FromReply(ObjBytes({AttBytes(name, 'I', "1"), AttBytes("B", 'I', "2")}));
  ASSERT_TRUE(r);
  std::u16string cut(79, u'q');
  EXPECT_EQ(IdOf(r.Get(), cut.c_str()), 1);
  // A name past 51 bytes is not sent back at all.
  Bytes top = ObjBytes({AttBytes("B", 'I', "2")});
  top[8] = 1;
  top[10] = 1;
  Bytes sent = Sent(r.Get());
  ASSERT_GE(sent.size(), 3u);
  EXPECT_EQ(Bytes(sent.begin() + 3, sent.end()), top);
}

// ---- encoding -------------------------------------------------------------------------

TEST_F(ResultObjectTest, EncodingKeepsTypesAccessAndChanges) {
  ComPtr<IDispatch> r = FromReply(Status());
  ASSERT_TRUE(r);
  ASSERT_EQ(PutProp(r.Get(), 1, CComVariant(LONG{-4})), S_OK);
  ASSERT_EQ(PutProp(r.Get(), 2, Str("n\xC3\xA9w")), S_OK);
  Bytes object = ObjBytes({AttBytes("Count", 'I', "-4"), AttBytes("Name", 'S', "n\xC3\xA9w", 'r'),
                           AttBytes("Up", 'B', "-1"), AttBytes("Free", 'F', "7"), AttBytes("Load", 'R', "0.500000")});
  // A fresh object: every add counted and flagged.
  object[8] = 5;
  object[10] = 1;
  Bytes item{static_cast<std::uint8_t>(object.size()), static_cast<std::uint8_t>(object.size() >> 8), 'O'};
  EXPECT_EQ(Sent(r.Get()), Cat({item, object}));
}

TEST_F(ResultObjectTest, NestedObjectsEncodeUnderTheirPathInReverse) {
  Bytes inner = ObjBytes({AttBytes("a", 'I', "1"), AttBytes("b", 'S', "x")});
  Bytes deep = ObjBytes({AttBytes("d", 'I', "4")});
  ComPtr<IDispatch> r = FromReply(ObjBytes({AttBytes("first", 'I', "0"), AttBytes("in", 'O', inner),
                                            AttBytes("deep", 'O', ObjBytes({AttBytes("k", 'O', deep)})),
                                            AttBytes("empty", 'O', ObjBytes({AttBytes("z", 'Z', "")})),
                                            AttBytes("last", 'I', "9")}));
  ASSERT_TRUE(r);
  Bytes sent = Sent(r.Get());
  // The nested object "in" was created with access X by its first property's
  // add; b then landed in front of a. "empty" has nothing to encode.
  Bytes innerOut = ObjBytes({AttBytes("b", 'S', "x"), AttBytes("a", 'I', "1")});
  innerOut[8] = 2;
  innerOut[10] = 1;
  Bytes kOut = ObjBytes({AttBytes("d", 'I', "4")});
  kOut[8] = 1;
  kOut[10] = 1;
  Bytes deepOut = ObjBytes({AttBytes("k", 'O', kOut, 'X')});
  deepOut[8] = 1;
  deepOut[10] = 1;
  Bytes top = ObjBytes({AttBytes("first", 'I', "0"), AttBytes("in", 'O', innerOut, 'X'),
                        AttBytes("deep", 'O', deepOut, 'X'), AttBytes("last", 'I', "9")});
  top[8] = 4;
  top[10] = 1;
  ASSERT_GE(sent.size(), 3u);
  EXPECT_EQ(Bytes(sent.begin() + 3, sent.end()), top);
}

TEST_F(ResultObjectTest, PrefixedNamesPastFiftyOneAreLeftOut) {
  // outer (20) + '.' + inner name: 30 bytes give 51, 31 give 52.
  std::string outer(20, 'o');
  Bytes inner = ObjBytes({AttBytes(std::string(30, 'k'), 'I', "1"), AttBytes(std::string(31, 'l'), 'I', "2")});
  ComPtr<IDispatch> r = FromReply(ObjBytes({AttBytes(outer, 'O', inner), AttBytes("top", 'I', "3")}));
  ASSERT_TRUE(r);
  Bytes sent = Sent(r.Get());
  Bytes innerOut = ObjBytes({AttBytes(std::string(30, 'k'), 'I', "1")});
  innerOut[8] = 1;
  innerOut[10] = 1;
  Bytes top = ObjBytes({AttBytes(outer, 'O', innerOut, 'X'), AttBytes("top", 'I', "3")});
  top[8] = 2;
  top[10] = 1;
  ASSERT_GE(sent.size(), 3u);
  EXPECT_EQ(Bytes(sent.begin() + 3, sent.end()), top);
}

TEST_F(ResultObjectTest, WriteOnlyAttributesTakeTheirTypeEmpty) {
  ComPtr<IDispatch> r = FromReply(ObjBytes({AttBytes("Secret", 'S', "pw", 'W'), AttBytes("N", 'I', "8", 'W'),
                                            AttBytes("O", 'O', ObjBytes({AttBytes("x", 'I', "1")}), 'W')}));
  ASSERT_TRUE(r);
  CComVariant v;
  GetProp(r.Get(), 1, &v);
  EXPECT_EQ(v.vt, VT_BSTR);
  EXPECT_EQ(ole::BstrToUtf8(v.bstrVal), "");
  GetProp(r.Get(), 2, &v);
  EXPECT_EQ(v.vt, VT_I4);
  EXPECT_EQ(v.lVal, 0);
  GetProp(r.Get(), 3, &v);
  EXPECT_EQ(v.vt, VT_DISPATCH);
  EXPECT_EQ(v.pdispVal, nullptr);
  // A write-only value is set and sent back with its letter.
  ASSERT_EQ(PutProp(r.Get(), 1, Str("new")), S_OK);
  Bytes sent = Sent(r.Get());
  Bytes top = ObjBytes({AttBytes("Secret", 'S', "new", 'W'), AttBytes("N", 'I', "0", 'W')});
  top[8] = 2;
  top[10] = 1;
  ASSERT_GE(sent.size(), 3u);
  EXPECT_EQ(Bytes(sent.begin() + 3, sent.end()), top);
}

}  // namespace
