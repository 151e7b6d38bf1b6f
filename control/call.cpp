// Call: runs a function or a script of the server's call service. The request
// is the call kind, the item count and typed items (the upper-cased name, then
// the parameters); the reply is an attribute object.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "corvane/client/kscalls.h"
#include "ctrl.h"
#include "ole/bstr.h"
#include "result.h"

namespace cvsrva {

namespace {

constexpr char kServiceName[] = "CvSrvA Remote Function Calls";
constexpr std::size_t kRequestSize = 500;
constexpr std::size_t kMaxCallName = 256;
constexpr std::size_t kMaxParams = 10;
constexpr std::uint8_t kKindFunction = 0x00;
constexpr std::uint8_t kKindScript = 0x80;
// The reply that stands for "The user does have console privileges.".
constexpr std::int32_t kNoRightsValue = 5;

void PutLe(std::uint8_t* p, std::uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) p[i] = static_cast<std::uint8_t>((v >> (8 * i)) & 0xFF);
}

// The text the C runtime's _gcvt gives for 10 significant digits: fixed
// notation for decimal exponents -1 to 9, else exponent notation with three
// exponent digits; trailing zeros after the point are dropped, the point
// stays ("1.", "2.5", "1.e+020", "1.5e-005").
std::string Gcvt10(double value) {
  constexpr int kDigits = 10;
  if (std::isnan(value)) return std::signbit(value) ? "-1.#IND" : "1.#QNAN";
  if (std::isinf(value)) return value < 0 ? "-1.#INF" : "1.#INF";
  char buf[400];
  int magnitude = 0;
  if (value != 0) {
    std::snprintf(buf, sizeof buf, "%.16e", value);
    magnitude = std::atoi(std::strchr(buf, 'e') + 1);
  }
  std::string text;
  if (magnitude < -1 || magnitude > kDigits - 1) {
    std::snprintf(buf, sizeof buf, "%.*e", kDigits - 1, value);
    char* e = std::strchr(buf, 'e');
    int exponent = std::atoi(e + 1);
    *e = '\0';
    char tail[16];
    std::snprintf(tail, sizeof tail, "e%c%03d", exponent < 0 ? '-' : '+', exponent < 0 ? -exponent : exponent);
    text = std::string(buf) + tail;
  } else {
    std::snprintf(buf, sizeof buf, "%.*f", kDigits - magnitude - 1, value);
    text = buf;
  }
  std::size_t point = text.find('.');
  if (point != std::string::npos) {
    std::size_t end = text.find('e', point);
    if (end == std::string::npos) end = text.size();
    std::size_t keep = end;
    while (keep > point + 1 && text[keep - 1] == '0') --keep;
    text.erase(keep, end - keep);
  }
  return text;
}

}  // namespace

// The 500-byte request under construction: kind, item count, items.
class CallRequest {
 public:
  explicit CallRequest(std::uint8_t kind) { bytes_[0] = kind; }

  // Appends one item; false (nothing written) when it would not fit.
  bool Add(char tag, const void* data, std::size_t n) {
    if (n > kRequestSize || length_ + 3 + n > kRequestSize) return false;
    PutLe(&bytes_[length_], n, 2);
    bytes_[length_ + 2] = static_cast<std::uint8_t>(tag);
    if (n) std::memcpy(&bytes_[length_ + 3], data, n);
    length_ += 3 + n;
    ++count_;
    return true;
  }
  bool AddText(std::string_view s) { return Add('C', s.data(), s.size()); }
  bool AddU32(char tag, std::uint32_t v) {
    std::uint8_t b[4];
    PutLe(b, v, 4);
    return Add(tag, b, 4);
  }
  bool AddReal(double d) {
    std::uint64_t bits;
    std::memcpy(&bits, &d, sizeof bits);
    std::uint8_t b[8];
    PutLe(b, bits, 8);
    return Add('R', b, 8);
  }

  std::uint8_t* Finish() {
    PutLe(&bytes_[1], count_, 2);
    return bytes_.data();
  }
  std::size_t Length() const { return length_; }

 private:
  std::array<std::uint8_t, kRequestSize> bytes_{};  // zero-filled for every call
  std::size_t length_ = 3;
  std::uint16_t count_ = 0;
};

CComVariant CCvServerAdminCtrl::Call(const ole::DispArgs& args) {
  if (connection_ == 0) RaiseTable(lastBindError_);
  std::string name = args.size() > 0 && !args.IsMissing(0) ? args.Str(0) : std::string();
  if (name.empty()) RaiseTable(kErrInvalidParameter);

  std::uint32_t service = 0;
  std::uint8_t major = 0, minor = 0, state = 0;
  std::uint8_t info[kCvServiceInfoSize] = {};
  if (CvGetServiceInfoByName(connection_, kServiceName, &service, &major, &minor, &state, info) != 0)
    RaiseTable(kErrQrxNotRunning);

  std::string upper = ole::ToUpperUtf8(name);
  if (upper.size() > kMaxCallName) RaiseTable(kErrInvalidParameter);
  const bool script = upper.find(".BAS") != std::string::npos;
  CallRequest request(script ? kKindScript : kKindFunction);
  request.AddText(upper);  // 3 + 3 + 256 bytes at most: always fits
  for (std::size_t i = 1; i <= kMaxParams && i < args.size(); ++i) {
    const VARIANT& param = args[i];
    if (param.vt == VT_ERROR && param.scode == DISP_E_PARAMNOTFOUND) break;  // the rest is not sent
    if (std::int32_t code = AddCallParameter(request, param, script)) RaiseTable(code);
  }

  std::vector<std::uint8_t> reply(kReplySize, 0);
  CvFragment out{request.Finish(), static_cast<std::uint32_t>(request.Length())};
  CvFragment in{reply.data(), static_cast<std::uint32_t>(kReplySize)};
  if (std::uint32_t rc = CvServiceRequest(connection_, service, 1, &out, 1, &in))
    RaiseTable(static_cast<std::int32_t>(rc));
  // The operation leaves the unused part of the fragment in its size.
  std::size_t received = in.size <= kReplySize ? kReplySize - in.size : 0;
  reply_.fill(0);
  std::memcpy(reply_.data(), reply.data(), received);
  return InterpretReply(received);
}

std::int32_t CCvServerAdminCtrl::AddCallParameter(CallRequest& request, const VARIANT& param, bool script) {
  // One level of reference: a VT_BYREF|VT_VARIANT is read as the VARIANT it
  // points to, which may itself be by reference to a value but not to
  // another VARIANT.
  const VARIANT* v = &param;
  VARTYPE vt = static_cast<VARTYPE>(v->vt & ~VT_BYREF);
  bool byref = (v->vt & VT_BYREF) != 0;
  if (vt == VT_VARIANT) {
    if (!byref || !v->pvarVal) return kErrInvalidParameter;
    v = v->pvarVal;
    vt = static_cast<VARTYPE>(v->vt & ~VT_BYREF);
    byref = (v->vt & VT_BYREF) != 0;
    if (vt == VT_VARIANT) return kErrInvalidParameter;
  }
  if (byref && !v->byref && vt != VT_EMPTY) return kErrInvalidParameter;

  bool fits = true;
  switch (vt) {
    case VT_EMPTY:
      return 0;
    case VT_I2:
    case VT_I4: {
      std::int32_t i = vt == VT_I2 ? (byref ? *v->piVal : v->iVal) : (byref ? *v->plVal : v->lVal);
      fits = script ? request.AddText(std::to_string(i)) : request.AddU32('I', static_cast<std::uint32_t>(i));
      break;
    }
    case VT_R4:
    case VT_R8: {
      double d = vt == VT_R4 ? static_cast<double>(byref ? *v->pfltVal : v->fltVal) : (byref ? *v->pdblVal : v->dblVal);
      fits = script ? request.AddText(Gcvt10(d)) : request.AddReal(d);
      break;
    }
    case VT_BSTR: {
      std::string text = ole::BstrToUtf8(byref ? *v->pbstrVal : v->bstrVal);
      if (text.empty()) return 0;
      fits = request.AddText(text);
      break;
    }
    case VT_BOOL: {
      if (script) return kErrInvalidParameter;
      std::int32_t b = byref ? *v->pboolVal : v->boolVal;  // sign-extended: true is FF FF FF FF
      fits = request.AddU32('B', static_cast<std::uint32_t>(b));
      break;
    }
    case VT_UI4:
      if (script) return kErrInvalidParameter;
      fits = request.AddU32('D', byref ? *v->pulVal : v->ulVal);
      break;
    case VT_DISPATCH: {
      if (script) return kErrInvalidParameter;
      // Only a result object of this control: its properties are read directly.
      const CCvResultObject* result = CCvResultObject::FromDispatch(byref ? *v->ppdispVal : v->pdispVal);
      if (!result) return kErrInvalidParameter;
      cvattobj::ObjectPtr object = cvattobj::CreateObject(nullptr);
      if (!object) throw std::bad_alloc();
      EncodeResultObject(*result, &object);
      cvattobj::Area bytes = cvattobj::View(object);
      if (bytes.size() > scratch_.size()) return kErrLimitExceeded;
      scratch_.fill(0);
      std::memcpy(scratch_.data(), bytes.data(), bytes.size());
      fits = request.Add('O', scratch_.data(), bytes.size());
      break;
    }
    default:
      return kErrInvalidParameter;
  }
  // A request past the 500-byte buffer is refused before anything is sent.
  return fits ? 0 : kErrLimitExceeded;
}

CComVariant CCvServerAdminCtrl::InterpretReply(std::size_t length) {
  cvattobj::Area reply(reply_.data(), length);
  const std::uint16_t count = cvattobj::Count(reply);
  auto wholeReply = [&] {
    ComPtr<CCvResultObject> result = CCvResultObject::Fill(reply);
    if (!result) RaiseTable(kErrInvalidReturn);
    return CComVariant::FromDispatch(result.Get());  // the client's one reference
  };
  if (count == 0) RaiseTable(kErrInvalidReturn);
  if (count >= 2) return wholeReply();

  cvattobj::Att att = cvattobj::FirstAtt(nullptr, reply);
  if (!att) RaiseTable(kErrInvalidReturn);
  std::string name(att.Name().substr(0, kMaxAttributeName));
  std::int32_t number = 0;
  if (att.Type() == cvattobj::kTypeInt && cvattobj::ReadInt(att, &number) && number == kNoRightsValue)
    RaiseTable(kErrNoConsoleRights);
  if (name == "MYERROR") RaiseTable(kErrInvalidReturn);
  if (name == "ERROR") return wholeReply();
  CComVariant value;
  if (!DecodeAttribute(att, &value)) RaiseTable(kErrInvalidReturn);
  return value;
}

}  // namespace cvsrva
