// Call through the registered control (CVSRVA.OCX over the real client
// library) against cvserverd with the call service module cvrfcd loaded on
// loopback: ECHO with three parameters, answered as a result object, read
// back and released each iteration. Beside it the reference: a gRPC unary
// echo of the same three values over TLS (1.3 negotiated), its server in a
// process of its own, one channel kept open like the control's connection.
//
// Each runs quiet (/0) and loaded (/1): with a busy loop in a process of its
// own for the length of the benchmark (bounded to kBusyBound), so that the
// other core is awake. Run with --benchmark_repetitions=N
// --benchmark_enable_random_interleaving=true to interleave the pairs.
#include <benchmark/benchmark.h>
#include <grpcpp/grpcpp.h>
#include <openssl/bio.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "agent_harness.h"
#include "bound_control.h"
#include "echo.grpc.pb.h"
#include "support/automation.h"
#include "test_certs.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kBusyBound = std::chrono::seconds(120);

// A process that keeps one core busy until it is stopped or kBusyBound passed.
class BusyLoop {
 public:
  explicit BusyLoop(bool on) {
    if (!on) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      const auto end = Clock::now() + kBusyBound;
      volatile unsigned long n = 0;
      while (Clock::now() < end) {
        for (int i = 0; i < 100000; ++i) n = n + 1;
      }
      ::_exit(0);
    }
  }
  ~BusyLoop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  BusyLoop(const BusyLoop&) = delete;
  BusyLoop& operator=(const BusyLoop&) = delete;

 private:
  pid_t pid_ = -1;
};

// --- the control's Call ---

struct CallSide {
  cvtest::AgentProcess agent;
  testsupport::ScopedRegistry registry;
  ComPtr<IDispatch> control;
  const char* error = nullptr;
  CallSide() {
    agent.WriteFile("SYS/SYSTEM/RFC.qrx",
                    "exec = [\"" CVRFCD_PATH "\"]\n"
                    "services = [\"CvSrvA Remote Function Calls\"]\n"
                    "ready = { service = true, timeout_ms = 5000 }\nstop_timeout_ms = 2000\n");
    agent.WriteFile("SYS/SYSTEM/AUTOEXEC.QBT", "LOAD RFC\n");
    agent.serverExtra += "autoexec = \"AUTOEXEC.QBT\"\n";
    if (!agent.Start()) {
      error = "the agent did not start";
      return;
    }
    agent.WriteClientIni("ADMIN");
    control = benchsupport::BoundControl(registry, &error);
  }
  ~CallSide() {
    control.Reset();
    CoFreeUnusedLibraries();
  }
};
CallSide* callSide = nullptr;

void BM_CallEchoThreeParameters(benchmark::State& state) {
  if (!callSide->control) return state.SkipWithError(callSide->error);
  const std::vector<CComVariant> args{CComVariant(u"ECHO"), CComVariant(42), CComVariant(u"hello"), CComVariant(2.5)};
  BusyLoop busy(state.range(0) != 0);
  for (auto _ : state) {
    CComVariant result;
    if (FAILED(testsupport::CallByName(callSide->control.Get(), u"Call", DISPATCH_METHOD, args, &result)) ||
        result.vt != VT_DISPATCH)
      return state.SkipWithError("Call failed");
    CComVariant p2 = testsupport::Get(result.pdispVal, u"P2");
    if (p2.vt != VT_BSTR) return state.SkipWithError("the reply lacks P2");
  }
}
BENCHMARK(BM_CallEchoThreeParameters)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

// --- the gRPC echo ---

class EchoService final : public webwarden::bench::Echo::Service {
  grpc::Status Call(grpc::ServerContext*, const webwarden::bench::EchoRequest* request,
                    webwarden::bench::EchoReply* reply) override {
    if (request->name() != "ECHO") return grpc::Status(grpc::StatusCode::NOT_FOUND, "no such function");
    reply->set_p1(request->p1());
    reply->set_p2(request->p2());
    reply->set_p3(request->p3());
    return grpc::Status::OK;
  }
};

std::string ReadText(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// The server's side, in the process the bench starts: serves on a free
// loopback port, writes it to DIR/port and runs until it is killed.
int RunEchoServer(const std::string& dir) {
  grpc::SslServerCredentialsOptions options;
  options.pem_key_cert_pairs.push_back({ReadText(dir + "/server.key"), ReadText(dir + "/server.crt")});
  EchoService service;
  grpc::ServerBuilder builder;
  int port = 0;
  builder.AddListeningPort("127.0.0.1:0", grpc::SslServerCredentials(options), &port);
  builder.RegisterService(&service);
  std::unique_ptr<grpc::Server> server = builder.BuildAndStart();
  if (!server || port == 0) return 1;
  std::ofstream(dir + "/port.tmp") << port << "\n";
  ::rename((dir + "/port.tmp").c_str(), (dir + "/port").c_str());
  server->Wait();
  return 0;
}

struct GrpcSide {
  testsupport::TempDir dir;
  pid_t server = -1;
  std::shared_ptr<grpc::Channel> channel;
  std::unique_ptr<webwarden::bench::Echo::Stub> stub;
  const char* error = nullptr;
  GrpcSide() {
    auto caKey = cvtest::NewKey();
    auto ca = cvtest::MakeCert(caKey.get(), "Bench CA", -1, 30, nullptr, nullptr, true);
    auto key = cvtest::NewKey();
    auto cert = cvtest::MakeCert(key.get(), "127.0.0.1", -1, 30, caKey.get(), ca.get());
    cvtest::WritePem(dir / "ca.crt", ca.get());
    cvtest::WritePem(dir / "server.crt", cert.get());
    cvtest::WritePem(dir / "server.key", key.get());
    server = ::fork();
    if (server == 0) {
      const std::string self = "/proc/self/exe";
      ::execl(self.c_str(), "call_agent_bench", "--grpc-echo-server", dir.path().c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    std::string port;
    for (auto end = Clock::now() + std::chrono::seconds(10); Clock::now() < end && port.empty();) {
      port = ReadText(dir / "port");
      if (port.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (port.empty()) {
      error = "the gRPC echo server did not start";
      return;
    }
    grpc::SslCredentialsOptions options;
    options.pem_root_certs = ReadText(dir / "ca.crt");
    channel = grpc::CreateChannel("127.0.0.1:" + std::to_string(std::stoi(port)), grpc::SslCredentials(options));
    if (!channel->WaitForConnected(std::chrono::system_clock::now() + std::chrono::seconds(10))) {
      error = "no TLS connection to the gRPC echo server";
      return;
    }
    stub = webwarden::bench::Echo::NewStub(channel);
  }
  ~GrpcSide() {
    stub.reset();
    channel.reset();
    if (server > 0) {
      ::kill(server, SIGTERM);
      ::waitpid(server, nullptr, 0);
    }
  }
};
GrpcSide* grpcSide = nullptr;

void BM_GrpcEchoThreeParameters(benchmark::State& state) {
  if (!grpcSide->stub) return state.SkipWithError(grpcSide->error);
  BusyLoop busy(state.range(0) != 0);
  for (auto _ : state) {
    webwarden::bench::EchoRequest request;
    request.set_name("ECHO");
    request.set_p1(42);
    request.set_p2("hello");
    request.set_p3(2.5);
    webwarden::bench::EchoReply reply;
    grpc::ClientContext context;
    const grpc::Status status = grpcSide->stub->Call(&context, request, &reply);
    if (!status.ok() || reply.p2() != "hello") return state.SkipWithError("the echo failed");
  }
}
BENCHMARK(BM_GrpcEchoThreeParameters)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--grpc-echo-server") == 0) return RunEchoServer(argv[2]);
  benchmark::Initialize(&argc, argv);
  grpcSide = new GrpcSide();
  callSide = new CallSide();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  delete callSide;
  delete grpcSide;
  return 0;
}
