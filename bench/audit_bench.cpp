// What one audit record costs the agent: AuditTrail::Record of a parameter
// change (escaping, the SHA-256 chain, one write to the file), measured in
// process, per record, in bursts of kBurst; /1 is what the caller pays when
// the record is left to the writer thread (the agent's way unless the trail
// is required), given the writer's pause between bursts, and writer_us the
// processor time the writer thread spends per record. Compare with a
// request's round trip in agent_bench.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include <time.h>

#include "corvane/server/audit.h"
#include "corvane/server/tls.h"

namespace {

double CpuSeconds(clockid_t clock) {
  timespec ts{};
  ::clock_gettime(clock, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// A request every ~30 us for the writer's 2 ms.
constexpr int kBurst = 64;

void BM_AuditRecord(benchmark::State& state) {
  const bool queued = state.range(0) != 0;
  std::string dir = (std::filesystem::temp_directory_path() / "cvaudit-bench-XXXXXX").string();
  if (!::mkdtemp(dir.data())) return state.SkipWithError("no temporary folder");
  cvserver::ServerConfig config;
  config.name = "SRV1";
  config.state = dir + "/state.db";
  std::string error;
  {
    cvserver::AuditTrail trail;
    if (!cvserver::LoadIdentity(config, error)) return state.SkipWithError(error.c_str());
    const auto files = cvserver::TlsFiles(config);
    cvserver::AuditConfig audit;
    audit.file = dir + "/audit.log";
    audit.maxSize = 1ull << 30;
    audit.journal = cvserver::AuditConfig::Journal::Off;
    if (!trail.Open(audit, files.key, files.certificate, error)) return state.SkipWithError(error.c_str());
    if (queued) trail.StartWriter();
    cvaudit::Who who{"ADMIN", 0x01000001, 3, "192.168.10.27", 51234, "WS-ANNA", "scram"};
    // Everything but this thread is the writer (and nothing when there is none).
    const double othersBefore = CpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - CpuSeconds(CLOCK_THREAD_CPUTIME_ID);
    for (auto _ : state) {
      const auto start = std::chrono::steady_clock::now();
      for (int i = 0; i < kBurst; ++i) {
        if (!trail.Record("param", "Server Banner", 0, who, {{"old", "Hello"}, {"new", "Welcome"}}))
          return state.SkipWithError("not written");
      }
      const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
      state.SetIterationTime(took.count() / kBurst);
      if (queued) std::this_thread::sleep_for(std::chrono::milliseconds(3));
    }
    trail.Flush();
    const double others = CpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - CpuSeconds(CLOCK_THREAD_CPUTIME_ID) - othersBefore;
    state.counters["writer_us"] = others * 1e6 / static_cast<double>(state.iterations() * kBurst);
  }
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
}
BENCHMARK(BM_AuditRecord)->Arg(0)->Arg(1)->UseManualTime()->Iterations(1000)->Unit(benchmark::kMicrosecond);

}  // namespace
