// KSDIR operations over LDAP (OpenLDAP's libldap). Each [Trees] line names
// the directory server and the base entry of one tree; dotted names are
// relative to that base, leaf first. Nothing of the directory is kept here
// beyond one session per tree and the handles of this process.
//
// Codes: the LDAP results map as corvane/directory/ldapdir.h lists; besides,
// an unknown context is -303, an unknown buffer or iteration, or bad
// arguments 34870, a buffer that cannot be had -301, a reply element that does
// not fit the caller's area 34830, a tree that is not configured 34865 (no
// directory server for it), the end of a tree scan 35327.
#include "corvane/client/ksdir.h"

#include <fnmatch.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <optional>

#include "corvane/client/cverrors.h"
#include "corvane/client/dirstate.h"
#include "corvane/client/ini.h"
#include "corvane/client/session.h"
#include "corvane/directory/batch.h"


namespace {

using cvclient::Directory;
using cvclient::EqualNoCase;
constexpr std::size_t kMaxContexts = 4096;
constexpr std::size_t kMaxBuffers = 4096;
constexpr std::size_t kMaxIterations = 256;
constexpr std::uint32_t kMaxBufferSize = 1024 * 1024;
constexpr int kMaxEmptyPages = 64;

using cvclient::DirBuffer;
using cvclient::DirContext;
using cvclient::DirIteration;
using cvclient::Locked;

void PutU32(void* p, std::uint32_t v) { std::memcpy(p, &v, sizeof v); }

DirContext* FindContext(Directory& d, std::uint32_t h) {
  auto it = d.contexts.find(h);
  return it == d.contexts.end() ? nullptr : &it->second;
}
DirBuffer* FindBuffer(Directory& d, std::uint32_t h) {
  auto it = d.buffers.find(h);
  return it == d.buffers.end() ? nullptr : &it->second;
}

// The complete dotted name of name with the context's name context.
std::string Complete(const DirContext& c, const char* name) {
  const std::string n = name ? name : "";
  if (n == "[Root]") return {};
  const bool rootContext = c.nameContext.empty() || c.nameContext == "[Root]";
  if (rootContext) return n;
  if (n.empty()) return c.nameContext;
  return n + "." + c.nameContext;
}

std::uint32_t NewContext(Directory& d, std::uint32_t& handle) {
  d.Reload();
  handle = d.NewHandle(d.contexts, d.lastContext, kMaxContexts);
  if (!handle) return kCvErrDirOutOfMemory;
  DirContext c;
  c.tree = d.DefaultTree();
  d.contexts[handle] = c;
  return kCvOk;
}

void Put(DirBuffer& b, std::vector<std::uint8_t> bytes) {
  b.bytes = std::move(bytes);
  b.cursor = 0;
  b.valuesLeft = 0;
}

// Skips what is left of the current attribute's values.
bool SkipValues(DirBuffer& b) {
  cvdir::BatchReader r(b.bytes);
  r.Seek(b.cursor);
  for (; b.valuesLeft > 0; --b.valuesLeft) {
    if (!r.NextValue()) return false;
  }
  b.cursor = r.position();
  return true;
}

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

std::uint32_t FinishIteration(Directory& d, std::uint32_t handle, std::uint32_t* iteration, bool done) {
  if (done) {
    d.iterations.erase(handle);
    *iteration = kCvIterationStart;
  } else {
    *iteration = handle;
  }
  return kCvOk;
}

// The buffer a call that names a context and a buffer works on, or the code
// that refuses the call. The caller holds the library lock.
std::uint32_t ContextBuffer(Directory& d, std::uint32_t context, std::uint32_t buffer, DirBuffer*& b) {
  if (!FindContext(d, context)) return kCvErrDirNoSuchContext;
  b = FindBuffer(d, buffer);
  return b ? kCvOk : kCvErrDirInvalidParameters;
}

// The entry count of a buffer that holds a batch of the given kind, with the
// cursor set after the header; nothing when it holds something else.
std::optional<std::uint32_t> StartBatch(DirBuffer& b, std::uint8_t kind) {
  cvdir::BatchReader r(b.bytes);
  auto header = r.Header();
  if (!header || header->first != kind) return std::nullopt;
  b.cursor = r.position();
  return header->second;
}

// The value at the cursor of the current attribute, read without moving on.
std::uint32_t PeekValue(DirBuffer& b, cvdir::BatchReader& r, std::optional<std::string>& value) {
  if (b.valuesLeft == 0) return kCvErrNoMoreEntries;
  r.Seek(b.cursor);
  value = r.NextValue();
  return value ? kCvOk : kCvErrDirInvalidParameters;
}

}  // namespace

extern "C" {

CVCLIENT_API std::uint32_t CvNewDirContext(void) {
  Locked l;
  std::uint32_t handle = 0;
  return NewContext(Directory::Get(), handle) == kCvOk ? handle : 0;
}

CVCLIENT_API std::uint32_t CvCreateContextHandle(std::uint32_t* context) {
  if (!context) return kCvErrDirInvalidParameters;
  Locked l;
  *context = 0;
  return NewContext(Directory::Get(), *context);
}

CVCLIENT_API std::uint32_t CvFreeContext(std::uint32_t context) {
  Locked l;
  auto& d = Directory::Get();
  if (!d.contexts.erase(context)) return kCvErrDirNoSuchContext;
  std::erase_if(d.iterations, [&](const auto& kv) { return kv.second.context == context; });
  return kCvOk;
}

CVCLIENT_API std::uint32_t CvGetContext(std::uint32_t context, std::uint32_t key, void* value) {
  if (!value) return kCvErrDirInvalidParameters;
  Locked l;
  DirContext* c = FindContext(Directory::Get(), context);
  if (!c) return kCvErrDirNoSuchContext;
  switch (key) {
    case kCvCtxKeyFlags: PutU32(value, c->flags); return kCvOk;
    case kCvCtxKeyNumber: PutU32(value, c->number); return kCvOk;
    case kCvCtxKeyNameContext: cvclient::CopyText(static_cast<char*>(value), kCvDirNameSize, c->nameContext); return kCvOk;
    case kCvCtxKeyTreeName: cvclient::CopyText(static_cast<char*>(value), kCvDirNameSize, c->tree); return kCvOk;
    default: return kCvErrDirInvalidParameters;
  }
}

CVCLIENT_API std::uint32_t CvSetContext(std::uint32_t context, std::uint32_t key, const void* value) {
  if (!value) return kCvErrDirInvalidParameters;
  Locked l;
  DirContext* c = FindContext(Directory::Get(), context);
  if (!c) return kCvErrDirNoSuchContext;
  if (key == kCvCtxKeyFlags || key == kCvCtxKeyNumber) {
    std::uint32_t v;
    std::memcpy(&v, value, sizeof v);
    (key == kCvCtxKeyFlags ? c->flags : c->number) = v;
    return kCvOk;
  }
  if (key != kCvCtxKeyNameContext && key != kCvCtxKeyTreeName) return kCvErrDirInvalidParameters;
  const char* text = static_cast<const char*>(value);
  const std::size_t n = strnlen(text, kCvDirNameSize);
  if (n >= kCvDirNameSize) return kCvErrDirInvalidParameters;
  (key == kCvCtxKeyTreeName ? c->tree : c->nameContext).assign(text, n);
  return kCvOk;
}

CVCLIENT_API std::uint32_t CvAllocBuffer(std::uint32_t size, std::uint32_t* buffer) {
  if (!buffer) return kCvErrDirInvalidParameters;
  *buffer = 0;
  if (size == 0 || size > kMaxBufferSize) return kCvErrDirOutOfMemory;
  Locked l;
  auto& d = Directory::Get();
  const std::uint32_t h = d.NewHandle(d.buffers, d.lastBuffer, kMaxBuffers);
  if (!h) return kCvErrDirOutOfMemory;
  d.buffers[h].size = size;
  *buffer = h;
  return kCvOk;
}

CVCLIENT_API std::uint32_t CvFreeBuffer(std::uint32_t buffer) {
  Locked l;
  return Directory::Get().buffers.erase(buffer) ? kCvOk : kCvErrDirInvalidParameters;
}

CVCLIENT_API std::uint32_t CvInitDirBuffer(std::uint32_t context, std::uint32_t operation, std::uint32_t buffer) {
  Locked l;
  DirBuffer* b = nullptr;
  if (const auto code = ContextBuffer(Directory::Get(), context, buffer, b); code != kCvOk) return code;
  if (operation != kCvDirOpRead) return kCvErrDirInvalidParameters;
  std::vector<std::uint8_t> bytes;
  cvdir::PackRequest({}, bytes);
  Put(*b, std::move(bytes));
  return kCvOk;
}

CVCLIENT_API std::uint32_t CvPutAttributeName(std::uint32_t context, std::uint32_t buffer, const char* name) {
  if (!name || !*name || strnlen(name, kCvDirAttributeNameSize) >= kCvDirAttributeNameSize)
    return kCvErrDirInvalidParameters;
  Locked l;
  DirBuffer* b = nullptr;
  if (const auto code = ContextBuffer(Directory::Get(), context, buffer, b); code != kCvOk) return code;
  cvdir::BatchReader r(b->bytes);
  auto header = r.Header();
  if (!header || header->first != cvdir::kBatchRead) return kCvErrDirInvalidParameters;
  std::vector<std::string> names;
  for (std::uint32_t i = 0; i < header->second; ++i) {
    auto n = r.NextName();
    if (!n) return kCvErrDirInvalidParameters;
    names.push_back(std::move(*n));
  }
  names.emplace_back(name);
  std::vector<std::uint8_t> bytes;
  cvdir::PackRequest(names, bytes);
  if (bytes.size() > b->size) return kCvErrDirBufferTooSmall;
  Put(*b, std::move(bytes));
  return kCvOk;
}

CVCLIENT_API std::uint32_t CvReadObject(std::uint32_t context, const char* objectName, std::uint32_t infoType,
                                        std::uint32_t allAttributes, std::uint32_t request,
                                        std::uint32_t* iteration, std::uint32_t reply) {
  if (!iteration || infoType != kCvInfoAttributeValues) return kCvErrDirInvalidParameters;
  Locked l;
  auto& d = Directory::Get();
  DirContext* c = FindContext(d, context);
  if (!c) return kCvErrDirNoSuchContext;
  DirBuffer* out = FindBuffer(d, reply);
  if (!out) return kCvErrDirInvalidParameters;
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

CVCLIENT_API std::uint32_t CvGetAttributeCount(std::uint32_t context, std::uint32_t buffer, std::uint32_t* count) {
  if (!count) return kCvErrDirInvalidParameters;
  Locked l;
  DirBuffer* b = nullptr;
  if (const auto code = ContextBuffer(Directory::Get(), context, buffer, b); code != kCvOk) return code;
  const auto n = StartBatch(*b, cvdir::kBatchRead);
  if (!n) return kCvErrDirInvalidParameters;
  *count = *n;
  b->valuesLeft = 0;
  return kCvOk;
}

CVCLIENT_API std::uint32_t CvGetAttributeName(std::uint32_t context, std::uint32_t buffer, char* name,
                                              std::uint32_t* valueCount, std::uint32_t* syntaxId) {
  Locked l;
  DirBuffer* b = nullptr;
  if (const auto code = ContextBuffer(Directory::Get(), context, buffer, b); code != kCvOk) return code;
  if (!SkipValues(*b)) return kCvErrDirInvalidParameters;
  cvdir::BatchReader r(b->bytes);
  r.Seek(b->cursor);
  auto a = r.NextAttributeName();
  if (!a) return kCvErrNoMoreEntries;
  b->cursor = r.position();
  b->valuesLeft = a->second;
  cvclient::CopyText(name, kCvDirAttributeNameSize, a->first);
  if (valueCount) *valueCount = a->second;
  if (syntaxId) *syntaxId = kCvSyntaxString;
  return kCvOk;
}

CVCLIENT_API std::uint32_t CvGetAttributeValueSize(std::uint32_t context, std::uint32_t buffer, std::uint32_t,
                                                   std::uint32_t* size) {
  if (!size) return kCvErrDirInvalidParameters;
  Locked l;
  DirBuffer* b = nullptr;
  if (const auto code = ContextBuffer(Directory::Get(), context, buffer, b); code != kCvOk) return code;
  cvdir::BatchReader r(b->bytes);
  std::optional<std::string> v;
  if (const auto code = PeekValue(*b, r, v); code != kCvOk) return code;
  *size = static_cast<std::uint32_t>(v->size());
  return kCvOk;
}

CVCLIENT_API std::uint32_t CvGetAttributeValue(std::uint32_t context, std::uint32_t buffer, std::uint32_t,
                                               std::uint32_t size, void* value) {
  if (!value || size == 0) return kCvErrDirInvalidParameters;
  Locked l;
  DirBuffer* b = nullptr;
  if (const auto code = ContextBuffer(Directory::Get(), context, buffer, b); code != kCvOk) return code;
  cvdir::BatchReader r(b->bytes);
  std::optional<std::string> v;
  if (const auto code = PeekValue(*b, r, v); code != kCvOk) return code;
  if (v->size() + 1 > size) return kCvErrDirBufferTooSmall;
  std::memcpy(value, v->data(), v->size());
  static_cast<char*>(value)[v->size()] = '\0';
  b->cursor = r.position();
  --b->valuesLeft;
  return kCvOk;
}

CVCLIENT_API std::uint32_t CvCloseIteration(std::uint32_t context, std::uint32_t iteration, std::uint32_t operation) {
  Locked l;
  auto& d = Directory::Get();
  if (!FindContext(d, context)) return kCvErrDirNoSuchContext;
  auto it = d.iterations.find(iteration);
  if (it == d.iterations.end() || it->second.context != context || it->second.operation != operation)
    return kCvErrDirInvalidParameters;
  d.iterations.erase(it);
  return kCvOk;
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
  const std::uint32_t rc = d.With(c->tree, [&](cvdir::Session& s, const std::string& base) {
    std::string dn;
    if (std::uint32_t r = s.Resolve(base, dotted, dn)) return r;
    if (!cvdir::DottedOf(dn, base, full)) return kCvErrDirInvalidParameters;
    return s.Read(dn, {"objectClass"}, attrs);
  });
  if (rc) return rc;
  std::vector<std::string> classes;
  for (const auto& a : attrs) {
    if (EqualNoCase(a.name, "objectClass")) classes = a.values;
  }
  cvclient::CopyText(distinguishedName, kCvDirNameSize, full.empty() ? "[Root]" : full);
  if (info) {
    *info = CvObjectInfo{};
    cvclient::CopyText(info->baseClass, sizeof info->baseClass, cvdir::BaseClassOf(classes));
  }
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

CVCLIENT_API std::uint32_t CvScanTrees(std::uint32_t context, std::uint32_t, const char* pattern,
                                       std::uint32_t* scanIndex, char* treeName) {
  if (!scanIndex || !treeName) return kCvErrDirInvalidParameters;
  Locked l;
  auto& d = Directory::Get();
  if (!FindContext(d, context)) return kCvErrDirNoSuchContext;
  if (*scanIndex == kCvIterationStart) d.Reload();
  const std::string glob = pattern && *pattern ? pattern : "*";
  for (std::size_t i = *scanIndex == kCvIterationStart ? 0 : *scanIndex; i < d.config.trees.size(); ++i) {
    const std::string& t = d.config.trees[i].name;
    if (fnmatch(glob.c_str(), t.c_str(), FNM_CASEFOLD) != 0) continue;
    cvclient::CopyText(treeName, kCvDirTreeNameSize, t);
    *scanIndex = static_cast<std::uint32_t>(i + 1);
    return kCvOk;
  }
  return kCvErrNoMoreEntries;
}

CVCLIENT_API std::uint32_t CvListContainer(std::uint32_t context, const char* containerName,
                                           std::uint32_t* iteration, std::uint32_t reply) {
  if (!iteration) return kCvErrDirInvalidParameters;
  Locked l;
  auto& d = Directory::Get();
  DirContext* c = FindContext(d, context);
  if (!c) return kCvErrDirNoSuchContext;
  DirBuffer* out = FindBuffer(d, reply);
  if (!out) return kCvErrDirInvalidParameters;
  std::uint32_t handle = *iteration;
  if (handle == kCvIterationStart) {
    cvclient::DirTree* tree = nullptr;
    if (std::uint32_t rc = d.Tree(c->tree, tree)) return rc;
    std::unique_ptr<cvdir::Session> session;
    if (std::uint32_t rc = d.OpenExtra(*tree, session)) return rc;
    std::string dn;
    if (std::uint32_t rc = session->Resolve(tree->entry.base, Complete(*c, containerName), dn)) return rc;
    handle = d.NewHandle(d.iterations, d.lastIteration, kMaxIterations);
    if (!handle) return kCvErrDirOutOfMemory;
    DirIteration& it = d.iterations[handle];
    it.context = context;
    it.operation = kCvDirOpList;
    it.session = std::move(session);
    it.dn = dn;
  }
  auto found = d.iterations.find(handle);
  if (found == d.iterations.end() || found->second.operation != kCvDirOpList || found->second.context != context)
    return kCvErrDirInvalidParameters;
  DirIteration& it = found->second;
  for (int empty = 0; it.next >= it.items.size() && it.morePages; ++empty) {
    if (empty == kMaxEmptyPages) return kCvErrBoundsCheck;
    it.next = 0;
    if (std::uint32_t rc = it.session->ListPage(it.dn, cvdir::kPageSize, it.cookie, it.items)) return rc;
    it.morePages = !it.cookie.empty();
  }
  std::vector<std::uint8_t> bytes;
  const std::size_t packed = cvdir::PackItems(it.items, it.next, out->size, bytes);
  if (packed == 0 && it.next < it.items.size()) return kCvErrDirBufferTooSmall;
  it.next += packed;
  Put(*out, std::move(bytes));
  return FinishIteration(d, handle, iteration, it.next >= it.items.size() && !it.morePages);
}

CVCLIENT_API std::uint32_t CvGetObjectCount(std::uint32_t context, std::uint32_t buffer, std::uint32_t* count) {
  if (!count) return kCvErrDirInvalidParameters;
  Locked l;
  DirBuffer* b = nullptr;
  if (const auto code = ContextBuffer(Directory::Get(), context, buffer, b); code != kCvOk) return code;
  const auto n = StartBatch(*b, cvdir::kBatchList);
  if (!n) return kCvErrDirInvalidParameters;
  *count = *n;
  return kCvOk;
}

CVCLIENT_API std::uint32_t CvGetObjectName(std::uint32_t context, std::uint32_t buffer, char* name,
                                           std::uint32_t* attributeCount, CvObjectInfo* info) {
  if (!name) return kCvErrDirInvalidParameters;
  Locked l;
  DirBuffer* b = nullptr;
  if (const auto code = ContextBuffer(Directory::Get(), context, buffer, b); code != kCvOk) return code;
  // The count was not asked for: start after the header.
  if (b->cursor == 0 && !StartBatch(*b, cvdir::kBatchList)) return kCvErrDirInvalidParameters;
  cvdir::BatchReader r(b->bytes);
  r.Seek(b->cursor);
  auto item = r.NextItem();
  if (!item) return kCvErrNoMoreEntries;
  b->cursor = r.position();
  cvclient::CopyText(name, kCvDirObjectNameSize, item->name);
  if (attributeCount) *attributeCount = 0;
  if (info) {
    *info = CvObjectInfo{};
    cvclient::CopyText(info->baseClass, sizeof info->baseClass, item->baseClass);
  }
  return kCvOk;
}

}  // extern "C"
