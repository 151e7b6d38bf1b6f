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
#include "bound_control.h"
#include "support/automation.h"

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
  {
    const char* error = nullptr;
    ComPtr<IDispatch> control = benchsupport::BoundControl(registry, &error);
    if (!control) return state.SkipWithError(error);
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
