#include "corvane/client/channel.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>

#include "corvane/client/filestamp.h"
#include "corvane/wire/protocol.h"
#include "corvane/wire/scram.h"

namespace cvclient {
namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left <= 0 ? 0 : static_cast<int>(left);
}

// The connection's socket as OpenSSL sees it. Unlike OpenSSL's own socket
// BIO it writes with MSG_NOSIGNAL: the process that loads this library may
// leave SIGPIPE at its default, and a server that has gone must fail the
// call, not end the process. The BIO does not own the descriptor.
int SocketFd(BIO* b) { return static_cast<int>(reinterpret_cast<std::intptr_t>(BIO_get_data(b))); }

int SocketWrite(BIO* b, const char* data, int size) {
  ssize_t n;
  do {
    n = ::send(SocketFd(b), data, static_cast<std::size_t>(size), MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  BIO_clear_retry_flags(b);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) BIO_set_retry_write(b);
  return static_cast<int>(n);
}

int SocketRead(BIO* b, char* data, int size) {
  ssize_t n;
  do {
    n = ::recv(SocketFd(b), data, static_cast<std::size_t>(size), 0);
  } while (n < 0 && errno == EINTR);
  BIO_clear_retry_flags(b);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) BIO_set_retry_read(b);
  if (n == 0) BIO_set_flags(b, BIO_FLAGS_IN_EOF);  // tells a cut connection from a closed one
  return static_cast<int>(n);
}

long SocketCtrl(BIO* b, int cmd, long, void*) {
  switch (cmd) {
    case BIO_CTRL_FLUSH:
      return 1;
    case BIO_CTRL_EOF:
      return BIO_test_flags(b, BIO_FLAGS_IN_EOF) != 0;
    default:
      return 0;
  }
}

BIO* NewSocketBio(int fd) {
  static BIO_METHOD* const method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "socket, no SIGPIPE");
    if (m && (BIO_meth_set_write(m, SocketWrite) != 1 || BIO_meth_set_read(m, SocketRead) != 1 ||
              BIO_meth_set_ctrl(m, SocketCtrl) != 1)) {
      BIO_meth_free(m);
      m = nullptr;
    }
    return m;
  }();
  BIO* b = method ? BIO_new(method) : nullptr;
  if (!b) return nullptr;
  BIO_set_data(b, reinterpret_cast<void*>(static_cast<std::intptr_t>(fd)));
  BIO_set_init(b, 1);
  return b;
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

std::string OpenSslError() {
  const unsigned long e = ERR_peek_last_error();
  if (e == 0) return "the connection was closed";
  char buf[256];
  ERR_error_string_n(e, buf, sizeof buf);
  return buf;
}

}  // namespace

std::string CertificateFingerprint(const X509* cert) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (!cert || X509_digest(cert, EVP_sha256(), md, &len) != 1) return {};
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string s;
  for (unsigned int i = 0; i < len; ++i) {
    if (i > 0) s.push_back(':');
    s.push_back(kDigits[md[i] >> 4]);
    s.push_back(kDigits[md[i] & 15]);
  }
  return s;
}

void Channel::Close() {
  ++servicesVersion_;
  ssl_.reset();
  ctx_.reset();
  fd_.reset();
  parser_ = cvwire::FrameParser();
  fingerprint_.clear();
  caVerified_ = false;
  binding_.clear();
}

bool Channel::Notice(const cvwire::Reader& r) {
  if (!r.ok() || r.requestId() != 0 || r.type() != cvwire::Type(cvwire::Msg::ServicesChanged)) return false;
  ++servicesVersion_;
  return true;
}

void Channel::TakeNotices() {
  std::vector<std::uint8_t> payload;
  while (parser_.Next(payload)) Notice(cvwire::Reader(payload));
}

bool Channel::Retry(int r, Deadline deadline) {
  switch (SSL_get_error(ssl_.get(), r)) {
    case SSL_ERROR_WANT_READ:
      return Wait(fd_.get(), POLLIN, deadline);
    case SSL_ERROR_WANT_WRITE:
      return Wait(fd_.get(), POLLOUT, deadline);
    default:
      return false;
  }
}

bool Channel::CheckIdle() {
  if (!open()) return false;
  pollfd p{fd_.get(), POLLIN, 0};
  if (SSL_pending(ssl_.get()) == 0 && ::poll(&p, 1, 0) <= 0) return true;
  // Something came while idle: a late reply, or the end of the connection.
  std::uint8_t buf[4096];
  for (;;) {
    ERR_clear_error();
    const int n = SSL_read(ssl_.get(), buf, sizeof buf);
    if (n > 0) {
      if (parser_.Feed(std::span(buf, static_cast<std::size_t>(n))) != cvwire::FrameParser::Status::Ok) break;
      continue;
    }
    if (SSL_get_error(ssl_.get(), n) == SSL_ERROR_WANT_READ) return true;
    break;
  }
  Close();
  return false;
}

Channel::ConnectResult Channel::Connect(const std::string& host, std::uint16_t port, Deadline deadline) {
  Close();
  // getaddrinfo has no deadline of its own: keep names in /etc/hosts or use
  // numeric addresses.
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

namespace {

// The client context for caFile (a reference the caller frees), made once
// per process and CA file and made again when the file changed: making one
// (and reading the CA file) costs more than a handshake.
SSL_CTX* ClientContext(const std::string& caFile, std::string& error) {
  struct Held {
    FileStamp stamp;
    SSL_CTX* ctx = nullptr;
  };
  // By CA file. Never destroyed, since callers may run during exit; held
  // through a static pointer, so the contexts stay reachable, not leaked.
  static std::mutex& mutex = *new std::mutex;
  static std::map<std::string, Held>& held = *new std::map<std::string, Held>;
  const std::lock_guard<std::mutex> lock(mutex);
  const FileStamp stamp = caFile.empty() ? FileStamp{} : FileStamp::Of(caFile);
  if (auto it = held.find(caFile); it != held.end() && it->second.stamp == stamp && stamp.Settled()) {
    SSL_CTX_up_ref(it->second.ctx);
    return it->second.ctx;
  }
  ERR_clear_error();
  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  if (!ctx) {
    error = OpenSslError();
    return nullptr;
  }
  SSL_CTX_set_min_proto_version(ctx, TLS1_3_VERSION);
  SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);  // trust is decided after the handshake
  if (!caFile.empty() && SSL_CTX_load_verify_locations(ctx, caFile.c_str(), nullptr) != 1) {
    error = "CA file " + caFile + ": " + OpenSslError();
    SSL_CTX_free(ctx);
    return nullptr;
  }
  if (held.size() >= 16) {
    for (auto& [file, h] : held) SSL_CTX_free(h.ctx);
    held.clear();
  }
  Held& h = held[caFile];
  if (h.ctx) SSL_CTX_free(h.ctx);
  h = {stamp, ctx};
  SSL_CTX_up_ref(ctx);
  return ctx;
}

}  // namespace

bool Channel::Handshake(const std::string& caFile, const std::string& host, Deadline deadline, std::string& error) {
  ctx_.reset(ClientContext(caFile, error));
  if (!ctx_) {
    Close();
    return false;
  }
  ssl_.reset(SSL_new(ctx_.get()));
  BIO* socket = ssl_ ? NewSocketBio(fd_.get()) : nullptr;
  if (!socket) {
    error = OpenSslError();
    Close();
    return false;
  }
  SSL_set_bio(ssl_.get(), socket, socket);  // one reference, now the connection's
  in6_addr a6{};
  in_addr a4{};
  const bool numeric = ::inet_pton(AF_INET, host.c_str(), &a4) == 1 || ::inet_pton(AF_INET6, host.c_str(), &a6) == 1;
  if (numeric) {
    X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl_.get()), host.c_str());
  } else {
    SSL_set_tlsext_host_name(ssl_.get(), host.c_str());
    SSL_set1_host(ssl_.get(), host.c_str());
  }
  for (;;) {
    ERR_clear_error();
    const int r = SSL_connect(ssl_.get());
    if (r == 1) break;
    if (!Retry(r, deadline)) {
      error = Clock::now() >= deadline ? "no TLS handshake before the timeout" : "TLS handshake failed: " + OpenSslError();
      Close();
      return false;
    }
  }
  fingerprint_ = CertificateFingerprint(SSL_get0_peer_certificate(ssl_.get()));
  caVerified_ = !caFile.empty() && SSL_get_verify_result(ssl_.get()) == X509_V_OK;
  binding_.assign(cvwire::scram::kBindingSize, 0);
  const auto& label = cvwire::scram::kExporterLabel;
  if (fingerprint_.empty() || SSL_export_keying_material(ssl_.get(), binding_.data(), binding_.size(), label.data(),
                                                         label.size(), nullptr, 0, 0) != 1) {
    error = "the server presented no usable certificate";
    Close();
    return false;
  }
  return true;
}

std::optional<std::vector<std::uint8_t>> Channel::Call(std::uint32_t id, const std::vector<std::uint8_t>& frame,
                                                       Deadline deadline) {
  if (!open()) return std::nullopt;
  for (;;) {
    ERR_clear_error();
    const int n = SSL_write(ssl_.get(), frame.data(), static_cast<int>(frame.size()));
    if (n > 0) break;  // whole: partial writes are not enabled
    if (!Retry(n, deadline)) {
      Close();
      return std::nullopt;
    }
  }
  std::vector<std::uint8_t> payload;
  std::uint8_t buf[16384];
  // Late replies to requests that timed out earlier are dropped; a server
  // that sends more of them than could be owed is not answering.
  std::uint32_t unasked = 0;
  for (;;) {
    // The deadline holds even while frames keep coming: a peer that
    // streams frames never makes a read block.
    if (Clock::now() >= deadline) {
      Close();
      return std::nullopt;
    }
    while (parser_.Next(payload)) {
      cvwire::Reader r(payload);
      if (!r.ok()) {
        Close();
        return std::nullopt;
      }
      if (r.requestId() == id) return payload;
      if (Notice(r)) continue;
      if (++unasked > kMaxUnaskedFrames) {
        Close();
        return std::nullopt;
      }
    }
    ERR_clear_error();
    const int n = SSL_read(ssl_.get(), buf, sizeof buf);
    if (n > 0) {
      if (parser_.Feed(std::span(buf, static_cast<std::size_t>(n))) != cvwire::FrameParser::Status::Ok) {
        Close();
        return std::nullopt;
      }
      continue;
    }
    if (!Retry(n, deadline)) {
      Close();
      return std::nullopt;
    }
  }
}

}  // namespace cvclient
