#include "corvane/server/agent.h"

#include <malloc.h>

#include <spdlog/spdlog.h>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <fstream>

namespace cvserver {

PeerAddress PeerAddressOf(const asio::ip::tcp::endpoint& peer) {
  const asio::ip::address a = peer.address();
  if (a.is_v4()) return Ipv4PeerAddress(a.to_v4().to_bytes(), peer.port());
  return Ipv6PeerAddress(a.to_v6().to_bytes(), peer.port());
}

namespace {

// A client gets this long to complete its TLS handshake.
constexpr std::chrono::milliseconds kHandshakeTimeout(10000);

std::string TlsError(const std::error_code& ec) {
  if (ec.category() == asio::error::get_ssl_category()) {
    char buf[256];
    ERR_error_string_n(static_cast<unsigned long>(ec.value()), buf, sizeof buf);
    return buf;
  }
  return ec.message();
}

}  // namespace

Session::Session(Agent& agent, asio::ip::tcp::socket socket)
    : agent_(agent), stream_(std::move(socket), agent.tls()), idle_(agent.io()) {
  std::error_code ec;
  auto& tcp = stream_.next_layer();
  const auto peer = tcp.remote_endpoint(ec);
  if (!ec) {
    peer_ = peer.address().to_string() + ":" + std::to_string(peer.port());
    state_.peer = PeerAddressOf(peer);
    state_.who.peer = peer.address().to_string();
    state_.who.port = peer.port();
  }
  tcp.set_option(asio::ip::tcp::no_delay(true), ec);
}

void Session::Start() {
  state_.self = weak_from_this();
  idle_.expires_after(std::min<std::chrono::milliseconds>(
      kHandshakeTimeout, std::chrono::milliseconds(agent_.config().idleTimeoutMs)));
  idle_.async_wait([self = shared_from_this()](const std::error_code& ec) {
    if (ec || self->closed_) return;
    spdlog::warn("connection from {}: no TLS handshake in time, closing", self->peer_);
    self->Close();
  });
  // The first bytes tell a TLS client (a handshake record: 0x16, then major
  // version 3) from one that speaks the protocol in the clear (a frame length
  // in little-endian order), which gets a clean close.
  stream_.next_layer().async_receive(
      asio::buffer(first_), asio::socket_base::message_peek,
      [self = shared_from_this()](const std::error_code& ec, std::size_t n) {
        if (self->closed_) return;
        if (ec || n == 0) {
          self->Close();
          return;
        }
        if (self->first_[0] != 0x16 || (n >= 2 && self->first_[1] != 0x03)) {
          spdlog::warn("connection from {}: not TLS (plain TCP or an older client), closing", self->peer_);
          self->Close();
          return;
        }
        self->Handshake();
      });
}

void Session::Handshake() {
  stream_.async_handshake(asio::ssl::stream_base::server, [self = shared_from_this()](const std::error_code& ec) {
    if (self->closed_) return;
    if (ec) {
      spdlog::warn("connection from {}: TLS handshake failed ({}), closing", self->peer_, TlsError(ec));
      self->Close();
      return;
    }
    cvwire::Bytes binding(cvwire::scram::kBindingSize);
    const auto& label = cvwire::scram::kExporterLabel;
    if (SSL_export_keying_material(self->stream_.native_handle(), binding.data(), binding.size(), label.data(),
                                   label.size(), nullptr, 0, 0) != 1) {
      spdlog::error("connection from {}: no channel binding, closing", self->peer_);
      self->Close();
      return;
    }
    self->state_.channelBinding = std::move(binding);
    self->ArmIdleTimer();
    self->Read();
  });
}

void Session::ArmIdleTimer() {
  idle_.expires_after(std::chrono::milliseconds(agent_.config().idleTimeoutMs));
  idle_.async_wait([self = shared_from_this()](const std::error_code& ec) {
    if (ec || self->closed_) return;
    spdlog::info("connection {}: idle past the timeout, closing", self->state_.slot);
    self->Close();
  });
}

void Session::Read() {
  stream_.async_read_available([self = shared_from_this()](const std::error_code& ec,
                                                            std::span<const std::uint8_t> bytes) {
    if (self->closed_) return;
    if (ec) {
      if (ec.category() == asio::error::get_ssl_category() && ec != asio::ssl::error::stream_truncated) {
        spdlog::warn("connection {} from {}: TLS error ({}), closing", self->state_.slot, self->peer_, TlsError(ec));
      }
      self->Close();
      return;
    }
    if (self->parser_.Feed(bytes) != cvwire::FrameParser::Status::Ok) {
      spdlog::warn("connection {}: malformed or oversized frame, closing", self->state_.slot);
      self->Close();
      return;
    }
    self->ArmIdleTimer();
    self->HandleFrames();
  });
}

void Session::HandleFrames() {
  std::vector<std::uint8_t> payload;
  while (!closed_ && !waiting_ && parser_.Next(payload)) {
    cvwire::Reader r(payload);
    Outcome outcome = agent_.Handle(state_, r);
    switch (outcome.kind) {
      case Outcome::Kind::Reply:
        Send(std::move(outcome.frame));
        break;
      case Outcome::Kind::Later:
        // No reading and no idle timeout until the reply is there: a load
        // may take longer than the idle timeout, and what the client sends
        // meanwhile waits in the socket.
        waiting_ = true;
        idle_.cancel();
        agent_.RunOnWorker(shared_from_this(), std::move(outcome.job), std::move(outcome.then), outcome.directory,
                           std::move(outcome.busy));
        break;
      case Outcome::Kind::Pending:
        waiting_ = true;
        idle_.cancel();
        break;
      case Outcome::Kind::Close:
        spdlog::warn("connection {}: protocol violation (type {:#06x}), closing", state_.slot, r.type());
        Close();
        return;
    }
  }
  if (!closed_ && !waiting_) Read();
}

void Session::Finish(std::vector<std::uint8_t> frame, const Outcome::Then& then) {
  waiting_ = false;
  if (closed_) return;
  if (then && !frame.empty()) frame = then(state_, std::move(frame));
  if (frame.empty()) {
    Close();
    return;
  }
  Send(std::move(frame));
  ArmIdleTimer();
  HandleFrames();
}

void Session::Send(std::vector<std::uint8_t> frame) {
  outgoing_.push_back(std::move(frame));
  if (outgoing_.size() == 1) WriteNext();
}

void Session::WriteNext() {
  asio::async_write(stream_, asio::buffer(outgoing_.front()),
                    [self = shared_from_this()](const std::error_code& ec, std::size_t) {
                      if (self->closed_) return;
                      if (ec) {
                        self->Close();
                        return;
                      }
                      self->outgoing_.pop_front();
                      if (!self->outgoing_.empty()) {
                        self->WriteNext();
                      } else if (self->state_.closeAfterReply) {
                        self->Close();
                      }
                    });
}

void Session::Close() {
  if (closed_) return;
  closed_ = true;
  std::error_code ec;
  idle_.cancel();
  // No TLS close_notify: the peer sees the end of the stream, which it
  // treats as a dropped connection either way.
  auto& tcp = stream_.next_layer();
  tcp.shutdown(asio::ip::tcp::socket::shutdown_both, ec);
  tcp.close(ec);
  agent_.Forget(state_);
}

Agent::Agent(asio::io_context& io, const ServerConfig& config, ParameterStore& parameters, ModuleSupervisor& modules)
    : io_(io),
      config_(config),
      parameters_(parameters),
      modules_(modules),
      table_(config.capacity, config.messageQueueLimit),
      acceptor_(io),
      pollTimer_(io),
      trimTimer_(io),
      directoryWorkers_("directory worker", config.directory.enabled ? config.directory.workers : 1,
                        16 * (config.directory.enabled ? config.directory.workers : 1)) {}

bool Agent::Start(std::string& error) {
  auto identity = LoadIdentity(config_, error);
  if (!identity) return false;
  identity_ = std::move(*identity);
  const IdentityFiles files = TlsFiles(config_);
  if (identity_.made) spdlog::info("made a key {} and a self-signed certificate {}", files.key, files.certificate);
  spdlog::info("server certificate {}, SHA-256 fingerprint {}", files.certificate, identity_.fingerprint);
  for (const auto& u : config_.users) {
    if (u.legacyHash) {
      spdlog::warn("user {}: the password is stored in the earlier pbkdf2-sha256 form, which works like the "
                   "password itself; replace it with the output of 'cvserverd hash-password'", u.name);
    }
  }
  std::error_code ec;
  const auto address = asio::ip::make_address(config_.listenHost, ec);
  if (ec) {
    error = "listen address " + config_.listenHost + ": " + ec.message();
    return false;
  }
  const asio::ip::tcp::endpoint endpoint(address, config_.listenPort);
  acceptor_.open(endpoint.protocol(), ec);
  if (!ec) acceptor_.set_option(asio::ip::tcp::acceptor::reuse_address(true), ec);
  if (!ec) acceptor_.bind(endpoint, ec);
  if (!ec) acceptor_.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) {
    error = "cannot listen on " + config_.listenHost + ":" + std::to_string(config_.listenPort) + ": " + ec.message();
    return false;
  }
  port_ = acceptor_.local_endpoint().port();
  if (!config_.portFile.empty()) {
    const std::string tmp = config_.portFile + ".tmp";
    {
      std::ofstream out(tmp, std::ios::trunc);
      out << port_ << "\n";
      if (!out) {
        error = "cannot write port file " + config_.portFile;
        return false;
      }
    }
    std::filesystem::rename(tmp, config_.portFile, ec);
    if (ec) {
      error = "cannot write port file " + config_.portFile + ": " + ec.message();
      return false;
    }
  }
  spdlog::info("server {} listening on {}:{}", config_.name, config_.listenHost, port_);
  Accept();
  PollModules();
  RunAutoexec();
  return true;
}

void Agent::Accept() {
  acceptor_.async_accept([this](const std::error_code& ec, asio::ip::tcp::socket socket) {
    if (stopping_) return;
    if (!ec) {
      // Not make_shared: the weak references kept of a session would hold its
      // memory after it closed.
      auto session = std::shared_ptr<Session>(new Session(*this, std::move(socket)));
      all_.push_back(session);
      session->Start();
    } else if (ec == asio::error::no_descriptors) {
      spdlog::error("accept: {}", ec.message());
    }
    if (all_.size() > 64 && all_.size() % 64 == 0) {
      std::erase_if(all_, [](const std::weak_ptr<Session>& w) { return w.expired(); });
    }
    Accept();
  });
}

void Agent::PollModules() {
  pollTimer_.expires_after(std::chrono::milliseconds(200));
  pollTimer_.async_wait([this](const std::error_code& ec) {
    if (ec || stopping_) return;
    // One poll queued at a time: behind a long module operation they would
    // only pile up.
    if (!pollQueued_.exchange(true)) {
      worker_.Post([this] {
        modules_.Poll();
        pollQueued_ = false;
      });
    }
    PollModules();
  });
}

void Agent::RunOnWorker(std::shared_ptr<Session> session, Outcome::Job job, Outcome::Then then, bool directory,
                        Outcome::Then busy) {
  auto run = [this, slot = session->state().slot, session, job = std::move(job), then = std::move(then)]() mutable {
    std::vector<std::uint8_t> frame;
    try {
      frame = job();
    } catch (const std::exception& e) {
      spdlog::error("connection {}: module request failed: {}", slot, e.what());
    }
    // The session goes back with the reply: it must be released on the
    // event loop, never here.
    asio::post(io_, [session = std::move(session), frame = std::move(frame), then = std::move(then)]() mutable {
      session->Finish(std::move(frame), then);
    });
  };
  if ((directory ? directoryWorkers_ : worker_).Post(std::move(run))) return;
  if (directory && busy && !stopping_) {
    spdlog::warn("connection {}: every directory worker is busy and the queue is full", session->state().slot);
    asio::post(io_, [session = std::move(session), busy = std::move(busy)]() mutable {
      session->Finish({1}, busy);
    });
    return;
  }
  session->Close();  // stopping
}

Agent::~Agent() { Stop(); }

void Agent::Stop() {
  if (stopping_) return;
  stopping_ = true;
  std::error_code ec;
  acceptor_.close(ec);
  pollTimer_.cancel();
  trimTimer_.cancel();
  auto sessions = all_;
  for (auto& w : sessions) {
    if (auto s = w.lock()) s->Close();
  }
  all_.clear();
  modules_.Cancel();
  directoryWorkers_.Stop();
  worker_.Stop();
}

void Agent::Register(std::uint32_t slot, const std::shared_ptr<Session>& session) { sessions_[slot] = session; }

void Agent::Forget(SessionState& s) {
  if (s.slot != 0) {
    spdlog::info("connection {} ({}) logged out", s.slot, s.userName);
    sessions_.erase(s.slot);
    table_.Free(s.slot);
    s.slot = 0;
  }
  ScheduleTrim();
}

void Agent::ScheduleTrim() {
  if (trimQueued_ || stopping_) return;
  trimQueued_ = true;
  trimTimer_.expires_after(kTrimDelay);
  trimTimer_.async_wait([this](const std::error_code& ec) {
    trimQueued_ = false;
    if (ec || stopping_) return;
    // Sessions that closed are gone by now: their references go, and the
    // memory they freed goes back to the system instead of staying with the
    // allocator.
    std::erase_if(all_, [](const std::weak_ptr<Session>& w) { return w.expired(); });
    all_.shrink_to_fit();
    ::malloc_trim(0);
  });
}

const UserConfig* Agent::FindUser(const std::string& name) const {
  for (const auto& u : config_.users) {
    if (u.name == name) return &u;
  }
  return nullptr;
}

}  // namespace cvserver
