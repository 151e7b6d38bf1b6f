// The connections collection and the connection objects.
#include "connections.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "corvane/client/ksconn.h"
#include "corvane/client/ksdir.h"
#include "dirnames.h"
#include "errors.h"
#include "ids.h"
#include "ole/bstr.h"
#include "ole/date.h"
#include "ole/typelib.h"

namespace cvsrva {
namespace {

constexpr std::uint32_t kTreeNameBytes = 514;  // in a 515-byte area
constexpr std::uint32_t kServerDirNameBytes = 515;
constexpr std::uint32_t kContextFlagCanonical = 0x10;
constexpr std::size_t kBroadcastBatch = kCvBroadcastMaxConnections;  // 62

// The source of the exceptions: the module's name, as the control gives it.
std::string ErrorSourceName() {
  std::string path = ole::server::Module::FilePath();
  std::string name = path.substr(path.find_last_of('/') + 1);
  return name.substr(0, name.find('.'));
}

[[noreturn]] void Raise(std::uint32_t code) {
  Throw(TableRaise(static_cast<std::int32_t>(code)), ErrorSourceName());
}

void StripTrailing(std::string& s, char c) {
  while (!s.empty() && s.back() == c) s.pop_back();
}

}  // namespace

// ---- formatting --------------------------------------------------------------------------

std::string FormatNetworkAddress(const CvConnectionAddress& a) {
  char text[40];
  const std::uint8_t* b = a.address;
  if (a.type == kCvAddressTypeIpv4) {
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
  } else {
    std::snprintf(text, sizeof text, "%02X%02X%02X%02X:%02X%02X%02X%02X%02X%02X:%02X%02X", b[0], b[1], b[2], b[3], b[4],
                  b[5], b[6], b[7], b[8], b[9], b[10], b[11]);
  }
  return text;
}

DATE LoginTimeToDate(const CvLoginTime& t) {
  auto date = ole::DateFromCivil({t.year + 1900, t.month, t.day, t.hour, t.minute, t.second});
  return date ? *date : 0.0;
}

AcquiredConnection::~AcquiredConnection() { CvReleaseConnection(handle_); }

HRESULT ConnectionTypeInfo(REFIID iid, LCID lcid, ITypeInfo** info) {
  if (!info) return E_POINTER;
  *info = nullptr;
  ComPtr<ITypeLib> lib;
  if (HRESULT hr = LoadRegTypeLib(LIBID_CvSrvAdmLib, kLibMajor, kLibMinor, lcid, lib.ReleaseAndGetAddressOf()); FAILED(hr))
    return hr;
  return lib->GetTypeInfoOfGuid(iid, info);
}

// ---- CvConnection ------------------------------------------------------------------------

const ole::DispatchTable<CvConnection>& CvConnection::DispatchMap() {
  using C = CvConnection;
  static const ole::DispatchTable<C> table{
      ole::ReadOnly<C>("FullName", VT_BSTR, [](C& c) { return c.fullName_; }),
      ole::ReadOnly<C>("ShortName", VT_BSTR, [](C& c) { return c.shortName_; }),
      ole::ReadOnly<C>("LoginTime", VT_DATE, [](C& c) { return CComVariant::FromDate(c.loginTime_); }),
      ole::ReadOnly<C>("NetworkAddress", VT_BSTR, [](C& c) { return c.networkAddress_; }),
      ole::ReadOnly<C>("ConnectionNumber", VT_I2, [](C& c) { return static_cast<SHORT>(c.connectionNumber_); }),
      ole::ReadOnly<C>("ConnectionType", VT_I2, [](C& c) { return c.connectionType_; }),
      ole::Method<C>("SendMessage", VT_EMPTY, {{"Message", VT_BSTR}},
                     [](C& c, const ole::DispArgs& a) { c.SendMessage(a.Str(0)); }),
  };
  return table;
}

HRESULT CvConnection::GetTypeInfoCount(UINT* count) {
  if (!count) return E_POINTER;
  *count = 1;
  return S_OK;
}

HRESULT CvConnection::GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) {
  if (index != 0) return DISP_E_BADINDEX;
  return ConnectionTypeInfo(IID_ICvConnection, lcid, info);
}

void* CvConnection::QueryExtra(REFIID riid) {
  return riid == IID_ICvConnection ? static_cast<IDispatch*>(this) : nullptr;
}

void CvConnection::SendMessage(const std::string& message) {
  const std::uint16_t number = connectionNumber_;
  std::uint8_t result = 0;
  if (std::uint32_t rc = CvSendBroadcastMessage(connection_, message.c_str(), 1, &number, &result)) Raise(rc);
}

// ---- CvConnections -----------------------------------------------------------------------

CvConnections::CvConnections(Binding b)
    : dirContext_(b.directoryContext),
      connection_(b.connection),
      dirBound_(b.directoryBound),
      serverName_(std::move(b.serverName)),
      isDirName_(b.directoryName) {}

CvConnections::~CvConnections() {
  ReleaseEntries();
  FreeOwnContext();
}

const ole::DispatchTable<CvConnections>& CvConnections::DispatchMap() {
  using C = CvConnections;
  using ole::DispArgs;
  static const ole::DispatchTable<C> table{
      ole::ReadOnly<C>("Count", VT_I4, [](C& c) { return c.Count(); }),
      ole::Method<C>("SendBroadCast", VT_EMPTY, {{"Message", VT_BSTR}},
                     [](C& c, const DispArgs& a) { c.SendBroadCast(a.Str(0)); }),
      ole::Method<C>("Refresh", VT_EMPTY, [](C& c) { c.Refresh(); }),
      ole::Method<C>("Remove", VT_EMPTY, {{"ConnectionNo", VT_I2}},
                     [](C& c, const DispArgs& a) { c.Remove(a.I2(0)); }),
      ole::ReadOnly<C>("Item", VT_DISPATCH, {{"Index", VT_I4}}, [](C& c, const DispArgs& a) { return c.Item(a.I4(0)); }),
      ole::ReadOnly<C>("_NewEnum", VT_UNKNOWN, [](C& c) { return c.NewEnum(); }).Id(DISPID_NEWENUM),
  };
  return table;
}

HRESULT CvConnections::GetTypeInfoCount(UINT* count) {
  if (!count) return E_POINTER;
  *count = 1;
  return S_OK;
}

HRESULT CvConnections::GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) {
  if (index != 0) return DISP_E_BADINDEX;
  return ConnectionTypeInfo(IID_ICvConnections, lcid, info);
}

void* CvConnections::QueryExtra(REFIID riid) {
  return riid == IID_ICvConnections ? static_cast<IDispatch*>(this) : nullptr;
}

void CvConnections::ReleaseEntries() {
  while (!entries_.empty()) entries_.pop_back();  // from the tail
}

void CvConnections::FreeOwnContext() {
  if (ownsContext_ && dirContext_) CvFreeContext(dirContext_);
  if (ownsContext_) dirContext_ = 0;
  ownsContext_ = false;
}

std::string CvConnections::ServerShortName() const {
  if (isDirName_) {
    std::size_t at = serverName_.rfind('\\');
    return at == std::string::npos ? serverName_ : serverName_.substr(at + 1);
  }
  return serverName_.size() > 2 ? serverName_.substr(2) : std::string();
}

std::string CvConnections::ReadTreeName() {
  char tree[kCvTreeNameSize] = {};
  if (std::uint32_t rc = CvGetConnectionItem(connection_, kCvItemTreeName, kTreeNameBytes, tree)) Raise(rc);
  tree[sizeof tree - 1] = '\0';
  std::string name = tree;
  StripTrailing(name, '_');
  return name;
}

// Finds the server again by its short name and, for a connection that is
// authenticated to the directory, prepares a directory context of its own.
void CvConnections::Resolve(const std::string& shortName) {
  std::uint32_t handle = connection_;
  if (std::uint32_t rc = CvGetConnectionHandle(shortName.c_str(), 0, &handle, nullptr)) Raise(rc);
  connection_ = handle;
  acquired_ = std::make_shared<AcquiredConnection>(handle);
  std::uint32_t state = 0;
  if (std::uint32_t rc = CvGetConnectionItem(connection_, kCvItemState, sizeof state, &state)) Raise(rc);
  if (state != kCvStateDirectoryAuthenticated) return;

  // A context of this collection's own replaces the one before (the
  // control's, which stays the control's, or one of an earlier build).
  FreeOwnContext();
  // Without a context of its own it goes on with none (0).
  std::uint32_t ctx = 0;
  MakeTypelessContext(&ctx);
  dirContext_ = ctx;
  ownsContext_ = ctx != 0;

  auto fail = [this](std::uint32_t rc) {
    FreeOwnContext();
    dirContext_ = 0;
    Raise(rc);
  };
  std::uint32_t flags = 0;
  if (std::uint32_t rc = CvGetContext(dirContext_, kCvCtxKeyFlags, &flags)) fail(rc);
  flags &= ~kContextFlagCanonical;
  if (std::uint32_t rc = CvSetContext(dirContext_, kCvCtxKeyFlags, &flags)) fail(rc);
  std::string tree = ReadTreeName();
  CvSetContext(dirContext_, kCvCtxKeyTreeName, tree.c_str());
  char dirName[kServerDirNameBytes] = {};
  if (std::uint32_t rc = CvGetServerDirectoryName(dirContext_, connection_, dirName)) Raise(rc);
  dirName[sizeof dirName - 1] = '\0';
  std::string serverDirName = dirName;
  StripTrailing(serverDirName, '.');
  serverDirName = ole::ToUpperUtf8(serverDirName);
  CvSetContext(dirContext_, kCvCtxKeyNameContext, serverDirName.c_str());
}

void CvConnections::Build() {
  const std::string shortName = ServerShortName();
  if (DirectoryMode()) Resolve(shortName);
  std::uint16_t capacity = 0;
  if (std::uint32_t rc =
          CvGetServerInformation(connection_, nullptr, nullptr, nullptr, nullptr, &capacity, nullptr, nullptr))
    Raise(rc);
  std::string tree;
  if (DirectoryMode()) tree = ReadTreeName();
  entries_.clear();

  for (std::uint32_t c = 1; c <= capacity; ++c) {
    char objectName[kCvObjectNameSize] = {};
    std::uint16_t objectType = 0;
    std::uint32_t objectId = 0;
    CvLoginTime login{};
    if (CvGetConnectionInformation(connection_, c, objectName, &objectType, &objectId, &login) != 0) continue;
    objectName[sizeof objectName - 1] = '\0';

    ComPtr<CvConnection> entry = ole::MakeObject<CvConnection>();
    entry->connectionNumber_ = static_cast<std::uint16_t>(c);
    if (DirectoryMode()) {
      char dotted[kCvDirObjectNameSize] = {};
      if (CvMapIdToName(dirContext_, connection_, objectId, dotted) == 0) {
        dotted[sizeof dotted - 1] = '\0';
        const CDirName name(tree, dotted);
        entry->fullName_ = "CDS:" + name.GetPath();
        entry->shortName_ = name.GetLeaf();
      } else {
        entry->fullName_ = entry->shortName_ = objectName;
      }
    } else {
      entry->fullName_ = serverName_ + "\\" + objectName;
      entry->shortName_ = objectName;
    }
    entry->loginTime_ = LoginTimeToDate(login);
    CvConnectionAddress address{};
    if (CvGetConnectionAddress(connection_, c, &address) == 0) entry->networkAddress_ = FormatNetworkAddress(address);
    entry->connectionType_ = static_cast<SHORT>(address.type);
    entry->connection_ = connection_;
    entry->acquired_ = acquired_;
    entries_.push_back(std::move(entry));
  }
}

void CvConnections::Refresh() {
  ReleaseEntries();
  Build();
}

void CvConnections::SendBroadCast(const std::string& message) {
  // Every batch is sent; a failure of any of them is reported (the last
  // one's code when several fail), not only one of the last batch.
  std::uint32_t failed = 0;
  for (std::size_t first = 0; first < entries_.size(); first += kBroadcastBatch) {
    const std::size_t n = std::min(kBroadcastBatch, entries_.size() - first);
    std::vector<std::uint16_t> numbers(n);
    for (std::size_t i = 0; i < n; ++i) numbers[i] = entries_[first + i]->connectionNumber_;
    std::vector<std::uint8_t> results(n, 0);
    if (std::uint32_t rc = CvSendBroadcastMessage(connection_, message.c_str(), static_cast<std::uint32_t>(n),
                                                  numbers.data(), results.data()))
      failed = rc;
  }
  if (failed != 0) Raise(failed);
}

void CvConnections::Remove(SHORT connectionNo) {
  const auto number = static_cast<std::uint16_t>(connectionNo);
  auto it = std::find_if(entries_.begin(), entries_.end(),
                         [number](const ComPtr<CvConnection>& e) { return e->connectionNumber_ == number; });
  if (it == entries_.end()) Raise(static_cast<std::uint32_t>(kErrLimitExceeded));
  if (std::uint32_t rc = CvClearConnection(connection_, number)) Raise(rc);
  entries_.erase(it);
}

CComVariant CvConnections::Item(LONG index) {
  if (index < 0 || index >= Count()) Raise(static_cast<std::uint32_t>(kErrLimitExceeded));
  return CComVariant::FromDispatch(entries_[static_cast<std::size_t>(index)].Get());
}

CComVariant CvConnections::NewEnum() {
  std::vector<CComVariant> elements;
  elements.reserve(entries_.size());
  for (const auto& e : entries_) elements.push_back(CComVariant::FromDispatch(e.Get()));
  ComPtr<CEnumVariant> enumerator = ole::MakeObject<CEnumVariant>(std::move(elements));
  return CComVariant::FromUnknown(static_cast<IEnumVARIANT*>(enumerator.Get()));
}

}  // namespace cvsrva
