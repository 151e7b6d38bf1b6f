#include "corvane/wire/service.h"

#include <algorithm>

#include "corvane/wire/codec.h"

namespace cvwire::service {
namespace {

std::string_view Cut(const std::string& s, std::size_t n) { return std::string_view(s).substr(0, n); }

}  // namespace

std::vector<std::uint8_t> EncodeCall(const Call& call, std::uint32_t id) {
  Writer w(kCallType, id);
  w.U32(kChannelVersion);
  w.Str(Cut(call.user, kMaxNameText)).U8(call.isOperator ? 1 : 0).U32(call.connection);
  w.U32(call.budgetMs).U32(call.replyCapacity);
  w.Str(Cut(call.serverName, kMaxNameText)).Str(Cut(call.serverVersion, kMaxNameText)).U32(call.serverUpSeconds);
  const std::size_t n = std::min(call.modules.size(), kMaxModules);
  w.U16(static_cast<std::uint16_t>(n));
  for (std::size_t i = 0; i < n; ++i) {
    const ModuleState& m = call.modules[i];
    w.Str(Cut(m.name, kMaxNameText)).U8(m.loaded ? 1 : 0).U32(m.pid).U32(m.upSeconds);
    w.Str(Cut(m.lastFailure, kMaxFailureText)).U32(m.failureAgeSeconds);
  }
  w.Blob(std::span(call.request).first(std::min(call.request.size(), kMaxRequest)));
  return w.Frame();
}

std::optional<Call> DecodeCall(std::span<const std::uint8_t> payload) {
  Reader r(payload);
  if (!r.ok() || r.type() != kCallType || r.U32() != kChannelVersion) return std::nullopt;
  Call c;
  c.user = r.Str();
  c.isOperator = r.U8() != 0;
  c.connection = r.U32();
  c.budgetMs = r.U32();
  c.replyCapacity = r.U32();
  c.serverName = r.Str();
  c.serverVersion = r.Str();
  c.serverUpSeconds = r.U32();
  const std::uint16_t n = r.U16();
  if (!r.ok() || n > kMaxModules || c.user.size() > kMaxNameText || c.serverName.size() > kMaxNameText ||
      c.serverVersion.size() > kMaxNameText)
    return std::nullopt;
  for (std::uint16_t i = 0; i < n && r.ok(); ++i) {
    ModuleState m;
    m.name = r.Str();
    m.loaded = r.U8() != 0;
    m.pid = r.U32();
    m.upSeconds = r.U32();
    m.lastFailure = r.Str();
    m.failureAgeSeconds = r.U32();
    if (m.name.size() > kMaxNameText || m.lastFailure.size() > kMaxFailureText) return std::nullopt;
    c.modules.push_back(std::move(m));
  }
  c.request = r.Blob();
  if (!r.Done() || c.request.size() > kMaxRequest) return std::nullopt;
  return c;
}

std::vector<std::uint8_t> EncodeAnswer(std::uint32_t id, std::span<const std::uint8_t> reply) {
  Writer w(static_cast<std::uint16_t>(kCallType | kReplyBit), id);
  w.U32(0).Blob(reply.first(std::min(reply.size(), kMaxReply)));
  return w.Frame();
}

std::optional<std::vector<std::uint8_t>> DecodeAnswer(std::span<const std::uint8_t> payload, std::uint32_t id) {
  Reader r(payload);
  if (!r.ok() || r.type() != static_cast<std::uint16_t>(kCallType | kReplyBit) || r.requestId() != id) {
    return std::nullopt;
  }
  if (r.U32() != 0) return std::nullopt;
  auto reply = r.Blob();
  if (!r.Done() || reply.size() > kMaxReply) return std::nullopt;
  return reply;
}

}  // namespace cvwire::service
