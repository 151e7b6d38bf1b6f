#include "control/fixture.h"

#include "ole/object.h"

namespace cvtest {

void RegisterControlClass() {
  static const bool done = [] {
    ole::RegisterBuiltinClass(cvsrva::CLSID_CvSrvAdm, [](REFIID riid, void** object) -> HRESULT {
      struct Factory final : IClassFactory {
        HRESULT QueryInterface(REFIID iid, void** out) override {
          *out = (iid == IID_IUnknown || iid == IID_IClassFactory) ? static_cast<IClassFactory*>(this) : nullptr;
          return *out ? S_OK : E_NOINTERFACE;
        }
        ULONG AddRef() override { return 2; }
        ULONG Release() override { return 1; }
        HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
          if (outer) return CLASS_E_NOAGGREGATION;
          try {
            auto obj = ole::MakeObject<cvsrva::CCvServerAdminCtrl>();
            return obj->QueryInterface(iid, out);
          } catch (const ole::DispatchException& e) {
            return e.scode ? e.scode : MAKE_HRESULT(SEVERITY_ERROR, FACILITY_CONTROL, e.code);
          }
        }
        HRESULT LockServer(BOOL) override { return S_OK; }
      };
      static Factory factory;
      return factory.QueryInterface(riid, object);
    });
    return true;
  }();
  (void)done;
}

void ControlTest::SetUp() {
  RegisterControlClass();
  cvfake::Reset();
  bstrs_ = ole::LiveBstrCount();
}

void ControlTest::TearDown() {
  site_.reset();
  EXPECT_EQ(ole::LiveBstrCount(), bstrs_) << "BSTRs leaked";
}

void ControlTest::Create(bool userMode) {
  site_ = std::make_unique<ole::ctl::OleControlSite>();
  site_->SetUserMode(userMode);
  HRESULT hr = site_->CreateControl(cvsrva::CLSID_CvSrvAdm);
  ASSERT_EQ(hr, S_OK);
  ClearCalls();
}

cvsrva::CCvServerAdminCtrl& ControlTest::Ctrl() {
  // The site holds the control's IDispatch, which is the control itself.
  return *static_cast<cvsrva::CCvServerAdminCtrl*>(Dispatch());
}

Outcome CallOn(IDispatch* d, const char16_t* name, WORD flags, std::vector<CComVariant> args) {
  Outcome o;
  EXCEPINFO info{};
  o.hr = testsupport::CallByName(d, name, flags, std::move(args), &o.value, &info);
  o.code = info.wCode;
  o.scode = info.scode;
  o.description = ole::BstrToUtf8(info.bstrDescription);
  ClearExcepInfo(&info);
  return o;
}

Outcome ControlTest::Get(const char16_t* name, std::vector<CComVariant> args) {
  return CallOn(Dispatch(), name, DISPATCH_PROPERTYGET, std::move(args));
}

Outcome ControlTest::Put(const char16_t* name, CComVariant value, std::vector<CComVariant> args) {
  args.push_back(std::move(value));
  return CallOn(Dispatch(), name, DISPATCH_PROPERTYPUT, std::move(args));
}

void ControlTest::BindPlain() {
  Outcome o = Put(u"FullName", CComVariant(u"\\\\SRV1"));
  ASSERT_EQ(o.hr, S_OK) << o.description;
  ASSERT_NE(Ctrl().Connection(), 0u);
  ClearCalls();
}

void ControlTest::BindDirectory() {
  cvfake::Push("CvReadObjectInfo", cvfake::Ok(cvfake::Out::Text("SRV1.OU.O"), cvfake::Out::Record(cvfake::ObjectInfo("KCP Server"))));
  Outcome o = Put(u"FullName", CComVariant(kBrowseName));
  ASSERT_EQ(o.hr, S_OK) << o.description;
  ASSERT_NE(Ctrl().Connection(), 0u);
  ASSERT_TRUE(Ctrl().IsDirectoryBound());
  ClearCalls();
}

void ExpectRaised(const Outcome& o, WORD code, std::string_view description) {
  EXPECT_EQ(o.hr, DISP_E_EXCEPTION);
  EXPECT_EQ(o.code, code);
  EXPECT_EQ(o.scode, 0);
  EXPECT_EQ(o.description, description);
}

void ExpectRaisedScode(const Outcome& o, SCODE scode) {
  EXPECT_EQ(o.hr, DISP_E_EXCEPTION);
  EXPECT_EQ(o.code, 0);
  EXPECT_EQ(o.scode, scode);
}

QByteArray StateBytes(std::string_view fullName) {
  QByteArray b;
  auto u32 = [&b](std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b.append(static_cast<char>((v >> (8 * i)) & 0xFF));
  };
  u32(cvsrva::kPersistVersion);
  u32(741);
  u32(741);
  u32(0);
  b.append(static_cast<char>(fullName.size()));  // names below 255 bytes
  b.append(fullName.data(), static_cast<qsizetype>(fullName.size()));
  return b;
}

Outcome ControlTest::Invoke(const char16_t* name, std::vector<CComVariant> args) {
  return CallOn(Dispatch(), name, DISPATCH_METHOD, std::move(args));
}

}  // namespace cvtest
