// Binding to a server by FullName, and the server information properties.
#include <cstdio>
#include <memory>

#include "corvane/client/kscalls.h"
#include "corvane/client/ksconn.h"
#include "corvane/client/ksdir.h"
#include "ctrl.h"
#include "dirnames.h"
#include "names.h"
#include "ole/bstr.h"
#include "stringtable.h"

namespace cvsrva {
namespace {

constexpr std::int32_t kErrBadDirectoryName = -252;  // a directory-form name that does not parse
constexpr std::uint32_t kTreeNameBytes = 514;        // in a 515-byte area
constexpr std::uint32_t kServerDirNameBytes = 515;
constexpr std::uint32_t kDescriptionBytes = 100;
constexpr std::uint32_t kServerNameBytes = 49;

std::int32_t Code(std::uint32_t rc) { return static_cast<std::int32_t>(rc); }

void StripTrailing(std::string& s, char c) {
  while (!s.empty() && s.back() == c) s.pop_back();
}

// Owns a directory request or reply buffer.
struct DirBuffer {
  std::uint32_t handle = 0;
  ~DirBuffer() {
    if (handle) CvFreeBuffer(handle);
  }
};

}  // namespace

void CCvServerAdminCtrl::Unbind() {
  if (connection_) CvReleaseConnection(connection_);
  if (dirContext_) CvFreeContext(dirContext_);
  internalName_.clear();
  connection_ = dirContext_ = isDirName_ = dirBound_ = 0;
}

void CCvServerAdminCtrl::BindFailed(std::int32_t code) {
  // Every failed step is what the server operations report for an unbound
  // control, not only the authentication and connection steps.
  lastBindError_ = code;
  if (AmbientUserMode() && !loading_) RaiseTable(code);
  fullName_.clear();
}

void CCvServerAdminCtrl::SetFullName(std::string value) {
  Unbind();
  if (value.empty()) return;
  value = ole::ToUpperUtf8(value);
  if (value.starts_with(LoadString(IDS_CDS_PREFIX))) isDirName_ = 1;
  if (!NameCheck(value)) {
    if (AmbientUserMode() && !loading_) RaiseTable(kErrInvalidNameFormat);
    fullName_.clear();
    return;
  }
  fullName_ = value;
  internalName_ = BrowseToDirectory(value);
  BoundPropertyChanged(dispidFullName);
  SetModifiedFlag();
  if (isDirName_)
    BindThroughDirectory();
  else
    BindPlain();
}

std::uint32_t CCvServerAdminCtrl::MakeContextForName(const std::string& directoryName) {
  auto parsed = ParseDirectoryName(directoryName);
  if (!parsed) return static_cast<std::uint32_t>(kErrBadDirectoryName);
  if (std::uint32_t rc = MakeTypelessContext(&dirContext_)) return rc;
  std::uint32_t rc = CvSetContext(dirContext_, kCvCtxKeyTreeName, parsed->tree.c_str());
  if (rc == 0) rc = CvSetContext(dirContext_, kCvCtxKeyNameContext, parsed->context.c_str());
  if (rc != 0) {
    CvFreeContext(dirContext_);
    dirContext_ = 0;
  }
  return rc;
}

void CCvServerAdminCtrl::BindThroughDirectory() {
  if (std::uint32_t rc = MakeContextForName(internalName_)) return BindFailed(Code(rc));
  char dn[kCvDirNameSize] = {};
  CvObjectInfo info{};
  if (std::uint32_t rc = CvReadObjectInfo(dirContext_, "", dn, &info)) {
    connection_ = 0;
    return BindFailed(Code(rc));
  }
  info.baseClass[sizeof info.baseClass - 1] = '\0';
  if (std::string_view(info.baseClass) != LoadString(IDS_KCP_SERVER)) {
    connection_ = 0;
    return BindFailed(0);
  }
  if (std::uint32_t rc = CvOpenConnectionToDirServer(dirContext_, "", &connection_)) {
    connection_ = 0;
    return BindFailed(Code(rc));
  }
  lastBindError_ = Code(CvAuthenticateConnection(dirContext_, connection_));
  if (lastBindError_ != 0) {
    CvReleaseConnection(connection_);
    connection_ = 0;
    return BindFailed(lastBindError_);
  }
  if (std::uint32_t rc = CvLicenseConnection(connection_)) {
    CvReleaseConnection(connection_);
    connection_ = 0;
    return BindFailed(Code(rc));
  }
  dirBound_ = 1;
}

void CCvServerAdminCtrl::BindPlain() {
  lastBindError_ = Code(CvGetConnectionHandle(internalName_.substr(2).c_str(), 0, &connection_, nullptr));
  if (lastBindError_ != 0) {
    connection_ = 0;
    return BindFailed(lastBindError_);
  }
  // From here a failure is raised (user mode, not loading) with the
  // connection left open and the flags as far as they were set.
  auto raise = [this](std::uint32_t rc) {
    if (AmbientUserMode() && !loading_) RaiseTable(Code(rc));
  };
  std::uint32_t state = 0;
  if (std::uint32_t rc = CvGetConnectionItem(connection_, kCvItemState, sizeof state, &state)) {
    raise(rc);
    state = 0;
  }
  if (state != kCvStateDirectoryAuthenticated) {
    dirBound_ = 0;
    return;
  }
  dirBound_ = 1;
  if (std::uint32_t rc = MakeTypelessContext(&dirContext_)) return raise(rc);
  char tree[kCvTreeNameSize] = {};
  if (std::uint32_t rc = CvGetConnectionItem(connection_, kCvItemTreeName, kTreeNameBytes, tree)) return raise(rc);
  treeName_ = tree;
  StripTrailing(treeName_, '_');
  CvSetContext(dirContext_, kCvCtxKeyTreeName, treeName_.c_str());
  char dirName[kServerDirNameBytes] = {};
  if (std::uint32_t rc = CvGetServerDirectoryName(dirContext_, connection_, dirName)) return raise(rc);
  dirName[sizeof dirName - 1] = '\0';
  serverDirName_ = dirName;
  StripTrailing(serverDirName_, '.');
  serverDirName_ = ole::ToUpperUtf8(serverDirName_);
  CvSetContext(dirContext_, kCvCtxKeyNameContext, serverDirName_.c_str());
}

// ---- server information -------------------------------------------------------------

std::string CCvServerAdminCtrl::GetCorvaneVersion() {
  CheckInitialized();
  CvVersionItem v{};
  if (std::uint32_t rc = CvGetConnectionItem(connection_, kCvItemVersion, sizeof v, &v)) {
    RaiseInUserMode(Code(rc));
    return {};
  }
  char text[32];
  std::snprintf(text, sizeof text, "%u.%u", static_cast<unsigned>(v.major), static_cast<unsigned>(v.minor));
  return text;
}

std::uint32_t CCvServerAdminCtrl::ReadTextAttribute(const char* attribute, std::string* value) {
  value->clear();
  DirBuffer request, reply;
  if (std::uint32_t rc = CvAllocBuffer(kCvDirBufferSize, &request.handle)) return rc;
  if (std::uint32_t rc = CvAllocBuffer(kCvDirBufferSize, &reply.handle)) return rc;
  std::uint32_t rc = CvInitDirBuffer(dirContext_, kCvDirOpRead, request.handle);
  if (rc == 0) rc = CvPutAttributeName(dirContext_, request.handle, attribute);
  std::uint32_t iteration = kCvIterationStart;
  if (rc == 0)
    rc = CvReadObject(dirContext_, "", kCvInfoAttributeValues, 0, request.handle, &iteration, reply.handle);
  std::uint32_t count = 0;
  if (rc == 0) rc = CvGetAttributeCount(dirContext_, reply.handle, &count);
  if (rc == 0 && count >= 1) {
    char name[kCvDirAttributeNameSize] = {};
    std::uint32_t values = 0, syntax = 0;
    rc = CvGetAttributeName(dirContext_, reply.handle, name, &values, &syntax);
    if (rc == 0 && values >= 1) {
      std::uint32_t size = 0;
      rc = CvGetAttributeValueSize(dirContext_, reply.handle, syntax, &size);
      if (rc == 0 && size < kCvDirBufferSize) {
        auto text = std::make_unique<char[]>(size + 1);
        text[size] = '\0';
        rc = CvGetAttributeValue(dirContext_, reply.handle, syntax, size + 1, text.get());
        if (rc == 0) {
          text[size] = '\0';
          *value = text.get();
        }
      }
    }
  }
  if (iteration != kCvIterationStart) CvCloseIteration(dirContext_, iteration, kCvDirOpRead);
  if (rc != 0) value->clear();
  return rc;
}

std::string CCvServerAdminCtrl::GetDescription() {
  CheckInitialized();
  if (!isDirName_ && dirBound_ != 1) {
    char text[kDescriptionBytes] = {};
    if (std::uint32_t rc = CvGetServerDescription(connection_, nullptr, text, nullptr, nullptr)) {
      RaiseInUserMode(Code(rc));
      return {};
    }
    text[sizeof text - 1] = '\0';
    return text;
  }
  std::string value;
  ReadTextAttribute("Description", &value);  // failures give empty text, never raise
  return value;
}

bool CCvServerAdminCtrl::GetDirectoryInstalled() {
  CheckInitialized();
  std::uint32_t value = 0;
  if (std::uint32_t rc = CvGetConnectionItem(connection_, kCvItemDirectory, sizeof value, &value)) {
    RaiseInUserMode(Code(rc));
    return false;
  }
  return value != 0;
}

std::string CCvServerAdminCtrl::GetShortName() {
  CheckInitialized();
  if (connection_ == 0) return {};
  char name[kServerNameBytes] = {};
  if (std::uint32_t rc = CvGetConnectionItem(connection_, kCvItemServerName, sizeof name, name)) {
    RaiseInUserMode(Code(rc));
    return {};
  }
  name[sizeof name - 1] = '\0';
  return name;
}

SHORT CCvServerAdminCtrl::GetTotalConnections() {
  CheckInitialized();
  std::uint16_t total = 0;
  if (std::uint32_t rc = CvGetServerInformation(connection_, nullptr, nullptr, nullptr, nullptr, &total, nullptr, nullptr)) {
    RaiseInUserMode(Code(rc));
    return 0;
  }
  return static_cast<SHORT>(total);
}

SHORT CCvServerAdminCtrl::GetUsedConnections() {
  CheckInitialized();
  std::uint16_t used = 0;
  if (std::uint32_t rc = CvGetServerInformation(connection_, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &used)) {
    RaiseInUserMode(Code(rc));
    return 0;
  }
  return static_cast<SHORT>(used);
}

std::string CCvServerAdminCtrl::GetCompany() {
  CheckInitialized();
  char text[kDescriptionBytes] = {};
  if (std::uint32_t rc = CvGetServerDescription(connection_, text, nullptr, nullptr, nullptr)) {
    RaiseInUserMode(Code(rc));
    return {};
  }
  text[sizeof text - 1] = '\0';
  return text;
}

}  // namespace cvsrva
