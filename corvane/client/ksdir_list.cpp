// KSDIR listings: the configured trees and the subordinates of a container,
// page by page with the paged-results control.
#include <fnmatch.h>

#include "corvane/client/ksdir_internal.h"
#include "corvane/client/session.h"

namespace {

using namespace cvclient::ksdir;
using cvclient::Directory;
using cvclient::DirBuffer;
using cvclient::DirContext;
using cvclient::DirIteration;
using cvclient::Locked;
constexpr int kMaxEmptyPages = 64;

}  // namespace

extern "C" {

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
  DirContext* c = nullptr;
  DirBuffer* out = nullptr;
  if (const auto code = ContextBuffer(d, context, reply, out, &c); code != kCvOk) return code;
  std::uint32_t handle = *iteration;
  if (handle == kCvIterationStart) {
    cvclient::DirTree* tree = nullptr;
    if (std::uint32_t rc = d.Tree(c->tree, tree)) return rc;
    std::unique_ptr<cvdir::Session> session;
    std::string dn;
    std::string cookie;
    std::vector<cvdir::ListItem> items;
    const std::string dotted = Complete(*c, containerName);
    // The container and its first page come from one replica: until then a
    // lost server is left for the next.
    if (std::uint32_t rc = d.RunOn(*tree, session, [&](cvdir::Session& s) {
          cookie.clear();
          if (std::uint32_t r = s.Resolve(tree->entry.base, dotted, dn)) return r;
          return s.ListPage(dn, cvdir::kPageSize, cookie, items);
        })) {
      return rc;
    }
    handle = d.NewHandle(d.iterations, d.lastIteration, kMaxIterations);
    if (!handle) return kCvErrDirOutOfMemory;
    DirIteration& it = d.iterations[handle];
    it.context = context;
    it.operation = kCvDirOpList;
    it.session = std::move(session);
    it.dn = dn;
    it.cookie = std::move(cookie);
    it.items = std::move(items);
    it.morePages = !it.cookie.empty();
  }
  auto found = d.iterations.find(handle);
  if (found == d.iterations.end() || found->second.operation != kCvDirOpList || found->second.context != context)
    return kCvErrDirInvalidParameters;
  DirIteration& it = found->second;
  for (int empty = 0; it.next >= it.items.size() && it.morePages; ++empty) {
    if (empty == kMaxEmptyPages) return kCvErrBoundsCheck;
    it.delivered += it.items.size();
    it.next = 0;
    if (std::uint32_t rc = it.session->ListPage(it.dn, cvdir::kPageSize, it.cookie, it.items)) {
      if (cvdir::Session::Lost(rc)) {
        // The rest of the listing is gone with its server: the caller hears
        // so, and the iteration ends, rather than a part passing for the whole.
        l.lib.Fail("directory " + it.session->uri() + " was lost during a listing, after " +
                       std::to_string(it.delivered) + " objects",
                   false);
        d.iterations.erase(found);
        *iteration = kCvIterationStart;
      }
      return rc;
    }
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
