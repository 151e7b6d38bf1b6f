// ActiveConnections of the registered control against a real cvserverd on
// loopback: a server with 40,000 connection slots and 250 clients logged in
// (raw protocol clients in this process), plus the control's own login. Each
// iteration builds the whole collection (one library call per slot, answered
// from one snapshot of the server's table) and releases it.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "agent_harness.h"
#include "ids.h"
#include "ole/com.h"
#include "ole/comptr.h"
#include "support/automation.h"
#include "support/run.h"
#include "support/temp_dir.h"

namespace {

constexpr int kClients = 250;

void BM_ActiveConnections40000Slots250Clients(benchmark::State& state) {
  cvtest::AgentProcess agent;
  agent.serverExtra = "capacity = 40000\n";
  if (!agent.Start()) return state.SkipWithError("the agent did not start");
  agent.WriteClientIni("ADMIN");
  std::vector<cvtest::RawClient> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.emplace_back(agent.port());
    if (clients.back().Login("GUEST", "guest-secret") != std::optional<std::uint32_t>(0u))
      return state.SkipWithError("a client could not log in");
  }
  testsupport::ScopedRegistry registry;
  auto reg = testsupport::RunShell(testsupport::Quote(REGSVR32_PATH) + " /s " + testsupport::Quote(CVSRVA_PATH));
  if (reg.status != 0) return state.SkipWithError("CVSRVA.OCX could not be registered");
  {
    ComPtr<IDispatch> control;
    if (FAILED(CoCreateInstance(cvsrva::CLSID_CvSrvAdm, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, control.PpvOut())))
      return state.SkipWithError("the control could not be created");
    if (FAILED(testsupport::Put(control.Get(), u"FullName", CComVariant(u"\\\\SRV1"))))
      return state.SkipWithError("the control did not bind");
    for (auto _ : state) {
      CComVariant collection;
      if (FAILED(testsupport::CallByName(control.Get(), u"ActiveConnections", DISPATCH_PROPERTYGET, {}, &collection)) ||
          collection.vt != VT_DISPATCH)
        return state.SkipWithError("ActiveConnections failed");
      CComVariant count = testsupport::Get(collection.pdispVal, u"Count");
      if (count.vt != VT_I4 || count.lVal != kClients + 1) return state.SkipWithError("not every login was listed");
    }
  }
  CoFreeUnusedLibraries();
}
BENCHMARK(BM_ActiveConnections40000Slots250Clients)->Unit(benchmark::kMillisecond);

}  // namespace
