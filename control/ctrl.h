// CCvServerAdminCtrl: the server administration control. One instance
// represents one Corvane server, bound by writing FullName.
#pragma once

#include <QString>
#include <array>
#include <cstdint>
#include <string>

#include "errors.h"
#include "ids.h"
#include "olectl/control.h"

namespace cvsrva {

class CallRequest;

class CCvServerAdminCtrl : public ole::ctl::COleControl<CCvServerAdminCtrl> {
 public:
  CCvServerAdminCtrl();
  ~CCvServerAdminCtrl() override;

  static const ole::DispatchTable<CCvServerAdminCtrl>& DispatchMap();

  // ---- the framework's overridables ----
  UINT TypeInfoCount() override { return 1; }
  HRESULT TypeLib(LCID lcid, ITypeLib** lib) override;
  void DoPropExchange(ole::ctl::CPropExchange* px) override;
  void OnDraw(QPainter& p, const QRect& bounds, const QRect& invalid) override;
  CLSID GetClassID() const override { return CLSID_CvSrvAdm; }
  BOOL OnSetExtent(SIZEL* size) override;
  BOOL OnMapPropertyToPage(DISPID dispid, CLSID* page, BOOL* pageOptional) override;
  std::vector<CLSID> GetPropPageIDs() const override { return {CLSID_CvServerAdminPropPage}; }
  QString GetUserTypeName() const override;
  DWORD GetMiscStatus() const override { return kMiscStatus; }
  std::vector<ole::ctl::OleVerb> Verbs() override;

  // ---- automation members ----
  std::string GetFullName() const { return fullName_; }
  void SetFullName(std::string value);
  std::string GetCorvaneVersion();
  std::string GetDescription();
  bool GetDirectoryInstalled();
  std::string GetShortName();
  SHORT GetTotalConnections();
  SHORT GetUsedConnections();
  std::string GetCompany();
  CComVariant GetActiveConnections();
  bool ExecuteProfile(const std::string& qbtFileName);
  bool LoadQRX(const std::string& qrxName, const std::string& parameters);
  bool UnloadQRX(const std::string& qrxName);
  CComVariant Call(const ole::DispArgs& args);
  CComVariant GetParameters(const std::string& propertyName);
  void SetParameters(const std::string& propertyName, const VARIANT& value);
  void AboutBox();

  // ---- binding state, for the collection and page classes and for tests ----
  std::uint32_t Connection() const { return connection_; }
  std::uint32_t DirectoryContext() const { return dirContext_; }
  bool IsDirectoryName() const { return isDirName_ != 0; }
  bool IsDirectoryBound() const { return dirBound_ != 0; }
  const std::string& InternalName() const { return internalName_; }
  const std::string& TreeName() const { return treeName_; }
  const std::string& ServerDirectoryName() const { return serverDirName_; }
  std::int32_t LastBindingError() const { return lastBindError_; }

 private:
  [[noreturn]] void RaiseTable(std::int32_t code) const;
  // Raises a failure of the client start in user mode, once.
  void RaiseStartError();
  // Raises code in user mode; returns normally in design mode.
  void RaiseInUserMode(std::int32_t code) const;
  // FullName empty in user mode: raises "Control not initialized".
  void CheckInitialized() const;
  // The not-bound rule of the server operations.
  void CheckBound() const;

  void Unbind();
  // A binding step failed with code: raise it (user mode, not loading) or
  // empty FullName.
  void BindFailed(std::int32_t code);
  void BindThroughDirectory();
  void BindPlain();
  std::uint32_t MakeContextForName(const std::string& directoryName);
  std::uint32_t ReadTextAttribute(const char* attribute, std::string* value);

  // Remote calls (call.cpp): one parameter into the request, 0 or the code to
  // raise; the reply turned into Call's result.
  std::int32_t AddCallParameter(CallRequest& request, const VARIANT& param, bool script);
  CComVariant InterpretReply(std::size_t length);

  // State, in this order.
  std::uint32_t dirContext_ = 0;
  std::uint32_t connection_ = 0;
  std::uint32_t isDirName_ = 0;
  std::uint32_t dirBound_ = 0;
  std::string internalName_;
  std::string fullName_;
  std::string treeName_;
  std::string serverDirName_;
  std::int32_t lastBindError_ = kErrInvalidConnection;
  std::uint32_t loading_ = 0;
  // A failed CvClientStartup or CvLoadCharTables, until the container
  // initialises the control.
  std::uint32_t startError_ = 0;

 public:
  static constexpr std::size_t kReplySize = 2500;

 private:
  // Remote calls: the reply as received, and the bytes of an object
  // parameter before they become a request item. Both are overwritten by
  // every Call.
  std::array<std::uint8_t, kReplySize> reply_{};
  std::array<std::uint8_t, kReplySize> scratch_{};
};

}  // namespace cvsrva
