// The connections of a bound server as automation objects: the collection
// CvConnections (a snapshot of the occupied connection slots), one
// CvConnection per slot, and CEnumVariant, the collection's enumerator.
//
// Reference counting: the collection holds one reference to each of its
// entries; Item and the enumerator hand out references of their own, so an
// entry outlives its collection while anyone holds it, and an enumerator
// keeps working after its collection is gone or refreshed. Every live object
// holds one lock on the module.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "corvane/client/kscalls.h"
#include "ole/dispatch.h"
#include "ole/server.h"

namespace cvsrva {

// "192.168.0.10" for type 11, else the network, node and socket bytes as
// upper-case hexadecimal groups: "0000ABCD:00A0C9123456:4005".
std::string FormatNetworkAddress(const CvConnectionAddress& address);
// The login time as an automation date, taken as it is (no time zone); 0
// (30 December 1899) when the bytes are no valid date.
DATE LoginTimeToDate(const CvLoginTime& time);

// A connection handle that this object took with CvGetConnectionHandle and
// releases when the last holder lets go (the collection of that build and
// its entries).
class AcquiredConnection {
 public:
  explicit AcquiredConnection(std::uint32_t handle) : handle_(handle) {}
  ~AcquiredConnection();
  AcquiredConnection(const AcquiredConnection&) = delete;
  AcquiredConnection& operator=(const AcquiredConnection&) = delete;

 private:
  std::uint32_t handle_;
};

// The type information of one of the library's dispatch interfaces, from the
// registered type library.
HRESULT ConnectionTypeInfo(REFIID iid, LCID lcid, ITypeInfo** info);

class CvConnection final : public ole::DispatchObject<CvConnection>, private ole::server::ModuleLock {
 public:
  CvConnection() = default;
  static const ole::DispatchTable<CvConnection>& DispatchMap();

  HRESULT GetTypeInfoCount(UINT* count) override;
  HRESULT GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override;

  const std::string& FullName() const { return fullName_; }
  const std::string& ShortName() const { return shortName_; }
  DATE LoginTime() const { return loginTime_; }
  std::uint16_t Number() const { return connectionNumber_; }
  const std::string& NetworkAddress() const { return networkAddress_; }
  SHORT ConnectionType() const { return connectionType_; }
  void SendMessage(const std::string& message);

 protected:
  void* QueryExtra(REFIID riid) override;

 private:
  friend class CvConnections;

  // In this order.
  std::string fullName_;
  std::string shortName_;
  DATE loginTime_ = 0;
  std::uint16_t connectionNumber_ = 0;  // shown as a signed 16-bit number
  std::string networkAddress_;
  SHORT connectionType_ = 0;
  std::uint32_t connection_ = 0;
  // Keeps a handle the collection acquired open for SendMessage.
  std::shared_ptr<AcquiredConnection> acquired_;
};

class CvConnections final : public ole::DispatchObject<CvConnections>, private ole::server::ModuleLock {
 public:
  // What the collection copies from the control's binding.
  struct Binding {
    std::uint32_t connection = 0;
    std::uint32_t directoryContext = 0;
    bool directoryBound = false;
    std::string serverName;  // the control's FullName text
    bool directoryName = false;
  };

  CvConnections() = default;  // made by its class factory: no binding
  explicit CvConnections(Binding binding);
  ~CvConnections() override;
  static const ole::DispatchTable<CvConnections>& DispatchMap();

  HRESULT GetTypeInfoCount(UINT* count) override;
  HRESULT GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override;

  // Builds the entry list; a library failure is thrown as the control's
  // automation exception, leaving the entries appended so far.
  void Build();

  LONG Count() const { return static_cast<LONG>(entries_.size()); }
  void SendBroadCast(const std::string& message);
  void Refresh();
  void Remove(SHORT connectionNo);
  CComVariant Item(LONG index);
  CComVariant NewEnum();

  std::uint32_t Connection() const { return connection_; }
  std::uint32_t DirectoryContext() const { return dirContext_; }

 protected:
  void* QueryExtra(REFIID riid) override;

 private:
  bool DirectoryMode() const { return dirBound_; }
  std::string ServerShortName() const;
  void Resolve(const std::string& shortName);
  std::string ReadTreeName();
  void ReleaseEntries();
  void FreeOwnContext();

  // In this order.
  std::vector<ComPtr<CvConnection>> entries_;  // ascending connection numbers
  std::uint32_t dirContext_ = 0;
  std::uint32_t connection_ = 0;
  bool dirBound_ = false;
  std::string serverName_;
  bool isDirName_ = false;
  // What a directory-mode build made or took itself (never the control's
  // handle and context, which stay the control's).
  std::shared_ptr<AcquiredConnection> acquired_;
  bool ownsContext_ = false;
};

// The collection's IEnumVARIANT. An enumerator either owns its element array
// or shares that of its source enumerator, which it keeps alive.
class CEnumVariant final : public ole::ComObject<IEnumVARIANT>, private ole::server::ModuleLock {
 public:
  // Takes over elements (an empty list makes an empty enumerator).
  explicit CEnumVariant(std::vector<CComVariant> elements);
  ~CEnumVariant() override;

  HRESULT Next(ULONG celt, VARIANT* out, ULONG* fetched) override;
  HRESULT Skip(ULONG celt) override;
  HRESULT Reset() override;
  HRESULT Clone(IEnumVARIANT** copy) override;

 private:
  CEnumVariant(CEnumVariant* source, ULONG position);

  // In this order.
  ULONG position_ = 0;
  ULONG count_ = 0;
  const CComVariant* elements_ = nullptr;  // owned_ or the source's
  ComPtr<CEnumVariant> source_;            // null when this one owns the array
  std::vector<CComVariant> owned_;
};

}  // namespace cvsrva
