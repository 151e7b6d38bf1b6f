#include "corvane/client/channel.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace cvclient {
namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left <= 0 ? 0 : static_cast<int>(left);
}

// Waits for events on fd until the deadline; false on timeout or error.
bool Wait(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    pollfd p{fd, events, 0};
    const int ms = RemainingMs(deadline);
    if (ms == 0) return false;
    const int r = ::poll(&p, 1, ms);
    if (r > 0) return true;
    if (r == 0) return false;
    if (errno != EINTR) return false;
  }
}

}  // namespace

void Channel::Close() {
  fd_.reset();
  parser_ = cvwire::FrameParser();
}

bool Channel::CheckIdle() {
  if (!open()) return false;
  pollfd p{fd_.get(), POLLIN, 0};
  if (::poll(&p, 1, 0) <= 0) return true;
  std::uint8_t b;
  const ssize_t n = ::recv(fd_.get(), &b, 1, MSG_PEEK | MSG_DONTWAIT);
  if (n > 0 || (n < 0 && (errno == EAGAIN || errno == EINTR))) return true;
  Close();
  return false;
}

Channel::ConnectResult Channel::Connect(const std::string& host, std::uint16_t port,
                                        std::chrono::milliseconds timeout) {
  Close();
  const auto deadline = Clock::now() + timeout;
  // Numeric addresses only when resolving would block; names go through
  // getaddrinfo (which has no deadline of its own, so keep them in /etc/hosts).
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  const std::string service = std::to_string(port);
  if (::getaddrinfo(host.c_str(), service.c_str(), &hints, &list) != 0 || !list) return ConnectResult::Unreachable;
  ConnectResult result = ConnectResult::Unreachable;
  for (addrinfo* ai = list; ai && result != ConnectResult::Ok; ai = ai->ai_next) {
    posix::UniqueFd fd(::socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol));
    if (fd.get() < 0) continue;
    int rc = ::connect(fd.get(), ai->ai_addr, ai->ai_addrlen);
    if (rc != 0 && errno == EINPROGRESS) {
      if (!Wait(fd.get(), POLLOUT, deadline)) continue;
      int err = 0;
      socklen_t len = sizeof err;
      if (::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) continue;
      rc = 0;
    }
    if (rc != 0) continue;
    int one = 1;
    ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    fd_ = std::move(fd);
    result = ConnectResult::Ok;
  }
  ::freeaddrinfo(list);
  return result;
}

bool Channel::SendAll(const std::vector<std::uint8_t>& frame, Clock::time_point deadline) {
  std::size_t sent = 0;
  while (sent < frame.size()) {
    const ssize_t n = ::send(fd_.get(), frame.data() + sent, frame.size() - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!Wait(fd_.get(), POLLOUT, deadline)) return false;
      continue;
    }
    return false;
  }
  return true;
}

std::optional<std::vector<std::uint8_t>> Channel::Call(std::uint32_t id, const std::vector<std::uint8_t>& frame,
                                                       std::chrono::milliseconds timeout) {
  if (!open()) return std::nullopt;
  const auto deadline = Clock::now() + timeout;
  if (!SendAll(frame, deadline)) {
    Close();
    return std::nullopt;
  }
  std::vector<std::uint8_t> payload;
  std::uint8_t buf[16384];
  for (;;) {
    while (parser_.Next(payload)) {
      cvwire::Reader r(payload);
      if (!r.ok()) {
        Close();
        return std::nullopt;
      }
      if (r.requestId() == id) return payload;
      // A late reply to a request that timed out earlier: dropped.
    }
    if (!Wait(fd_.get(), POLLIN, deadline)) {
      Close();
      return std::nullopt;
    }
    const ssize_t n = ::recv(fd_.get(), buf, sizeof buf, 0);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0 || parser_.Feed(std::span(buf, static_cast<std::size_t>(n))) != cvwire::FrameParser::Status::Ok) {
      Close();
      return std::nullopt;
    }
  }
}

}  // namespace cvclient
