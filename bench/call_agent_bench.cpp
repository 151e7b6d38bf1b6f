// Call through the registered control (CVSRVA.OCX over the real client
// library) against cvserverd with the call service module cvrfcd loaded on
// loopback: ECHO with three parameters, answered as a result object, read
// back and released each iteration.
#include <benchmark/benchmark.h>

#include <vector>

#include "agent_harness.h"
#include "bound_control.h"
#include "support/automation.h"

namespace {

void BM_CallEchoThreeParameters(benchmark::State& state) {
  cvtest::AgentProcess agent;
  agent.WriteFile("SYS/SYSTEM/RFC.qrx",
                  "exec = [\"" CVRFCD_PATH "\"]\n"
                  "services = [\"CvSrvA Remote Function Calls\"]\n"
                  "ready = { service = true, timeout_ms = 5000 }\nstop_timeout_ms = 2000\n");
  agent.WriteFile("SYS/SYSTEM/AUTOEXEC.QBT", "LOAD RFC\n");
  agent.serverExtra += "autoexec = \"AUTOEXEC.QBT\"\n";
  if (!agent.Start()) return state.SkipWithError("the agent did not start");
  agent.WriteClientIni("ADMIN");
  testsupport::ScopedRegistry registry;
  {
    const char* error = nullptr;
    ComPtr<IDispatch> control = benchsupport::BoundControl(registry, &error);
    if (!control) return state.SkipWithError(error);
    const std::vector<CComVariant> args{CComVariant(u"ECHO"), CComVariant(42), CComVariant(u"hello"),
                                        CComVariant(2.5)};
    for (auto _ : state) {
      CComVariant result;
      if (FAILED(testsupport::CallByName(control.Get(), u"Call", DISPATCH_METHOD, args, &result)) ||
          result.vt != VT_DISPATCH)
        return state.SkipWithError("Call failed");
      CComVariant p2 = testsupport::Get(result.pdispVal, u"P2");
      if (p2.vt != VT_BSTR) return state.SkipWithError("the reply lacks P2");
    }
  }
  CoFreeUnusedLibraries();
}
BENCHMARK(BM_CallEchoThreeParameters)->Unit(benchmark::kMicrosecond);

}  // namespace
