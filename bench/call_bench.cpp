// Cost of the control's Call through its IDispatch over the scripted client:
// building the request, the client operations' bookkeeping in the double, and
// turning the reply into a value or a result object. The figure for a call
// through the real client library and agent (ECHO with three parameters) is
// measured end to end against cvserverd with its call service.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "corvane/client/fake/cvclient_fake.h"
#include "ctrl.h"
#include "ole/object.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

void Le16(Bytes& b, std::size_t v) {
  b.push_back(static_cast<std::uint8_t>(v & 0xFF));
  b.push_back(static_cast<std::uint8_t>(v >> 8));
}

// An attribute object of (name, type, value text) entries.
Bytes Reply(const std::vector<std::tuple<std::string, char, std::string>>& atts) {
  Bytes body;
  for (const auto& [name, type, value] : atts) {
    Le16(body, name.size());
    Le16(body, value.size());
    body.insert(body.end(), {static_cast<std::uint8_t>(type), 0, 'a', 0});
    body.insert(body.end(), name.begin(), name.end());
    body.insert(body.end(), value.begin(), value.end());
  }
  Bytes b;
  Le16(b, 12 + body.size());
  b.insert(b.end(), {0, 0, 0, 0});
  Le16(b, atts.size());
  b.insert(b.end(), {0, 0, 0, 0});
  b.insert(b.end(), body.begin(), body.end());
  return b;
}

struct Bound {
  Bound() {
    cvfake::Reset();
    ctrl = ole::MakeObject<cvsrva::CCvServerAdminCtrl>();
    CComVariant name(u"\\\\SRV1");
    DISPID put = DISPID_PROPERTYPUT;
    DISPPARAMS p{&name, &put, 1, 1};
    ctrl->Invoke(1, IID_NULL, 0, DISPATCH_PROPERTYPUT, &p, nullptr, nullptr, nullptr);
    LPOLESTR names[] = {const_cast<LPOLESTR>(u"Call")};
    ctrl->GetIDsOfNames(IID_NULL, names, 1, 0, &call);
  }
  ComPtr<cvsrva::CCvServerAdminCtrl> ctrl;
  DISPID call = 0;
};

void Run(benchmark::State& state, const Bytes& reply, VARTYPE expected) {
  Bound b;
  if (b.ctrl->Connection() == 0) {
    state.SkipWithError("the control did not bind");
    return;
  }
  cvfake::SetDefault("CvServiceRequest", cvfake::Ok(cvfake::Out::Bytes(reply)));
  // Arguments in reverse order: ECHO, 42, "hello", 2.5.
  CComVariant args[] = {CComVariant(2.5), CComVariant("hello"), CComVariant(LONG{42}), CComVariant("echo")};
  DISPPARAMS p{args, nullptr, 4, 0};
  for (auto _ : state) {
    CComVariant result;
    HRESULT hr = b.ctrl->Invoke(b.call, IID_NULL, 0, DISPATCH_METHOD, &p, &result, nullptr, nullptr);
    if (hr != S_OK || result.vt != expected) {
      state.SkipWithError("Call failed");
      break;
    }
    cvfake::ClearCalls();  // the double records every call
  }
}

void EchoThreeToObject(benchmark::State& state) {
  Run(state, Reply({{"P1", 'I', "42"}, {"P2", 'S', "hello"}, {"P3", 'R', "2.500000"}}), VT_DISPATCH);
}
BENCHMARK(EchoThreeToObject);

void EchoToValue(benchmark::State& state) { Run(state, Reply({{"P1", 'I', "42"}}), VT_I4); }
BENCHMARK(EchoToValue);

}  // namespace
