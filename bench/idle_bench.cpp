// The agent's memory with many idle logged-in TLS connections, and after they
// leave: a driver around a real cvserverd on loopback. It prints the agent's
// resident size fresh, with N idle clients (and so the cost of one), and
// after each of several waves of N clients that came and went; and, while N
// clients are held, the time of a request on a connection that was already
// open and of a new connection (TCP, TLS 1.3, SCRAM login, first request).
// It ends with a summary against the goals: at most 24 KB per idle
// connection, and back within 10 % of the fresh size (1.10x) after the
// clients left.
//
//   idle_bench [CLIENTS [WAVES]]   (default 1000 clients, 3 waves)
//
// The clients are spread over child processes of at most kPerProcess
// connections each; the driver raises the open-file limit (its own, which
// the agent inherits) as far as it may before it starts the agent, and says
// so when that limit keeps it from holding as many clients as asked.
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "agent_harness.h"
#include "corvane/wire/codec.h"
#include "corvane/wire/protocol.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kPerProcess = 8000;
// Descriptors the agent needs besides its clients' (logs, listener, the
// state database, ...), with room to spare.
constexpr rlim_t kAgentDescriptors = 64;

// A field of /proc/PID/status in KiB (VmRSS: the resident size; RssAnon:
// the part that is the process's own memory, not mapped files).
long StatusKb(pid_t pid, const std::string& field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(field + ":", 0) == 0) return std::strtol(line.c_str() + field.size() + 1, nullptr, 10);
  }
  return -1;
}
long ResidentKb(pid_t pid) { return StatusKb(pid, "VmRSS"); }

// Raises the soft and hard open-file limits as far as allowed.
rlim_t RaiseFileLimit(rlim_t want) {
  rlimit r{};
  ::getrlimit(RLIMIT_NOFILE, &r);
  for (rlim_t n = want; n > r.rlim_cur; n = n * 3 / 4) {
    rlimit t{std::max(n, r.rlim_cur), std::max(n, r.rlim_max)};
    if (::setrlimit(RLIMIT_NOFILE, &t) == 0) break;
    t = {std::min(n, r.rlim_max), r.rlim_max};
    if (::setrlimit(RLIMIT_NOFILE, &t) == 0) break;
  }
  ::getrlimit(RLIMIT_NOFILE, &r);
  return r.rlim_cur;
}

// One request (the server information) on a logged-in client; whether a
// reply came.
bool Request(cvtest::RawClient& c) {
  cvwire::Writer w(cvwire::Type(cvwire::Msg::ServerInfo), c.NextId());
  return c.SendBytes(w.Frame()) && c.Receive().has_value();
}

// A group of idle clients in a child process: logs count clients in, says
// how many made it on the pipe, then holds them until the pipe closes.
struct Group {
  pid_t pid = -1;
  int toChild = -1;
  int fromChild = -1;
};

Group StartGroup(std::uint16_t port, int count) {
  int down[2], up[2];
  if (::pipe(down) != 0 || ::pipe(up) != 0) std::abort();
  Group g;
  g.pid = ::fork();
  if (g.pid == 0) {
    ::close(down[1]);
    ::close(up[0]);
    std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> ctx(SSL_CTX_new(TLS_client_method()), SSL_CTX_free);
    SSL_CTX_set_mode(ctx.get(), SSL_MODE_RELEASE_BUFFERS);
    std::vector<std::unique_ptr<cvtest::RawClient>> clients;
    int in = 0;
    for (int i = 0; i < count; ++i) {
      auto c = std::make_unique<cvtest::RawClient>(port, cvtest::RawClient::Mode::Tls, ctx.get());
      if (c->connected() && c->Login("ADMIN", "admin-secret") == std::optional<std::uint32_t>(0u)) ++in;
      clients.push_back(std::move(c));
    }
    (void)!::write(up[1], &in, sizeof in);
    char c;
    while (::read(down[0], &c, 1) > 0) {
    }
    ::_exit(0);
  }
  ::close(down[0]);
  ::close(up[1]);
  g.toChild = down[1];
  g.fromChild = up[0];
  return g;
}

// Holds clients idle connections; Leave() closes them.
class Crowd {
 public:
  Crowd(std::uint16_t port, int clients) {
    for (int left = clients; left > 0; left -= kPerProcess) groups_.push_back(StartGroup(port, std::min(left, kPerProcess)));
    for (Group& g : groups_) {
      int in = 0;
      if (::read(g.fromChild, &in, sizeof in) == sizeof in) loggedIn_ += in;
    }
  }
  ~Crowd() { Leave(); }
  int loggedIn() const { return loggedIn_; }
  void Leave() {
    for (Group& g : groups_) ::close(g.toChild);
    for (Group& g : groups_) {
      ::waitpid(g.pid, nullptr, 0);
      ::close(g.fromChild);
    }
    groups_.clear();
  }

 private:
  std::vector<Group> groups_;
  int loggedIn_ = 0;
};

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

double LoadAverage() {
  double l = 0;
  std::ifstream("/proc/loadavg") >> l;
  return l;
}

}  // namespace

int main(int argc, char** argv) {
  const int clients = argc > 1 ? std::atoi(argv[1]) : 1000;
  const int waves = argc > 2 ? std::atoi(argv[2]) : 3;
  if (clients < 1 || clients > 60000 || waves < 1 || waves > 20) {
    std::fprintf(stderr, "usage: idle_bench [CLIENTS (1..60000) [WAVES (1..20)]]\n");
    return 2;
  }
  // A client whose connection the agent closed (out of descriptors, say)
  // must not end its whole group with SIGPIPE.
  ::signal(SIGPIPE, SIG_IGN);
  const rlim_t limit = RaiseFileLimit(static_cast<rlim_t>(clients) + 4096);
  std::printf("load average %.2f; open-file limit %llu\n", LoadAverage(), static_cast<unsigned long long>(limit));
  // The agent holds one descriptor per client, and a few of its own.
  if (limit < static_cast<rlim_t>(clients) + kAgentDescriptors) {
    std::printf("NOTE: %d clients cannot all be held: the open-file limit here is %llu and cannot be raised further "
                "(that needs CAP_SYS_RESOURCE or a higher hard limit); at most about %llu will be\n",
                clients, static_cast<unsigned long long>(limit),
                static_cast<unsigned long long>(limit > kAgentDescriptors ? limit - kAgentDescriptors : 0));
  }

  cvtest::AgentProcess agent;
  agent.serverExtra = "capacity = " + std::to_string(std::min(clients + 16, 65535)) + "\nidle_timeout_ms = 3600000\n";
  if (!agent.Start()) {
    std::fprintf(stderr, "the agent did not start:\n%s\n", agent.Log().c_str());
    return 1;
  }
  // A client of the driver's own, logged in before the crowd comes.
  cvtest::RawClient kept(agent.port());
  if (!kept.connected() || kept.Login("ADMIN", "admin-secret") != std::optional<std::uint32_t>(0u) || !Request(kept)) {
    std::fprintf(stderr, "no login\n");
    return 1;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  const long fresh = ResidentKb(agent.pid());
  const long freshAnon = StatusKb(agent.pid(), "RssAnon");
  std::printf("agent fresh: %ld KiB (own memory %ld KiB)\n", fresh, freshAnon);

  long worstAfter = 0, lastAfter = 0;
  double perConnection = 0;
  for (int wave = 1; wave <= waves; ++wave) {
    const auto t0 = Clock::now();
    Crowd crowd(agent.port(), clients);
    const double arrive = std::chrono::duration<double>(Clock::now() - t0).count();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const long with = ResidentKb(agent.pid());
    std::printf("wave %d: %d of %d clients logged in (%.1f s); agent %ld KiB, %.1f KiB per idle connection\n", wave,
                crowd.loggedIn(), clients, arrive, with,
                crowd.loggedIn() ? double(with - fresh) / crowd.loggedIn() : 0.0);
    if (wave == 1) {
      std::vector<double> request, connect;
      for (int i = 0; i < 21; ++i) {
        auto a = Clock::now();
        const bool ok = Request(kept);
        request.push_back(std::chrono::duration<double, std::milli>(Clock::now() - a).count());
        a = Clock::now();
        cvtest::RawClient c(agent.port());
        const bool in = c.connected() && c.Login("ADMIN", "admin-secret") == std::optional<std::uint32_t>(0u) && Request(c);
        connect.push_back(std::chrono::duration<double, std::milli>(Clock::now() - a).count());
        if (!ok || !in) std::printf("  a request or a new connection failed\n");
      }
      std::printf("  while held: request on an open connection %.3f ms, new connection with login and request "
                  "%.3f ms (medians of 21)\n",
                  Median(request), Median(connect));
    }
    crowd.Leave();
    // The agent trims a second after closes: wait until its size stays put
    // (at most 20 s).
    long after = ResidentKb(agent.pid());
    for (int i = 0; i < 40; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(i < 5 ? 500 : 1000));
      const long now = ResidentKb(agent.pid());
      if (i >= 4 && now == after) break;
      after = now;
    }
    std::printf("  after they left: agent %ld KiB = %.3fx fresh (%+.1f %%; own memory %ld KiB, fresh %ld KiB)\n",
                after, double(after) / fresh, 100.0 * double(after - fresh) / fresh, StatusKb(agent.pid(), "RssAnon"),
                freshAnon);
    if (crowd.loggedIn() < clients) {
      std::printf("  NOTE: only %d of the %d clients asked for logged in\n", crowd.loggedIn(), clients);
    }
    worstAfter = std::max(worstAfter, after);
    perConnection = std::max(perConnection, crowd.loggedIn() ? double(with - fresh) / crowd.loggedIn() : 0.0);
    lastAfter = after;
  }
  const double ratio = double(lastAfter) / fresh;
  std::printf("summary: fresh %ld KiB; %.1f KiB per idle connection (goal at most 24 KB = 23.4 KiB: %s); after the "
              "last wave %.3fx fresh, worst %.3fx (goal at most 1.10x: %s)\n",
              fresh, perConnection,
              perConnection <= 0 ? "not measured, no client logged in"
              : perConnection * 1024 <= 24000 ? "met" : "NOT met",
              ratio,
              double(worstAfter) / fresh, double(worstAfter) / fresh <= 1.10 ? "met" : "NOT met");
  std::printf("load average %.2f\n", LoadAverage());
  return 0;
}
