#include "corvane/client/session.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "corvane/client/cvdefs.h"
#include "corvane/client/cverrors.h"
#include "corvane/client/ini.h"
#include "corvane/client/trust.h"
#include "corvane/wire/scram.h"

namespace cvclient {
namespace {

using cvwire::Msg;
using std::chrono::milliseconds;

bool ReadServerInfo(cvwire::Reader& r, ServerInfo& info) {
  info.name = r.Str();
  info.major = r.U32();
  info.minor = r.U32();
  info.revision = r.U32();
  info.capacity = r.U32();
  info.inUse = r.U32();
  info.peak = r.U32();
  info.directory = r.U8() != 0;
  info.tree = r.Str();
  info.description = r.Str();
  info.company = r.Str();
  info.revisionDate = r.Str();
  info.copyright = r.Str();
  const std::uint16_t peers = r.U16();
  info.peers.clear();
  for (std::uint16_t i = 0; i < peers && r.ok(); ++i) info.peers.push_back(r.Str());
  return r.Done();
}

}  // namespace

void CopyText(char* out, std::size_t size, const std::string& text) {
  if (!out || size == 0) return;
  const std::size_t n = std::min(size - 1, text.size());
  std::copy_n(text.data(), n, out);
  out[n] = '\0';
}

Library& Library::Get() {
  static Library* library = new Library();  // never destroyed: callers may run during exit
  return *library;
}

Server* Library::Find(std::uint32_t handle) {
  auto it = servers_.find(handle);
  return it == servers_.end() ? nullptr : it->second.get();
}

void Library::BeginOperation() {
  clockStarted_ = false;  // most operations answer from what the library holds: no clock read for them
  failure_.clear();
}

void Library::StartClock() {
  if (clockStarted_) return;
  clockStarted_ = true;
  opStart_ = Clock::now();
  opDeadline_ = opStart_ + milliseconds(config_.requestMs);
  connectLeft_ = milliseconds(config_.connectMs);
}

void Library::ReloadConfig() {
  // The stamp is taken before the read: a change while reading shows as a
  // different stamp next time.
  const std::string path = ClientConfigPath();
  const FileStamp stamp = FileStamp::Of(path);
  if (!configHeld_ || path != configPath_ || stamp != configStamp_) {
    config_ = LoadClientConfig();
    configPath_ = path;
    configStamp_ = stamp;
  }
  configHeld_ = stamp.Settled();
  if (clockStarted_) {
    opDeadline_ = opStart_ + milliseconds(config_.requestMs);
    connectLeft_ = milliseconds(config_.connectMs);
  }
}

void Library::Fail(const std::string& text, bool log) {
  failure_ = text;
  if (log) std::fprintf(stderr, "corvane client: %s\n", text.c_str());
}

std::uint32_t Library::Acquire(const std::string& serverName, std::uint32_t& handle) {
  for (auto& [h, s] : servers_) {
    if (EqualNoCase(s->entry.name, serverName)) {
      ++s->references;
      handle = h;
      return kCvOk;
    }
  }
  ReloadConfig();
  const ServerEntry* entry = config_.Find(serverName);
  if (!entry) return kCvErrUnknownServer;
  auto server = std::make_unique<Server>();
  server->entry = *entry;
  return Adopt(std::move(server), handle);
}

std::uint32_t Library::AcquireAt(const std::string& serverName, const std::string& host, std::uint16_t port,
                                 std::uint32_t& handle) {
  for (auto& [h, s] : servers_) {
    if (EqualNoCase(s->entry.name, serverName) && s->entry.host == host && s->entry.port == port) {
      ++s->references;
      handle = h;
      return kCvOk;
    }
  }
  ReloadConfig();
  auto server = std::make_unique<Server>();
  server->entry = ServerEntry{serverName, host, port};
  return Adopt(std::move(server), handle);
}

std::uint32_t Library::Adopt(std::unique_ptr<Server> server, std::uint32_t& handle) {
  if (const std::uint32_t code = Open(*server); code != kCvOk) return code;
  server->references = 1;
  server->handle = ++lastHandle_;
  if (server->handle == 0) server->handle = ++lastHandle_;
  handle = server->handle;
  servers_[handle] = std::move(server);
  return kCvOk;
}

std::uint32_t Library::Release(std::uint32_t handle) {
  Server* s = Find(handle);
  if (!s) return kCvErrInvalidConnection;
  if (--s->references <= 0) servers_.erase(handle);  // closes the connection
  return kCvOk;
}

std::uint32_t Library::Primary(std::uint32_t& handle) {
  if (!servers_.empty()) {
    handle = servers_.begin()->first;
    return kCvOk;
  }
  ReloadConfig();
  if (config_.servers.empty()) return kCvErrUnknownServer;
  const std::string first = config_.servers.front().name;  // Acquire reloads config_
  return Acquire(first, handle);
}

std::uint32_t Library::Open(Server& server) {
  StartClock();
  const ServerEntry& e = server.entry;
  const std::string address = e.host + ":" + std::to_string(e.port);
  const auto t0 = Clock::now();
  const auto connected = server.channel.Connect(e.host, e.port, t0 + connectLeft_);
  // The time the TCP connection took (at most Connect) is added to the
  // operation's deadline; everything after it shares that deadline.
  const auto spent = std::min<Clock::duration>(Clock::now() - t0, connectLeft_);
  opDeadline_ += spent;
  connectLeft_ -= spent;
  if (connected != Channel::ConnectResult::Ok) return kCvErrUnknownServer;
  std::string error;
  if (!server.channel.Handshake(config_.caFile, e.host, opDeadline_, error)) {
    Fail("server " + e.name + " (" + address + "): " + error, false);
    return kCvErrNoAnswer;
  }
  const TrustCheck trust = CheckTrust(e, address, server.channel);
  if (!trust.trusted()) {
    Fail(trust.message, true);
    server.channel.Close();
    return kCvErrNoAnswer;
  }
  if (!trust.message.empty()) std::fprintf(stderr, "corvane client: %s\n", trust.message.c_str());
  const std::uint32_t code = Login(server);
  if (code != kCvOk) server.channel.Close();
  return code;
}

TrustCheck Library::CheckTrust(const ServerEntry& e, const std::string& address, const Channel& channel) {
  const std::string file = KnownServersPath(ClientConfigPath());
  const std::string& fingerprint = channel.fingerprint();
  auto same = [&](const KnownServer& k) { return k.file == file && EqualNoCase(k.name, e.name); };
  auto held = std::find_if(known_.begin(), known_.end(), same);
  if (!channel.caVerified() && held != known_.end() && held->fingerprint == fingerprint &&
      held->stamp.Settled() && FileStamp::Of(file) == held->stamp) {
    TrustCheck known;
    known.verdict = TrustCheck::Verdict::Known;
    return known;
  }
  TrustCheck trust = CheckServerIdentity(file, e.name, address, fingerprint, channel.caVerified(), config_.strict);
  if (held != known_.end()) known_.erase(held);
  if (trust.verdict == TrustCheck::Verdict::Known && trust.stamp.exists && known_.size() < 1024)
    known_.push_back({file, e.name, fingerprint, trust.stamp});
  return trust;
}

std::optional<std::string> Library::Password() {
  const std::string& path = config_.passwordFile;
  // The file is opened without following a link; so is its stamp taken.
  const FileStamp stamp = FileStamp::OfLink(path);
  if (!password_ || path != passwordPath_ || stamp != passwordStamp_ || !stamp.Settled()) {
    password_ = ReadPasswordFile(path);
    passwordPath_ = path;
    passwordStamp_ = stamp;
  }
  return password_;
}

std::uint32_t Library::Login(Server& server) {
  if (config_.user.empty()) return kCvErrLoginRefused;
  const auto password = Password();
  if (!password) return kCvErrLoginRefused;
  // The mechanism follows the configuration: a directory user with Tree=.
  const std::uint32_t code =
      config_.tree.empty() ? LoginScram(server, *password) : LoginDirectory(server, *password);
  if (code != kCvOk) return code;
  return FetchServerInfo(server);
}

std::uint32_t Library::LoginMessage(Server& server, cvwire::Writer& request, std::uint32_t id, LoginReply& reply) {
  auto payload = server.channel.Call(id, request.Frame(), opDeadline_);
  if (!payload) return kCvErrNoAnswer;
  cvwire::Reader r(*payload);
  const auto& frame = request.Frame();
  const std::uint16_t want = static_cast<std::uint16_t>(frame[4] | (frame[5] << 8) | cvwire::kReplyBit);
  reply = cvwire::ReadLoginReply(r);
  if (r.type() != want || !r.Done()) {
    Fail("server " + server.entry.name + " answered the login with a malformed message", false);
    return kCvErrNoAnswer;
  }
  return kCvOk;
}

std::uint32_t Library::LoginRefused(const Server& server, const LoginReply& reply) {
  if (reply.code == cvwire::kCodeUnsupported && reply.version != cvwire::kProtocolVersion) {
    Fail("server " + server.entry.name + " speaks agent protocol " + std::to_string(reply.version) +
             ", this client protocol " + std::to_string(cvwire::kProtocolVersion) +
             ": the agent and the client library need the same version",
         true);
  }
  return reply.code;
}

std::uint32_t Library::LoginScram(Server& server, const std::string& password) {
  auto text = [](const std::vector<std::uint8_t>& d) {
    return std::string_view(reinterpret_cast<const char*>(d.data()), d.size());
  };
  auto bytes = [](const std::string& s) {
    return std::span(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
  };
  cvwire::scram::ClientExchange exchange(config_.user, password, server.channel.channelBinding());
  char host[256] = {};
  ::gethostname(host, sizeof host - 1);

  std::uint32_t id = server.channel.NextRequestId();
  cvwire::Writer hello(cvwire::Type(Msg::Hello), id);
  hello.U32(cvwire::kProtocolVersion).Str(host).Str(cvwire::kMechScram).Blob(bytes(exchange.First()));
  LoginReply reply;
  if (LoginMessage(server, hello, id, reply) != kCvOk) return kCvErrNoAnswer;
  if (reply.code != kCvOk) return LoginRefused(server, reply);
  // The salted password comes from the process's cache when this server,
  // user, password, salt and iteration count had a login before.
  std::optional<SaltedPasswordCache::Key> key;
  cvwire::Bytes salted;
  const auto final = reply.done ? std::nullopt
                                : exchange.Final(text(reply.data), [&](std::span<const std::uint8_t> salt,
                                                                       std::uint32_t iterations) {
                                    key = SaltedPasswordCache::MakeKey(server.entry.name, server.channel.fingerprint(),
                                                                       config_.user, password, salt, iterations);
                                    salted = keys_.Get(*key, password);
                                    return salted;
                                  });
  if (!final) {
    Fail("server " + server.entry.name + " sent a malformed login challenge", false);
    return kCvErrNoAnswer;
  }
  id = server.channel.NextRequestId();
  cvwire::Writer step(cvwire::Type(Msg::LoginStep), id);
  step.Blob(bytes(*final));
  if (LoginMessage(server, step, id, reply) != kCvOk) return kCvErrNoAnswer;
  if (reply.code != kCvOk) return LoginRefused(server, reply);
  // The server proves that it holds this user's verifier; an impostor that
  // accepted any proof cannot.
  if (!reply.done || !exchange.VerifyServer(text(reply.data))) {
    Fail("server " + server.entry.name + " accepted the login but could not prove that it knows user " +
             config_.user + ": not trusted",
         true);
    return kCvErrNoAnswer;
  }
  if (key) keys_.Put(std::move(*key), std::move(salted));
  server.slot = reply.slot;
  server.objectId = reply.objectId;
  return kCvOk;
}

std::uint32_t Library::Call(Server& server, cvwire::Writer& request, std::uint32_t id,
                            std::optional<cvwire::Reader>& reply, std::vector<std::uint8_t>& storage) {
  reply.reset();
  StartClock();
  if (!server.channel.CheckIdle()) {
    // The connection dropped earlier: one attempt to open it again, within
    // this operation's deadline. The server may have moved (an agent
    // restarted on another port).
    ReloadConfig();
    if (const ServerEntry* e = config_.Find(server.entry.name)) server.entry = *e;
    if (Open(server) != kCvOk) return kCvErrNoAnswer;
  }
  auto payload = server.channel.Call(id, request.Frame(), opDeadline_);
  if (!payload) return kCvErrNoAnswer;
  storage = std::move(*payload);
  reply.emplace(storage);
  const std::uint32_t code = reply->U32();
  if (!reply->ok() || reply->type() != (request.Frame()[4] | (request.Frame()[5] << 8) | cvwire::kReplyBit)) {
    server.channel.Close();
    reply.reset();
    return kCvErrNoAnswer;
  }
  return code;
}

std::uint32_t Library::FetchServerInfo(Server& server) {
  std::optional<cvwire::Reader> r;
  std::vector<std::uint8_t> storage;
  const std::uint32_t code = Request(server, Msg::ServerInfo, [](cvwire::Writer&) {}, r, storage);
  if (code != kCvOk) return code;
  ServerInfo info;
  if (!ReadServerInfo(*r, info)) {
    server.channel.Close();
    return kCvErrNoAnswer;
  }
  server.info = std::move(info);
  return kCvOk;
}

std::uint32_t FetchPages(Library& lib, Server& server, cvwire::Msg m, std::uint32_t first,
                         const std::function<bool(cvwire::Reader&)>& readPage) {
  constexpr int kMaxPages = 1000;
  for (int page = 0; page < kMaxPages; ++page) {
    std::optional<cvwire::Reader> r;
    std::vector<std::uint8_t> storage;
    const std::uint32_t code = lib.Request(server, m, [&](cvwire::Writer& w) { w.U32(first); }, r, storage);
    if (code != kCvOk) return code;
    const std::uint32_t next = r->U32();
    if (!readPage(*r)) return kCvErrNoAnswer;
    if (next == 0) return kCvOk;
    if (next <= first) return kCvErrNoAnswer;
    first = next;
  }
  return kCvErrNoAnswer;
}

}  // namespace cvclient
