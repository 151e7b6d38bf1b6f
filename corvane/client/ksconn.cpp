// KSCONN operations: releasing, licensing and reading connection items.
#include "corvane/client/ksconn.h"

#include <cstring>

#include "corvane/client/cverrors.h"
#include "corvane/client/cvfailure.h"
#include "corvane/client/kscalls.h"
#include "corvane/client/ini.h"
#include "corvane/client/session.h"

namespace {

constexpr std::size_t kTreeNameWidth = 32;

void PutU32(void* value, std::uint32_t v) { std::memcpy(value, &v, sizeof v); }

// The tree the connection logged in to, else the one the server reports;
// callers strip the '_' padding.
std::string TreeName(const cvclient::Server& s) {
  std::string tree = s.directoryLogin ? s.directoryTree : s.info.tree;
  if (tree.size() < kTreeNameWidth) tree.append(kTreeNameWidth - tree.size(), '_');
  return tree;
}

}  // namespace

extern "C" {

CVCLIENT_API std::uint32_t CvReleaseConnection(std::uint32_t connection) {
  std::lock_guard lock(cvclient::Library::Get().mutex());
  return cvclient::Library::Get().Release(connection);
}

// Connection slots are taken at login, so licensing only checks the handle.
CVCLIENT_API std::uint32_t CvLicenseConnection(std::uint32_t connection) {
  std::lock_guard lock(cvclient::Library::Get().mutex());
  return cvclient::Library::Get().Find(connection) ? kCvOk : kCvErrInvalidConnection;
}

CVCLIENT_API std::uint32_t CvGetConnectionItem(std::uint32_t connection, std::uint32_t item, std::uint32_t size,
                                               void* value) {
  if (!value || size == 0) return kCvErrInvalidArgument;
  auto& lib = cvclient::Library::Get();
  std::lock_guard lock(lib.mutex());
  cvclient::Server* s = lib.Find(connection);
  if (!s) return kCvErrInvalidConnection;
  switch (item) {
    case kCvItemState:
      if (size < 4) return kCvErrInvalidArgument;
      PutU32(value, s->directoryLogin ? kCvStateDirectoryAuthenticated : 1);
      return kCvOk;
    case kCvItemTreeName:
      cvclient::CopyText(static_cast<char*>(value), size, TreeName(*s));
      return kCvOk;
    case kCvItemServerName:
      cvclient::CopyText(static_cast<char*>(value), std::min<std::uint32_t>(size, kCvServerNameSize), s->info.name);
      return kCvOk;
    case kCvItemDirectory:
      if (size < 4) return kCvErrInvalidArgument;
      PutU32(value, s->info.directory ? 1 : 0);
      return kCvOk;
    case kCvItemVersion: {
      if (size < sizeof(CvVersionItem)) return kCvErrInvalidArgument;
      const CvVersionItem v{s->info.major, s->info.minor, s->info.revision};
      std::memcpy(value, &v, sizeof v);
      return kCvOk;
    }
    default:
      return kCvErrInvalidInfoType;
  }
}

}  // extern "C"

extern "C" CVCLIENT_API std::uint32_t CvGetFailureText(char* text, std::uint32_t size) {
  if (!text || size == 0) return kCvErrInvalidArgument;
  std::lock_guard lock(cvclient::Library::Get().mutex());
  cvclient::CopyText(text, size, cvclient::Library::Get().failureText());
  return kCvOk;
}
