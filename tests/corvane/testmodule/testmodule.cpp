// A stand-in module program for the supervisor tests. Options, in any order:
//   --listen PORT          listen on 127.0.0.1:PORT (accepting and closing connections)
//   --listen-after MS      wait this long before listening
//   --exit-after MS CODE   exit with CODE after MS milliseconds
//   --exit CODE            exit with CODE at once (after the files below are written)
//   --ignore-term          ignore SIGTERM
//   --print TEXT           write TEXT and a newline to stdout
//   --print-err TEXT       write TEXT and a newline to stderr
//   --pidfile PATH         write the process id to PATH
//   --child-pidfile PATH   start a child in the same process group that sleeps
//                          (ignoring SIGTERM) and write its process id to PATH
//   --argv-file PATH       write every argument, one per line, to PATH
//   --env-file NAME PATH   write the value of environment variable NAME to PATH
//   --service MODE         answer calls on the Unix socket CV_SERVICE_SOCKET badly:
//                          after reading a call, crash (abort), hang (keep the
//                          connection open, answer nothing) or garbage (answer
//                          bytes that are no frame); or, with MODE once, answer
//                          each call with its own request bytes and close the
//                          connection at once
// Without --exit or --exit-after it runs until SIGTERM.
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "corvane/wire/codec.h"
#include "corvane/wire/frame.h"
#include "corvane/wire/service.h"

namespace {

volatile sig_atomic_t gTerm = 0;

void OnTerm(int) { gTerm = 1; }

bool WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::trunc);
  out << text;
  return static_cast<bool>(out);
}

int Listen(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 16) != 0) {
    std::perror("listen");
    ::close(fd);
    return -1;
  }
  return fd;
}

int ListenUnix(const char* path) {
  sockaddr_un addr{};
  if (!path || std::strlen(path) >= sizeof addr.sun_path) return -1;
  addr.sun_family = AF_UNIX;
  std::strcpy(addr.sun_path, path);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ::unlink(path);
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 16) != 0) {
    std::perror("listen unix");
    return -1;
  }
  return fd;
}

// Reads until the peer has sent something (a call), at most a second; false
// when it sent nothing (the agent's readiness probe).
bool AwaitCall(int fd) {
  char buffer[4096];
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, 1000) > 0 && ::read(fd, buffer, sizeof buffer) > 0;
}

// Reads one call and answers it with its request bytes; false when none came.
bool EchoCall(int fd) {
  cvwire::FrameParser parser;
  std::vector<std::uint8_t> payload;
  std::uint8_t buffer[4096];
  while (!parser.Next(payload)) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 1000) <= 0) return false;
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0 || parser.Feed(std::span(buffer, static_cast<std::size_t>(n))) != cvwire::FrameParser::Status::Ok) {
      return false;
    }
  }
  const auto call = cvwire::service::DecodeCall(payload);
  if (!call) return false;
  const auto answer = cvwire::service::EncodeAnswer(cvwire::Reader(payload).requestId(), call->request);
  return ::write(fd, answer.data(), answer.size()) == static_cast<ssize_t>(answer.size());
}

}  // namespace

int main(int argc, char** argv) {
  int port = 0;
  long listenAfterMs = 0;
  long exitAfterMs = -1;
  int exitCode = 0;
  bool exitNow = false;
  bool ignoreTerm = false;
  std::string childPidfile;
  std::string serviceMode;
  std::vector<std::string> all(argv + 1, argv + argc);
  for (std::size_t i = 0; i < all.size(); ++i) {
    const std::string& a = all[i];
    auto next = [&]() -> std::string {
      if (i + 1 >= all.size()) {
        std::fprintf(stderr, "missing value after %s\n", a.c_str());
        std::exit(64);
      }
      return all[++i];
    };
    if (a == "--listen") {
      port = std::atoi(next().c_str());
    } else if (a == "--listen-after") {
      listenAfterMs = std::atol(next().c_str());
    } else if (a == "--exit-after") {
      exitAfterMs = std::atol(next().c_str());
      exitCode = std::atoi(next().c_str());
    } else if (a == "--exit") {
      exitNow = true;
      exitCode = std::atoi(next().c_str());
    } else if (a == "--service") {
      serviceMode = next();
    } else if (a == "--ignore-term") {
      ignoreTerm = true;
    } else if (a == "--print") {
      std::printf("%s\n", next().c_str());
      std::fflush(stdout);
    } else if (a == "--print-err") {
      std::fprintf(stderr, "%s\n", next().c_str());
    } else if (a == "--pidfile") {
      WriteFile(next(), std::to_string(::getpid()));
    } else if (a == "--child-pidfile") {
      childPidfile = next();
    } else if (a == "--argv-file") {
      std::string text;
      for (const auto& each : all) text += each + "\n";
      WriteFile(next(), text);
    } else if (a == "--env-file") {
      const std::string name = next();
      const char* value = std::getenv(name.c_str());
      WriteFile(next(), value ? value : "(unset)");
    } else {
      // Anything else is an argument the test passed through; ignore it.
    }
  }
  if (!childPidfile.empty()) {
    const pid_t child = ::fork();
    if (child == 0) {
      ::signal(SIGTERM, SIG_IGN);
      for (;;) ::pause();
    }
    WriteFile(childPidfile, std::to_string(child));
  }
  if (exitNow) return exitCode;

  if (ignoreTerm) {
    ::signal(SIGTERM, SIG_IGN);
  } else {
    struct sigaction sa {};
    sa.sa_handler = OnTerm;
    ::sigaction(SIGTERM, &sa, nullptr);
  }

  const auto start = std::chrono::steady_clock::now();
  auto elapsedMs = [&] {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  };
  int listenFd = -1;
  std::vector<int> held;  // connections a hanging service keeps open
  if (!serviceMode.empty()) {
    listenFd = ListenUnix(std::getenv("CV_SERVICE_SOCKET"));
    if (listenFd < 0) return 70;
    port = 0;
  }
  while (!gTerm) {
    if (exitAfterMs >= 0 && elapsedMs() >= exitAfterMs) return exitCode;
    if (port > 0 && listenFd < 0 && elapsedMs() >= listenAfterMs) {
      listenFd = Listen(port);
      if (listenFd < 0) return 70;
    }
    pollfd p{listenFd, POLLIN, 0};
    if (::poll(&p, listenFd >= 0 ? 1 : 0, 10) > 0) {
      const int c = ::accept(listenFd, nullptr, nullptr);
      if (c >= 0 && serviceMode == "once") {
        EchoCall(c);
      } else if (c >= 0 && !serviceMode.empty() && AwaitCall(c)) {
        if (serviceMode == "crash") std::abort();
        if (serviceMode == "hang") {
          held.push_back(c);
          continue;
        }
        const char junk[] = "\xff\xff\xff\x7fnot a frame";
        [[maybe_unused]] auto n = ::write(c, junk, sizeof junk - 1);
      }
      if (c >= 0) ::close(c);
    }
  }
  return 0;
}
