#include "ctrl.h"

#include <QPainter>
#include <utility>

#include "connections.h"
#include "corvane/client/kscalls.h"
#include "corvane/client/ksconn.h"
#include "corvane/client/ksdir.h"
#include "corvane/client/kslocale.h"
#include "names.h"
#include "resources.h"
#include "stringtable.h"

namespace cvsrva {

CCvServerAdminCtrl::CCvServerAdminCtrl() {
  SetInterfaceIds(DIID__DCvServerAdmin, DIID__DCvServerAdminEvents);
  // The container is not our site yet, so its user mode is unknown here: a
  // failing start is kept and raised when the container initialises the
  // control (RaiseStartError).
  startError_ = CvClientStartup(nullptr, nullptr);
  CvLocaleInfo locale{};
  CvGetLocaleInfo(&locale);
  std::uint32_t rc = CvLoadCharTables(locale.country, locale.codePage);  // offsets 0x3C, then 0x38
  if (startError_ == 0) startError_ = rc;
  SetInitialSize(kControlPixels, kControlPixels);
}

CCvServerAdminCtrl::~CCvServerAdminCtrl() {
  if (connection_) CvReleaseConnection(connection_);
  if (dirContext_) CvFreeContext(dirContext_);
  CvFreeCharTables();
}

const ole::DispatchTable<CCvServerAdminCtrl>& CCvServerAdminCtrl::DispatchMap() {
  using C = CCvServerAdminCtrl;
  using ole::DispArgs;
  static const ole::DispatchTable<C> table{
      ole::Property<C>(
          "FullName", VT_BSTR, [](C& c) { return c.GetFullName(); },
          [](C& c, const VARIANT& v) { c.SetFullName(ole::BstrToUtf8(v.bstrVal)); }),
      ole::ReadOnly<C>("CorvaneVersion", VT_BSTR, [](C& c) { return c.GetCorvaneVersion(); }),
      ole::ReadOnly<C>("Description", VT_BSTR, [](C& c) { return c.GetDescription(); }),
      ole::ReadOnly<C>("DirectoryInstalled", VT_BOOL, [](C& c) { return c.GetDirectoryInstalled(); }),
      ole::ReadOnly<C>("ShortName", VT_BSTR, [](C& c) { return c.GetShortName(); }),
      ole::ReadOnly<C>("TotalConnections", VT_I2, [](C& c) { return c.GetTotalConnections(); }),
      ole::ReadOnly<C>("UsedConnections", VT_I2, [](C& c) { return c.GetUsedConnections(); }),
      ole::ReadOnly<C>("Company", VT_BSTR, [](C& c) { return c.GetCompany(); }),
      ole::ReadOnly<C>("ActiveConnections", VT_DISPATCH, [](C& c) { return c.GetActiveConnections(); }),
      ole::Method<C>("ExecuteProfile", VT_BOOL, {{"QBTFileName", VT_BSTR}},
                     [](C& c, const DispArgs& a) { return c.ExecuteProfile(a.Str(0)); }),
      ole::Method<C>("LoadQRX", VT_BOOL, {{"QRXName", VT_BSTR}, {"Parameters", VT_BSTR}},
                     [](C& c, const DispArgs& a) { return c.LoadQRX(a.Str(0), a.Str(1)); }),
      ole::Method<C>("UnloadQRX", VT_BOOL, {{"QRXName", VT_BSTR}},
                     [](C& c, const DispArgs& a) { return c.UnloadQRX(a.Str(0)); }),
      ole::Method<C>("Call", VT_VARIANT,
                     {{"Name", VT_BSTR},
                      {"Param1", VT_VARIANT, true},
                      {"Param2", VT_VARIANT, true},
                      {"Param3", VT_VARIANT, true},
                      {"Param4", VT_VARIANT, true},
                      {"Param5", VT_VARIANT, true},
                      {"Param6", VT_VARIANT, true},
                      {"Param7", VT_VARIANT, true},
                      {"Param8", VT_VARIANT, true},
                      {"Param9", VT_VARIANT, true},
                      {"Param10", VT_VARIANT, true}},
                     [](C& c, const DispArgs& a) { return c.Call(a); }),
      ole::Property<C>(
          "Parameters", VT_VARIANT, {{"PropertyName", VT_BSTR}},
          [](C& c, const DispArgs& a) { return c.GetParameters(a.Str(0)); },
          [](C& c, const DispArgs& a, const VARIANT& v) { c.SetParameters(a.Str(0), v); }),
      ole::Method<C>("AboutBox", VT_EMPTY, [](C& c) { c.AboutBox(); }).Id(DISPID_ABOUTBOX),
  };
  return table;
}

// ---- raising -------------------------------------------------------------------

void CCvServerAdminCtrl::RaiseTable(std::int32_t code) const { Throw(TableRaise(code), ErrorSource()); }

void CCvServerAdminCtrl::RaiseInUserMode(std::int32_t code) const {
  if (AmbientUserMode()) RaiseTable(code);
}

void CCvServerAdminCtrl::RaiseStartError() {
  std::uint32_t rc = std::exchange(startError_, 0);
  if (rc != 0 && AmbientUserMode()) RaiseTable(static_cast<std::int32_t>(rc));
}

void CCvServerAdminCtrl::CheckInitialized() const {
  if (fullName_.empty() && AmbientUserMode()) RaiseTable(kErrNotInitialized);
}

void CCvServerAdminCtrl::CheckBound() const {
  if (connection_ == 0) RaiseTable(lastBindError_);
}

// ---- framework overridables ---------------------------------------------------------

HRESULT CCvServerAdminCtrl::TypeLib(LCID lcid, ITypeLib** lib) {
  // The registered library, loaded once per instance.
  return LoadRegTypeLib(LIBID_CvSrvAdmLib, kLibMajor, kLibMinor, lcid, lib);
}

void CCvServerAdminCtrl::DoPropExchange(ole::ctl::CPropExchange* px) {
  // The first exchange is the container's InitNew or Load, made with its site
  // set: a failing start fails the creation there, in user mode only.
  RaiseStartError();
  ExchangeVersion(px, kPersistVersion, true);
  COleControlBase::DoPropExchange(px);  // extent and stock properties
  ole::ctl::PX_String(px, "FullName", internalName_, "");
  loading_ = 1;
  struct ClearLoading {
    std::uint32_t& flag;
    ~ClearLoading() { flag = 0; }
  } clear{loading_};
  if (px->IsLoading() && px->Ok()) SetFullName(DirectoryToBrowse(internalName_));
}

void CCvServerAdminCtrl::OnDraw(QPainter& p, const QRect& bounds, const QRect&) {
  QColor back;
  if (!ole::ctl::TranslateColor(AmbientBackColor(), &back)) back = Qt::white;
  ole::ctl::FillSolidRect(p, bounds, back);
  QImage mask = LoadBitmap(IDB_CVSERVERADMIN_MASK);
  QImage image = LoadBitmap(IDB_CVSERVERADMIN);
  ole::ctl::DrawRaisedEdge(p, bounds);
  ole::ctl::FrameRect(p, bounds, Qt::black);
  ole::ctl::TransparentBlit(p, bounds.topLeft() + QPoint(6, 6), image, mask);
}

BOOL CCvServerAdminCtrl::OnSetExtent(SIZEL* size) {
  // Always 28 x 28 pixels, whatever the container asks for.
  *size = ole::ctl::PixelsToHimetric(QSize(kControlPixels, kControlPixels));
  return COleControlBase::OnSetExtent(size);
}

BOOL CCvServerAdminCtrl::OnMapPropertyToPage(DISPID dispid, CLSID* page, BOOL* pageOptional) {
  if (dispid == dispidFullName) {
    *page = CLSID_CvServerAdminPropPage;
    *pageOptional = TRUE;
    return TRUE;
  }
  return COleControlBase::OnMapPropertyToPage(dispid, page, pageOptional);
}

QString CCvServerAdminCtrl::GetUserTypeName() const {
  std::string_view name = LoadString(IDS_CVSERVERADMIN);
  return QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size()));
}

std::vector<ole::ctl::OleVerb> CCvServerAdminCtrl::Verbs() {
  return {{"&Properties...", [this](QWidget* parent) { OnProperties(parent); }}};
}

void CCvServerAdminCtrl::AboutBox() { ole::ctl::ShowModalDialog(AboutBoxTemplate()); }

CComVariant CCvServerAdminCtrl::GetActiveConnections() {
  CheckInitialized();
  CvConnections::Binding binding;
  binding.connection = connection_;
  binding.directoryContext = dirContext_;
  binding.directoryBound = dirBound_ != 0;
  binding.serverName = fullName_;
  binding.directoryName = isDirName_ != 0;
  ComPtr<CvConnections> collection = ole::MakeObject<CvConnections>(std::move(binding));
  collection->Build();
  // The caller gets the only reference.
  return CComVariant::FromDispatch(collection.Get());
}

}  // namespace cvsrva
