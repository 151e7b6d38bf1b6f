// The server browse page expanding a container of 2,000 objects on a private
// slapd on loopback, through the real client library: 2,000 server objects
// (all shown) and 2,000 devices (listed, none shown). Goal: at most 1 s each.
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
    std::string many = "dn: ou=MANY,o=ACME,dc=corvane,dc=test\nobjectClass: organizationalUnit\nou: MANY\n\n";
    for (int i = 1; i <= 2000; ++i) {
      const std::string n = "S" + std::to_string(10000 + i);
      many += "dn: cn=" + n + ",ou=MANY,o=ACME,dc=corvane,dc=test\nobjectClass: kcpServer\ncn: " + n +
              "\nkcpNetworkAddress: 127.0.0.1:1\n\n";
    }
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

void BM_ExpandContainerOf2000Servers(benchmark::State& state) { ExpandContainer(state, "MANY", 2000); }
void BM_ExpandContainerOf2000Devices(benchmark::State& state) { ExpandContainer(state, "BIG", 0); }
BENCHMARK(BM_ExpandContainerOf2000Servers)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_ExpandContainerOf2000Devices)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace

int main(int argc, char** argv) {
  ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
