// What one audit record costs the agent: AuditTrail::Record of a parameter
// change (escaping, the SHA-256 chain, one write to the file), measured in
// process; compare with a request's round trip in agent_bench.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "corvane/server/audit.h"
#include "corvane/server/tls.h"

namespace {

void BM_AuditRecord(benchmark::State& state) {
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
    cvaudit::Who who{"ADMIN", 0x01000001, 3, "192.168.10.27", 51234, "WS-ANNA", "scram"};
    for (auto _ : state) {
      if (!trail.Record("param", "Server Banner", 0, who, {{"old", "Hello"}, {"new", "Welcome"}}))
        return state.SkipWithError("not written");
    }
  }
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
}
BENCHMARK(BM_AuditRecord)->Unit(benchmark::kMicrosecond);

}  // namespace
