// A legitimate login (TLS handshake and SCRAM, from 127.0.0.1) against a
// real cvserverd, on its own and with 10,000 hostile connections open that
// never say a word, from 200 addresses of 127.0.0.0/8 (50 each), as a crowd
// of idle clients would.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "agent_harness.h"

namespace {

// Idle TCP connections from 127.0.x.y; the agent may close them, they stay
// open on this side.
class Crowd {
 public:
  Crowd(std::uint16_t port, int count, int perAddress) {
    for (int i = 0; i < count; ++i) {
      const int a = i / perAddress;
      const std::string source = "127.0." + std::to_string(10 + a / 250) + "." + std::to_string(1 + a % 250);
      const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      if (fd < 0) break;
      sockaddr_in local{};
      local.sin_family = AF_INET;
      ::inet_pton(AF_INET, source.c_str(), &local.sin_addr);
      sockaddr_in to{};
      to.sin_family = AF_INET;
      to.sin_port = htons(port);
      to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
          ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        ::close(fd);
        continue;
      }
      fds_.push_back(fd);
    }
  }
  ~Crowd() {
    for (int fd : fds_) ::close(fd);
  }
  std::size_t size() const { return fds_.size(); }

 private:
  std::vector<int> fds_;
};

void RaiseOwnFileLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
  }
}

void Login(benchmark::State& state, int hostile) {
  RaiseOwnFileLimit();
  cvtest::AgentProcess agent;
  if (!agent.Start()) return state.SkipWithError("the agent did not start");
  std::unique_ptr<Crowd> crowd;
  if (hostile > 0) crowd = std::make_unique<Crowd>(agent.port(), hostile, 50);
  state.counters["hostile_open"] = static_cast<double>(crowd ? crowd->size() : 0);
  for (auto _ : state) {
    cvtest::RawClient c(agent.port());
    if (c.Login("ADMIN", "admin-secret") != std::optional<std::uint32_t>(0u)) return state.SkipWithError("login failed");
  }
}

void BM_Login(benchmark::State& state) { Login(state, 0); }
BENCHMARK(BM_Login)->Unit(benchmark::kMillisecond)->Iterations(50);

void BM_LoginWith10000IdleConnections(benchmark::State& state) { Login(state, 10000); }
BENCHMARK(BM_LoginWith10000IdleConnections)->Unit(benchmark::kMillisecond)->Iterations(50);

}  // namespace
