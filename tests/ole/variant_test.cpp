#include "ole/variant.h"

#include <gtest/gtest.h>

#include "ole/comptr.h"
#include "ole/object.h"

namespace {

// An IDispatch whose calls are not used here; only its references matter.
class Counted : public ole::ComObject<IDispatch> {
 public:
  HRESULT GetTypeInfoCount(UINT* n) override { return *n = 0, S_OK; }
  HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  HRESULT Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    return E_NOTIMPL;
  }
  static inline int destroyed = 0;
  ~Counted() override { ++destroyed; }
};

class VariantTest : public ::testing::Test {
 protected:
  void SetUp() override { live_ = ole::LiveBstrCount(); }
  void TearDown() override { EXPECT_EQ(ole::LiveBstrCount(), live_); }
  long live_ = 0;
};

TEST_F(VariantTest, ValidTypes) {
  struct Row {
    VARTYPE vt;
    bool valid;
  } rows[] = {
      {VT_EMPTY, true}, {VT_NULL, true}, {VT_I2, true}, {VT_BSTR, true}, {VT_DISPATCH, true},
      {VT_UINT, true}, {VT_RECORD, true}, {15, false}, {VT_VOID, false}, {VT_HRESULT, false},
      {VT_LPSTR, false}, {VT_VARIANT, false}, {VT_BYREF | VT_VARIANT, true},
      {VT_BYREF | VT_I4, true}, {VT_BYREF | VT_EMPTY, false}, {VT_VECTOR | VT_I4, false},
      {VT_ARRAY | VT_I4, true}, {0x8000 | VT_I4, false}, {0xFFF, false},
  };
  for (const auto& r : rows) EXPECT_EQ(ole::IsValidVariantType(r.vt), r.valid) << ole::VarTypeName(r.vt);
  EXPECT_EQ(ole::VarTypeName(VT_BYREF | VT_BSTR), "VT_BYREF|VT_BSTR");
  EXPECT_EQ(ole::VarTypeName(15), "VT_15");
}

TEST_F(VariantTest, ClearFreesWhatItOwnsAndRefusesBadTypes) {
  VARIANT v;
  VariantInit(&v);
  EXPECT_EQ(v.vt, VT_EMPTY);
  v.vt = VT_BSTR;
  v.bstrVal = SysAllocString(u"x");
  EXPECT_EQ(VariantClear(&v), S_OK);
  EXPECT_EQ(v.vt, VT_EMPTY);

  BSTR held = SysAllocString(u"held");
  v.vt = VT_BYREF | VT_BSTR;
  v.pbstrVal = &held;
  EXPECT_EQ(VariantClear(&v), S_OK);  // a reference owns nothing
  EXPECT_EQ(ole::BstrView(held), u"held");
  SysFreeString(held);

  v.vt = 15;
  EXPECT_EQ(VariantClear(&v), DISP_E_BADVARTYPE);
  EXPECT_EQ(v.vt, 15);
  EXPECT_EQ(VariantClear(nullptr), E_INVALIDARG);
}

TEST_F(VariantTest, CopyIsDeepAndCountsReferences) {
  Counted::destroyed = 0;
  auto obj = ole::MakeObject<Counted>();
  EXPECT_EQ(RefCountOf(obj.Get()), 1u);
  {
    CComVariant a = CComVariant::FromDispatch(obj.Get());
    EXPECT_EQ(RefCountOf(obj.Get()), 2u);
    CComVariant b = a;
    EXPECT_EQ(RefCountOf(obj.Get()), 3u);
    CComVariant s("text");
    CComVariant t;
    EXPECT_EQ(VariantCopy(&t, &s), S_OK);
    EXPECT_NE(t.bstrVal, s.bstrVal);
    EXPECT_EQ(ole::BstrView(t.bstrVal), u"text");
    EXPECT_EQ(VariantCopy(&t, &t), S_OK);  // self copy keeps the value
    EXPECT_EQ(ole::BstrView(t.bstrVal), u"text");
    EXPECT_EQ(VariantCopy(&t, &a), S_OK);  // old string freed, reference added
    EXPECT_EQ(RefCountOf(obj.Get()), 4u);
  }
  EXPECT_EQ(RefCountOf(obj.Get()), 1u);
  obj.Reset();
  EXPECT_EQ(Counted::destroyed, 1);

  VARIANT bad;
  bad.vt = VT_VOID;
  CComVariant dest(LONG(5));
  EXPECT_EQ(VariantCopy(&dest, &bad), DISP_E_BADVARTYPE);
  EXPECT_EQ(dest.vt, VT_I4);  // untouched on failure
}

TEST_F(VariantTest, CopyIndReadsThroughReferences) {
  LONG l = 42;
  SHORT s = -7;
  DATE d = 1.5;
  VARIANT_BOOL b = VARIANT_TRUE;
  CComBSTR text("by ref");
  BSTR raw = text;
  struct Row {
    VARTYPE vt;
    void* p;
    VARTYPE expect;
  } rows[] = {
      {VT_BYREF | VT_I4, &l, VT_I4}, {VT_BYREF | VT_I2, &s, VT_I2},
      {VT_BYREF | VT_DATE, &d, VT_DATE}, {VT_BYREF | VT_BOOL, &b, VT_BOOL},
      {VT_BYREF | VT_BSTR, &raw, VT_BSTR},
  };
  for (const auto& r : rows) {
    VARIANT src;
    src.vt = r.vt;
    src.byref = r.p;
    CComVariant out;
    ASSERT_EQ(VariantCopyInd(&out, &src), S_OK) << ole::VarTypeName(r.vt);
    EXPECT_EQ(out.vt, r.expect);
  }
  VARIANT src;
  src.vt = VT_BYREF | VT_BSTR;
  src.pbstrVal = &raw;
  CComVariant out;
  VariantCopyInd(&out, &src);
  EXPECT_NE(out.bstrVal, raw);  // a copy, not the referenced string
  EXPECT_EQ(ole::BstrView(out.bstrVal), u"by ref");

  CComVariant inner(LONG(9));
  VARIANT ref;
  ref.vt = VT_BYREF | VT_VARIANT;
  ref.pvarVal = &inner;
  ASSERT_EQ(VariantCopyInd(&out, &ref), S_OK);
  EXPECT_EQ(out.vt, VT_I4);
  EXPECT_EQ(out.lVal, 9);

  VARIANT refref;
  refref.vt = VT_BYREF | VT_VARIANT;
  refref.pvarVal = &ref;
  EXPECT_EQ(VariantCopyInd(&out, &refref), E_INVALIDARG);

  // In place: the variant becomes the value it referred to.
  VARIANT self;
  self.vt = VT_BYREF | VT_I4;
  self.plVal = &l;
  EXPECT_EQ(VariantCopyInd(&self, &self), S_OK);
  EXPECT_EQ(self.vt, VT_I4);
  EXPECT_EQ(self.lVal, 42);
}

TEST_F(VariantTest, OwnerConstructorsPickTheAutomationType) {
  EXPECT_EQ(CComVariant(true).vt, VT_BOOL);
  EXPECT_EQ(CComVariant(true).boolVal, VARIANT_TRUE);
  EXPECT_EQ(CComVariant(false).boolVal, VARIANT_FALSE);
  EXPECT_EQ(CComVariant(SHORT(3)).vt, VT_I2);
  EXPECT_EQ(CComVariant(3).vt, VT_I4);
  EXPECT_EQ(CComVariant(ULONG(3)).vt, VT_UI4);
  EXPECT_EQ(CComVariant(2.5).vt, VT_R8);
  EXPECT_EQ(CComVariant(2.5f).vt, VT_R4);
  CComVariant s("ü");
  EXPECT_EQ(s.vt, VT_BSTR);
  EXPECT_EQ(ole::BstrView(s.bstrVal), u"ü");
  EXPECT_EQ(CComVariant::Missing().scode, DISP_E_PARAMNOTFOUND);

  CComVariant moved = std::move(s);
  EXPECT_EQ(s.vt, VT_EMPTY);
  VARIANT raw;
  VariantInit(&raw);
  EXPECT_EQ(moved.Detach(&raw), S_OK);
  EXPECT_EQ(moved.vt, VT_EMPTY);
  EXPECT_EQ(raw.vt, VT_BSTR);
  CComVariant back;
  back.Attach(&raw);
  EXPECT_EQ(raw.vt, VT_EMPTY);
  EXPECT_EQ(back.vt, VT_BSTR);
}

TEST_F(VariantTest, ComPtrOwnsOneReference) {
  Counted::destroyed = 0;
  auto p = ole::MakeObject<Counted>();
  IDispatch* raw = p.Get();
  {
    ComPtr<IDispatch> q = raw;
    EXPECT_EQ(RefCountOf(raw), 2u);
    ComPtr<IUnknown> u = q.As<IUnknown>();
    EXPECT_TRUE(u);
    EXPECT_EQ(RefCountOf(raw), 3u);
    ComPtr<IEnumVARIANT> none;
    EXPECT_EQ(q.As(&none), E_NOINTERFACE);
    EXPECT_FALSE(none);
    IDispatch* out = nullptr;
    q.CopyTo(&out);
    EXPECT_EQ(RefCountOf(raw), 4u);
    auto adopted = ComPtr<IDispatch>::Adopt(out);
    ComPtr<IDispatch> moved = std::move(q);
    EXPECT_FALSE(q);
    EXPECT_EQ(RefCountOf(raw), 4u);
  }
  EXPECT_EQ(RefCountOf(raw), 1u);
  p = nullptr;
  EXPECT_EQ(Counted::destroyed, 1);
}

TEST_F(VariantTest, QueryInterfaceAnswersIUnknownAndTheList) {
  auto p = ole::MakeObject<Counted>();
  void* out = nullptr;
  EXPECT_EQ(p->QueryInterface(IID_IUnknown, &out), S_OK);
  EXPECT_EQ(out, static_cast<IUnknown*>(p.Get()));
  static_cast<IUnknown*>(out)->Release();
  EXPECT_EQ(p->QueryInterface(IID_IDispatch, &out), S_OK);
  static_cast<IUnknown*>(out)->Release();
  EXPECT_EQ(p->QueryInterface(IID_IClassFactory, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(p->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
  EXPECT_EQ(RefCountOf(p.Get()), 1u);
}

}  // namespace
