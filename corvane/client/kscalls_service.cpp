// KSCALLS operations for the server-side call services, and module status.
#include <algorithm>
#include <cstring>

#include "corvane/client/cverrors.h"
#include "corvane/client/kscalls.h"
#include "corvane/client/session.h"
#include "corvane/wire/service.h"

namespace {

using cvclient::Locked;
using cvclient::Server;
using cvwire::Msg;
using cvwire::Writer;

constexpr std::size_t kMaxServiceName = 255;

}  // namespace

extern "C" {

CVCLIENT_API std::uint32_t CvGetServiceInfoByName(std::uint32_t connection, const char* serviceName,
                                                  std::uint32_t* serviceId, std::uint8_t* majorVersion,
                                                  std::uint8_t* minorVersion, std::uint8_t* state,
                                                  std::uint8_t* serviceInfo) {
  if (!serviceName || !serviceId) return kCvErrInvalidArgument;
  Locked l;
  Server* s = l.lib.Find(connection);
  if (!s) return kCvErrInvalidConnection;
  *serviceId = 0;
  const std::size_t length = std::strlen(serviceName);
  if (length == 0 || length > kMaxServiceName) return kCvErrInvalidArgument;
  const auto give = [&](const Server::KnownService& k) {
    *serviceId = k.id;
    if (majorVersion) *majorVersion = k.major;
    if (minorVersion) *minorVersion = k.minor;
    if (state) *state = k.state;
    if (serviceInfo) std::memcpy(serviceInfo, k.info.data(), kCvServiceInfoSize);
    return kCvOk;
  };
  // The agent tells this connection when its modules change: until it has,
  // the last answer stands, without asking again.
  if (s->knownService && s->knownService->name == serviceName && s->channel.CheckIdle()) {
    s->channel.TakeNotices();
    if (s->channel.servicesVersion() == s->knownService->version) return give(*s->knownService);
  }
  s->knownService.reset();
  const Msg asked = s->agentWatchesServices ? Msg::ServiceLookupWatched : Msg::ServiceLookup;
  std::optional<cvwire::Reader> r;
  std::vector<std::uint8_t> storage;
  std::uint32_t code = l.lib.Request(*s, asked, [&](Writer& w) { w.Str(serviceName); }, r, storage);
  if (code == cvwire::kCodeUnsupported && asked == Msg::ServiceLookupWatched) {
    s->agentWatchesServices = false;
    code = l.lib.Request(*s, Msg::ServiceLookup, [&](Writer& w) { w.Str(serviceName); }, r, storage);
  }
  if (code != kCvOk) return code;
  Server::KnownService k;
  k.name = serviceName;
  k.id = r->U32();
  k.major = r->U8();
  k.minor = r->U8();
  k.state = r->U8();
  const auto info = r->Blob();
  if (!r->Done() || info.size() != cvwire::kServiceInfoSize) return kCvErrNoAnswer;
  k.info.assign(info.begin(), info.end());
  k.version = s->channel.servicesVersion();
  if (asked == Msg::ServiceLookupWatched && s->agentWatchesServices) s->knownService = k;
  return give(k);
}

CVCLIENT_API std::uint32_t CvServiceRequest(std::uint32_t connection, std::uint32_t serviceId,
                                            std::uint32_t requestCount, const CvFragment* request,
                                            std::uint32_t replyCount, CvFragment* reply) {
  if ((requestCount > 0 && !request) || (replyCount > 0 && !reply) || requestCount > 64 || replyCount > 64) {
    return kCvErrInvalidArgument;
  }
  std::vector<std::uint8_t> bytes;
  for (std::uint32_t i = 0; i < requestCount; ++i) {
    if (request[i].size > 0 && !request[i].data) return kCvErrInvalidArgument;
    if (bytes.size() + request[i].size > cvwire::service::kMaxRequest) return kCvErrInvalidArgument;
    const auto* p = static_cast<const std::uint8_t*>(request[i].data);
    bytes.insert(bytes.end(), p, p + request[i].size);
  }
  std::size_t capacity = 0;
  for (std::uint32_t i = 0; i < replyCount; ++i) {
    if (reply[i].size > 0 && !reply[i].data) return kCvErrInvalidArgument;
    capacity += reply[i].size;
  }
  if (bytes.empty() || capacity == 0) return kCvErrInvalidArgument;
  capacity = std::min(capacity, cvwire::service::kMaxReply);

  Locked l;
  Server* s = l.lib.Find(connection);
  if (!s) return kCvErrInvalidConnection;
  std::optional<cvwire::Reader> r;
  std::vector<std::uint8_t> storage;
  const std::uint32_t budget = l.lib.config().requestMs;
  const std::uint32_t code = l.lib.Request(
      *s, Msg::ServiceRequest,
      [&](Writer& w) { w.U32(serviceId).U32(static_cast<std::uint32_t>(capacity)).U32(budget).Blob(bytes); }, r,
      storage);
  if (code != kCvOk) return code;
  const auto answer = r->Blob();
  if (!r->Done() || answer.size() > capacity) return kCvErrNoAnswer;
  std::size_t at = 0;
  for (std::uint32_t i = 0; i < replyCount; ++i) {
    const std::size_t n = std::min<std::size_t>(reply[i].size, answer.size() - at);
    if (n > 0) std::memcpy(reply[i].data, answer.data() + at, n);
    at += n;
    reply[i].size -= static_cast<std::uint32_t>(n);
  }
  return kCvOk;
}

CVCLIENT_API std::uint32_t CvGetModuleStatus(std::uint32_t connection, const char* moduleName,
                                             CvModuleStatus* status) {
  if (!moduleName || !status) return kCvErrInvalidArgument;
  Locked l;
  Server* s = l.lib.Find(connection);
  if (!s) return kCvErrInvalidConnection;
  std::optional<cvwire::Reader> r;
  std::vector<std::uint8_t> storage;
  const std::uint32_t code =
      l.lib.Request(*s, Msg::ModuleStatus, [&](Writer& w) { w.Str(moduleName); }, r, storage);
  if (code != kCvOk) return code;
  CvModuleStatus out{};
  out.loaded = r->U8();
  out.processId = r->U32();
  out.upSeconds = r->U32();
  const std::string reason = r->Str();
  out.failureAgeSeconds = r->U32();
  if (!r->Done()) return kCvErrNoAnswer;
  cvclient::CopyText(out.lastFailure, sizeof out.lastFailure, reason);
  *status = out;
  return kCvOk;
}

}  // extern "C"
