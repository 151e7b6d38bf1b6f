// Property exchange: one DoPropExchange routine of a control serves saving,
// loading and resetting its persistent properties, over a binary stream or a
// property bag.
//
// The stream encoding (stored host documents depend on it; never change it):
// values in exchange order, little-endian, no names and no padding.
//   version            u32 (ExchangeVersion)
//   extent             i32 cx, i32 cy in HIMETRIC (ExchangeExtent)
//   stock properties   u32 mask of the stock properties that follow; this
//                      framework has none, so it is 0 (ExchangeStockProps)
//   PX_Long            i32
//   PX_Short           i16
//   PX_Bool            u32, 0 or 1
//   PX_String          length, then that many bytes of UTF-8: the length is
//                      one byte when below 0xFF; else 0xFF and a u16 when
//                      below 0xFFFF; else 0xFF, 0xFFFF and a u32
// An unbound control with one empty string property thus saves 17 bytes.
// In a property bag the same values are named "_Version", "_ExtentX",
// "_ExtentY", "_StockProps" and the property names (VT_I4, VT_I2, VT_BOOL,
// VT_BSTR).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include <utility>
#include <vector>

#include "ole/comptr.h"
#include "ole/object.h"
#include "olectl/ocidl.h"

namespace ole::ctl {

inline constexpr std::size_t kMaxStreamBytes = 16u << 20;
inline constexpr std::size_t kMaxStringBytes = 1u << 20;

class CPropExchange {
 public:
  virtual ~CPropExchange() = default;
  bool IsLoading() const { return loading_; }
  // The version being loaded (after ExchangeVersion), else the current one.
  DWORD GetVersion() const { return version_; }
  // False once any exchange failed (truncated or malformed data).
  bool Ok() const { return ok_; }
  // Marks the data as unusable (a value the control cannot accept).
  void Reject() { ok_ = false; }

  // Saving writes version; loading reads the stored one into version and
  // GetVersion. A stored version other than defaultVersion is refused unless
  // convert is true (the control then converts by GetVersion).
  bool ExchangeVersion(DWORD& version, DWORD defaultVersion, bool convert);

  virtual bool ExchangeLong(const char* name, LONG& value, LONG defaultValue) = 0;
  virtual bool ExchangeShort(const char* name, SHORT& value, SHORT defaultValue) = 0;
  virtual bool ExchangeBool(const char* name, bool& value, bool defaultValue) = 0;
  virtual bool ExchangeString(const char* name, std::string& value, const std::string& defaultValue) = 0;

 protected:
  explicit CPropExchange(bool loading) : loading_(loading) {}
  bool Fail() { return ok_ = false; }
  virtual bool ExchangeVersionValue(DWORD& stored) = 0;

  bool loading_;
  DWORD version_ = 0;
  bool ok_ = true;
};

inline bool PX_Long(CPropExchange* px, const char* name, LONG& value, LONG def = 0) {
  return px->ExchangeLong(name, value, def);
}
inline bool PX_Short(CPropExchange* px, const char* name, SHORT& value, SHORT def = 0) {
  return px->ExchangeShort(name, value, def);
}
inline bool PX_Bool(CPropExchange* px, const char* name, bool& value, bool def = false) {
  return px->ExchangeBool(name, value, def);
}
inline bool PX_String(CPropExchange* px, const char* name, std::string& value, const std::string& def = {}) {
  return px->ExchangeString(name, value, def);
}

// Over the stream encoding above: saving appends to a byte string, loading
// reads from one.
class CBlobPropExchange : public CPropExchange {
 public:
  static CBlobPropExchange Saving() { return CBlobPropExchange(false, {}); }
  static CBlobPropExchange Loading(std::string bytes) { return CBlobPropExchange(true, std::move(bytes)); }
  const std::string& Bytes() const { return out_; }
  // Loading: whether every byte was consumed.
  bool AtEnd() const { return pos_ == in_.size(); }

  bool ExchangeLong(const char* name, LONG& value, LONG def) override;
  bool ExchangeShort(const char* name, SHORT& value, SHORT def) override;
  bool ExchangeBool(const char* name, bool& value, bool def) override;
  bool ExchangeString(const char* name, std::string& value, const std::string& def) override;

 protected:
  bool ExchangeVersionValue(DWORD& stored) override;

 private:
  CBlobPropExchange(bool loading, std::string in) : CPropExchange(loading), in_(std::move(in)) {}
  bool Raw(void* data, std::size_t size);
  template <class T>
  bool Fixed(T& value);
  std::string in_;  // loading: the bytes read
  std::size_t pos_ = 0;
  std::string out_;
};

// Resetting: every property takes its default (OnResetState, InitNew).
class CResetPropExchange : public CPropExchange {
 public:
  CResetPropExchange() : CPropExchange(true) {}
  bool ExchangeLong(const char*, LONG& v, LONG def) override { return v = def, true; }
  bool ExchangeShort(const char*, SHORT& v, SHORT def) override { return v = def, true; }
  bool ExchangeBool(const char*, bool& v, bool def) override { return v = def, true; }
  bool ExchangeString(const char*, std::string& v, const std::string& def) override { return v = def, true; }

 protected:
  bool ExchangeVersionValue(DWORD&) override { return true; }
};

// Over a property bag: values by name; a name missing on load takes its
// default.
class CPropbagPropExchange : public CPropExchange {
 public:
  CPropbagPropExchange(IPropertyBag* bag, bool loading) : CPropExchange(loading), bag_(bag) {}
  bool ExchangeLong(const char* name, LONG& value, LONG def) override;
  bool ExchangeShort(const char* name, SHORT& value, SHORT def) override;
  bool ExchangeBool(const char* name, bool& value, bool def) override;
  bool ExchangeString(const char* name, std::string& value, const std::string& def) override;

 protected:
  bool ExchangeVersionValue(DWORD& stored) override;

 private:
  bool Exchange(const char* name, VARTYPE vt, VARIANT& value, bool* found);
  template <class T>
  bool Scalar(const char* name, VARTYPE vt, T VARIANT::*field, T& value, T def);
  ComPtr<IPropertyBag> bag_;
};

// A stream over bytes in memory, for hosts that keep a control's state.
class CMemoryStream final : public ole::ComObject<IStream> {
 public:
  explicit CMemoryStream(std::string bytes = {}) : data_(std::move(bytes)) {}
  HRESULT Read(void* data, ULONG size, ULONG* read) override;
  HRESULT Write(const void* data, ULONG size, ULONG* written) override;
  const std::string& Bytes() const { return data_; }

 private:
  std::string data_;
  std::size_t pos_ = 0;
};

// A property bag in memory (names without regard to case, in first-write order).
class CMemoryPropertyBag final : public ole::ComObject<IPropertyBag> {
 public:
  HRESULT Read(LPCOLESTR name, VARIANT* value, void* errorLog) override;
  HRESULT Write(LPCOLESTR name, VARIANT* value) override;
  const std::vector<std::pair<std::u16string, CComVariant>>& Items() const { return items_; }

 private:
  std::vector<std::pair<std::u16string, CComVariant>> items_;
};

}  // namespace ole::ctl
