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
}

cvsrva::CCvServerAdminCtrl& ControlTest::Ctrl() {
  // The site holds the control's IDispatch, which is the control itself.
  return *static_cast<cvsrva::CCvServerAdminCtrl*>(Dispatch());
}

namespace {
Outcome Run(IDispatch* d, const char16_t* name, WORD flags, std::vector<CComVariant> args) {
  Outcome o;
  EXCEPINFO info{};
  o.hr = testsupport::CallByName(d, name, flags, std::move(args), &o.value, &info);
  o.code = info.wCode;
  o.scode = info.scode;
  o.description = ole::BstrToUtf8(info.bstrDescription);
  ClearExcepInfo(&info);
  return o;
}
}  // namespace

Outcome ControlTest::Get(const char16_t* name, std::vector<CComVariant> args) {
  return Run(Dispatch(), name, DISPATCH_PROPERTYGET, std::move(args));
}

Outcome ControlTest::Put(const char16_t* name, CComVariant value, std::vector<CComVariant> args) {
  args.push_back(std::move(value));
  return Run(Dispatch(), name, DISPATCH_PROPERTYPUT, std::move(args));
}

Outcome ControlTest::Invoke(const char16_t* name, std::vector<CComVariant> args) {
  return Run(Dispatch(), name, DISPATCH_METHOD, std::move(args));
}

}  // namespace cvtest
