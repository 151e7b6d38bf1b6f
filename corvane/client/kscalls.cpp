// KSCALLS operations over the agent protocol.
#include "corvane/client/kscalls.h"

#include <algorithm>
#include <cstring>

#include "corvane/client/cverrors.h"
#include "corvane/client/cvmessages.h"
#include "corvane/client/session.h"

namespace {

using cvclient::Library;
using cvclient::Server;
using cvwire::Msg;
using cvwire::Writer;

// A connection scan answers from a snapshot of the server's table while the
// caller walks the slot numbers upwards and the snapshot is this fresh.
constexpr auto kConnectionSnapshotAge = std::chrono::seconds(2);

using cvclient::Locked;

std::uint8_t Clamp8(std::uint32_t v) { return static_cast<std::uint8_t>(std::min<std::uint32_t>(v, 255)); }
std::uint16_t Clamp16(std::uint32_t v) { return static_cast<std::uint16_t>(std::min<std::uint32_t>(v, 65535)); }

bool ReadEntry(cvwire::Reader& r, cvclient::ConnectionEntry& e) {
  e.name = r.Str();
  e.type = r.U16();
  e.id = r.U32();
  r.Bytes(e.time, sizeof e.time);
  e.addressType = r.U16();
  r.Bytes(e.address, sizeof e.address);
  return r.ok();
}

std::uint32_t SimpleCall(std::uint32_t connection, Msg m, const char* text) {
  if (!text) return kCvErrInvalidArgument;
  Locked l;
  Server* s = l.lib.Find(connection);
  if (!s) return kCvErrInvalidConnection;
  s->haveParameters = false;  // a command file's SET lines change them
  std::optional<cvwire::Reader> r;
  std::vector<std::uint8_t> storage;
  return l.lib.Request(*s, m, [&](Writer& w) { w.Str(text); }, r, storage);
}

std::uint32_t FetchConnections(Library& lib, Server& s) {
  s.connections.clear();
  s.haveConnections = false;
  const std::uint32_t code = cvclient::FetchPages(lib, s, Msg::ConnectionList, 1, [&](cvwire::Reader& r) {
    const std::uint16_t count = r.U16();
    for (std::uint16_t i = 0; i < count && r.ok(); ++i) {
      const std::uint32_t number = r.U32();
      cvclient::ConnectionEntry e;
      if (ReadEntry(r, e)) s.connections[number] = std::move(e);
    }
    return r.Done();
  });
  if (code != kCvOk) return code;
  s.haveConnections = true;
  s.connectionsTaken = std::chrono::steady_clock::now();
  return kCvOk;
}

bool SnapshotFresh(const Server& s) {
  return s.haveConnections && std::chrono::steady_clock::now() - s.connectionsTaken < kConnectionSnapshotAge;
}

}  // namespace

extern "C" {

CVCLIENT_API std::uint32_t CvClientStartup(void*, void*) {
  Locked l;
  (void)l;
  return kCvOk;
}

CVCLIENT_API std::uint32_t CvGetConnectionHandle(const char* serverName, std::uint32_t, std::uint32_t* connection,
                                                 void*) {
  if (!serverName || !connection) return kCvErrInvalidArgument;
  Locked l;
  if (*serverName == '\0' || std::strlen(serverName) >= kCvServerNameSize) return kCvErrUnknownServer;
  return l.lib.Acquire(serverName, *connection);
}

CVCLIENT_API std::uint32_t CvGetServerInformation(std::uint32_t connection, char* serverName,
                                                  std::uint8_t* majorVersion, std::uint8_t* minorVersion,
                                                  std::uint8_t* revision, std::uint16_t* maxConnections,
                                                  std::uint16_t* peakConnections,
                                                  std::uint16_t* connectionsInUse) {
  Locked l;
  Server* s = l.lib.Find(connection);
  if (!s) return kCvErrInvalidConnection;
  if (const std::uint32_t code = l.lib.FetchServerInfo(*s); code != kCvOk) return code;
  const auto& i = s->info;
  cvclient::CopyText(serverName, kCvServerNameSize, i.name);
  if (majorVersion) *majorVersion = Clamp8(i.major);
  if (minorVersion) *minorVersion = Clamp8(i.minor);
  if (revision) *revision = Clamp8(i.revision);
  if (maxConnections) *maxConnections = Clamp16(i.capacity);
  if (peakConnections) *peakConnections = Clamp16(i.peak);
  if (connectionsInUse) *connectionsInUse = Clamp16(i.inUse);
  return kCvOk;
}

CVCLIENT_API std::uint32_t CvGetServerDescription(std::uint32_t connection, char* company, char* description,
                                                  char* revisionDate, char* copyright) {
  Locked l;
  Server* s = l.lib.Find(connection);
  if (!s) return kCvErrInvalidConnection;
  if (const std::uint32_t code = l.lib.FetchServerInfo(*s); code != kCvOk) return code;
  cvclient::CopyText(company, kCvServerTextSize, s->info.company);
  cvclient::CopyText(description, kCvServerTextSize, s->info.description);
  cvclient::CopyText(revisionDate, kCvServerTextSize, s->info.revisionDate);
  cvclient::CopyText(copyright, kCvServerTextSize, s->info.copyright);
  return kCvOk;
}

CVCLIENT_API std::uint32_t CvGetConnectionInformation(std::uint32_t connection, std::uint32_t connectionNumber,
                                                      char* objectName, std::uint16_t* objectType,
                                                      std::uint32_t* objectId, CvLoginTime* loginTime) {
  Locked l;
  Server* s = l.lib.Find(connection);
  if (!s) return kCvErrInvalidConnection;
  if (connectionNumber == 0) return kCvErrBadConnectionNumber;
  // A walk over ascending slot numbers is one scan: the first call fetches
  // the whole table and the following ones answer from it.
  if (!SnapshotFresh(*s) || connectionNumber <= s->lastConnectionAsked) {
    if (const std::uint32_t code = FetchConnections(l.lib, *s); code != kCvOk) return code;
  }
  s->lastConnectionAsked = connectionNumber;
  auto it = s->connections.find(connectionNumber);
  if (it == s->connections.end()) return kCvErrBadConnectionNumber;
  const auto& e = it->second;
  cvclient::CopyText(objectName, kCvObjectNameSize, e.name);
  if (objectType) *objectType = e.type;
  if (objectId) *objectId = e.id;
  if (loginTime) {
    std::memset(loginTime, 0, sizeof *loginTime);
    loginTime->year = e.time[0];
    loginTime->month = e.time[1];
    loginTime->day = e.time[2];
    loginTime->hour = e.time[3];
    loginTime->minute = e.time[4];
    loginTime->second = e.time[5];
  }
  return kCvOk;
}

CVCLIENT_API std::uint32_t CvGetConnectionAddress(std::uint32_t connection, std::uint32_t connectionNumber,
                                                  CvConnectionAddress* address) {
  if (!address) return kCvErrInvalidArgument;
  Locked l;
  Server* s = l.lib.Find(connection);
  if (!s) return kCvErrInvalidConnection;
  if (connectionNumber == 0) return kCvErrBadConnectionNumber;
  cvclient::ConnectionEntry e;
  if (SnapshotFresh(*s) && connectionNumber <= s->lastConnectionAsked) {
    auto it = s->connections.find(connectionNumber);
    if (it == s->connections.end()) return kCvErrBadConnectionNumber;
    e = it->second;
  } else {
    std::optional<cvwire::Reader> r;
    std::vector<std::uint8_t> storage;
    const std::uint32_t code =
        l.lib.Request(*s, Msg::ConnectionInfo, [&](Writer& w) { w.U32(connectionNumber); }, r, storage);
    if (code != kCvOk) return code;
    if (!ReadEntry(*r, e) || !r->Done()) return kCvErrNoAnswer;
  }
  std::memset(address, 0, sizeof *address);
  std::memcpy(address->address, e.address, sizeof address->address);
  address->type = e.addressType;
  return kCvOk;
}

CVCLIENT_API std::uint32_t CvSendBroadcastMessage(std::uint32_t connection, const char* message,
                                                  std::uint32_t count, const std::uint16_t* connectionNumbers,
                                                  std::uint8_t* results) {
  if (!message || !connectionNumbers || count == 0 || count > kCvBroadcastMaxConnections ||
      std::strlen(message) >= kCvMessageSize) {
    return kCvErrInvalidArgument;
  }
  Locked l;
  Server* s = l.lib.Find(connection);
  if (!s) return kCvErrInvalidConnection;
  std::optional<cvwire::Reader> r;
  std::vector<std::uint8_t> storage;
  const std::uint32_t code = l.lib.Request(
      *s, Msg::Broadcast,
      [&](Writer& w) {
        w.Str(message).U16(static_cast<std::uint16_t>(count));
        for (std::uint32_t i = 0; i < count; ++i) w.U16(connectionNumbers[i]);
      },
      r, storage);
  if (!r) return code;
  const std::uint16_t n = r->U16();
  for (std::uint32_t i = 0; i < count && i < n && r->ok(); ++i) {
    const std::uint8_t b = r->U8();
    if (results) results[i] = b;
  }
  return code;
}

CVCLIENT_API std::uint32_t CvGetBroadcastMessage(std::uint32_t connection, char* message) {
  if (!message) return kCvErrInvalidArgument;
  Locked l;
  Server* s = l.lib.Find(connection);
  if (!s) return kCvErrInvalidConnection;
  if (s->messages.empty()) {
    std::optional<cvwire::Reader> r;
    std::vector<std::uint8_t> storage;
    const std::uint32_t code = l.lib.Request(*s, Msg::ReadMessages, [](Writer&) {}, r, storage);
    if (code != kCvOk) return code;
    const std::uint16_t n = r->U16();
    for (std::uint16_t i = 0; i < n && r->ok(); ++i) s->messages.push_back(r->Str());
    if (!r->Done()) return kCvErrNoAnswer;
  }
  if (s->messages.empty()) return kCvErrNoMoreEntries;
  cvclient::CopyText(message, kCvMessageSize, s->messages.front());
  s->messages.pop_front();
  return kCvOk;
}

CVCLIENT_API std::uint32_t CvClearConnection(std::uint32_t connection, std::uint32_t connectionNumber) {
  Locked l;
  Server* s = l.lib.Find(connection);
  if (!s) return kCvErrInvalidConnection;
  s->haveConnections = false;
  std::optional<cvwire::Reader> r;
  std::vector<std::uint8_t> storage;
  return l.lib.Request(*s, Msg::ClearConnection, [&](Writer& w) { w.U32(connectionNumber); }, r, storage);
}

CVCLIENT_API std::uint32_t CvLoadModule(std::uint32_t connection, const char* commandLine) {
  return SimpleCall(connection, Msg::LoadModule, commandLine);
}

CVCLIENT_API std::uint32_t CvUnloadModule(std::uint32_t connection, const char* moduleName) {
  return SimpleCall(connection, Msg::UnloadModule, moduleName);
}

CVCLIENT_API std::uint32_t CvRunCommandFile(std::uint32_t connection, const char* fileName) {
  return SimpleCall(connection, Msg::RunCommandFile, fileName);
}

}  // extern "C"
