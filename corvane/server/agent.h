// The agent's network side: a listening socket, one Session per client
// connection, all on one single-threaded Asio event loop.
#pragma once

#include <asio.hpp>

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "corvane/server/config.h"
#include "corvane/server/connections.h"
#include "corvane/server/parameters.h"
#include "corvane/server/modules/supervisor.h"
#include "corvane/wire/codec.h"
#include "corvane/wire/frame.h"

namespace cvserver {

class Agent;
class Session;

// Login state of one client connection, used by the request handlers.
struct SessionState {
  enum class Phase { AwaitHello, AwaitProof, LoggedIn } phase = Phase::AwaitHello;
  const UserConfig* user = nullptr;  // null: an unknown name got a decoy challenge
  std::string userName;
  cvwire::Bytes nonce;
  int refusedLogins = 0;
  std::uint32_t slot = 0;
  std::uint32_t peerIpv4 = 0;  // network order
  std::uint16_t peerPort = 0;
  bool closeAfterReply = false;
  std::weak_ptr<Session> self;
};

class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(Agent& agent, asio::ip::tcp::socket socket);
  void Start();
  void Close();
  SessionState& state() { return state_; }

 private:
  void Read();
  void ArmIdleTimer();
  void Send(std::vector<std::uint8_t> frame);
  void WriteNext();

  Agent& agent_;
  asio::ip::tcp::socket socket_;
  asio::steady_timer idle_;
  cvwire::FrameParser parser_;
  std::array<std::uint8_t, 16384> buffer_{};
  std::deque<std::vector<std::uint8_t>> outgoing_;
  SessionState state_;
  bool closed_ = false;
};

class Agent {
 public:
  Agent(asio::io_context& io, const ServerConfig& config, ParameterStore& parameters, ModuleSupervisor& modules);

  // Binds and listens; writes the port file when configured.
  bool Start(std::string& error);
  // Closes the listener and every session.
  void Stop();
  std::uint16_t port() const { return port_; }

  // One request of a session: the reply frame, or nothing when the
  // connection is to be closed at once (a protocol violation).
  std::optional<std::vector<std::uint8_t>> Handle(SessionState& s, cvwire::Reader& r);

  // Session bookkeeping.
  void Register(std::uint32_t slot, const std::shared_ptr<Session>& session);
  void Forget(SessionState& s);
  asio::io_context& io() { return io_; }
  const ServerConfig& config() const { return config_; }

 private:
  void Accept();
  void PollModules();
  const UserConfig* FindUser(const std::string& name) const;

  // Handlers (handlers.cpp).
  std::optional<std::vector<std::uint8_t>> HandleHello(SessionState& s, cvwire::Reader& r);
  std::optional<std::vector<std::uint8_t>> HandleProof(SessionState& s, cvwire::Reader& r);
  std::optional<std::vector<std::uint8_t>> HandleRequest(SessionState& s, cvwire::Reader& r);
  void WriteServerInfo(cvwire::Writer& w) const;
  void WriteSlot(cvwire::Writer& w, const Slot& slot) const;

  asio::io_context& io_;
  const ServerConfig& config_;
  ParameterStore& parameters_;
  ModuleSupervisor& modules_;
  ConnectionTable table_;
  asio::ip::tcp::acceptor acceptor_;
  asio::steady_timer pollTimer_;
  std::map<std::uint32_t, std::weak_ptr<Session>> sessions_;  // by slot
  std::vector<std::weak_ptr<Session>> all_;
  cvwire::Bytes decoySecret_;
  std::uint16_t port_ = 0;
  bool stopping_ = false;
};

}  // namespace cvserver
