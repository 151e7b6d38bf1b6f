#include "olectl/propexchange.h"

#include <cstring>

#include "ole/bstr.h"
#include "ole/variant_convert.h"

namespace ole::ctl {

bool CPropExchange::ExchangeVersion(DWORD& version, DWORD defaultVersion, bool convert) {
  if (!loading_) {
    version_ = version;
    return ExchangeVersionValue(version) || Fail();
  }
  DWORD stored = defaultVersion;
  if (!ExchangeVersionValue(stored)) return Fail();
  if (stored != defaultVersion && !convert) return Fail();
  version = version_ = stored;
  return true;
}

// ---- stream ----------------------------------------------------------------

bool CBlobPropExchange::Raw(void* data, std::size_t size) {
  if (!ok_) return false;
  if (loading_) {
    if (in_.size() - pos_ < size) return Fail();
    std::memcpy(data, in_.data() + pos_, size);
    pos_ += size;
  } else {
    out_.append(static_cast<const char*>(data), size);
  }
  return true;
}

namespace {
// Little-endian fixed-width values, whatever the host order.
template <class T>
void ToLe(T v, unsigned char* b) {
  auto u = static_cast<std::make_unsigned_t<T>>(v);
  for (std::size_t i = 0; i < sizeof(T); ++i) b[i] = static_cast<unsigned char>(u >> (8 * i));
}
template <class T>
T FromLe(const unsigned char* b) {
  std::make_unsigned_t<T> u = 0;
  for (std::size_t i = 0; i < sizeof(T); ++i) u = static_cast<decltype(u)>(u | (decltype(u)(b[i]) << (8 * i)));
  return static_cast<T>(u);
}
}  // namespace

template <class T>
bool CBlobPropExchange::Fixed(T& value) {
  unsigned char b[sizeof(T)];
  if (!loading_) {
    ToLe<T>(value, b);
    return Raw(b, sizeof b);
  }
  if (!Raw(b, sizeof b)) return false;
  value = FromLe<T>(b);
  return true;
}

bool CBlobPropExchange::ExchangeVersionValue(DWORD& stored) { return Fixed(stored); }
bool CBlobPropExchange::ExchangeLong(const char*, LONG& value, LONG) { return Fixed(value); }
bool CBlobPropExchange::ExchangeShort(const char*, SHORT& value, SHORT) { return Fixed(value); }

bool CBlobPropExchange::ExchangeBool(const char*, bool& value, bool) {
  DWORD v = value ? 1 : 0;
  if (!Fixed(v)) return false;
  if (loading_) {
    if (v > 1) return Fail();
    value = v != 0;
  }
  return ok_;
}

bool CBlobPropExchange::ExchangeString(const char*, std::string& value, const std::string&) {
  if (!loading_) {
    std::size_t n = value.size();
    unsigned char b[7];
    if (n < 0xFF) {
      b[0] = static_cast<unsigned char>(n);
      Raw(b, 1);
    } else if (n < 0xFFFF) {
      b[0] = 0xFF;
      ToLe<WORD>(static_cast<WORD>(n), b + 1);
      Raw(b, 3);
    } else {
      b[0] = 0xFF, b[1] = 0xFF, b[2] = 0xFF;
      ToLe<DWORD>(static_cast<DWORD>(n), b + 3);
      Raw(b, 7);
    }
    return Raw(value.data(), n);
  }
  unsigned char b[4];
  if (!Raw(b, 1)) return false;
  std::size_t n = b[0];
  if (n == 0xFF) {
    if (!Raw(b, 2)) return false;
    n = FromLe<WORD>(b);
    if (n == 0xFFFF) {
      if (!Raw(b, 4)) return false;
      n = FromLe<DWORD>(b);
    }
  }
  if (n > kMaxStringBytes || n > in_.size() - pos_) return Fail();
  value.assign(in_.data() + pos_, n);
  pos_ += n;
  return true;
}

// ---- property bag ----------------------------------------------------------

bool CPropbagPropExchange::Exchange(const char* name, VARTYPE vt, VARIANT& value, bool* found) {
  std::u16string wide = Utf8ToUtf16(name);
  *found = true;
  if (!loading_) return SUCCEEDED(bag_->Write(wide.c_str(), &value)) || Fail();
  CComVariant got;
  got.vt = vt;
  HRESULT hr = bag_->Read(wide.c_str(), &got, nullptr);
  if (hr == E_INVALIDARG) {  // not in the bag
    *found = false;
    return true;
  }
  if (FAILED(hr) || FAILED(got.ChangeType(vt))) return Fail();
  VariantClear(&value);
  got.Detach(&value);
  return true;
}

template <class T>
bool CPropbagPropExchange::Scalar(const char* name, VARTYPE vt, T VARIANT::*field, T& value, T def) {
  CComVariant v;
  v.vt = vt;
  v.*field = value;
  bool found = false;
  if (!Exchange(name, vt, v, &found)) return false;
  if (loading_) value = found ? v.*field : def;
  return true;
}

bool CPropbagPropExchange::ExchangeVersionValue(DWORD& stored) {
  LONG v = static_cast<LONG>(stored);
  if (!ExchangeLong("_Version", v, static_cast<LONG>(stored))) return false;
  stored = static_cast<DWORD>(v);
  return true;
}

bool CPropbagPropExchange::ExchangeLong(const char* name, LONG& value, LONG def) {
  return Scalar(name, VT_I4, &VARIANT::lVal, value, def);
}

bool CPropbagPropExchange::ExchangeShort(const char* name, SHORT& value, SHORT def) {
  return Scalar(name, VT_I2, &VARIANT::iVal, value, def);
}

bool CPropbagPropExchange::ExchangeBool(const char* name, bool& value, bool def) {
  CComVariant v(value);
  bool found = false;
  if (!Exchange(name, VT_BOOL, v, &found)) return false;
  if (loading_) value = found ? v.boolVal != VARIANT_FALSE : def;
  return true;
}

bool CPropbagPropExchange::ExchangeString(const char* name, std::string& value, const std::string& def) {
  CComVariant v(std::string_view{value});
  bool found = false;
  if (!Exchange(name, VT_BSTR, v, &found)) return false;
  if (loading_) value = found ? BstrToUtf8(v.bstrVal) : def;
  return true;
}

// ---- in-memory stream and bag ------------------------------------------------

HRESULT CMemoryStream::Read(void* data, ULONG size, ULONG* read) {
  if (!data && size) return E_POINTER;
  std::size_t n = std::min<std::size_t>(size, data_.size() - pos_);
  std::memcpy(data, data_.data() + pos_, n);
  pos_ += n;
  if (read) *read = static_cast<ULONG>(n);
  return n == size ? S_OK : S_FALSE;
}

HRESULT CMemoryStream::Write(const void* data, ULONG size, ULONG* written) {
  if (!data && size) return E_POINTER;
  if (data_.size() + size > kMaxStreamBytes) return STG_E_MEDIUMFULL;
  data_.append(static_cast<const char*>(data), size);
  if (written) *written = size;
  return S_OK;
}

HRESULT CMemoryPropertyBag::Read(LPCOLESTR name, VARIANT* value, void*) {
  if (!name || !value) return E_POINTER;
  for (const auto& [n, v] : items_) {
    if (!EqualsNoCase(n, name)) continue;
    VARTYPE want = value->vt;
    VariantInit(value);
    if (want == VT_EMPTY) return VariantCopy(value, &v);
    return VariantChangeType(value, &v, 0, want);
  }
  return E_INVALIDARG;
}

HRESULT CMemoryPropertyBag::Write(LPCOLESTR name, VARIANT* value) {
  if (!name || !value) return E_POINTER;
  for (auto& [n, v] : items_)
    if (EqualsNoCase(n, name)) return VariantCopyInd(&v, value);
  CComVariant copy;
  HRESULT hr = VariantCopyInd(&copy, value);
  if (FAILED(hr)) return hr;
  items_.emplace_back(name, std::move(copy));
  return S_OK;
}

}  // namespace ole::ctl
