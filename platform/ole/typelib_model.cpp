#include "ole/typelib_model.h"

#include <cstring>

namespace ole::tlb {

const Interface* Library::FindInterface(std::string_view n) const {
  for (const auto& i : interfaces)
    if (i.name == n) return &i;
  return nullptr;
}

namespace {

constexpr char kMagic[4] = {'W', 'W', 'T', 'L'};
constexpr std::uint32_t kVersion = 1;
constexpr std::uint32_t kMaxItems = 4096;
constexpr std::uint32_t kMaxString = 65536;

class Writer {
 public:
  void U32(std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
  }
  void Str(const std::string& s) {
    U32(static_cast<std::uint32_t>(s.size()));
    out += s;
  }
  void Guid(const GUID& g) {
    U32(g.Data1);
    U32(g.Data2);
    U32(g.Data3);
    out.append(reinterpret_cast<const char*>(g.Data4), 8);
  }
  std::string out;
};

class Reader {
 public:
  explicit Reader(std::string_view in) : in_(in) {}
  bool U32(std::uint32_t& v) {
    if (in_.size() < 4) return Fail("truncated number");
    v = 0;
    for (int i = 0; i < 4; ++i) v |= std::uint32_t(static_cast<unsigned char>(in_[i])) << (8 * i);
    in_.remove_prefix(4);
    return true;
  }
  template <class T>
  bool Num(T& v, std::uint32_t max = 0xFFFFFFFFu) {
    std::uint32_t x;
    if (!U32(x)) return false;
    if (x > max) return Fail("number out of range");
    v = static_cast<T>(x);
    return true;
  }
  bool Str(std::string& s) {
    std::uint32_t n;
    if (!U32(n)) return false;
    if (n > kMaxString || n > in_.size()) return Fail("string longer than the data");
    s.assign(in_.data(), n);
    in_.remove_prefix(n);
    return true;
  }
  bool Guid(GUID& g) {
    if (!Num(g.Data1) || !Num(g.Data2, 0xFFFF) || !Num(g.Data3, 0xFFFF)) return false;
    if (in_.size() < 8) return Fail("truncated GUID");
    std::memcpy(g.Data4, in_.data(), 8);
    in_.remove_prefix(8);
    return true;
  }
  bool Count(std::uint32_t& n) {
    if (!U32(n)) return false;
    // Each item takes at least four bytes, so a count beyond that is a lie.
    if (n > kMaxItems || n > in_.size() / 4) return Fail("item count larger than the data");
    return true;
  }
  bool Fail(const char* why) {
    if (error.empty()) error = why;
    return false;
  }
  bool AtEnd() const { return in_.empty(); }
  std::string error;

 private:
  std::string_view in_;
};

}  // namespace

std::string Serialize(const Library& lib) {
  Writer w;
  w.out.append(kMagic, 4);
  w.U32(kVersion);
  w.Str(lib.name);
  w.Guid(lib.libid);
  w.U32(lib.major);
  w.U32(lib.minor);
  w.U32(lib.lcid);
  w.Str(lib.helpString);
  w.Str(lib.helpFile);
  w.U32(lib.helpContext);
  w.U32(static_cast<std::uint32_t>(lib.interfaces.size()));
  for (const auto& i : lib.interfaces) {
    w.Str(i.name);
    w.Guid(i.iid);
    w.U32(i.kind);
    w.U32(i.flags);
    w.Str(i.helpString);
    w.U32(i.helpContext);
    w.U32(static_cast<std::uint32_t>(i.members.size()));
    for (const auto& m : i.members) {
      w.Str(m.name);
      w.U32(static_cast<std::uint32_t>(m.dispid));
      w.U32(m.isVariable);
      w.U32(m.invokeKind);
      w.U32(m.flags);
      w.U32(m.result);
      w.Str(m.resultTypeName);
      w.Str(m.helpString);
      w.U32(m.helpContext);
      w.U32(static_cast<std::uint32_t>(m.params.size()));
      for (const auto& p : m.params) {
        w.Str(p.name);
        w.U32(p.vt);
        w.U32(p.optional);
        w.Str(p.typeName);
      }
    }
  }
  w.U32(static_cast<std::uint32_t>(lib.coclasses.size()));
  for (const auto& c : lib.coclasses) {
    w.Str(c.name);
    w.Guid(c.clsid);
    w.U32(c.flags);
    w.Str(c.helpString);
    w.U32(c.helpContext);
    w.U32(static_cast<std::uint32_t>(c.interfaces.size()));
    for (const auto& ci : c.interfaces) {
      w.Str(ci.name);
      w.U32(static_cast<std::uint32_t>(ci.flags));
    }
  }
  return w.out;
}

std::optional<Library> Deserialize(std::string_view bytes, std::string* error) {
  auto fail = [&](const std::string& why) -> std::optional<Library> {
    if (error) *error = why;
    return std::nullopt;
  };
  if (bytes.size() < 8 || std::memcmp(bytes.data(), kMagic, 4) != 0) return fail("not a type library");
  Reader r(bytes.substr(4));
  std::uint32_t version = 0;
  if (!r.U32(version) || version != kVersion) return fail("unknown type library format version");

  Library lib;
  std::uint32_t n = 0;
  bool ok = r.Str(lib.name) && r.Guid(lib.libid) && r.Num(lib.major, 0xFFFF) && r.Num(lib.minor, 0xFFFF) &&
            r.Num(lib.lcid) && r.Str(lib.helpString) && r.Str(lib.helpFile) && r.Num(lib.helpContext) &&
            r.Count(n);
  for (std::uint32_t i = 0; ok && i < n; ++i) {
    Interface& itf = lib.interfaces.emplace_back();
    std::uint32_t members = 0;
    ok = r.Str(itf.name) && r.Guid(itf.iid) && r.Num(itf.kind, TKIND_MAX - 1) && r.Num(itf.flags, 0xFFFF) &&
         r.Str(itf.helpString) && r.Num(itf.helpContext) && r.Count(members);
    for (std::uint32_t k = 0; ok && k < members; ++k) {
      Member& m = itf.members.emplace_back();
      std::uint32_t isVar = 0, params = 0;
      ok = r.Str(m.name) && r.Num(m.dispid) && r.Num(isVar, 1) && r.Num(m.invokeKind, 8) &&
           r.Num(m.flags, 0xFFFF) && r.Num(m.result, 0xFFFF) && r.Str(m.resultTypeName) && r.Str(m.helpString) &&
           r.Num(m.helpContext) && r.Count(params);
      m.isVariable = isVar != 0;
      for (std::uint32_t p = 0; ok && p < params; ++p) {
        Param& prm = m.params.emplace_back();
        std::uint32_t opt = 0;
        ok = r.Str(prm.name) && r.Num(prm.vt, 0xFFFF) && r.Num(opt, 1) && r.Str(prm.typeName);
        prm.optional = opt != 0;
      }
    }
  }
  ok = ok && r.Count(n);
  for (std::uint32_t i = 0; ok && i < n; ++i) {
    CoClass& c = lib.coclasses.emplace_back();
    std::uint32_t itfs = 0;
    ok = r.Str(c.name) && r.Guid(c.clsid) && r.Num(c.flags, 0xFFFF) && r.Str(c.helpString) &&
         r.Num(c.helpContext) && r.Count(itfs);
    for (std::uint32_t k = 0; ok && k < itfs; ++k) {
      CoClassInterface& ci = c.interfaces.emplace_back();
      ok = r.Str(ci.name) && r.Num(ci.flags);
    }
  }
  if (!ok) return fail(r.error);
  if (!r.AtEnd()) return fail("data after the end of the type library");
  return lib;
}

}  // namespace ole::tlb
