// The agent protocol between the Corvane client library and cvserverd.
//
// Every connection is TLS 1.3; the frames below travel inside it. The agent
// refuses anything else (plain TCP, older TLS) by closing the connection.
//
// A frame is a u32 little-endian payload length followed by the payload, at
// most kMaxPayload bytes. A payload starts with the message type (u16) and
// the request id (u32) the reply echoes; the fields of the message follow in
// the encoding of codec.h. Every reply type is its request type with
// kReplyBit set, and its first field is the u32 result code (0 = success,
// otherwise a client code of cverrors.h).
//
// Types are grouped by service so that later services add ranges without
// touching existing messages: 0x00xx login, 0x01xx server and connection
// calls, 0x02xx modules and parameters, 0x03xx server-side call services,
// 0x04xx directory. A server answers a type it does not know with
// kCodeUnsupported and keeps the connection.
#pragma once

#include <cstddef>
#include <cstdint>

namespace cvwire {

inline constexpr std::size_t kLengthSize = 4;
inline constexpr std::size_t kMaxPayload = 64 * 1024;
inline constexpr std::size_t kHeaderSize = 6;  // type + request id
inline constexpr std::uint16_t kReplyBit = 0x8000;
// 1: plain TCP and an HMAC proof; 2: TLS 1.3 and SASL-style logins.
inline constexpr std::uint32_t kProtocolVersion = 2;

// Result code for a message type the peer does not serve (35067).
inline constexpr std::uint32_t kCodeUnsupported = 0x88FB;

enum class Msg : std::uint16_t {
  // Login, shaped as SASL: Hello names a mechanism and carries its first
  // message, LoginStep carries each further one. Both are answered by a
  // login reply: code, u32 protocol version of the agent, and when the code
  // is 0: u8 done, blob mechanism data, and when done: u16 connection
  // number, u32 object id, u8 operator. Any other code ends the attempt: a
  // refused login (after the third on a connection the agent closes it),
  // kCodeUnsupported for another protocol version or an unknown mechanism.
  // A mechanism is added by a name below and its steps in the agent's and
  // the client's login code; the messages stay as they are.
  // Hello: u32 protocol version, str workstation, str mechanism, blob data.
  // LoginStep: blob data.
  // Mechanisms (kMech*): SCRAM-SHA-256-PLUS: Hello data client-first-message,
  //   reply data server-first-message (not done); LoginStep data
  //   client-final-message, reply data server-final-message (done).
  //   CORVANE-DIRECTORY (with [Login] Tree=): Hello data str tree, str user
  //   (dotted name), str password (dirmech.h); the agent binds to its
  //   directory as that user and answers done at once, reply data str tree,
  //   str the agent's own dotted name. The password is in the Hello, which
  //   like every frame only exists inside the TLS session.
  Hello = 0x0001,
  LoginStep = 0x0002,
  Ping = 0x0003,  // reply: code

  // Server and connections.
  // ServerInfo reply: code, str name, u32 major, u32 minor, u32 revision,
  //   u32 capacity, u32 in use, u32 peak, u8 directory, str tree,
  //   str description, str company, str revision date, str copyright,
  //   u16 peer count, str peers...
  ServerInfo = 0x0101,
  // ConnectionList: u32 first slot. reply: code, u32 next slot (0 = done),
  //   u16 count, then per entry: u32 slot, str name, u16 type, u32 id,
  //   u8[6] login time, u16 address type, u8[12] address (the record of
  //   CvGetConnectionAddress: type 11 IPv4 with the port in bytes 4..5,
  //   type 23 the low 96 bits of an IPv6 address).
  ConnectionList = 0x0102,
  // ConnectionInfo: u32 slot. reply: code, then one entry as above (no slot).
  ConnectionInfo = 0x0103,
  // Broadcast: str text, u16 count, u16 slots... reply: code, u16 count, u8 results...
  Broadcast = 0x0104,
  // ReadMessages. reply: code, u16 count, str messages... (oldest first, queue emptied)
  ReadMessages = 0x0105,
  // ClearConnection: u32 slot. reply: code.
  ClearConnection = 0x0106,

  // Modules, command files, parameters. Each takes one str; reply: code.
  LoadModule = 0x0201,
  UnloadModule = 0x0202,
  RunCommandFile = 0x0203,
  // ParameterList: u32 first index. reply: code, u32 next index (0 = done),
  //   u32 total, u16 count, then per entry: str name, u32 type, and for
  //   type 5 a str, else a u32.
  ParameterList = 0x0204,
  // SetParameterText: str name, str value. SetParameterNumber: str name, u32 value.
  SetParameterText = 0x0205,
  SetParameterNumber = 0x0206,
  // ModuleList. reply: code, u16 count, str names...
  ModuleList = 0x0207,
  // ModuleStatus: str module name. reply: code, u8 loaded, u32 process id,
  //   u32 seconds since start, str last failure reason ("" when none),
  //   u32 seconds since that failure.
  ModuleStatus = 0x0208,

  // Server-side call services (service.h has the agent's side).
  // ServiceLookup: str service name. reply: code, u32 service id, u8 major,
  //   u8 minor, u8 state, blob information (kServiceInfoSize bytes).
  ServiceLookup = 0x0301,
  // ServiceRequest: u32 service id, u32 reply capacity, u32 time budget in
  //   ms, blob request. reply: code, blob reply (at most the capacity).
  ServiceRequest = 0x0302,
  // ServiceLookupWatched: as ServiceLookup, and the agent then sends this
  //   connection one ServicesChanged notice at the next load, unload or
  //   end of a module (the client asks again with its next lookup). An agent
  //   without it answers kCodeUnsupported.
  ServiceLookupWatched = 0x0303,
  // ServicesChanged: a notice, sent unasked with request id 0 and no body,
  //   never answered.
  ServicesChanged = 0x0304,

  // Reserved ranges for later services.
  ServiceFirst = 0x0300,   // service lookup and service requests
  DirectoryFirst = 0x0400, // directory contexts, reads and listings
};

inline constexpr std::uint16_t Type(Msg m) { return static_cast<std::uint16_t>(m); }
inline constexpr std::uint16_t ReplyType(Msg m) { return static_cast<std::uint16_t>(Type(m) | kReplyBit); }

// Sizes the login uses.
inline constexpr std::size_t kSaltSize = 16;
inline constexpr std::size_t kKeySize = 32;

// Login mechanisms by name.
inline constexpr const char* kMechScram = "SCRAM-SHA-256-PLUS";
inline constexpr const char* kMechDirectory = "CORVANE-DIRECTORY";

// Parameter value types on the wire (the client's record types).
inline constexpr std::uint32_t kParamNumber = 0;
inline constexpr std::uint32_t kParamText = 5;

// Service lookups answer an information area of this size.
inline constexpr std::size_t kServiceInfoSize = 32;

}  // namespace cvwire
