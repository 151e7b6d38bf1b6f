// cvrfcd: the call service module "CvSrvA Remote Function Calls". cvserverd
// starts it from its QRX manifest and hands it, in the environment, the Unix
// socket to answer on (CV_SERVICE_SOCKET), the volume (CV_VOLUME) and the
// search path (CV_SEARCH_PATH, folders separated by ':'). A connection
// carries one call at a time (corvane/wire/service.h) and is kept for the
// next one until the agent closes it or lets it idle for kReadTimeoutMs.
// kWorkers threads accept and answer; further calls wait in the listen queue
// (the agent's deadline bounds how long).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "corvane/rfc/reply.h"
#include "corvane/rfc/scripts.h"
#include "corvane/rfc/service.h"
#include "corvane/wire/codec.h"
#include "corvane/wire/frame.h"
#include "posix/unique_fd.h"

namespace {

constexpr int kWorkers = 16;
// How long the agent may take to send a call after connecting or after the
// last answer.
constexpr int kReadTimeoutMs = 2000;

std::atomic<int> gActive{0};
int gStopPipe[2] = {-1, -1};

void OnTerm(int) {
  const char c = 1;
  [[maybe_unused]] auto n = ::write(gStopPipe[1], &c, 1);
}

void Usage() {
  std::fputs(
      "usage: cvrfcd [--script-timeout-ms N] [--output-limit BYTES]\n"
      "Started by cvserverd from a QRX manifest with services = [\"CvSrvA Remote Function Calls\"]\n"
      "and ready = { service = true }.\n",
      stderr);
}

bool WriteAll(int fd, const std::vector<std::uint8_t>& bytes) {
  std::size_t at = 0;
  while (at < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
    if (n <= 0) return false;
    at += static_cast<std::size_t>(n);
  }
  return true;
}

// Reads one frame; nothing when the peer is slow, closes or sends garbage.
std::optional<std::vector<std::uint8_t>> ReadFrame(int fd) {
  cvwire::FrameParser parser;
  std::uint8_t buffer[8192];
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kReadTimeoutMs);
  for (;;) {
    std::vector<std::uint8_t> payload;
    if (parser.Next(payload)) return payload;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) return std::nullopt;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) return std::nullopt;
    if (parser.Feed(std::span(buffer, static_cast<std::size_t>(n))) != cvwire::FrameParser::Status::Ok) {
      return std::nullopt;
    }
  }
}

// Answers the calls on one connection; gActive counts the calls being
// answered, not the connections waiting for their next call.
void Serve(posix::UniqueFd fd, const cvrfc::Settings& settings) {
  for (;;) {
    const auto payload = ReadFrame(fd.get());
    if (!payload) return;
    ++gActive;
    cvwire::Reader header(*payload);
    const std::uint32_t id = header.requestId();
    const auto call = cvwire::service::DecodeCall(*payload);
    std::vector<std::uint8_t> reply;
    if (!call) {
      reply = cvrfc::ErrorReply(cvrfc::kErrBadRequest, "malformed call", 200);
    } else {
      reply = cvrfc::Answer(*call, settings);
    }
    const bool sent = WriteAll(fd.get(), cvwire::service::EncodeAnswer(id, reply));
    --gActive;
    if (!sent || !call) return;
  }
}

}  // namespace

int main(int argc, char** argv) {
  cvrfc::Settings settings;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    long long v = 0;
    if ((a == "--script-timeout-ms" || a == "--output-limit") && i + 1 < argc) {
      const char* t = argv[++i];
      auto [p, ec] = std::from_chars(t, t + std::strlen(t), v);
      if (ec != std::errc() || *p != '\0' || v < 1 || v > 600000) {
        Usage();
        return 2;
      }
      if (a == "--script-timeout-ms") {
        settings.scriptTimeout = std::chrono::milliseconds(v);
      } else {
        settings.outputLimit = static_cast<std::size_t>(v);
      }
    } else {
      Usage();
      return 2;
    }
  }
  const char* socketPath = std::getenv("CV_SERVICE_SOCKET");
  const char* volume = std::getenv("CV_VOLUME");
  const char* searchPath = std::getenv("CV_SEARCH_PATH");
  if (!socketPath || !volume) {
    std::fputs("cvrfcd: CV_SERVICE_SOCKET and CV_VOLUME must be set (cvserverd sets them)\n", stderr);
    return 2;
  }
  settings.volume = volume;
  if (const char* audit = std::getenv("CV_AUDIT_FILE")) settings.auditFile = audit;
  for (std::string_view rest = searchPath ? searchPath : "SYSTEM"; !rest.empty();) {
    const auto colon = rest.find(':');
    settings.searchPath.emplace_back(rest.substr(0, colon));
    rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
  }

  sockaddr_un addr{};
  if (std::strlen(socketPath) >= sizeof addr.sun_path) {
    std::fprintf(stderr, "cvrfcd: socket path too long: %s\n", socketPath);
    return 1;
  }
  addr.sun_family = AF_UNIX;
  std::strcpy(addr.sun_path, socketPath);
  posix::UniqueFd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  ::unlink(socketPath);
  const mode_t old = ::umask(0077);  // only the agent's user may connect
  const bool bound = listener && ::bind(listener.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  ::umask(old);
  if (!bound || ::listen(listener.get(), 64) != 0) {
    std::fprintf(stderr, "cvrfcd: cannot listen on %s: %s\n", socketPath, std::strerror(errno));
    return 1;
  }
  if (::pipe2(gStopPipe, O_CLOEXEC) != 0) return 1;
  struct sigaction sa {};
  sa.sa_handler = OnTerm;
  ::sigaction(SIGTERM, &sa, nullptr);
  ::sigaction(SIGINT, &sa, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
  std::fprintf(stderr, "cvrfcd: answering \"%s\" on %s\n", cvrfc::kServiceName, socketPath);

  // The workers run until the process ends; gActive counts calls under way.
  for (int i = 0; i < kWorkers; ++i) {
    std::thread([fd = listener.get(), &settings] {
      for (;;) {
        posix::UniqueFd conn(::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC));
        if (!conn) {
          if (errno == EINTR || errno == ECONNABORTED) continue;
          return;  // the listener was shut down
        }
        Serve(std::move(conn), settings);
      }
    }).detach();
  }
  for (;;) {
    pollfd stop{gStopPipe[0], POLLIN, 0};
    if (::poll(&stop, 1, -1) > 0) break;
  }
  ::shutdown(listener.get(), SHUT_RDWR);  // wakes the workers' accept
  ::unlink(socketPath);
  cvrfc::KillRunningScripts();
  // Give the calls under way a moment to answer (their scripts are gone).
  for (int i = 0; i < 100 && gActive.load() > 0; ++i) ::poll(nullptr, 0, 20);
  std::fputs("cvrfcd: stopped\n", stderr);
  std::_Exit(0);
}
