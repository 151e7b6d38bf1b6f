// Call through the registered control (CVSRVA.OCX over the real client
// library) against cvserverd with the call service module cvrfcd loaded on
// loopback: ECHO with three parameters, answered as a result object, read
// back and released each iteration.
#include <benchmark/benchmark.h>

#include <vector>

#include "agent_harness.h"
#include "ids.h"
#include "ole/com.h"
#include "ole/comptr.h"
#include "support/automation.h"
#include "support/run.h"
#include "support/temp_dir.h"

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
  auto reg = testsupport::RunShell(testsupport::Quote(REGSVR32_PATH) + " /s " + testsupport::Quote(CVSRVA_PATH));
  if (reg.status != 0) return state.SkipWithError("CVSRVA.OCX could not be registered");
  {
    ComPtr<IDispatch> control;
    if (FAILED(CoCreateInstance(cvsrva::CLSID_CvSrvAdm, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, control.PpvOut())))
      return state.SkipWithError("the control could not be created");
    if (FAILED(testsupport::Put(control.Get(), u"FullName", CComVariant(u"\\\\SRV1"))))
      return state.SkipWithError("the control did not bind");
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
