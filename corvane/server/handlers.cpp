// Request handlers of the agent: login, server and connection calls, modules,
// command files and parameters.
#include <spdlog/spdlog.h>

#include <algorithm>
#include <cctype>

#include "corvane/wire/cvdefs.h"
#include "corvane/wire/cverrors.h"
#include "corvane/server/agent.h"
#include "corvane/server/modules/manifest.h"
#include "corvane/wire/logtext.h"

namespace cvserver {
namespace {

using cvwire::Msg;
using cvwire::Reader;
using cvwire::Writer;

constexpr int kMaxRefusedLogins = 3;
constexpr std::size_t kMaxMessageLength = 1024;
constexpr std::size_t kMaxBroadcastTargets = 62;

std::vector<std::uint8_t> CodeReply(std::uint16_t type, std::uint32_t requestId, std::uint32_t code) {
  Writer w(static_cast<std::uint16_t>(type | cvwire::kReplyBit), requestId);
  w.U32(code);
  return w.Frame();
}

std::vector<std::uint8_t> CodeReply(const Reader& r, std::uint32_t code) {
  return CodeReply(r.type(), r.requestId(), code);
}

std::string Upper(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return s;
}

bool HasControl(std::string_view s) {
  return std::any_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; });
}

// The module name of "NAME args".
std::string_view FirstWord(std::string_view line) {
  const auto start = line.find_first_not_of(' ');
  if (start == std::string_view::npos) return {};
  line.remove_prefix(start);
  return line.substr(0, line.find(' '));
}

}  // namespace

Outcome Agent::Handle(SessionState& s, Reader& r) {
  if (!r.ok()) return std::nullopt;
  switch (s.phase) {
    case SessionState::Phase::AwaitHello:
      if (r.type() != cvwire::Type(Msg::Hello)) return std::nullopt;
      return HandleHello(s, r);
    case SessionState::Phase::AwaitStep:
      if (r.type() != cvwire::Type(Msg::LoginStep)) return std::nullopt;
      return HandleLoginStep(s, r);
    case SessionState::Phase::LoggedIn:
      break;
  }
  return HandleRequest(s, r);
}

namespace {

// A login reply that is not a success: the code and the agent's version.
std::vector<std::uint8_t> LoginCode(const Reader& r, std::uint32_t code) {
  Writer w(static_cast<std::uint16_t>(r.type() | cvwire::kReplyBit), r.requestId());
  w.U32(code).U32(cvwire::kProtocolVersion);
  return w.Frame();
}

std::string_view AsText(const std::vector<std::uint8_t>& data) {
  return {reinterpret_cast<const char*>(data.data()), data.size()};
}

}  // namespace

// Each mechanism starts here by its name; its further messages go to
// HandleLoginStep, and it ends in CompleteLogin or RefuseLogin.
Outcome Agent::HandleHello(SessionState& s, Reader& r) {
  const std::uint32_t version = r.U32();
  std::string workstation = r.Str();
  const std::string mechanism = r.Str();
  const std::vector<std::uint8_t> data = r.Blob();
  if (!r.Done()) return std::nullopt;
  s.who.workstation = std::move(workstation);
  s.who.mechanism = mechanism == cvwire::kMechScram       ? "scram"
                    : mechanism == cvwire::kMechDirectory ? "directory"
                                                          : mechanism.substr(0, 64);
  if (version != cvwire::kProtocolVersion) {
    logRate_.Log(spdlog::level::warn, "hello-version", "a client speaking protocol {} refused (this agent speaks {})",
                 version, cvwire::kProtocolVersion);
    Audit(s.who, "login", "", cvwire::kCodeUnsupported, {{"detail", "protocol " + std::to_string(version)}});
    CountRefusal(s);
    return LoginCode(r, cvwire::kCodeUnsupported);
  }
  if (mechanism == cvwire::kMechScram) return ScramStart(s, r, data);
  if (mechanism == cvwire::kMechDirectory) return DirectoryStart(s, r, data);
  logRate_.Log(spdlog::level::warn, "hello-mechanism", "login mechanism '{}' is not offered",
               cvwire::LogText(mechanism, 64));
  Audit(s.who, "login", "", cvwire::kCodeUnsupported, {{"detail", "mechanism not offered"}});
  CountRefusal(s);
  return LoginCode(r, cvwire::kCodeUnsupported);
}

void Agent::CountRefusal(SessionState& s) {
  if (++s.refusedLogins >= kMaxRefusedLogins) s.closeAfterReply = true;
}

bool Agent::LockedOut(SessionState& s, const std::string& user) {
  const auto left = throttle_.LockedFor(user, s.address);
  if (left.count() <= 0) return false;
  logRate_.Log(spdlog::level::warn, "locked-out", "login of '{}' from {} refused: locked out for another {} s",
               cvwire::LogText(user), s.address, (left.count() + 999) / 1000);
  return true;
}

void Agent::Throttle(SessionState& s) {
  const auto refusal = throttle_.Failed(s.userName, s.address);
  const auto& t = throttle_.config();
  if (refusal.userLocked) {
    logRate_.Log(spdlog::level::warn, "lockout-user",
                 "user '{}' locked out for {} s after {} failed logins (the addresses it logged in from lately "
                 "are not)",
                 cvwire::LogText(s.userName), t.userLockout.count() / 1000, t.userLockoutAfter);
  }
  if (refusal.addressLocked) {
    logRate_.Log(spdlog::level::warn, "lockout-address", "address {} locked out for {} s after {} failed logins",
                 s.address, t.addressLockout.count() / 1000, t.addressLockoutAfter);
  }
  s.holdReply = refusal.delay;
}

Outcome Agent::HandleLoginStep(SessionState& s, Reader& r) {
  const std::vector<std::uint8_t> data = r.Blob();
  if (!r.Done()) return std::nullopt;
  if (s.scram) return ScramFinish(s, r, data);
  return std::nullopt;
}

Outcome Agent::ScramStart(SessionState& s, Reader& r, const std::vector<std::uint8_t>& data) {
  auto first = cvwire::scram::ParseClientFirst(AsText(data));
  if (!first) return std::nullopt;
  const std::string user = Upper(first->user);
  s.userName = user;
  if (LockedOut(s, user)) return RefuseLogin(s, r, kCvErrLoginRefused);
  if (const UserConfig* known = FindUser(user)) {
    s.user = *known;
  } else {
    s.user.reset();
  }
  cvwire::scram::Verifier verifier;
  if (s.user) {
    verifier = s.user->verifier;
  } else {
    // The same challenge for the same unknown name every time, across
    // restarts too (the secret comes from the server's key), so that a
    // caller cannot tell unknown names from known ones. Its iteration count
    // is one of the configured users' counts, picked by the name: an
    // unknown name looks like one more user of the same kind.
    const auto digest = cvwire::scram::Hmac(identity_.secret, user);
    verifier.salt.assign(digest.begin(), digest.end());
    verifier.salt.resize(cvwire::kSaltSize);
    verifier.iterations = cvwire::kDefaultIterations;
    if (!config_.users.empty()) {
      const std::size_t pick = (static_cast<std::size_t>(digest[cvwire::kSaltSize]) << 8 | digest[cvwire::kSaltSize + 1]) %
                               config_.users.size();
      verifier.iterations = config_.users[pick].verifier.iterations;
    }
    verifier.storedKey = cvwire::RandomBytes(cvwire::kKeySize);
    verifier.serverKey = cvwire::RandomBytes(cvwire::kKeySize);
  }
  s.scram.emplace(std::move(*first), std::move(verifier), s.user.has_value());
  s.phase = SessionState::Phase::AwaitStep;
  const std::string& challenge = s.scram->First();
  Writer w(cvwire::ReplyType(Msg::Hello), r.requestId());
  w.U32(kCvOk).U32(cvwire::kProtocolVersion).U8(0);
  w.Blob(std::span(reinterpret_cast<const std::uint8_t*>(challenge.data()), challenge.size()));
  return w.Frame();
}

Outcome Agent::ScramFinish(SessionState& s, Reader& r, const std::vector<std::uint8_t>& data) {
  std::string serverFinal;
  const auto result = s.scram->Finish(AsText(data), s.channelBinding, serverFinal);
  s.scram.reset();
  if (result == cvwire::scram::ServerExchange::Result::Malformed) return std::nullopt;
  // Rights as the configuration gives them now (a reload may have come
  // between the two steps; a user it removed is refused).
  const UserConfig* now = s.user ? FindUser(s.user->name) : nullptr;
  if (result != cvwire::scram::ServerExchange::Result::Accepted || !now) {
    Throttle(s);
    return RefuseLogin(s, r, kCvErrLoginRefused);
  }
  s.user = *now;
  return CompleteLogin(s, r.type(), r.requestId(), {now->name, now->objectId, now->isOperator}, serverFinal);
}

Outcome Agent::RefuseLogin(SessionState& s, Reader& r, std::uint32_t code) {
  return RefuseLogin(s, r.type(), r.requestId(), code);
}

std::vector<std::uint8_t> Agent::RefuseLogin(SessionState& s, std::uint16_t type, std::uint32_t requestId,
                                             std::uint32_t code) {
  s.phase = SessionState::Phase::AwaitHello;
  s.scram.reset();
  s.user.reset();
  logRate_.Log(spdlog::level::warn, "login-refused", "login of '{}' from {} refused", cvwire::LogText(s.userName),
               s.address);
  cvaudit::Who who = s.who;
  who.user = s.userName;
  Audit(who, "login", s.userName, code);
  CountRefusal(s);
  Writer w(static_cast<std::uint16_t>(type | cvwire::kReplyBit), requestId);
  w.U32(code).U32(cvwire::kProtocolVersion);
  return w.Frame();
}

std::vector<std::uint8_t> Agent::CompleteLogin(SessionState& s, std::uint16_t type, std::uint32_t requestId,
                                               const LoginIdentity& who, std::string_view finalData) {
  const std::uint16_t replyType = static_cast<std::uint16_t>(type | cvwire::kReplyBit);
  throttle_.Succeeded(s.userName, s.address);
  const std::uint32_t slot = table_.Take(who.name, who.objectId, who.isOperator, s.peer);
  // Directory users are recorded by the dotted name they logged in with.
  s.who.user = s.userName.empty() ? who.name : s.userName;
  s.who.objectId = who.objectId;
  s.who.connection = slot;
  Audit(s.who, "login", s.who.user, slot == 0 ? kCvErrNoFreeSlot : kCvOk,
        {{"operator", who.isOperator ? "yes" : "no"}});

  if (slot == 0) {
    s.phase = SessionState::Phase::AwaitHello;
    if (!who.isOperator && table_.inUse() < table_.capacity()) {
      logRate_.Log(spdlog::level::warn, "slots-full",
                   "login of '{}' refused: the free connection slots are kept for operators", cvwire::LogText(who.name));
    } else {
      logRate_.Log(spdlog::level::warn, "slots-full", "login of '{}' refused: all {} connection slots in use",
                   cvwire::LogText(who.name), table_.capacity());
    }
    s.closeAfterReply = true;
    Writer w(replyType, requestId);
    w.U32(kCvErrNoFreeSlot).U32(cvwire::kProtocolVersion);
    return w.Frame();
  }
  s.slot = slot;
  s.userName = who.name;
  s.phase = SessionState::Phase::LoggedIn;
  LeaveUnauthenticated(s);
  if (auto self = s.self.lock()) Register(slot, self);
  spdlog::info("connection {}: '{}' logged in from {}", slot, cvwire::LogText(who.name), s.address);
  Writer w(replyType, requestId);
  w.U32(kCvOk).U32(cvwire::kProtocolVersion).U8(1);
  w.Blob(std::span(reinterpret_cast<const std::uint8_t*>(finalData.data()), finalData.size()));
  w.U16(static_cast<std::uint16_t>(slot)).U32(who.objectId).U8(who.isOperator ? 1 : 0);
  return w.Frame();
}

void Agent::WriteServerInfo(Writer& w) const {
  w.Str(config_.name).U32(config_.versionMajor).U32(config_.versionMinor).U32(config_.versionRevision);
  w.U32(table_.capacity()).U32(table_.inUse()).U32(table_.peak());
  w.U8(config_.directory.enabled ? 1 : 0).Str(config_.directory.enabled ? config_.directory.tree : "");
  w.Str(config_.description).Str(config_.company).Str("").Str("");
  w.U16(static_cast<std::uint16_t>(std::min<std::size_t>(config_.peers.size(), 256)));
  for (std::size_t i = 0; i < config_.peers.size() && i < 256; ++i) w.Str(config_.peers[i]);
}

void Agent::WriteSlot(Writer& w, const Slot& slot) const {
  w.Str(slot.user).U16(slot.objectType).U32(slot.objectId);
  const std::tm& t = slot.loginTime;
  w.U8(static_cast<std::uint8_t>(t.tm_year)).U8(static_cast<std::uint8_t>(t.tm_mon + 1));
  w.U8(static_cast<std::uint8_t>(t.tm_mday)).U8(static_cast<std::uint8_t>(t.tm_hour));
  w.U8(static_cast<std::uint8_t>(t.tm_min)).U8(static_cast<std::uint8_t>(t.tm_sec));
  w.U16(slot.peer.type).Raw(slot.peer.bytes);
}

Outcome Agent::HandleRequest(SessionState& s, Reader& r) {
  const Slot* me = table_.Get(s.slot);
  if (!me) return std::nullopt;
  const bool isOperator = me->isOperator;
  const auto type = static_cast<Msg>(r.type());
  switch (type) {
    case Msg::Ping:
      if (!r.Done()) return std::nullopt;
      return CodeReply(r, kCvOk);

    case Msg::ServerInfo: {
      if (!r.Done()) return std::nullopt;
      Writer w(cvwire::ReplyType(type), r.requestId());
      w.U32(kCvOk);
      WriteServerInfo(w);
      return w.Frame();
    }

    case Msg::ConnectionInfo: {
      const std::uint32_t number = r.U32();
      if (!r.Done()) return std::nullopt;
      const Slot* slot = table_.Get(number);
      if (!slot) return CodeReply(r, kCvErrBadConnectionNumber);
      Writer w(cvwire::ReplyType(type), r.requestId());
      w.U32(kCvOk);
      WriteSlot(w, *slot);
      return w.Frame();
    }

    case Msg::ConnectionList: {
      std::uint32_t number = std::max<std::uint32_t>(r.U32(), 1);
      if (!r.Done()) return std::nullopt;
      Writer w(cvwire::ReplyType(type), r.requestId());
      std::uint16_t count = 0;
      Writer body(0, 0);
      // Entries are at most ~330 bytes; stop well before the frame limit.
      for (; number <= table_.capacity() && body.PayloadSize() < cvwire::kMaxPayload - 1024; ++number) {
        const Slot* slot = table_.Get(number);
        if (!slot) continue;
        body.U32(number);
        WriteSlot(body, *slot);
        ++count;
      }
      const std::uint32_t next = number <= table_.capacity() ? number : 0;
      const auto& bodyFrame = body.Frame();
      w.U32(kCvOk).U32(next).U16(count);
      w.Raw(std::span(bodyFrame).subspan(cvwire::kLengthSize + cvwire::kHeaderSize));
      return w.Frame();
    }

    case Msg::Broadcast: {
      const std::string text = r.Str();
      const std::uint16_t count = r.U16();
      std::vector<std::uint16_t> targets;
      for (std::uint16_t i = 0; i < count && r.ok(); ++i) targets.push_back(r.U16());
      if (!r.Done()) return std::nullopt;
      std::string to;
      for (std::uint16_t t : targets) to += (to.empty() ? "" : ",") + std::to_string(t);
      const AuditTrail::Extras said = {{"detail", text}};
      if (!isOperator) {
        Audit(s.who, "send", to, kCvErrNotConsoleOperator, said);
        return CodeReply(r, kCvErrNotConsoleOperator);
      }
      if (count == 0 || count > kMaxBroadcastTargets || text.size() > kMaxMessageLength || HasControl(text)) {
        Audit(s.who, "send", to, kCvErrInvalidArgument, said);
        return CodeReply(r, kCvErrInvalidArgument);
      }
      if (!AuditAdmits(s.who, "send", to)) return CodeReply(r, kCvErrFailure);
      std::uint32_t first = kCvOk;
      std::vector<std::uint8_t> results;
      for (std::uint16_t t : targets) {
        const std::uint32_t code = table_.Queue(t, text);
        results.push_back(static_cast<std::uint8_t>(code & 0xFF));
        if (code != kCvOk && first == kCvOk) first = code;
      }
      Audit(s.who, "send", to, first, said);
      Writer w(cvwire::ReplyType(type), r.requestId());
      w.U32(first).U16(count).Raw(results);
      return w.Frame();
    }

    case Msg::ReadMessages: {
      if (!r.Done()) return std::nullopt;
      const auto messages = table_.TakeMessages(s.slot);
      Writer w(cvwire::ReplyType(type), r.requestId());
      w.U32(kCvOk).U16(static_cast<std::uint16_t>(messages.size()));
      for (const auto& m : messages) w.Str(m);
      return w.Frame();
    }

    case Msg::ClearConnection: {
      const std::uint32_t number = r.U32();
      if (!r.Done()) return std::nullopt;
      const std::string target = std::to_string(number);
      if (!isOperator) {
        Audit(s.who, "clear", target, kCvErrNotConsoleOperator);
        return CodeReply(r, kCvErrNotConsoleOperator);
      }
      const Slot* cleared = table_.Get(number);
      if (!cleared) {
        Audit(s.who, "clear", target, kCvErrBadConnectionNumber);
        return CodeReply(r, kCvErrBadConnectionNumber);
      }
      if (!AuditAdmits(s.who, "clear", target)) return CodeReply(r, kCvErrFailure);
      Audit(s.who, "clear", target, kCvOk, {{"detail", "user " + cleared->user}});
      spdlog::info("connection {} cleared by connection {}", number, s.slot);
      if (number == s.slot) {
        s.closeAfterReply = true;
      } else {
        auto it = sessions_.find(number);
        std::shared_ptr<Session> target = it != sessions_.end() ? it->second.lock() : nullptr;
        if (target) {
          target->Close();
        } else {
          table_.Free(number);
        }
      }
      return CodeReply(r, kCvOk);
    }

    case Msg::LoadModule:
    case Msg::UnloadModule:
    case Msg::RunCommandFile:
    case Msg::ModuleList:
      return HandleModuleRequest(s, r, isOperator);

    case Msg::ModuleStatus:
      return HandleModuleStatus(r);
    case Msg::ServiceLookup:
      return HandleServiceLookup(r);
    case Msg::ServiceLookupWatched:
      return HandleServiceLookupWatched(s, r);
    case Msg::ServiceRequest:
      return HandleServiceRequest(s, r, *me);

    case Msg::ParameterList: {
      std::uint32_t index = r.U32();
      if (!r.Done()) return std::nullopt;
      std::lock_guard lock(parametersMutex_);
      const auto& entries = parameters_.entries();
      Writer w(cvwire::ReplyType(type), r.requestId());
      Writer body(0, 0);
      std::uint16_t count = 0;
      for (; index < entries.size() && body.PayloadSize() < cvwire::kMaxPayload - 1024; ++index) {
        const auto& e = entries[index];
        body.Str(e.name);
        if (e.isText) {
          body.U32(cvwire::kParamText).Str(e.text);
        } else {
          body.U32(cvwire::kParamNumber).U32(static_cast<std::uint32_t>(e.number));
        }
        ++count;
      }
      const std::uint32_t next = index < entries.size() ? index : 0;
      const auto& bodyFrame = body.Frame();
      w.U32(kCvOk).U32(next).U32(static_cast<std::uint32_t>(entries.size())).U16(count);
      w.Raw(std::span(bodyFrame).subspan(cvwire::kLengthSize + cvwire::kHeaderSize));
      return w.Frame();
    }

    case Msg::SetParameterText:
    case Msg::SetParameterNumber: {
      const std::string name = r.Str();
      std::string text;
      std::uint32_t number = 0;
      if (type == Msg::SetParameterText) {
        text = r.Str();
      } else {
        number = r.U32();
      }
      if (!r.Done()) return std::nullopt;
      const std::string wanted =
          type == Msg::SetParameterText ? text : std::to_string(static_cast<std::int32_t>(number));
      if (!isOperator) {
        Audit(s.who, "param", name, kCvErrNotConsoleOperator, {{"new", wanted}});
        return CodeReply(r, kCvErrNotConsoleOperator);
      }
      if (!AuditAdmits(s.who, "param", name)) return CodeReply(r, kCvErrFailure);
      std::lock_guard lock(parametersMutex_);
      std::string old;
      for (const auto& e : parameters_.entries()) {
        if (e.name == name) old = e.isText ? e.text : std::to_string(e.number);
      }
      const std::uint32_t code = type == Msg::SetParameterText
                                     ? parameters_.SetText(name, text)
                                     : parameters_.SetNumber(name, static_cast<std::int32_t>(number));
      if (code == 0) spdlog::info("connection {}: parameter '{}' set", s.slot, cvwire::LogText(name));
      Audit(s.who, "param", name, code, {{"old", old}, {"new", wanted}});
      return CodeReply(r, code);
    }

    default:
      // Services of later protocol versions: answered, connection kept.
      return CodeReply(r, cvwire::kCodeUnsupported);
  }
}

// Checked here on the event loop; the supervisor's part, which may wait for a
// module's readiness or its stop timeout, runs on the module worker.
Outcome Agent::HandleModuleRequest(SessionState& s, Reader& r, bool isOperator) {
  const auto type = static_cast<Msg>(r.type());
  const std::uint32_t requestId = r.requestId();
  const std::uint32_t slot = s.slot;
  if (type == Msg::ModuleList) {
    if (!r.Done()) return std::nullopt;
    return Outcome::Later([this, requestId] {
      const auto loaded = modules_.Loaded();
      Writer w(cvwire::ReplyType(Msg::ModuleList), requestId);
      w.U32(kCvOk).U16(static_cast<std::uint16_t>(std::min<std::size_t>(loaded.size(), 1000)));
      for (std::size_t i = 0; i < loaded.size() && i < 1000; ++i) w.Str(loaded[i]);
      return w.Frame();
    });
  }
  std::string text = r.Str();
  if (!r.Done()) return std::nullopt;
  const char* action = type == Msg::LoadModule ? "load" : type == Msg::UnloadModule ? "unload" : "run";
  if (!isOperator) {
    Audit(s.who, action, text, kCvErrNotConsoleOperator);
    return CodeReply(r, kCvErrNotConsoleOperator);
  }
  const std::string_view name = type == Msg::LoadModule ? FirstWord(text) : std::string_view(text);
  if (!IsSafeFileName(name) || HasControl(text) || text.size() > 4096) {
    Audit(s.who, action, text, kCvErrInvalidFileName);
    return CodeReply(r, kCvErrInvalidFileName);
  }
  if (!AuditAdmits(s.who, action, text)) return CodeReply(r, kCvErrFailure);
  return Outcome::Later([this, type, requestId, slot, action, who = s.who, text = std::move(text)] {
    std::uint32_t code = 0;
    const auto began = std::chrono::steady_clock::now();
    if (type == Msg::LoadModule) {
      spdlog::info("connection {}: LOAD {}", slot, text);
      code = modules_.Load(text);
    } else if (type == Msg::UnloadModule) {
      spdlog::info("connection {}: UNLOAD {}", slot, text);
      code = modules_.Unload(text);
    } else {
      spdlog::info("connection {}: running command file {}", slot, text);
      code = modules_.RunCommandFile(
          text, [this, &who, &text](const std::string& n, const std::string& v) { return SetFromCommandFile(who, text, n, v); },
          [this, &who, &text](std::string_view lineAction, const std::string& line, std::uint32_t lineCode) {
            Audit(who, lineAction, line, lineCode, {{"file", text}});
          });
    }
    if (code != 0) spdlog::warn("connection {}: '{}' failed with {}", slot, text, code);
    AuditTrail::Extras extra;
    if (code != 0 && type != Msg::RunCommandFile) {
      // What the module reported, when this request is what failed it.
      const auto m = modules_.status().Get(modules::ToUpper(std::string(FirstWord(text))));
      if (m && !m->lastFailure.empty() && m->failedAt >= began) extra.emplace_back("detail", m->lastFailure);
    }
    Audit(who, action, text, code, std::move(extra));
    return CodeReply(cvwire::Type(type), requestId, code);
  });
}

}  // namespace cvserver
