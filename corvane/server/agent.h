// The agent's network side: a listening socket, one Session per client
// connection (TLS 1.3 only), all on one single-threaded Asio event loop. Module operations,
// which may wait for seconds, run on the module worker thread instead; the
// session that asked waits for the reply before it handles its next request,
// so each connection's replies keep the order of its requests.
#pragma once

#include <asio.hpp>
#include <asio/ssl.hpp>

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "corvane/directory/ldapdir.h"
#include "corvane/server/audit.h"
#include "corvane/server/config.h"
#include "corvane/server/connections.h"
#include "corvane/server/lograte.h"
#include "corvane/server/memrelease.h"
#include "corvane/server/parameters.h"
#include "corvane/server/socketreserve.h"
#include "corvane/server/throttle.h"
#include "corvane/server/tls.h"
#include "corvane/server/tlsstream.h"
#include "corvane/server/worker.h"
#include "corvane/server/modules/supervisor.h"
#include "corvane/wire/codec.h"
#include "corvane/wire/frame.h"
#include "corvane/wire/scram.h"

namespace cvserver {

class Agent;
class ServiceConnections;
class Session;

// The connection calls' record of a peer's address (see PeerAddress).
PeerAddress PeerAddressOf(const asio::ip::tcp::endpoint& peer);
// What the caps on connections that have not logged in and the login
// throttle count by: the IPv4 address, or the /64 of an IPv6 one.
std::string AddressKey(const asio::ip::address& address);

// What a call service's reply says of the call, for its audit record: "ok",
// "refused", or "error CODE: TEXT".
std::string CallResult(const std::vector<std::uint8_t>& reply);

// Login state of one client connection, used by the request handlers.
struct SessionState {
  // AwaitStep: a mechanism's exchange is under way (its state below).
  enum class Phase { AwaitHello, AwaitStep, LoggedIn } phase = Phase::AwaitHello;
  // The configured user of a SCRAM login, a copy (a reload may replace the
  // configuration meanwhile); empty: an unknown name got a decoy challenge,
  // or another mechanism.
  std::optional<UserConfig> user;
  std::string userName;
  std::optional<cvwire::scram::ServerExchange> scram;
  cvwire::Bytes channelBinding;  // this TLS session's tls-exporter value
  int refusedLogins = 0;
  std::uint32_t slot = 0;
  PeerAddress peer;
  cvaudit::Who who;  // what audit records say of this connection
  std::string address;  // AddressKey of the peer
  bool closeAfterReply = false;
  // Hold the next reply back this long (a throttled login refusal).
  std::chrono::milliseconds holdReply{0};
  // Among the connections that have not logged in (Agent's list).
  bool unauthenticated = false;
  std::list<std::weak_ptr<Session>>::iterator unauthenticatedAt;
  std::weak_ptr<Session> self;
};

// What one request comes to: a reply now, a reply computed later on the
// module worker, a reply that the handler hands to Session::Finish itself
// (Pending), or closing the connection (a protocol violation).
struct Outcome {
  enum class Kind { Reply, Later, Pending, Close };
  using Job = std::function<std::vector<std::uint8_t>()>;
  // Runs on the event loop with the job's result, when the session is still
  // open, and gives the reply frame.
  using Then = std::function<std::vector<std::uint8_t>(SessionState&, std::vector<std::uint8_t>)>;

  Outcome(std::vector<std::uint8_t> reply) : kind(Kind::Reply), frame(std::move(reply)) {}
  Outcome(std::nullopt_t) : kind(Kind::Close) {}
  // job runs on the module worker and returns the reply frame; it must touch
  // nothing of the event loop's (sessions, connection table).
  static Outcome Later(Job job, Then then = {}) {
    Outcome o(std::nullopt);
    o.kind = Kind::Later;
    o.job = std::move(job);
    o.then = std::move(then);
    return o;
  }
  // The same on the directory workers, which never wait behind module
  // operations, nor these behind directory work. When every worker is busy
  // and the queue is full, busy gives the reply instead.
  static Outcome Directory(Job job, Then then, Then busy) {
    Outcome o = Later(std::move(job), std::move(then));
    o.directory = true;
    o.busy = std::move(busy);
    return o;
  }
  // The handler has arranged for Session::Finish to be called on the event
  // loop with the reply.
  static Outcome Pending() {
    Outcome o(std::nullopt);
    o.kind = Kind::Pending;
    return o;
  }

  Kind kind;
  std::vector<std::uint8_t> frame;  // Reply
  Job job;                          // Later
  Then then;                        // Later, optional
  bool directory = false;           // Later: on the directory workers
  Then busy;                        // Directory
};

class Session : public std::enable_shared_from_this<Session> {
 public:
  using Stream = TlsStream;
  Session(Agent& agent, asio::ip::tcp::socket socket);
  // A session that ends without Close (none should) still leaves the
  // agent's tables.
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
  void Start();
  void Close();
  SessionState& state() { return state_; }
  // The reply of the request that went to the module worker (empty: close
  // the connection); then the requests received meanwhile are handled.
  void Finish(std::vector<std::uint8_t> frame, const Outcome::Then& then = {});
  // Sends a notice, a frame that answers no request.
  void Notify(std::vector<std::uint8_t> frame) {
    if (!closed_) Send(std::move(frame));
  }

 private:
  // Refuses what is not a TLS handshake, then runs the handshake.
  void Handshake();
  void Read();
  // Handles the whole requests received so far, in order, then reads on;
  // pauses while a request is on the module worker.
  void HandleFrames();
  void ArmIdleTimer();
  void Send(std::vector<std::uint8_t> frame);
  // Sends frame now, or after state_.holdReply when that is set (reading
  // waits meanwhile).
  void Deliver(std::vector<std::uint8_t> frame);
  void WriteNext();
  // Replies not yet written past the bound: reading pauses.
  bool Saturated() const;

  Agent& agent_;
  Stream stream_;
  std::string peer_;  // address:port, for the log
  asio::steady_timer idle_;
  asio::steady_timer loginDeadline_;  // from accept to the login
  asio::steady_timer hold_;           // a held-back reply
  std::array<std::uint8_t, 2> first_{};  // the first bytes the client sent
  cvwire::FrameParser parser_;  // reads land in the stream's scratch buffer
  std::deque<std::vector<std::uint8_t>> outgoing_;
  std::size_t outgoingBytes_ = 0;
  SessionState state_;
  bool closed_ = false;
  bool reading_ = false;  // a read is under way
  bool paused_ = false;   // reading waits for the replies to drain
  bool waiting_ = false;  // a request of this session is on the module worker
};

class Agent {
 public:
  Agent(asio::io_context& io, const ServerConfig& config, ParameterStore& parameters, ModuleSupervisor& modules);
  ~Agent();  // Stop()
  Agent(const Agent&) = delete;
  Agent& operator=(const Agent&) = delete;

  // Loads the TLS identity, binds and listens; writes the port file when
  // configured; queues the start-up command file, when configured, on the
  // module worker.
  bool Start(std::string& error);
  // Closes the listener and every session, cancels the module operation in
  // progress (ModuleSupervisor::Cancel) and ends the module worker; after it
  // the supervisor and the parameters are no longer used by the agent.
  void Stop();
  std::uint16_t port() const { return port_; }
  // Applies a configuration read anew (SIGHUP): users and their verifiers,
  // operator rights, the TLS certificate and key, the directory settings and
  // the texts and timeouts clients see. Connections stay: a logged-in user
  // keeps the connection with the rights the new file gives, and a user the
  // file no longer has is logged out. What only a restart can change is named
  // in the log. Nothing changes, and false comes back with the reason, when
  // the TLS identity does not load. Runs on the event loop.
  bool Reload(const ServerConfig& fresh, std::string& error);

  // One request of a session.
  Outcome Handle(SessionState& s, cvwire::Reader& r);
  // Runs job on the module worker (or the directory workers), then hands its
  // reply to session->Finish on the event loop.
  void RunOnWorker(std::shared_ptr<Session> session, Outcome::Job job, Outcome::Then then = {},
                   bool directory = false, Outcome::Then busy = {});

  // Session bookkeeping.
  void Register(std::uint32_t slot, const std::shared_ptr<Session>& session);
  void Forget(SessionState& s);
  // Sends the ServicesChanged notice to the connections that watch the call
  // services, once the modules loaded have changed since their lookup. Runs
  // on the event loop: before a reply of a module operation goes out, and
  // after each poll of the modules.
  void NotifyServiceWatchers();
  LogRate& logRate() { return logRate_; }
  asio::io_context& io() { return io_; }
  const ServerConfig& config() const { return config_; }
  asio::ssl::context& tls() { return *identity_.context; }
  // The trail administrative actions are recorded in; none: not recorded.
  void SetAudit(AuditTrail* audit) { audit_ = audit; }

 private:
  void Accept();
  // Counts a new connection among those that have not logged in; false
  // when its address has its share already. When the total is reached, the
  // oldest connection of the address holding most of them makes room.
  bool AdmitUnauthenticated(const std::shared_ptr<Session>& session);
  void LeaveUnauthenticated(SessionState& s);
  // Closes the oldest not-logged-in connection of the address that holds
  // the most; false when there is none.
  bool EvictUnauthenticated();
  void PollModules();
  // Gives freed memory back to the system a little after sessions closed
  // (one trim per kTrimDelay at most).
  void ScheduleTrim();
  static constexpr std::chrono::milliseconds kTrimDelay{1000};
  const UserConfig* FindUser(const std::string& name) const;

  // Handlers (handlers.cpp).
  Outcome HandleHello(SessionState& s, cvwire::Reader& r);
  Outcome HandleLoginStep(SessionState& s, cvwire::Reader& r);
  Outcome ScramStart(SessionState& s, cvwire::Reader& r, const std::vector<std::uint8_t>& data);
  Outcome ScramFinish(SessionState& s, cvwire::Reader& r, const std::vector<std::uint8_t>& data);
  // A refused Hello (version, mechanism): counted like a refused login.
  void CountRefusal(SessionState& s);
  // A login the throttle holds off: refused at once, nothing checked.
  bool LockedOut(SessionState& s, const std::string& user);
  // A refused password: counted by the throttle, which may hold the reply.
  void Throttle(SessionState& s);
  // A refused attempt: back to Hello; the third closes the connection.
  Outcome RefuseLogin(SessionState& s, cvwire::Reader& r, std::uint32_t code);
  // The same for a login that ended on the module worker.
  std::vector<std::uint8_t> RefuseLogin(SessionState& s, std::uint16_t type, std::uint32_t requestId,
                                        std::uint32_t code);
  // The directory mechanism (dirlogin.cpp): an LDAP bind as the user.
  Outcome DirectoryStart(SessionState& s, cvwire::Reader& r, const std::vector<std::uint8_t>& data);
  // Who a login proved to be: a configured user, or one another mechanism
  // (a directory, say) vouches for.
  struct LoginIdentity {
    std::string name;
    std::uint32_t objectId = 0;
    bool isOperator = false;
  };
  // A login that succeeded: takes a slot and answers the login message
  // (type, requestId) with it and the mechanism's final data.
  std::vector<std::uint8_t> CompleteLogin(SessionState& s, std::uint16_t type, std::uint32_t requestId,
                                          const LoginIdentity& who, std::string_view finalData);
  Outcome HandleRequest(SessionState& s, cvwire::Reader& r);
  Outcome HandleModuleRequest(SessionState& s, cvwire::Reader& r, bool isOperator);
  // Service lookups and requests, module status (handlers_service.cpp).
  Outcome HandleServiceRequest(SessionState& s, cvwire::Reader& r, const Slot& caller);
  Outcome HandleServiceLookup(cvwire::Reader& r);
  Outcome HandleServiceLookupWatched(SessionState& s, cvwire::Reader& r);
  Outcome HandleModuleStatus(cvwire::Reader& r);
  void RunAutoexec();
  // Audit records of the handlers (agent_audit.cpp).
  void Audit(const cvaudit::Who& who, std::string_view action, std::string_view target, std::uint32_t outcome,
             AuditTrail::Extras extra = {});
  // Whether an administrative action may go ahead; when the trail refuses
  // it, records the refusal.
  bool AuditAdmits(const cvaudit::Who& who, std::string_view action, std::string_view target);
  // A command file's SET line, recorded with the old and the new value.
  std::uint32_t SetFromCommandFile(const cvaudit::Who& who, const std::string& file, const std::string& name,
                                   const std::string& value);
  void WriteServerInfo(cvwire::Writer& w) const;
  void WriteSlot(cvwire::Writer& w, const Slot& slot) const;

  asio::io_context& io_;
  ServerConfig config_;  // the agent's own copy: Reload replaces parts of it
  AuditTrail* audit_ = nullptr;
  ParameterStore& parameters_;
  std::mutex parametersMutex_;  // the event loop and the module worker (command files' SET lines) share them
  ModuleSupervisor& modules_;  // used on the module worker only
  ConnectionTable table_;
  LogRate logRate_;
  LoginThrottle throttle_;
  std::list<std::weak_ptr<Session>> unauthenticated_;  // oldest first
  std::unordered_map<std::string, std::uint32_t> unauthenticatedBy_;  // by AddressKey
  asio::ip::tcp::acceptor acceptor_;
  asio::steady_timer acceptPause_;  // after a failed accept
  asio::steady_timer pollTimer_;
  asio::steady_timer trimTimer_;
  bool trimQueued_ = false;
  MemoryRelease memory_;   // made on the event loop's thread, which runs ScheduleTrim's release
  SocketReserve sockets_;  // the sessions' sockets: Asio's records for them made in batches
  std::map<std::uint32_t, std::weak_ptr<Session>> sessions_;  // by slot
  // Connections watching the call services, by slot: the modules' version
  // their last lookup saw.
  std::map<std::uint32_t, std::uint64_t> serviceWatchers_;
  std::vector<std::weak_ptr<Session>> all_;
  Identity identity_;
  std::uint16_t port_ = 0;
  bool stopping_ = false;
  std::atomic<bool> pollQueued_{false};
  std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
  std::uint32_t nextServiceCall_ = 0;
  std::shared_ptr<ServiceConnections> serviceConnections_;  // shared with the calls under way
  // The directory's replicas as the configuration names them, remembering
  // which answered last; replaced when the configuration changes.
  std::shared_ptr<cvdir::Replicas> directoryReplicas_;
  Worker directoryWorkers_;  // directory logins, beside the module worker
  Worker worker_;  // last: its thread ends before the members above go
};

}  // namespace cvserver
