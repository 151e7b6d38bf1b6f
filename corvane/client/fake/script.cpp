// The fake's script: recorded calls, reply queues, handle numbering, and the
// record builders.
#include <algorithm>
#include <array>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <stdexcept>

#include "corvane/client/fake/cvclient_fake.h"
#include "corvane/client/fake/invocation.h"

namespace cvfake {
namespace {

const std::vector<std::string_view> kOperations = {
    // KSCALLS
    "CvClientStartup", "CvGetConnectionHandle", "CvGetServerInformation", "CvGetServerDescription",
    "CvGetConnectionInformation", "CvGetConnectionAddress", "CvSendBroadcastMessage", "CvClearConnection",
    "CvLoadModule", "CvUnloadModule", "CvRunCommandFile", "CvScanServerParameter", "CvSetServerParameterText",
    "CvSetServerParameterNumber", "CvGetServiceInfoByName", "CvServiceRequest", "CvGetPrimaryConnection",
    "CvGetDefaultConnection", "CvScanObject",
    // KSCONN
    "CvReleaseConnection", "CvLicenseConnection", "CvGetConnectionItem",
    // KSLOCALE
    "CvGetLocaleInfo", "CvLoadCharTables", "CvFreeCharTables",
    // KSDIR
    "CvNewDirContext", "CvCreateContextHandle", "CvFreeContext", "CvGetContext", "CvSetContext", "CvAllocBuffer",
    "CvFreeBuffer", "CvInitDirBuffer", "CvPutAttributeName", "CvReadObject", "CvGetAttributeCount",
    "CvGetAttributeName", "CvGetAttributeValueSize", "CvGetAttributeValue", "CvCloseIteration", "CvReadObjectInfo",
    "CvOpenConnectionToDirServer", "CvAuthenticateConnection", "CvMapIdToName", "CvGetServerDirectoryName",
    "CvScanTrees", "CvListContainer", "CvGetObjectCount", "CvGetObjectName",
};

constexpr std::size_t kHandleKinds = 4;

struct Script {
  std::mutex mu;
  std::vector<Call> calls;
  std::map<std::string, std::deque<Reply>, std::less<>> queued;
  std::map<std::string, Reply, std::less<>> defaults;
  std::array<std::uint32_t, kHandleKinds> issued{};
};

Script& S() {
  static Script s;
  return s;
}

void CheckOperation(std::string_view op) {
  if (std::find(kOperations.begin(), kOperations.end(), op) == kOperations.end())
    throw std::invalid_argument("cvfake: no operation named " + std::string(op));
}

void PutText(char* area, std::size_t size, std::size_t& at, std::string_view text) {
  if (at + text.size() + 1 > size) throw std::length_error("cvfake: parameter name and value exceed the area");
  std::memcpy(area + at, text.data(), text.size());
  at += text.size();
  area[at++] = '\0';
}

}  // namespace

void Reset() {
  Script& s = S();
  std::lock_guard lock(s.mu);
  s.calls.clear();
  s.queued.clear();
  s.defaults.clear();
  s.issued.fill(0);
}

void ClearCalls() {
  Script& s = S();
  std::lock_guard lock(s.mu);
  s.calls.clear();
}

std::vector<std::string> Calls() {
  Script& s = S();
  std::lock_guard lock(s.mu);
  std::vector<std::string> lines;
  lines.reserve(s.calls.size());
  for (const Call& c : s.calls) lines.push_back(c.line);
  return lines;
}

std::vector<std::string> Calls(std::string_view op) {
  CheckOperation(op);
  Script& s = S();
  std::lock_guard lock(s.mu);
  std::vector<std::string> lines;
  for (const Call& c : s.calls)
    if (c.op == op) lines.push_back(c.line);
  return lines;
}

std::vector<Call> Records() {
  Script& s = S();
  std::lock_guard lock(s.mu);
  return s.calls;
}

void Push(std::string_view op, Reply reply) {
  CheckOperation(op);
  Script& s = S();
  std::lock_guard lock(s.mu);
  auto it = s.queued.find(op);
  if (it == s.queued.end()) it = s.queued.emplace(std::string(op), std::deque<Reply>{}).first;
  it->second.push_back(std::move(reply));
}

void SetDefault(std::string_view op, Reply reply) {
  CheckOperation(op);
  Script& s = S();
  std::lock_guard lock(s.mu);
  s.defaults.insert_or_assign(std::string(op), std::move(reply));
}

std::size_t Pending(std::string_view op) {
  CheckOperation(op);
  Script& s = S();
  std::lock_guard lock(s.mu);
  auto it = s.queued.find(op);
  return it == s.queued.end() ? 0 : it->second.size();
}

const std::vector<std::string_view>& Operations() { return kOperations; }

CvServerParameter TextParameter(std::uint32_t nextSearchIndex, std::string_view name, std::string_view value) {
  CvServerParameter r{};
  r.nextSearchIndex = nextSearchIndex;
  r.valueType = kCvParamTypeText;
  std::size_t at = 0;
  PutText(r.nameValue, sizeof r.nameValue, at, name);
  PutText(r.nameValue, sizeof r.nameValue, at, value);
  return r;
}

CvServerParameter NumberParameter(std::uint32_t nextSearchIndex, std::string_view name, std::uint32_t value,
                                  std::uint32_t valueType) {
  CvServerParameter r{};
  r.nextSearchIndex = nextSearchIndex;
  r.valueType = valueType;
  std::size_t at = 0;
  PutText(r.nameValue, sizeof r.nameValue, at, name);
  if (at + 4 > sizeof r.nameValue) throw std::length_error("cvfake: parameter name and value exceed the area");
  for (int i = 0; i < 4; ++i) r.nameValue[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
  return r;
}

CvObjectInfo ObjectInfo(std::string_view baseClass) {
  CvObjectInfo r{};
  if (baseClass.size() >= sizeof r.baseClass) throw std::length_error("cvfake: base class name too long");
  std::memcpy(r.baseClass, baseClass.data(), baseClass.size());
  return r;
}

CvConnectionAddress Ipv4Address(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
  return Address({a, b, c, d}, kCvAddressTypeIpv4);
}

CvConnectionAddress Address(const std::vector<std::uint8_t>& bytes, std::uint16_t type) {
  CvConnectionAddress r{};
  if (bytes.size() > sizeof r.address) throw std::length_error("cvfake: more than 12 address bytes");
  std::copy(bytes.begin(), bytes.end(), r.address);
  r.type = type;
  return r;
}

CvLoginTime LoginTime(std::uint8_t yearSince1900, std::uint8_t month, std::uint8_t day, std::uint8_t hour,
                      std::uint8_t minute, std::uint8_t second) {
  CvLoginTime r{};
  r.year = yearSince1900;
  r.month = month;
  r.day = day;
  r.hour = hour;
  r.minute = minute;
  r.second = second;
  return r;
}

CvVersionItem Version(std::uint32_t major, std::uint32_t minor, std::uint32_t revision) {
  return CvVersionItem{major, minor, revision};
}

CvLocaleInfo Locale(std::uint32_t country, std::uint32_t codePage) {
  CvLocaleInfo r{};
  r.country = country;
  r.codePage = codePage;
  return r;
}

namespace detail {

std::string Quote(const char* s) {
  if (!s) return "null";
  std::string q = "\"";
  for (const char* p = s; *p; ++p) {
    auto c = static_cast<unsigned char>(*p);
    if (c < 0x20 || c == 0x7F) {
      char esc[5];
      std::snprintf(esc, sizeof esc, "\\x%02X", c);
      q += esc;
    } else {
      q += static_cast<char>(c);
    }
  }
  q += '"';
  return q;
}

Invocation& Invocation::Arg(std::string text) {
  call_.args.push_back(std::move(text));
  return *this;
}

Invocation& Invocation::Dec(std::uint64_t v) { return Arg(std::to_string(v)); }

Invocation& Invocation::Signed(std::int64_t v) { return Arg(std::to_string(v)); }

Invocation& Invocation::Hex(std::uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%X", static_cast<unsigned>(v));
  return Arg(buf);
}

Invocation& Invocation::HexAt(const std::uint32_t* inOut) { return inOut ? Hex(*inOut) : Arg("null"); }

Invocation& Invocation::Text(const char* s) { return Arg(Quote(s)); }

Invocation& Invocation::Ptr(const void* out) { return Arg(out ? "out" : "null"); }

Invocation& Invocation::List(const std::uint16_t* v, std::uint32_t n) {
  if (!v) return Arg("null");
  std::string s = "[";
  for (std::uint32_t i = 0; i < n; ++i) s += (i ? ", " : "") + std::to_string(v[i]);
  return Arg(s + "]");
}

Invocation& Invocation::Sizes(const CvFragment* f, std::uint32_t n) {
  if (!f) return Arg("null");
  std::string s = "[";
  for (std::uint32_t i = 0; i < n; ++i) s += (i ? ", " : "") + std::to_string(f[i].size);
  return Arg(s + "]");
}

void Invocation::Input(const void* data, std::size_t n) {
  const auto* p = static_cast<const std::uint8_t*>(data);
  call_.inputs.emplace_back(p, p + (p ? n : 0));
}

std::uint32_t Invocation::Answer() {
  call_.line = call_.op + "(";
  for (std::size_t i = 0; i < call_.args.size(); ++i) call_.line += (i ? ", " : "") + call_.args[i];
  call_.line += ")";

  Script& s = S();
  std::lock_guard lock(s.mu);
  auto q = s.queued.find(call_.op);
  if (q != s.queued.end() && !q->second.empty()) {
    reply_ = std::move(q->second.front());
    q->second.pop_front();
  } else if (auto d = s.defaults.find(call_.op); d != s.defaults.end()) {
    reply_ = d->second;
  }
  s.calls.push_back(std::move(call_));
  return reply_.result;
}

const Out* Invocation::NextOut() { return next_ < reply_.outs.size() ? &reply_.outs[next_++] : nullptr; }

std::size_t Invocation::Fill(void* out, std::size_t capacity) {
  const Out* o = NextOut();
  if (!o || !out || capacity == 0 || o->kind == Out::Kind::Skip) return 0;
  auto* dst = static_cast<std::uint8_t*>(out);
  if (o->kind == Out::Kind::Text) {
    std::size_t n = std::min(o->bytes.size(), capacity - 1);
    if (n) std::memcpy(dst, o->bytes.data(), n);  // an empty vector's data() may be null
    dst[n] = 0;
    return n + 1;
  }
  std::size_t n = std::min(o->bytes.size(), capacity);
  if (n) std::memcpy(dst, o->bytes.data(), n);
  return n;
}

namespace {
std::uint32_t FreshHandle(HandleKind kind) {
  Script& s = S();
  std::lock_guard lock(s.mu);
  auto k = static_cast<std::size_t>(kind);
  std::uint32_t n = ++s.issued[k];
  // 1001.., 2001.., 3001.., 4001.. for the first 999 of a kind; later ones
  // move to their own range so they never meet another kind's.
  std::uint32_t base = static_cast<std::uint32_t>(k + 1) * 1000;
  return n < 1000 ? base + n : base * 1000 + n;
}
}  // namespace

void Invocation::FillHandle(std::uint32_t* out, HandleKind kind) {
  bool given = next_ < reply_.outs.size();
  Fill(out, sizeof *out);
  if (!given && out && reply_.result == 0) *out = FreshHandle(kind);
}

std::uint32_t Invocation::HandleResult(HandleKind kind) {
  if (reply_.result != 0) return 0;
  std::uint32_t h = 0;
  bool given = next_ < reply_.outs.size();
  Fill(&h, sizeof h);
  return given ? h : FreshHandle(kind);
}

}  // namespace detail
}  // namespace cvfake
