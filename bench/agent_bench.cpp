// The client library against a real cvserverd on loopback: one request's
// round trip, a scan of 500 server parameters, and a scan of 10,000
// connection slots.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "agent_harness.h"
#include "corvane/client/kscalls.h"
#include "corvane/client/ksconn.h"

namespace {

// One agent per benchmark, with what that benchmark needs configured.
std::unique_ptr<cvtest::AgentProcess> StartAgent(const std::string& serverExtra, const std::string& extra,
                                                 std::uint32_t* connection) {
  auto agent = std::make_unique<cvtest::AgentProcess>();
  agent->serverExtra = serverExtra;
  agent->extra = extra;
  if (!agent->Start()) return nullptr;
  agent->WriteClientIni("ADMIN");
  if (CvClientStartup(nullptr, nullptr) != 0 || CvGetConnectionHandle("SRV1", 0, connection, nullptr) != 0)
    return nullptr;
  return agent;
}

void BM_RequestRoundTrip(benchmark::State& state) {
  std::uint32_t conn = 0;
  auto agent = StartAgent("", "", &conn);
  if (!agent) return state.SkipWithError("the agent did not start");
  for (auto _ : state) {
    std::uint16_t inUse = 0;
    if (CvGetServerInformation(conn, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &inUse) != 0)
      return state.SkipWithError("request failed");
    benchmark::DoNotOptimize(inUse);
  }
  CvReleaseConnection(conn);
}
BENCHMARK(BM_RequestRoundTrip)->Unit(benchmark::kMicrosecond);

void BM_ParameterScan500(benchmark::State& state) {
  std::string params;
  for (int i = 0; i < 500; ++i)
    params += "[[parameter]]\nname = \"Parameter " + std::to_string(i) + "\"\ntype = \"number\"\nvalue = " +
              std::to_string(i) + "\n";
  std::uint32_t conn = 0;
  auto agent = StartAgent("", params, &conn);
  if (!agent) return state.SkipWithError("the agent did not start");
  CvServerParameter record{};
  for (auto _ : state) {
    int seen = 0;
    for (std::uint32_t index = 0; CvScanServerParameter(conn, index, &record) == 0; index = record.nextSearchIndex)
      ++seen;
    if (seen != 500) return state.SkipWithError("scan did not see 500 parameters");
  }
  CvReleaseConnection(conn);
}
BENCHMARK(BM_ParameterScan500)->Unit(benchmark::kMillisecond);

void BM_ConnectionScan10000(benchmark::State& state) {
  std::uint32_t conn = 0;
  auto agent = StartAgent("capacity = 10000\n", "", &conn);
  if (!agent) return state.SkipWithError("the agent did not start");
  for (auto _ : state) {
    int used = 0;
    for (std::uint32_t n = 1; n <= 10000; ++n) {
      char name[kCvObjectNameSize];
      std::uint16_t type = 0;
      std::uint32_t id = 0;
      CvLoginTime time{};
      if (CvGetConnectionInformation(conn, n, name, &type, &id, &time) == 0) ++used;
    }
    if (used < 1) return state.SkipWithError("the scan saw no connection");
  }
  CvReleaseConnection(conn);
}
BENCHMARK(BM_ConnectionScan10000)->Unit(benchmark::kMillisecond);

}  // namespace
