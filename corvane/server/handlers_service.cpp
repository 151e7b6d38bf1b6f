// Request handlers for the server-side call services and module status.
//
// A service is offered by a loaded module whose manifest names it; the
// module answers on its own Unix socket (see corvane/wire/service.h). Each
// ServiceRequest opens one connection to that socket on the event loop,
// sends the call and waits for the answer under a deadline, without blocking
// the loop: a module that crashes costs the request kCvErrQrxConnection, one
// that hangs kCvErrNoAnswer, and nothing else.
#include <spdlog/spdlog.h>
#include <strings.h>

#include <algorithm>
#include <cstring>
#include <functional>

#include "corvane/wire/cvdefs.h"
#include "corvane/wire/cverrors.h"
#include "corvane/server/agent.h"
#include "corvane/server/modules/manifest.h"
#include "corvane/wire/service.h"

namespace cvserver {
namespace {

using cvwire::Msg;
using cvwire::Reader;
using cvwire::Writer;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kMaxServiceName = 255;
// Time the agent keeps for itself out of the client's budget: to get the
// reply back over the network before the client gives up.
constexpr std::uint32_t kAgentMarginMs = 150;

std::vector<std::uint8_t> CodeReply(const Reader& r, std::uint32_t code) {
  Writer w(static_cast<std::uint16_t>(r.type() | cvwire::kReplyBit), r.requestId());
  w.U32(code);
  return w.Frame();
}

std::uint32_t Seconds(Clock::time_point since) {
  const auto s = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - since).count();
  return static_cast<std::uint32_t>(std::clamp<long long>(s, 0, 0xFFFFFFFF));
}

}  // namespace

// Connections to the service modules that answered a call and may take the
// next one; used on the event loop only. Keyed by socket path and module
// generation, so a restarted module never gets its predecessor's connections.
class ServiceConnections {
 public:
  using Socket = asio::local::stream_protocol::socket;

  std::optional<Socket> Take(const std::string& path, std::uint32_t generation) {
    auto it = idle_.find(path);
    if (it == idle_.end()) return std::nullopt;
    std::optional<Socket> found;
    auto& list = it->second;
    while (!list.empty() && !found) {
      Idle e = std::move(list.back());
      list.pop_back();
      if (e.generation != generation || Clock::now() - e.since > kIdleLimit) continue;
      // An idle connection has nothing to read: readable means the module
      // closed it (or sent something unasked), so it is dropped.
      pollfd p{e.socket.native_handle(), POLLIN, 0};
      if (::poll(&p, 1, 0) != 0) continue;
      found.emplace(std::move(e.socket));
    }
    if (list.empty()) idle_.erase(it);
    return found;
  }

  void Give(const std::string& path, std::uint32_t generation, Socket socket) {
    auto& list = idle_[path];
    std::erase_if(list, [&](const Idle& e) { return e.generation != generation; });
    if (list.size() < kMaxIdle) list.push_back({std::move(socket), generation, Clock::now()});
  }

 private:
  // Fewer than the module's answering threads: an idle connection holds one.
  static constexpr std::size_t kMaxIdle = 4;
  // Well inside the time a module waits for the next call before closing.
  static constexpr auto kIdleLimit = std::chrono::milliseconds(1000);
  struct Idle {
    Socket socket;
    std::uint32_t generation;
    Clock::time_point since;
  };
  std::map<std::string, std::vector<Idle>> idle_;
};

namespace {

// One request on its way to a service module and back.
class ServiceCall : public std::enable_shared_from_this<ServiceCall> {
 public:
  ServiceCall(asio::io_context& io, std::shared_ptr<Session> session, std::shared_ptr<ServiceConnections> pool,
              std::uint32_t requestId, std::size_t capacity)
      : socket_(io),
        timer_(io),
        session_(std::move(session)),
        pool_(std::move(pool)),
        requestId_(requestId),
        capacity_(capacity) {}

  // Told the code the client gets and, on success, the service's reply.
  using Finished = std::function<void(std::uint32_t code, const std::vector<std::uint8_t>& reply)>;
  void OnDone(Finished done) { onDone_ = std::move(done); }

  void Start(const std::string& path, std::uint32_t generation, std::vector<std::uint8_t> frame,
             std::uint32_t callId, std::chrono::milliseconds budget) {
    path_ = path;
    generation_ = generation;
    frame_ = std::move(frame);
    callId_ = callId;
    timer_.expires_after(budget);
    timer_.async_wait([self = shared_from_this()](const std::error_code& ec) {
      if (ec) return;
      spdlog::warn("connection {}: the call service gave no answer in time", self->session_->state().slot);
      self->Done(kCvErrNoAnswer, {});
    });
    if (auto kept = pool_->Take(path_, generation_)) {
      socket_ = std::move(*kept);
      reused_ = true;
      return Send();
    }
    Connect();
  }

 private:
  void Connect() {
    reused_ = false;
    std::error_code ignored;
    socket_.close(ignored);
    socket_.async_connect(asio::local::stream_protocol::endpoint(path_),
                          [self = shared_from_this()](const std::error_code& ec) {
                            if (self->done_) return;
                            if (ec) return self->Fail("cannot reach the call service: " + ec.message());
                            self->Send();
                          });
  }

  // A kept connection the module has let go of before reading the call
  // (a reset, not a plain end) is replaced by a new one: the call never ran.
  bool Unread(const std::error_code& ec) const {
    return reused_ && parser_.Pending() == 0 &&
           (ec == asio::error::broken_pipe || ec == asio::error::connection_reset);
  }

  void Send() {
    asio::async_write(socket_, asio::buffer(frame_), [self = shared_from_this()](const std::error_code& ec, std::size_t) {
      if (self->done_) return;
      if (self->Unread(ec)) return self->Connect();
      if (ec) return self->Fail("sending to the call service: " + ec.message());
      self->Read();
    });
  }

  void Read() {
    socket_.async_read_some(asio::buffer(buffer_), [self = shared_from_this()](const std::error_code& ec,
                                                                               std::size_t n) {
      if (self->done_) return;
      if (self->Unread(ec)) return self->Connect();
      if (ec) return self->Fail("the call service closed the request (" + ec.message() + ")");
      if (self->parser_.Feed(std::span(self->buffer_.data(), n)) != cvwire::FrameParser::Status::Ok) {
        return self->Fail("malformed answer from the call service");
      }
      std::vector<std::uint8_t> payload;
      if (!self->parser_.Next(payload)) return self->Read();
      auto reply = cvwire::service::DecodeAnswer(payload, self->callId_);
      if (!reply) return self->Fail("malformed answer from the call service");
      if (reply->size() > self->capacity_) return self->Fail("the call service answered more than the client takes");
      // Only a connection with nothing after the answer may carry the next call.
      self->keep_ = self->parser_.Pending() == 0 && !self->parser_.Next(payload);
      self->Done(kCvOk, std::move(*reply));
    });
  }

  void Fail(const std::string& why) {
    if (done_) return;
    spdlog::warn("connection {}: {}", session_->state().slot, why);
    Done(kCvErrQrxConnection, {});
  }

  void Done(std::uint32_t code, std::vector<std::uint8_t> reply) {
    if (done_) return;
    done_ = true;
    std::error_code ec;
    timer_.cancel();
    if (keep_ && code == kCvOk) {
      pool_->Give(path_, generation_, std::move(socket_));
    } else {
      socket_.close(ec);
    }
    if (onDone_) onDone_(code, reply);
    Writer w(cvwire::ReplyType(Msg::ServiceRequest), requestId_);
    w.U32(code);
    if (code == kCvOk) w.Blob(reply);
    session_->Finish(w.Frame());
  }

  asio::local::stream_protocol::socket socket_;
  asio::steady_timer timer_;
  std::shared_ptr<Session> session_;
  std::shared_ptr<ServiceConnections> pool_;
  std::uint32_t requestId_;
  std::size_t capacity_;
  Finished onDone_;
  std::string path_;
  std::uint32_t generation_ = 0;
  std::uint32_t callId_ = 0;
  bool reused_ = false;
  bool keep_ = false;
  std::vector<std::uint8_t> frame_;
  cvwire::FrameParser parser_;
  std::array<std::uint8_t, 8192> buffer_{};
  bool done_ = false;
};

}  // namespace

Outcome Agent::HandleServiceLookup(Reader& r) {
  const std::string name = r.Str();
  if (!r.Done()) return std::nullopt;
  if (name.empty() || name.size() > kMaxServiceName) return CodeReply(r, kCvErrInvalidArgument);
  const auto module = modules_.status().FindService(name);
  if (!module) return CodeReply(r, kCvErrInvalidEntryName);
  std::uint8_t info[cvwire::kServiceInfoSize] = {};
  std::memcpy(info, module->name.data(), std::min(module->name.size(), sizeof info - 1));
  Writer w(static_cast<std::uint16_t>(r.type() | cvwire::kReplyBit), r.requestId());
  w.U32(kCvOk).U32(module->generation).U8(1).U8(0).U8(1).Blob(info);
  return w.Frame();
}

Outcome Agent::HandleServiceLookupWatched(SessionState& s, Reader& r) {
  // The version is read before the lookup: a change in between is told.
  const std::uint64_t version = modules_.status().version();
  Outcome answer = HandleServiceLookup(r);
  if (answer.kind == Outcome::Kind::Reply) serviceWatchers_[s.slot] = version;
  return answer;
}

void Agent::NotifyServiceWatchers() {
  if (serviceWatchers_.empty()) return;
  const std::uint64_t version = modules_.status().version();
  for (auto it = serviceWatchers_.begin(); it != serviceWatchers_.end();) {
    if (it->second == version) {
      ++it;
      continue;
    }
    if (auto found = sessions_.find(it->first); found != sessions_.end()) {
      if (auto session = found->second.lock()) {
        session->Notify(Writer(cvwire::Type(Msg::ServicesChanged), 0).Frame());
      }
    }
    it = serviceWatchers_.erase(it);
  }
}

Outcome Agent::HandleServiceRequest(SessionState& s, Reader& r, const Slot& caller) {
  const std::uint32_t serviceId = r.U32();
  const std::uint32_t capacity = r.U32();
  const std::uint32_t clientBudget = r.U32();
  std::vector<std::uint8_t> request = r.Blob();
  if (!r.Done()) return std::nullopt;
  // The name of the function or script called, never its parameters' values.
  const std::string called = cvaudit::CallName(request).value_or("");
  if (request.empty() || request.size() > cvwire::service::kMaxRequest || capacity == 0) {
    Audit(s.who, "call", called, kCvErrInvalidArgument);
    return CodeReply(r, kCvErrInvalidArgument);
  }
  std::optional<ModuleStatus> module;
  for (const auto& m : modules_.status().All()) {
    if (m.loaded && m.generation == serviceId && !m.services.empty()) module = m;
  }
  if (!module) {
    Audit(s.who, "call", called, kCvErrQrxConnection);
    return CodeReply(r, kCvErrQrxConnection);
  }
  // The trail's reader sees the records of everything done before it asked.
  if (audit_ && ::strcasecmp(called.c_str(), "AUDIT.TAIL") == 0) audit_->Flush();
  // Scripts are the calls that change things: refused while they cannot be recorded.
  if ((request[0] & 0x80) != 0 && !AuditAdmits(s.who, "call", called)) return CodeReply(r, kCvErrFailure);
  auto session = s.self.lock();
  if (!session) return std::nullopt;

  std::uint32_t budget = std::min(clientBudget, config_.serviceTimeoutMs);
  budget = budget > 2 * kAgentMarginMs ? budget - kAgentMarginMs : budget / 2;
  cvwire::service::Call call;
  call.user = caller.user;
  call.isOperator = caller.isOperator;
  call.connection = s.slot;
  // The module answers a little before the agent gives up on it.
  call.budgetMs = budget > 100 ? budget - 50 : budget;
  call.replyCapacity = std::min<std::uint32_t>(capacity, cvwire::service::kMaxReply);
  call.serverName = config_.name;
  call.serverVersion = std::to_string(config_.versionMajor) + "." + std::to_string(config_.versionMinor) + "." +
                       std::to_string(config_.versionRevision);
  call.serverUpSeconds = Seconds(started_);
  for (const auto& m : modules_.status().All()) {
    cvwire::service::ModuleState st;
    st.name = m.name;
    st.loaded = m.loaded;
    st.pid = m.loaded ? static_cast<std::uint32_t>(m.pid) : 0;
    st.upSeconds = m.loaded ? Seconds(m.started) : 0;
    st.lastFailure = m.lastFailure;
    st.failureAgeSeconds = m.lastFailure.empty() ? 0 : Seconds(m.failedAt);
    call.modules.push_back(std::move(st));
  }
  call.request = std::move(request);
  const std::uint32_t callId = ++nextServiceCall_;
  if (!serviceConnections_) serviceConnections_ = std::make_shared<ServiceConnections>();
  auto pending =
      std::make_shared<ServiceCall>(io_, std::move(session), serviceConnections_, r.requestId(), call.replyCapacity);
  pending->OnDone([this, who = s.who, called, service = module->name](std::uint32_t code,
                                                                       const std::vector<std::uint8_t>& reply) {
    AuditTrail::Extras extra = {{"service", service}};
    if (code == kCvOk) extra.emplace_back("result", CallResult(reply));
    Audit(who, "call", called, code, std::move(extra));
  });
  pending->Start(module->serviceSocket, module->generation, cvwire::service::EncodeCall(call, callId), callId,
                 std::chrono::milliseconds(budget));
  return Outcome::Pending();
}

Outcome Agent::HandleModuleStatus(Reader& r) {
  const std::string text = r.Str();
  if (!r.Done()) return std::nullopt;
  const std::string_view name = modules::StripSuffixNoCase(modules::Trim(text), ".qrx");
  if (!IsSafeFileName(name)) return CodeReply(r, kCvErrInvalidFileName);
  const auto m = modules_.status().Get(modules::ToUpper(name));
  Writer w(cvwire::ReplyType(Msg::ModuleStatus), r.requestId());
  w.U32(kCvOk);
  if (!m) {
    w.U8(0).U32(0).U32(0).Str("").U32(0);
  } else {
    w.U8(m->loaded ? 1 : 0).U32(m->loaded ? static_cast<std::uint32_t>(m->pid) : 0);
    w.U32(m->loaded ? Seconds(m->started) : 0).Str(m->lastFailure);
    w.U32(m->lastFailure.empty() ? 0 : Seconds(m->failedAt));
  }
  return w.Frame();
}

void Agent::RunAutoexec() {
  if (config_.autoexec.empty()) return;
  const std::string file = config_.autoexec;
  worker_.Post([this, file] {
    spdlog::info("running the start-up command file {}", file);
    const cvaudit::Who agent;  // the agent itself
    const std::uint32_t code = modules_.RunCommandFile(
        file, [this, &agent, &file](const std::string& n, const std::string& v) { return SetFromCommandFile(agent, file, n, v); },
        [this, &agent, &file](std::string_view lineAction, const std::string& line, std::uint32_t lineCode) {
          Audit(agent, lineAction, line, lineCode, {{"file", file}});
        });
    Audit(agent, "run", file, code, {{"detail", "start-up command file"}});
    if (code != 0) {
      spdlog::error("start-up command file {} failed with {}", file, code);
    } else {
      spdlog::info("start-up command file {} done", file);
    }
  });
}

}  // namespace cvserver
