// The client library against a real cvserverd on loopback: one request's
// round trip, connecting with its TLS handshake and login, a scan of 500
// server parameters, and a scan of 10,000 connection slots; and a call of
// the call service's ECHO with three parameters through cvserverd and cvrfcd;
// and a parameter change, an administrative action, with the audit trail on
// and off.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "agent_harness.h"
#include "corvane/client/cverrors.h"
#include "corvane/client/kscalls.h"
#include "corvane/client/ksconn.h"

namespace {

// One agent per benchmark, with what that benchmark needs configured.
std::unique_ptr<cvtest::AgentProcess> StartAgent(const std::string& serverExtra, const std::string& extra,
                                                 std::uint32_t* connection,
                                                 const std::vector<std::pair<std::string, std::string>>& files = {}) {
  auto agent = std::make_unique<cvtest::AgentProcess>();
  for (const auto& [path, text] : files) agent->WriteFile(path, text);
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

// One agent for the connection pair below, with two users whose verifiers
// have 1000 (kMinIterations) and 200,000 PBKDF2 iterations (the default of
// cvserverd hash-password).
cvtest::AgentProcess* ConnectAgent() {
  static std::unique_ptr<cvtest::AgentProcess> agent = [] {
    auto a = std::make_unique<cvtest::AgentProcess>();
    a->users.push_back({"SLOW", "slow-secret", false, false, 200000});
    if (!a->Start()) a.reset();
    return a;
  }();
  return agent.get();
}

// TCP connect, TLS 1.3 handshake, trust check, SCRAM login and the server
// information the login fetches (the first request); then the connection is
// closed. The process logged in once before the timing: every later login
// of it to the server derives no key, whatever the iteration count.
void BM_ConnectHandshakeLogin(benchmark::State& state) {
  cvtest::AgentProcess* agent = ConnectAgent();
  if (!agent) return state.SkipWithError("the agent did not start");
  agent->WriteClientIni(state.range(0) == 1000 ? "ADMIN" : "SLOW");
  std::uint32_t conn = 0;
  if (CvClientStartup(nullptr, nullptr) != 0 || CvGetConnectionHandle("SRV1", 0, &conn, nullptr) != 0)
    return state.SkipWithError("login failed");
  CvReleaseConnection(conn);
  for (auto _ : state) {
    if (CvGetConnectionHandle("SRV1", 0, &conn, nullptr) != 0) return state.SkipWithError("login failed");
    CvReleaseConnection(conn);
  }
}
BENCHMARK(BM_ConnectHandshakeLogin)->Arg(1000)->Arg(200000)->Unit(benchmark::kMicrosecond);

// The reference: TCP connect and a bare TLS 1.3 handshake to the same agent
// (one client context for the process, as the library keeps), then close.
void BM_BareTlsHandshake(benchmark::State& state) {
  cvtest::AgentProcess* agent = ConnectAgent();
  if (!agent) return state.SkipWithError("the agent did not start");
  std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> ctx(SSL_CTX_new(TLS_client_method()), SSL_CTX_free);
  SSL_CTX_set_min_proto_version(ctx.get(), TLS1_3_VERSION);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(agent->port());
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  for (auto _ : state) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
      ::close(fd);
      return state.SkipWithError("connect failed");
    }
    SSL* ssl = SSL_new(ctx.get());
    SSL_set_fd(ssl, fd);
    const bool ok = SSL_connect(ssl) == 1;
    SSL_free(ssl);
    ::close(fd);
    if (!ok) return state.SkipWithError("handshake failed");
  }
}
BENCHMARK(BM_BareTlsHandshake)->Unit(benchmark::kMicrosecond);

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

// Arg 1: the agent writes an audit record per change (to a file in its
// temporary folder, journal off); arg 0: [audit] enabled = false.
void BM_ParameterSetAudit(benchmark::State& state) {
  const bool audited = state.range(0) != 0;
  std::uint32_t conn = 0;
  auto agent = StartAgent("",
                          "[[parameter]]\nname = \"Server Banner\"\ntype = \"text\"\nvalue = \"Hello\"\n"
                          "[audit]\njournal = false\nmax_size = 1073741824\nenabled = " +
                              std::string(audited ? "true" : "false") + "\n",
                          &conn);
  if (!agent) return state.SkipWithError("the agent did not start");
  int i = 0;
  for (auto _ : state) {
    const std::string value = "Banner " + std::to_string(++i % 100);
    if (CvSetServerParameterText(conn, "Server Banner", value.c_str()) != 0) return state.SkipWithError("set failed");
  }
  CvReleaseConnection(conn);
  state.SetLabel(audited ? "audit on" : "audit off");
}
BENCHMARK(BM_ParameterSetAudit)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

// The cheapest recorded action: clearing a connection number nobody holds
// (refused, and recorded), where nothing but the record adds to the round trip.
void BM_RefusedClearAudit(benchmark::State& state) {
  const bool audited = state.range(0) != 0;
  std::uint32_t conn = 0;
  auto agent = StartAgent("capacity = 100\n",
                          "[audit]\njournal = false\nmax_size = 1073741824\nenabled = " +
                              std::string(audited ? "true" : "false") + "\n",
                          &conn);
  if (!agent) return state.SkipWithError("the agent did not start");
  for (auto _ : state) {
    if (CvClearConnection(conn, 99) != kCvErrBadConnectionNumber) return state.SkipWithError("clear not refused");
  }
  CvReleaseConnection(conn);
  state.SetLabel(audited ? "audit on" : "audit off");
}
BENCHMARK(BM_RefusedClearAudit)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

void BM_ServiceEchoThreeParameters(benchmark::State& state) {
  std::uint32_t conn = 0;
  auto agent = StartAgent("autoexec = \"AUTOEXEC.QBT\"\n", "", &conn,
                          {{"SYS/SYSTEM/RFC.qrx", "exec = [\"" CVRFCD_PATH "\"]\n"
                                                  "services = [\"CvSrvA Remote Function Calls\"]\n"
                                                  "ready = { service = true }\n"},
                           {"SYS/SYSTEM/AUTOEXEC.QBT", "LOAD RFC\n"}});
  if (!agent) return state.SkipWithError("the agent did not start");
  std::uint32_t id = 0;
  for (int i = 0; i < 100; ++i) {
    if (CvGetServiceInfoByName(conn, "CvSrvA Remote Function Calls", &id, nullptr, nullptr, nullptr, nullptr) == 0)
      break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  if (id == 0) return state.SkipWithError("the call service did not come up");
  // ECHO with an integer, a real and a text, as the control sends them.
  std::vector<std::uint8_t> request = {0x00, 0x04, 0x00, 0x04, 0x00, 'C', 'E', 'C', 'H', 'O',
                                       0x04, 0x00, 'I',  2,    0,    0,   0,   0x08, 0x00, 'R'};
  const double real = 2.5;
  const auto* r = reinterpret_cast<const std::uint8_t*>(&real);
  request.insert(request.end(), r, r + 8);
  request.insert(request.end(), {0x05, 0x00, 'C', 'h', 'e', 'l', 'l', 'o'});
  std::vector<std::uint8_t> reply(2500);
  for (auto _ : state) {
    CvFragment req{request.data(), static_cast<std::uint32_t>(request.size())};
    CvFragment rep{reply.data(), 2500};
    if (CvServiceRequest(conn, id, 1, &req, 1, &rep) != 0 || rep.size == 2500) return state.SkipWithError("call failed");
  }
  CvReleaseConnection(conn);
}
BENCHMARK(BM_ServiceEchoThreeParameters)->Unit(benchmark::kMicrosecond);

}  // namespace
