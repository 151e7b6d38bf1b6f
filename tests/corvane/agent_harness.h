// Test harness: a cvserverd on 127.0.0.1 with a temporary volume, state file,
// configuration and client.ini, and a raw protocol client for tests that
// need many connections or malformed frames.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "corvane/wire/codec.h"

namespace cvtest {

struct TestUser {
  std::string name;
  std::string password;
  bool isOperator = false;
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

  bool Start();   // writes the configuration, starts the agent, waits for its port
  void Stop();    // SIGTERM, then waits (SIGKILL after 10 s)
  bool running() const { return pid_ > 0; }
  std::uint16_t port() const { return port_; }
  int exitStatus() const { return exitStatus_; }
  std::string Log() const;

  // Writes client.ini for user (its password file mode given) and points
  // CORVANE_CLIENT at it. extraServers are more [Servers] lines.
  void WriteClientIni(const std::string& user, const std::string& extraServers = "", int passwordMode = 0600,
                      int requestMs = 3000);

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

// A protocol client straight on a socket, with a receive timeout.
class RawClient {
 public:
  explicit RawClient(std::uint16_t port);
  ~RawClient();
  RawClient(RawClient&& o) noexcept : fd_(o.fd_), nextId_(o.nextId_) { o.fd_ = -1; }
  RawClient& operator=(RawClient&& o) noexcept {
    std::swap(fd_, o.fd_);
    std::swap(nextId_, o.nextId_);
    return *this;
  }
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  bool connected() const { return fd_ >= 0; }
  bool SendBytes(const std::vector<std::uint8_t>& bytes);
  // The next reply payload, nothing when the connection closed or timed out.
  std::optional<std::vector<std::uint8_t>> Receive(std::chrono::milliseconds timeout = std::chrono::seconds(5));
  // Whether the server closed the connection within the timeout.
  bool ClosedByPeer(std::chrono::milliseconds timeout);
  // Logs in; the result code (0 success), or nothing on a transport failure.
  std::optional<std::uint32_t> Login(const std::string& user, const std::string& password);
  std::uint32_t NextId() { return ++nextId_; }

 private:
  int fd_ = -1;
  std::uint32_t nextId_ = 0;
};

}  // namespace cvtest
