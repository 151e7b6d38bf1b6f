// Test harness: a cvserverd on 127.0.0.1 with a temporary volume, state file,
// configuration and client.ini, and a raw protocol client for tests that
// need many connections or malformed frames.
#pragma once

#include <openssl/ssl.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "corvane/wire/codec.h"

namespace cvtest {

struct TestUser {
  std::string name;
  std::string password;
  bool isOperator = false;
  bool legacyHash = false;  // stored in the earlier pbkdf2-sha256 form
  std::uint32_t iterations = 0;  // PBKDF2 iterations of the stored verifier; 0: the least allowed
};

class AgentProcess {
 public:
  AgentProcess();
  ~AgentProcess();  // stops the agent and removes the folder

  std::filesystem::path dir() const { return dir_; }
  std::filesystem::path volume() const { return dir_ / "SYS"; }
  void WriteFile(const std::string& relative, const std::string& text);

  // Extra TOML appended to the configuration ([[parameter]] tables, ...);
  // capacity and the [server] extras go in serverExtra.
  std::string serverName = "SRV1";
  std::string serverExtra;
  std::string extra;
  std::vector<TestUser> users{{"ADMIN", "admin-secret", true}, {"GUEST", "guest-secret", false}};
  std::uint16_t listenPort = 0;  // 0: any free port
  // More client.ini text ([Trust] ...), written by WriteClientIni.
  std::string clientExtra;

  bool Start();   // writes the configuration, starts the agent, waits for its port
  // Writes agent.toml from the members above (Start does it too).
  void WriteConfig();
  // Sends sig to the running agent.
  void Signal(int sig);
  // Waits until the log holds text at least count times; false on timeout.
  bool WaitForLog(const std::string& text, int count = 1,
                  std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
  void Stop();    // SIGTERM, then waits (SIGKILL after 10 s)
  bool running() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  // The volume as written in the configuration, when not volume() itself
  // (a relative path, say; the agent runs in dir()).
  std::string volumeText;
  // The agent's hard and soft limit on open files; 0 leaves them.
  unsigned openFileLimit = 0;
  std::uint16_t port() const { return port_; }
  int exitStatus() const { return exitStatus_; }
  std::string Log() const;
  // The SHA-256 fingerprint the agent logged at its start.
  std::string Fingerprint() const;
  std::filesystem::path knownServers() const { return dir_ / "known_servers"; }

  // Writes client.ini for user (its password file mode given) and points
  // CORVANE_CLIENT at it. extraServers are more [Servers] lines.
  void WriteClientIni(const std::string& user, const std::string& extraServers = "", int passwordMode = 0600,
                      int requestMs = 3000, int connectMs = 2000);

 private:
  std::filesystem::path dir_;
  pid_t pid_ = -1;
  std::uint16_t port_ = 0;
  int exitStatus_ = -1;
};

// A listening socket on 127.0.0.1 that accepts nothing and never answers.
class SilentServer {
 public:
  SilentServer();
  ~SilentServer();
  std::uint16_t port() const { return port_; }

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
};

// A port on 127.0.0.1 that refuses connections until Open(): bound from the
// start (so nobody else takes it), listening only once opened.
class PortGate {
 public:
  PortGate();
  ~PortGate();
  PortGate(const PortGate&) = delete;
  PortGate& operator=(const PortGate&) = delete;
  std::uint16_t port() const { return port_; }
  void Open();

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
};

// A protocol client straight on a socket, with a receive timeout: TLS 1.3
// (with the agent's protocol inside), or the bytes as they are (Plain), or
// TLS 1.2 at most (OldTls), to see that the agent refuses them.
class RawClient {
 public:
  enum class Mode { Tls, Plain, OldTls };
  // shared: a client context to use instead of one of its own (for many
  // clients in one process). source: the local address to connect from
  // (127.0.0.x), any when empty.
  explicit RawClient(std::uint16_t port, Mode mode = Mode::Tls, SSL_CTX* shared = nullptr,
                     const std::string& source = {});
  ~RawClient();
  RawClient(RawClient&& o) noexcept
      : fd_(std::exchange(o.fd_, -1)), ctx_(std::move(o.ctx_)), ssl_(std::move(o.ssl_)), nextId_(o.nextId_),
        binding_(std::move(o.binding_)) {}
  RawClient& operator=(RawClient&& o) noexcept {
    std::swap(fd_, o.fd_);
    std::swap(ctx_, o.ctx_);
    std::swap(ssl_, o.ssl_);
    std::swap(nextId_, o.nextId_);
    std::swap(binding_, o.binding_);
    return *this;
  }
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  // Connected, and for Tls and OldTls through the handshake.
  bool connected() const { return fd_ >= 0; }
  bool SendBytes(const std::vector<std::uint8_t>& bytes);
  // Sends give up (false) after this long without progress.
  void SetSendTimeout(std::chrono::milliseconds timeout);
  // The next reply payload, nothing when the connection closed or timed out.
  std::optional<std::vector<std::uint8_t>> Receive(std::chrono::milliseconds timeout = std::chrono::seconds(5));
  // Whether the server closed the connection within the timeout.
  bool ClosedByPeer(std::chrono::milliseconds timeout);
  // Logs in with SCRAM; the result code (0 success), or nothing on a
  // transport failure or a server that does not prove itself.
  std::optional<std::uint32_t> Login(const std::string& user, const std::string& password);
  // A SCRAM login whose proof comes from proof(AuthMessage) (for attacks).
  std::optional<std::uint32_t> LoginWithProof(const std::string& user,
                                              const std::function<std::vector<std::uint8_t>(const std::string&)>& proof);
  std::uint32_t NextId() { return ++nextId_; }
  const std::vector<std::uint8_t>& channelBinding() const { return binding_; }

 private:
  struct CtxFree {
    void operator()(SSL_CTX* c) const { SSL_CTX_free(c); }
  };
  struct SslFree {
    void operator()(SSL* s) const { SSL_free(s); }
  };
  int ReadSome(std::uint8_t* out, std::size_t n, std::chrono::milliseconds timeout);
  int fd_ = -1;
  std::unique_ptr<SSL_CTX, CtxFree> ctx_;
  std::unique_ptr<SSL, SslFree> ssl_;
  std::uint32_t nextId_ = 0;
  std::vector<std::uint8_t> binding_;
};

// A TCP relay on 127.0.0.1 to a target port, forwarding both ways on a
// thread of its own, that can flip one byte of what passes: a man in the
// middle without the keys.
class TamperingRelay {
 public:
  explicit TamperingRelay(std::uint16_t target);
  ~TamperingRelay();
  TamperingRelay(const TamperingRelay&) = delete;
  TamperingRelay& operator=(const TamperingRelay&) = delete;
  std::uint16_t port() const { return port_; }
  // From now on, flips the byte at offset (counted from now) of what goes
  // to the server (toServer) or to the client.
  void Arm(bool toServer, std::size_t offset);
  bool tampered() const { return tampered_; }

 private:
  void Run();
  int listen_ = -1;
  std::uint16_t port_ = 0;
  std::uint16_t target_ = 0;
  int wake_[2] = {-1, -1};
  std::atomic<int> armed_{0};  // 0 off, 1 to the server, 2 to the client
  std::atomic<std::size_t> offset_{0};
  std::atomic<bool> tampered_{false};
  std::thread thread_;
};

}  // namespace cvtest
