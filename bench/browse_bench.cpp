// The server browse page expanding containers on a private slapd on loopback,
// through the real client library: N server objects (all shown) beside N
// devices (listed, none shown), for N = 2,000 and 20,000. The devices' case
// is the listing alone, so each pair shows what the tree's insertion adds to
// listing the same number of objects. Goal: the servers' expand at most 1.5
// times the devices' listing.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QTreeWidget>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>

#include "agent_harness.h"
#include "browsepage.h"
#include "control/fullname_holder.h"
#include "ole/dispatch.h"
#include "support/slapd_fixture.h"

namespace {

using Holder = cvtest::FullNameHolder;

struct Directory {
  cvtest::AgentProcess agent;
  testsupport::Slapd slapd{2000};
  bool ok = false;
  Directory() {
    // MANY and MANY20K hold servers, BIG20K devices (BIG is the fixture's).
    std::string many;
    auto container = [&many](const std::string& ou, int count, bool servers) {
      const std::string dn = "ou=" + ou + ",o=ACME,dc=corvane,dc=test";
      many += "dn: " + dn + "\nobjectClass: organizationalUnit\nou: " + ou + "\n\n";
      for (int i = 1; i <= count; ++i) {
        const std::string n = (servers ? "S" : "D") + std::to_string(100000 + i);
        many += "dn: cn=" + n + "," + dn + (servers ? "\nobjectClass: kcpServer\ncn: " : "\nobjectClass: device\ncn: ") +
                n + (servers ? "\nkcpNetworkAddress: 127.0.0.1:1\n\n" : "\n\n");
      }
    };
    container("MANY", 2000, true);
    container("MANY20K", 20000, true);
    container("BIG20K", 20000, false);
    slapd.extraLdif = many;
    if (!agent.Start() || !slapd.Start()) return;
    agent.WriteClientIni("ADMIN");
    std::ofstream(agent.dir() / "client.ini", std::ios::app) << "[Trees]\nACME=" << slapd.treeUrl() << "\n";
    ok = true;
  }
};

Directory& Shared() {
  static Directory d;
  return d;
}

QTreeWidgetItem* Child(QTreeWidgetItem* item, const QString& text) {
  for (int i = 0; i < item->childCount(); ++i)
    if (item->child(i)->text(0) == text) return item->child(i);
  return nullptr;
}

void ExpandContainer(benchmark::State& state, const char* name, int shown) {
  if (!Shared().ok) return state.SkipWithError("slapd or the agent did not start");
  auto holder = ole::MakeObject<Holder>();
  for (auto _ : state) {
    state.PauseTiming();
    auto page = ole::MakeObject<cvsrva::CCvServerAdminPropPage>();
    IUnknown* objects[] = {static_cast<IDispatch*>(holder.Get())};
    page->SetObjects(1, objects);
    QWidget tab;
    page->Activate(&tab);
    QTreeWidgetItem* item = page->Tree()->topLevelItem(0);
    for (const char* text : {"Veltrane Directory Services", "ACME", "ACME"}) {
      item = item ? Child(item, text) : nullptr;
      if (item) item->setExpanded(true);
    }
    QTreeWidgetItem* container = item ? Child(item, name) : nullptr;
    if (!container) return state.SkipWithError("the container is not listed");
    state.ResumeTiming();
    container->setExpanded(true);
    state.PauseTiming();
    if (container->childCount() != shown) return state.SkipWithError("unexpected number of children");
    page->Deactivate();
    state.ResumeTiming();
  }
}

// Each pair interleaved: servers, devices, servers, devices (repetitions).
void BM_ExpandContainerOf2000Servers(benchmark::State& state) { ExpandContainer(state, "MANY", 2000); }
void BM_ExpandContainerOf2000Devices(benchmark::State& state) { ExpandContainer(state, "BIG", 0); }
void BM_ExpandContainerOf20000Servers(benchmark::State& state) { ExpandContainer(state, "MANY20K", 20000); }
void BM_ExpandContainerOf20000Devices(benchmark::State& state) { ExpandContainer(state, "BIG20K", 0); }
BENCHMARK(BM_ExpandContainerOf2000Servers)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_ExpandContainerOf2000Devices)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_ExpandContainerOf20000Servers)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_ExpandContainerOf20000Devices)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
  ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
