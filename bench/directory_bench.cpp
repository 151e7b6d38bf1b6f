// The directory against a private slapd on loopback: listing a container of
// 10,000 objects through CvListContainer / CvGetObjectName, a read that
// fails over past a silent replica, a module start beside directory logins
// that wait on a silent directory, and binding the registered control's
// FullName through the directory to a cvserverd.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "agent_harness.h"
#include "corvane/client/kscalls.h"
#include "corvane/client/ksconn.h"
#include "corvane/client/ksdir.h"
#include "corvane/wire/dirmech.h"
#include "corvane/wire/login.h"
#include "ole/com.h"
#include "ole/comptr.h"
#include "ole/variant.h"
#include "support/automation.h"
#include "support/slapd_fixture.h"

namespace {

constexpr int kObjects = 10000;

// slapd with 10,000 objects in BIG.ACME and a cvserverd that SRV1 names; made once.
struct World {
  testsupport::Slapd slapd{kObjects};
  cvtest::AgentProcess agent;
  bool ok = false;
  World() {
    if (!agent.Start() || !slapd.Start("127.0.0.1:" + std::to_string(agent.port()))) return;
    agent.WriteClientIni("ADMIN");
    std::ofstream(agent.dir() / "client.ini", std::ios::app) << "[Trees]\nACME=" << slapd.treeUrl() << "\n";
    ok = true;
  }
};

World& TheWorld() {
  static World* w = new World();  // lives until the process ends; its destructor would stop the servers
  return *w;
}

void BM_ListContainer10000(benchmark::State& state) {
  if (!TheWorld().ok) return state.SkipWithError("slapd or the agent did not start");
  std::uint32_t ctx = 0, buffer = 0;
  CvCreateContextHandle(&ctx);
  CvSetContext(ctx, kCvCtxKeyTreeName, "ACME");
  CvAllocBuffer(kCvDirBufferSize, &buffer);
  for (auto _ : state) {
    std::uint32_t iteration = kCvIterationStart, total = 0;
    do {
      std::uint32_t count = 0;
      if (CvListContainer(ctx, "BIG.ACME", &iteration, buffer) || CvGetObjectCount(ctx, buffer, &count))
        return state.SkipWithError("listing failed");
      for (std::uint32_t i = 0; i < count; ++i) {
        char name[kCvDirObjectNameSize];
        CvObjectInfo info{};
        if (CvGetObjectName(ctx, buffer, name, nullptr, &info)) return state.SkipWithError("listing failed");
      }
      total += count;
    } while (iteration != kCvIterationStart);
    if (total != kObjects) return state.SkipWithError("not every object was listed");
  }
  CvFreeBuffer(buffer);
  CvFreeContext(ctx);
}
BENCHMARK(BM_ListContainer10000)->Unit(benchmark::kMillisecond);

// Failover: a tree whose first replica accepts connections and never
// answers. One read with a new session pays Request at the silent replica
// and then the read at slapd; the budget is Connect + Request (+ 10 %).
void BM_ReadPastASilentReplica(benchmark::State& state) {
  if (!TheWorld().ok) return state.SkipWithError("slapd or the agent did not start");
  constexpr int kConnectMs = 1000, kRequestMs = 1000;
  const std::string saved = std::getenv("CORVANE_CLIENT") ? std::getenv("CORVANE_CLIENT") : "";
  const std::string ini = (TheWorld().agent.dir() / "failover.ini").string();
  ::setenv("CORVANE_CLIENT", ini.c_str(), 1);
  for (auto _ : state) {
    state.PauseTiming();
    // A silent replica of its own each time, so that no session is kept.
    cvtest::SilentServer silent;
    std::ofstream(ini, std::ios::trunc) << "[Trees]\nACME=ldap://127.0.0.1:" << silent.port() << "/"
                                        << testsupport::Slapd::base() << " " << TheWorld().slapd.treeUrl()
                                        << "\n[Timeouts]\nConnect=" << kConnectMs << "\nRequest=" << kRequestMs << "\n";
    std::uint32_t ctx = 0;
    CvCreateContextHandle(&ctx);
    CvSetContext(ctx, kCvCtxKeyTreeName, "ACME");
    state.ResumeTiming();
    char dn[kCvDirNameSize] = {};
    CvObjectInfo info{};
    const std::uint32_t rc = CvReadObjectInfo(ctx, "SRV1.SALES.ACME", dn, &info);
    state.PauseTiming();
    CvFreeContext(ctx);
    state.ResumeTiming();
    if (rc) {
      state.SkipWithError("the read did not fail over");
      break;
    }
  }
  state.counters["budget_ms"] = kConnectMs + kRequestMs;
  ::setenv("CORVANE_CLIENT", saved.c_str(), 1);
}
BENCHMARK(BM_ReadPastASilentReplica)->Unit(benchmark::kMillisecond)->Iterations(3);

// A module start and stop on an agent whose directory accepts connections and
// never answers, with state.range(0) directory logins waiting on it
// meanwhile: the module operations take as long with them as without.
void BM_ModuleStartBesideASilentDirectory(benchmark::State& state) {
  cvtest::SilentServer silent;
  cvtest::AgentProcess agent;
  agent.serverName = "SRV9";  // not the world's SRV1, which the library may hold open
  agent.extra = "[directory]\nuri = \"ldap://127.0.0.1:" + std::to_string(silent.port()) + "\"\nbase = \"" +
                testsupport::Slapd::base() + "\"\ntree = \"ACME\"\nserver = \"SRV1.SALES.ACME\"\ntimeout_ms = 60000\n";
  agent.WriteFile("SYS/SYSTEM/TESTMOD.qrx", "exec = [\"" CVTESTMODULE_PATH
                                            "\", \"{args}\"]\nready = { alive_ms = 50 }\nstop_timeout_ms = 2000\n");
  if (!agent.Start()) return state.SkipWithError("the agent did not start");
  const std::string saved = std::getenv("CORVANE_CLIENT") ? std::getenv("CORVANE_CLIENT") : "";
  agent.WriteClientIni("ADMIN");
  std::vector<cvtest::RawClient> waiting;
  for (int i = 0; i < state.range(0); ++i) {
    waiting.emplace_back(agent.port());
    cvwire::Writer w(cvwire::Type(cvwire::Msg::Hello), waiting.back().NextId());
    w.U32(cvwire::kProtocolVersion).Str("bench").Str(cvwire::kMechDirectory);
    w.Blob(cvwire::dirmech::Encode(cvwire::dirmech::Hello{"ACME", "JSMITH.SALES.ACME", "jsmith-secret"}));
    waiting.back().SendBytes(w.Frame());
  }
  std::uint32_t h = 0;
  if (CvGetConnectionHandle("SRV9", 0, &h, nullptr) != 0) {
    ::setenv("CORVANE_CLIENT", saved.c_str(), 1);
    return state.SkipWithError("no connection to the agent");
  }
  for (auto _ : state) {
    if (CvLoadModule(h, "TESTMOD ") != 0 || CvUnloadModule(h, "TESTMOD") != 0) {
      state.SkipWithError("the module did not start or stop");
      break;
    }
  }
  for (auto& c : waiting) {
    if (c.Receive(std::chrono::milliseconds(0))) state.SkipWithError("a directory login was answered meanwhile");
  }
  CvReleaseConnection(h);
  ::setenv("CORVANE_CLIENT", saved.c_str(), 1);
}
BENCHMARK(BM_ModuleStartBesideASilentDirectory)->Arg(0)->Arg(4)->Unit(benchmark::kMillisecond)->Iterations(10);

void BM_FullNameThroughDirectory(benchmark::State& state) {
  if (!TheWorld().ok) return state.SkipWithError("slapd or the agent did not start");
  const std::string registry = (TheWorld().agent.dir() / "registry.reg").string();
  ::setenv("OLE_REGISTRY", registry.c_str(), 1);
  if (std::system((std::string("'") + REGSVR32_PATH + "' /s '" + CVSRVA_PATH + "'").c_str()) != 0)
    return state.SkipWithError("the control could not be registered");
  CoInitialize(nullptr);
  CLSID clsid{};
  ComPtr<IDispatch> control;
  if (FAILED(CLSIDFromProgID(u"CvSrvAdmLib.CvServerAdminCtrl.1", &clsid)) ||
      FAILED(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, control.PpvOut())))
    return state.SkipWithError("the control could not be created");
  const CComVariant name(u"CDS:\\\\ACME\\ACME\\SALES\\SRV1");
  for (auto _ : state) {
    testsupport::Put(control.Get(), u"FullName", name);
    // A binding that failed leaves FullName empty (no container: design mode).
    const CComVariant back = testsupport::Get(control.Get(), u"FullName");
    if (back.vt != VT_BSTR || !back.bstrVal || !back.bstrVal[0]) return state.SkipWithError("binding failed");
  }
}
BENCHMARK(BM_FullNameThroughDirectory)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);

}  // namespace
