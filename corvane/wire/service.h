// The private channel between cvserverd and a module that offers a call
// service. For each client request the agent sends one Call frame on a
// connection to the module's Unix socket and reads one Answer frame; the
// frames are those of frame.h with the field encoding of codec.h. A
// connection carries one call at a time; the agent may send the next call on
// the same connection, so a module either answers calls on it until the
// agent closes it or closes it after the answer (the agent then connects
// again).
//
// The Call carries who asks (user, console operator or not, connection
// number), how long the module may take, how large the reply may be, a
// snapshot of the server's state (name, version, uptime, modules) and the
// request bytes as the client sent them. The Answer carries the reply bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace cvwire::service {

inline constexpr std::uint16_t kCallType = 0x0380;
inline constexpr std::uint32_t kChannelVersion = 1;
// Bounds of what one call carries.
inline constexpr std::size_t kMaxRequest = 4096;
inline constexpr std::size_t kMaxReply = 60000;
inline constexpr std::size_t kMaxModules = 64;
inline constexpr std::size_t kMaxFailureText = 512;
inline constexpr std::size_t kMaxNameText = 255;

struct ModuleState {
  std::string name;  // upper case
  bool loaded = false;
  std::uint32_t pid = 0;
  std::uint32_t upSeconds = 0;
  std::string lastFailure;  // empty: none since the agent started
  std::uint32_t failureAgeSeconds = 0;
};

struct Call {
  std::string user;
  bool isOperator = false;
  std::uint32_t connection = 0;
  std::uint32_t budgetMs = 0;       // the module's answer is useless after this long
  std::uint32_t replyCapacity = 0;  // largest reply the client takes
  std::string serverName;
  std::string serverVersion;
  std::uint32_t serverUpSeconds = 0;
  std::vector<ModuleState> modules;
  std::vector<std::uint8_t> request;
};

// The whole frame of a call (texts and lists cut to the bounds above).
std::vector<std::uint8_t> EncodeCall(const Call& call, std::uint32_t id);
// A call's payload; nullopt when malformed, of another version or past a bound.
std::optional<Call> DecodeCall(std::span<const std::uint8_t> payload);

// The whole frame of an answer (reply cut to kMaxReply).
std::vector<std::uint8_t> EncodeAnswer(std::uint32_t id, std::span<const std::uint8_t> reply);
// An answer's payload for call id; nullopt when malformed or for another call.
std::optional<std::vector<std::uint8_t>> DecodeAnswer(std::span<const std::uint8_t> payload, std::uint32_t id);

}  // namespace cvwire::service
