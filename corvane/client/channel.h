// One TLS 1.3 connection to an agent over a non-blocking socket: connect,
// handshake, send a request frame and wait for the reply with the same
// request id, each step bounded by a deadline the caller gives (every wait is
// a poll() on the socket until that deadline). Any failure closes the
// connection; the caller reports it as "no answer".
#pragma once

#include <openssl/ssl.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "corvane/wire/auth.h"
#include "corvane/wire/codec.h"
#include "corvane/wire/frame.h"
#include "posix/unique_fd.h"

namespace cvclient {

class Channel {
 public:
  // Frames that answer no request of this call (late replies of requests
  // that timed out) one call skips before it gives up on the connection.
  static constexpr std::uint32_t kMaxUnaskedFrames = 64;
  using Clock = std::chrono::steady_clock;
  using Deadline = Clock::time_point;
  enum class ConnectResult { Ok, Unreachable };

  // The TCP connection.
  ConnectResult Connect(const std::string& host, std::uint16_t port, Deadline deadline);
  // The TLS 1.3 handshake on the connected socket. With caFile, the chain is
  // checked against that CA and host (caVerified() tells the result; the
  // handshake goes on either way: the caller decides whom to trust). False,
  // with the reason in error, when it fails or the deadline passes.
  bool Handshake(const std::string& caFile, const std::string& host, Deadline deadline, std::string& error);
  // The server certificate's SHA-256 fingerprint, "AB:CD:...".
  const std::string& fingerprint() const { return fingerprint_; }
  bool caVerified() const { return caVerified_; }
  // The session's tls-exporter channel binding.
  const cvwire::Bytes& channelBinding() const { return binding_; }

  bool open() const { return ssl_ != nullptr; }
  void Close();
  // Closes a connection the peer closed while it was idle; true when it is
  // still usable.
  bool CheckIdle();

  // Moves on with every ServicesChanged notice of the agent and with every
  // close of the connection: an answer kept from a watched service lookup
  // holds while it has not moved.
  std::uint64_t servicesVersion() const { return servicesVersion_; }
  // Takes the notices among the frames that have arrived (CheckIdle reads
  // them); other frames there answer nothing asked any more and are dropped.
  void TakeNotices();

  std::uint32_t NextRequestId() { return ++lastId_; }
  // Sends frame (built with request id id) and waits for the reply with that
  // id. Empty when the connection failed, was closed, or the deadline passed.
  std::optional<std::vector<std::uint8_t>> Call(std::uint32_t id, const std::vector<std::uint8_t>& frame,
                                                Deadline deadline);

 private:
  struct CtxFree {
    void operator()(SSL_CTX* c) const { SSL_CTX_free(c); }
  };
  struct SslFree {
    void operator()(SSL* s) const { SSL_free(s); }
  };
  // After an SSL call returned r: waits for what OpenSSL needs; false when
  // the call failed for good or the deadline passed.
  bool Retry(int r, Deadline deadline);
  // Whether r is a ServicesChanged notice (request id 0), counted if so.
  bool Notice(const cvwire::Reader& r);

  // Destroyed in reverse: the TLS state before the socket it uses.
  posix::UniqueFd fd_;
  std::unique_ptr<SSL_CTX, CtxFree> ctx_;
  std::unique_ptr<SSL, SslFree> ssl_;
  cvwire::FrameParser parser_;
  std::uint32_t lastId_ = 0;
  std::uint64_t servicesVersion_ = 0;
  std::string fingerprint_;
  bool caVerified_ = false;
  cvwire::Bytes binding_;
};

// "AB:CD:..." of SHA-256 over a certificate.
std::string CertificateFingerprint(const X509* cert);

}  // namespace cvclient
