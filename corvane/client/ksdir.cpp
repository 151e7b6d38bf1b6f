// KSDIR operations over LDAP (OpenLDAP's libldap): contexts, buffers and the
// elements of replies here; reads in ksdir_read.cpp; tree scans and listings
// in ksdir_list.cpp. Each [Trees] line names the directory servers (replicas,
// tried in order) and the base entry of one tree; dotted names are relative
// to that base, leaf first. Nothing of the directory is kept here beyond one
// session per tree and the handles of this process.
//
// Codes: the LDAP results map as corvane/directory/ldapdir.h lists; besides,
// an unknown context is -303, an unknown buffer or iteration, or bad
// arguments 34870, a buffer that cannot be had -301, a reply element that does
// not fit the caller's area 34830, a tree that is not configured, no replica
// that answers, or a listing whose server was lost after its first batch
// 34865, the end of a tree scan 35327.
#include "corvane/client/ksdir.h"

#include <cstring>
#include <optional>

#include "corvane/client/cverrors.h"
#include "corvane/client/dirstate.h"
#include "corvane/client/ini.h"
#include "corvane/client/ksdir_internal.h"
#include "corvane/client/session.h"
#include "corvane/directory/batch.h"

namespace cvclient::ksdir {

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

void Put(DirBuffer& b, std::vector<std::uint8_t> bytes) {
  b.bytes = std::move(bytes);
  b.cursor = 0;
  b.valuesLeft = 0;
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
// that refuses the call, and the context when c is given. The caller holds
// the library lock.
std::uint32_t ContextBuffer(Directory& d, std::uint32_t context, std::uint32_t buffer, DirBuffer*& b,
                            DirContext** c) {
  DirContext* found = FindContext(d, context);
  if (!found) return kCvErrDirNoSuchContext;
  if (c) *c = found;
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

}  // namespace cvclient::ksdir

namespace {

using namespace cvclient::ksdir;
using cvclient::Directory;
using cvclient::DirBuffer;
using cvclient::DirContext;
using cvclient::Locked;
constexpr std::size_t kMaxContexts = 4096;
constexpr std::size_t kMaxBuffers = 4096;
constexpr std::uint32_t kMaxBufferSize = 1024 * 1024;

void PutU32(void* p, std::uint32_t v) { std::memcpy(p, &v, sizeof v); }

std::uint32_t NewContext(Directory& d, std::uint32_t& handle) {
  d.Reload();
  handle = d.NewHandle(d.contexts, d.lastContext, kMaxContexts);
  if (!handle) return kCvErrDirOutOfMemory;
  DirContext c;
  c.tree = d.DefaultTree();
  d.contexts[handle] = c;
  return kCvOk;
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


}  // extern "C"
