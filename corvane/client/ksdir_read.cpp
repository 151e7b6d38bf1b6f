// KSDIR reads: objects' attributes and information, and the servers and
// users the directory names.
#include <algorithm>
#include <charconv>
#include <cstring>

#include "corvane/client/ini.h"
#include "corvane/client/ksdir_internal.h"
#include "corvane/client/session.h"

namespace {

using namespace cvclient::ksdir;
using cvclient::Directory;
using cvclient::DirBuffer;
using cvclient::DirContext;
using cvclient::DirIteration;
using cvclient::EqualNoCase;
using cvclient::Locked;

std::uint32_t ServerAddress(const std::vector<cvdir::Attribute>& attrs, std::string& name, std::string& host,
                            std::uint16_t& port) {
  std::string address;
  bool server = false;
  for (const auto& a : attrs) {
    if (a.values.empty()) continue;
    if (EqualNoCase(a.name, "cn")) name = a.values.front();
    if (EqualNoCase(a.name, "kcpNetworkAddress")) address = a.values.front();
    if (EqualNoCase(a.name, "objectClass")) server = cvdir::BaseClassOf(a.values) == "KCP Server";
  }
  if (!server || name.empty()) return kCvErrDirInvalidParameters;
  const auto colon = address.rfind(':');
  if (colon == std::string::npos || colon == 0) return kCvErrUnknownServer;
  unsigned p = 0;
  const char* b = address.data() + colon + 1;
  const char* e = address.data() + address.size();
  auto [end, ec] = std::from_chars(b, e, p);
  if (ec != std::errc() || end != e || p == 0 || p > 65535) return kCvErrUnknownServer;
  host = address.substr(0, colon);
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  port = static_cast<std::uint16_t>(p);
  for (auto& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return kCvOk;
}

// The information record from an entry's attributes; a count only when the
// server offers numSubordinates.
CvObjectInfo InfoOf(const std::vector<cvdir::Attribute>& attrs) {
  CvObjectInfo info{};
  std::vector<std::string> classes;
  std::int64_t modified = 0, created = 0;
  bool hasModified = false, hasCreated = false;
  for (const auto& a : attrs) {
    if (a.values.empty()) continue;
    const std::string& v = a.values.front();
    if (EqualNoCase(a.name, "objectClass")) {
      classes = a.values;
    } else if (EqualNoCase(a.name, "modifyTimestamp")) {
      hasModified = cvdir::ParseGeneralizedTime(v, modified);
    } else if (EqualNoCase(a.name, "createTimestamp")) {
      hasCreated = cvdir::ParseGeneralizedTime(v, created);
    } else if (EqualNoCase(a.name, "hasSubordinates")) {
      if (EqualNoCase(v, "TRUE")) info.objectFlags |= kCvObjectHasSubordinates;
    } else if (EqualNoCase(a.name, "numSubordinates")) {
      std::uint32_t n = 0;
      auto [p, ec] = std::from_chars(v.data(), v.data() + v.size(), n);
      if (ec == std::errc() && p == v.data() + v.size()) {
        info.subordinateCount = n;
        if (n) info.objectFlags |= kCvObjectHasSubordinates;
      }
    }
  }
  const std::int64_t when = hasModified ? modified : hasCreated ? created : 0;
  info.modificationTime = when > 0 && when <= 0xFFFFFFFFll ? static_cast<std::uint32_t>(when) : 0;
  cvclient::CopyText(info.baseClass, sizeof info.baseClass, cvdir::BaseClassOf(classes));
  return info;
}

}  // namespace

extern "C" {

CVCLIENT_API std::uint32_t CvReadObject(std::uint32_t context, const char* objectName, std::uint32_t infoType,
                                        std::uint32_t allAttributes, std::uint32_t request,
                                        std::uint32_t* iteration, std::uint32_t reply) {
  if (!iteration || infoType != kCvInfoAttributeValues) return kCvErrDirInvalidParameters;
  Locked l;
  auto& d = Directory::Get();
  DirContext* c = nullptr;
  DirBuffer* out = nullptr;
  if (const auto code = ContextBuffer(d, context, reply, out, &c); code != kCvOk) return code;
  std::uint32_t handle = *iteration;
  if (handle == kCvIterationStart) {
    std::vector<std::string> names;
    if (!allAttributes) {
      DirBuffer* in = FindBuffer(d, request);
      if (!in) return kCvErrDirInvalidParameters;
      cvdir::BatchReader r(in->bytes);
      auto header = r.Header();
      if (!header || header->first != cvdir::kBatchRead) return kCvErrDirInvalidParameters;
      for (std::uint32_t i = 0; i < header->second; ++i) {
        auto n = r.NextName();
        if (!n) return kCvErrDirInvalidParameters;
        names.push_back(std::move(*n));
      }
      if (names.empty()) names.emplace_back("1.1");  // no attributes at all
    }
    const std::string dotted = Complete(*c, objectName);
    std::vector<cvdir::Attribute> attrs;
    const std::uint32_t rc = d.With(c->tree, [&](cvdir::Session& s, const std::string& base) {
      std::string dn;
      if (std::uint32_t r = s.Resolve(base, dotted, dn)) return r;
      return s.Read(dn, names, attrs);
    });
    if (rc) return rc;
    handle = d.NewHandle(d.iterations, d.lastIteration, kMaxIterations);
    if (!handle) return kCvErrDirOutOfMemory;
    DirIteration& it = d.iterations[handle];
    it.context = context;
    it.operation = kCvDirOpRead;
    it.attributes = std::move(attrs);
  }
  auto found = d.iterations.find(handle);
  if (found == d.iterations.end() || found->second.operation != kCvDirOpRead || found->second.context != context)
    return kCvErrDirInvalidParameters;
  DirIteration& it = found->second;
  std::vector<std::uint8_t> bytes;
  const std::size_t packed = cvdir::PackAttributes(it.attributes, it.next, out->size, bytes);
  if (packed == 0 && it.next < it.attributes.size()) {
    d.iterations.erase(handle);
    *iteration = kCvIterationStart;
    return kCvErrDirBufferTooSmall;
  }
  it.next += packed;
  Put(*out, std::move(bytes));
  return FinishIteration(d, handle, iteration, it.next >= it.attributes.size());
}


CVCLIENT_API std::uint32_t CvReadObjectInfo(std::uint32_t context, const char* objectName, char* distinguishedName,
                                            CvObjectInfo* info) {
  Locked l;
  auto& d = Directory::Get();
  DirContext* c = FindContext(d, context);
  if (!c) return kCvErrDirNoSuchContext;
  const std::string dotted = Complete(*c, objectName);
  std::vector<cvdir::Attribute> attrs;
  std::string full;
  CvObjectInfo result{};
  const std::uint32_t rc = d.With(c->tree, [&](cvdir::Session& s, const std::string& base) {
    std::string dn;
    if (std::uint32_t r = s.Resolve(base, dotted, dn)) return r;
    if (!cvdir::DottedOf(dn, base, full)) return kCvErrDirInvalidParameters;
    if (std::uint32_t r = s.Read(dn, {"objectClass", "modifyTimestamp", "createTimestamp", "hasSubordinates",
                                      "numSubordinates"},
                                 attrs)) {
      return r;
    }
    result = InfoOf(attrs);
    // Without a count from the server, one is made where the server says
    // there is something to count.
    if ((result.objectFlags & kCvObjectHasSubordinates) && result.subordinateCount == 0) {
      bool more = false;
      if (std::uint32_t r = s.CountChildren(dn, static_cast<int>(kCvObjectCountLimit), result.subordinateCount, more))
        return r;
      if (more) result.objectFlags |= kCvObjectCountAtLeast;
    }
    return kCvOk;
  });
  if (rc) return rc;
  cvclient::CopyText(distinguishedName, kCvDirNameSize, full.empty() ? "[Root]" : full);
  if (info) *info = result;
  return kCvOk;
}

CVCLIENT_API std::uint32_t CvOpenConnectionToDirServer(std::uint32_t context, const char* serverName,
                                                       std::uint32_t* connection) {
  if (!connection) return kCvErrDirInvalidParameters;
  Locked l;
  auto& d = Directory::Get();
  DirContext* c = FindContext(d, context);
  if (!c) return kCvErrDirNoSuchContext;
  const std::string dotted = Complete(*c, serverName);
  std::vector<cvdir::Attribute> attrs;
  const std::uint32_t rc = d.With(c->tree, [&](cvdir::Session& s, const std::string& base) {
    std::string dn;
    if (std::uint32_t r = s.Resolve(base, dotted, dn)) return r;
    return s.Read(dn, {"objectClass", "cn", "kcpNetworkAddress"}, attrs);
  });
  if (rc) return rc;
  std::string name, host;
  std::uint16_t port = 0;
  if (std::uint32_t r = ServerAddress(attrs, name, host, port)) return r;
  return l.lib.AcquireAt(name, host, port, *connection);
}

CVCLIENT_API std::uint32_t CvAuthenticateConnection(std::uint32_t context, std::uint32_t connection) {
  // Connections log in when they are opened (a directory login with
  // [Login] Tree=), so there is nothing left to do but check the handles.
  Locked l;
  if (!FindContext(Directory::Get(), context)) return kCvErrDirNoSuchContext;
  return l.lib.Find(connection) ? kCvOk : kCvErrInvalidConnection;
}

CVCLIENT_API std::uint32_t CvMapIdToName(std::uint32_t context, std::uint32_t connection, std::uint32_t objectId,
                                         char* name) {
  if (!name) return kCvErrDirInvalidParameters;
  Locked l;
  auto& d = Directory::Get();
  DirContext* c = FindContext(d, context);
  if (!c) return kCvErrDirNoSuchContext;
  cvclient::Server* s = l.lib.Find(connection);
  if (!s) return kCvErrInvalidConnection;
  const std::string tree = s->directoryLogin ? s->directoryTree : c->tree;
  const std::string id = std::to_string(objectId);
  std::string dotted;
  const std::uint32_t rc = d.With(tree, [&](cvdir::Session& ses, const std::string& base) {
    std::string dn;
    if (std::uint32_t r = ses.FindOne(base, "(|(uidNumber=" + id + ")(kcpObjectId=" + id + "))", dn)) return r;
    return cvdir::DottedOf(dn, base, dotted) ? kCvOk : kCvErrDirNoSuchEntry;
  });
  if (rc) return rc;
  if (dotted.size() >= kCvDirObjectNameSize) return kCvErrDirBufferTooSmall;
  cvclient::CopyText(name, kCvDirObjectNameSize, dotted);
  return kCvOk;
}

CVCLIENT_API std::uint32_t CvGetServerDirectoryName(std::uint32_t context, std::uint32_t connection, char* name) {
  if (!name) return kCvErrDirInvalidParameters;
  Locked l;
  auto& d = Directory::Get();
  DirContext* c = FindContext(d, context);
  if (!c) return kCvErrDirNoSuchContext;
  cvclient::Server* s = l.lib.Find(connection);
  if (!s) return kCvErrInvalidConnection;
  if (s->directoryLogin && !s->directoryName.empty()) {
    cvclient::CopyText(name, kCvDirNameSize, s->directoryName);
    return kCvOk;
  }
  // Without a directory login: the server object of that name in the context's tree.
  const std::string cn = cvdir::EscapeFilter(s->info.name.empty() ? s->entry.name : s->info.name);
  std::string dotted;
  const std::uint32_t rc = d.With(c->tree, [&](cvdir::Session& ses, const std::string& base) {
    std::string dn;
    if (std::uint32_t r = ses.FindOne(base, "(&(objectClass=kcpServer)(cn=" + cn + "))", dn)) return r;
    return cvdir::DottedOf(dn, base, dotted) ? kCvOk : kCvErrDirNoSuchEntry;
  });
  if (rc) return rc;
  cvclient::CopyText(name, kCvDirNameSize, dotted);
  return kCvOk;
}


}  // extern "C"
