#include "corvane/server/agent.h"

#include <spdlog/spdlog.h>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <fstream>

#include "corvane/wire/logtext.h"

namespace cvserver {

PeerAddress PeerAddressOf(const asio::ip::tcp::endpoint& peer) {
  const asio::ip::address a = peer.address();
  if (a.is_v4()) return Ipv4PeerAddress(a.to_v4().to_bytes(), peer.port());
  return Ipv6PeerAddress(a.to_v6().to_bytes(), peer.port());
}

std::string AddressKey(const asio::ip::address& address) {
  if (address.is_v4()) return address.to_string();
  const auto v6 = address.to_v6();
  if (v6.is_v4_mapped()) return asio::ip::make_address_v4(asio::ip::v4_mapped, v6).to_string();
  auto bytes = v6.to_bytes();
  std::fill(bytes.begin() + 8, bytes.end(), 0);
  return asio::ip::address_v6(bytes).to_string() + "/64";
}

namespace {

// A client gets this long to complete its TLS handshake.
constexpr std::chrono::milliseconds kHandshakeTimeout(10000);
// Replies a client has not taken yet: past this, its requests wait in the
// socket until it reads; reading resumes below half of it.
constexpr std::size_t kMaxUnsent = 256 * 1024;
// After accept fails (no file descriptors left, say), it is tried again
// after this pause, not at once.
constexpr std::chrono::milliseconds kAcceptPause(100);
// Out of descriptors, this many of the oldest connections that have not
// logged in are closed to make room (and the pause is a tenth).
constexpr int kEvictOnExhaustion = 16;

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
    : agent_(agent),
      stream_(std::move(socket), agent.tls()),
      idle_(agent.io()),
      loginDeadline_(agent.io()),
      hold_(agent.io()) {
  std::error_code ec;
  auto& tcp = stream_.next_layer();
  const auto peer = tcp.remote_endpoint(ec);
  if (!ec) {
    peer_ = peer.address().to_string() + ":" + std::to_string(peer.port());
    state_.peer = PeerAddressOf(peer);
    state_.who.peer = peer.address().to_string();
    state_.who.port = peer.port();
    state_.address = AddressKey(peer.address());
  }
  tcp.set_option(asio::ip::tcp::no_delay(true), ec);
}

Session::~Session() {
  if (!closed_) agent_.Forget(state_);
}

void Session::Start() {
  state_.self = weak_from_this();
  idle_.expires_after(std::min<std::chrono::milliseconds>(
      kHandshakeTimeout, std::chrono::milliseconds(agent_.config().idleTimeoutMs)));
  idle_.async_wait([self = shared_from_this()](const std::error_code& ec) {
    if (ec || self->closed_) return;
    self->agent_.logRate().Log(spdlog::level::warn, "handshake-timeout",
                               "connection from {}: no TLS handshake in time, closing", self->peer_);
    self->Close();
  });
  // The login's deadline runs from accept: bytes the client sends do not
  // move it.
  loginDeadline_.expires_after(std::chrono::milliseconds(agent_.config().loginTimeoutMs));
  loginDeadline_.async_wait([self = shared_from_this()](const std::error_code& ec) {
    if (ec || self->closed_ || self->state_.phase == SessionState::Phase::LoggedIn) return;
    self->agent_.logRate().Log(spdlog::level::warn, "login-timeout",
                               "connection from {}: no login within {} ms, closing", self->peer_,
                               self->agent_.config().loginTimeoutMs);
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
          self->agent_.logRate().Log(spdlog::level::warn, "not-tls",
                                     "connection from {}: not TLS (plain TCP or an older client), closing",
                                     self->peer_);
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
      self->agent_.logRate().Log(spdlog::level::warn, "handshake-failed",
                                 "connection from {}: TLS handshake failed ({}), closing", self->peer_, TlsError(ec));
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
  reading_ = true;
  stream_.async_read_available([self = shared_from_this()](const std::error_code& ec,
                                                            std::span<const std::uint8_t> bytes) {
    self->reading_ = false;
    if (self->closed_) return;
    if (ec) {
      if (ec.category() == asio::error::get_ssl_category() && ec != asio::ssl::error::stream_truncated) {
        self->agent_.logRate().Log(spdlog::level::warn, "tls-error", "connection {} from {}: TLS error ({}), closing",
                                   self->state_.slot, self->peer_, TlsError(ec));
      }
      self->Close();
      return;
    }
    if (self->parser_.Feed(bytes) != cvwire::FrameParser::Status::Ok) {
      self->agent_.logRate().Log(spdlog::level::warn, "bad-frame",
                                 "connection {} from {}: malformed or oversized frame, closing", self->state_.slot,
                                 self->peer_);
      self->Close();
      return;
    }
    self->ArmIdleTimer();
    self->HandleFrames();
  });
}

void Session::HandleFrames() {
  std::vector<std::uint8_t> payload;
  while (!closed_ && !waiting_ && !Saturated() && parser_.Next(payload)) {
    cvwire::Reader r(payload);
    Outcome outcome = agent_.Handle(state_, r);
    switch (outcome.kind) {
      case Outcome::Kind::Reply:
        Deliver(std::move(outcome.frame));
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
        agent_.logRate().Log(spdlog::level::warn, "violation",
                             "connection {} from {}: protocol violation (type {:#06x}), closing", state_.slot, peer_,
                             r.type());
        Close();
        return;
    }
  }
  if (closed_ || waiting_ || reading_) return;
  if (Saturated()) {
    paused_ = true;  // WriteNext resumes
  } else {
    Read();
  }
}

bool Session::Saturated() const { return outgoingBytes_ > kMaxUnsent; }

void Session::Finish(std::vector<std::uint8_t> frame, const Outcome::Then& then) {
  waiting_ = false;
  // A module operation may have changed the services: the watchers hear of
  // it before this reply goes out.
  agent_.NotifyServiceWatchers();
  if (closed_) return;
  if (then && !frame.empty()) frame = then(state_, std::move(frame));
  if (frame.empty()) {
    Close();
    return;
  }
  if (state_.holdReply.count() > 0) {
    Deliver(std::move(frame));
    return;
  }
  Send(std::move(frame));
  ArmIdleTimer();
  HandleFrames();
}

void Session::Deliver(std::vector<std::uint8_t> frame) {
  const auto delay = std::exchange(state_.holdReply, std::chrono::milliseconds(0));
  if (delay.count() <= 0) {
    Send(std::move(frame));
    return;
  }
  waiting_ = true;
  idle_.cancel();
  hold_.expires_after(delay);
  hold_.async_wait([self = shared_from_this(), frame = std::move(frame)](const std::error_code&) mutable {
    if (self->closed_) return;
    self->waiting_ = false;
    self->Send(std::move(frame));
    self->ArmIdleTimer();
    self->HandleFrames();
  });
}

void Session::Send(std::vector<std::uint8_t> frame) {
  outgoingBytes_ += frame.size();
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
                      self->outgoingBytes_ -= self->outgoing_.front().size();
                      self->outgoing_.pop_front();
                      if (!self->outgoing_.empty()) {
                        self->WriteNext();
                      } else if (self->state_.closeAfterReply) {
                        self->Close();
                        return;
                      }
                      if (self->paused_ && self->outgoingBytes_ <= kMaxUnsent / 2) {
                        self->paused_ = false;
                        self->ArmIdleTimer();
                        self->HandleFrames();
                      }
                    });
}

void Session::Close() {
  if (closed_) return;
  closed_ = true;
  std::error_code ec;
  idle_.cancel();
  loginDeadline_.cancel();
  hold_.cancel();
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
      table_(config.capacity, config.messageQueueLimit, config.operatorReserve),
      throttle_(config.throttle),
      acceptor_(io),
      acceptPause_(io),
      pollTimer_(io),
      trimTimer_(io),
      sockets_(io),
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
      sockets_.Opened();
      if (AdmitUnauthenticated(session)) {
        all_.push_back(session);
        session->Start();
      } else {
        session->Close();
      }
    } else if (ec != asio::error::operation_aborted) {
      // Out of descriptors (or memory): an accept at once would fail again.
      // Wait a little, and let the oldest connection that has not logged in
      // make room.
      int evicted = 0;
      if (ec == asio::error::no_descriptors) {
        while (evicted < kEvictOnExhaustion && EvictUnauthenticated()) ++evicted;
      }
      const auto pause = evicted > 0 ? kAcceptPause / 10 : kAcceptPause;
      logRate_.Log(spdlog::level::err, "accept", "accept: {}; trying again in {} ms{}", ec.message(), pause.count(),
                   evicted > 0 ? fmt::format(", {} connections that had not logged in closed", evicted) : "");
      acceptPause_.expires_after(pause);
      acceptPause_.async_wait([this](const std::error_code& e) {
        if (!e && !stopping_) Accept();
      });
      return;
    }
    if (all_.size() > 64 && all_.size() % 64 == 0) {
      std::erase_if(all_, [](const std::weak_ptr<Session>& w) { return w.expired(); });
    }
    Accept();
  });
}

bool Agent::AdmitUnauthenticated(const std::shared_ptr<Session>& session) {
  SessionState& s = session->state();
  std::uint32_t& mine = unauthenticatedBy_[s.address];
  if (mine >= config_.maxUnauthenticatedPerAddress) {
    logRate_.Log(spdlog::level::warn, "per-address-cap",
                 "connection from {} refused: {} connections from that address have not logged in yet", s.address,
                 mine);
    return false;
  }
  if (unauthenticated_.size() >= config_.maxUnauthenticated) {
    logRate_.Log(spdlog::level::warn, "total-cap",
                 "{} connections have not logged in yet: the oldest of the busiest address is closed",
                 unauthenticated_.size());
    EvictUnauthenticated();
  }
  // The eviction may have taken the last entry of another address: mine
  // is looked up again.
  ++unauthenticatedBy_[s.address];
  s.unauthenticatedAt = unauthenticated_.insert(unauthenticated_.end(), session);
  s.unauthenticated = true;
  return true;
}

bool Agent::EvictUnauthenticated() {
  if (unauthenticated_.empty()) return false;
  const auto busiest = std::max_element(unauthenticatedBy_.begin(), unauthenticatedBy_.end(),
                                        [](const auto& a, const auto& b) { return a.second < b.second; });
  const std::string address = busiest->first;
  for (auto& w : unauthenticated_) {
    auto session = w.lock();
    if (session && session->state().address == address) {
      session->Close();  // leaves the list (Forget)
      return true;
    }
  }
  return false;
}

void Agent::LeaveUnauthenticated(SessionState& s) {
  if (!s.unauthenticated) return;
  s.unauthenticated = false;
  unauthenticated_.erase(s.unauthenticatedAt);
  if (auto it = unauthenticatedBy_.find(s.address); it != unauthenticatedBy_.end() && --it->second == 0)
    unauthenticatedBy_.erase(it);
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
        asio::post(io_, [this] { NotifyServiceWatchers(); });
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
  acceptPause_.cancel();
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
  sockets_.Closed();
  serviceWatchers_.erase(s.slot);
  LeaveUnauthenticated(s);
  if (s.slot != 0) {
    spdlog::info("connection {} ({}) logged out", s.slot, cvwire::LogText(s.userName));
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
    memory_.Release();
  });
}

const UserConfig* Agent::FindUser(const std::string& name) const {
  for (const auto& u : config_.users) {
    if (u.name == name) return &u;
  }
  return nullptr;
}

}  // namespace cvserver
