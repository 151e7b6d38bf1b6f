#include "corvane/client/session.h"

#include <unistd.h>

#include <algorithm>

#include "corvane/client/cvdefs.h"
#include "corvane/client/cverrors.h"
#include "corvane/client/ini.h"
#include "corvane/wire/auth.h"

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

std::uint32_t Library::Acquire(const std::string& serverName, std::uint32_t& handle) {
  for (auto& [h, s] : servers_) {
    if (EqualNoCase(s->entry.name, serverName)) {
      ++s->references;
      handle = h;
      return kCvOk;
    }
  }
  config_ = LoadClientConfig();
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
  config_ = LoadClientConfig();
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
  if (--s->references <= 0) servers_.erase(handle);  // closes the socket
  return kCvOk;
}

std::uint32_t Library::Primary(std::uint32_t& handle) {
  if (!servers_.empty()) {
    handle = servers_.begin()->first;
    return kCvOk;
  }
  config_ = LoadClientConfig();
  if (config_.servers.empty()) return kCvErrUnknownServer;
  const std::string first = config_.servers.front().name;  // Acquire reloads config_
  return Acquire(first, handle);
}

std::uint32_t Library::Open(Server& server) {
  if (server.channel.Connect(server.entry.host, server.entry.port, milliseconds(config_.connectMs)) !=
      Channel::ConnectResult::Ok) {
    return kCvErrUnknownServer;
  }
  const std::uint32_t code = Login(server);
  if (code != kCvOk) server.channel.Close();
  return code;
}

std::uint32_t Library::Login(Server& server) {
  if (config_.user.empty()) return kCvErrLoginRefused;
  const auto password = ReadPasswordFile(config_.passwordFile);
  if (!password) return kCvErrLoginRefused;
  if (!config_.tree.empty()) return DirectoryLogin(server, *password);
  const milliseconds timeout(config_.requestMs);

  std::uint32_t id = server.channel.NextRequestId();
  cvwire::Writer hello(cvwire::Type(Msg::Hello), id);
  char host[256] = {};
  ::gethostname(host, sizeof host - 1);
  hello.U32(cvwire::kProtocolVersion).Str(config_.user).Str(host);
  auto payload = server.channel.Call(id, hello.Frame(), timeout);
  if (!payload) return kCvErrNoAnswer;
  cvwire::Reader r(*payload);
  std::uint32_t code = r.U32();
  if (!r.ok() || r.type() != cvwire::ReplyType(Msg::Hello)) return kCvErrNoAnswer;
  if (code != kCvOk) return code;
  r.U32();  // protocol version of the server
  const auto salt = r.Blob();
  const std::uint32_t iterations = r.U32();
  const auto nonce = r.Blob();
  if (!r.Done() || iterations < cvwire::kMinIterations || iterations > cvwire::kMaxIterations ||
      nonce.size() != cvwire::kNonceSize) {
    return kCvErrNoAnswer;
  }
  const auto key = cvwire::DeriveKey(*password, salt, iterations);
  id = server.channel.NextRequestId();
  cvwire::Writer proof(cvwire::Type(Msg::Proof), id);
  proof.Blob(cvwire::LoginProof(key, nonce));
  payload = server.channel.Call(id, proof.Frame(), timeout);
  if (!payload) return kCvErrNoAnswer;
  cvwire::Reader p(*payload);
  code = p.U32();
  if (!p.ok() || p.type() != cvwire::ReplyType(Msg::Proof)) return kCvErrNoAnswer;
  if (code != kCvOk) return code;
  server.slot = p.U16();
  server.objectId = p.U32();
  p.U8();
  if (!p.Done()) return kCvErrNoAnswer;
  return FetchServerInfo(server);
}

std::uint32_t Library::Call(Server& server, cvwire::Writer& request, std::uint32_t id,
                            std::optional<cvwire::Reader>& reply, std::vector<std::uint8_t>& storage) {
  reply.reset();
  if (!server.channel.CheckIdle()) {
    // The connection dropped earlier: one attempt to open it again.
    // The server may have moved (an agent restarted on another port).
    config_ = LoadClientConfig();
    if (const ServerEntry* e = config_.Find(server.entry.name)) server.entry = *e;
    if (Open(server) != kCvOk) return kCvErrNoAnswer;
  }
  auto payload = server.channel.Call(id, request.Frame(), milliseconds(config_.requestMs));
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
