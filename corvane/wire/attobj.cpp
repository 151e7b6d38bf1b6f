#include "attobj.h"

#include <cstdio>
#include <cstring>
#include <functional>
#include <new>
#include <vector>

namespace cvattobj {
namespace {

std::uint16_t Le16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
void PutLe16(std::uint8_t* p, std::size_t v) {
  p[0] = static_cast<std::uint8_t>(v & 0xFF);
  p[1] = static_cast<std::uint8_t>((v >> 8) & 0xFF);
}

void Fail(Context* ctx, const char* message, const char* detail) {
  if (!ctx) return;
  ctx->message = message;
  ctx->detail = detail ? detail : "";
  ++ctx->failures;
  if (!ctx->print) return;
  if (detail)
    std::printf("\n%s\n%s\n", message, detail);
  else
    std::printf("\n%s\n", message);
  std::fflush(stdout);
}

// Offset of p inside area, or area.size() when p lies outside it.
std::size_t OffsetIn(Area area, const std::uint8_t* p) {
  auto a = reinterpret_cast<std::uintptr_t>(area.data());
  auto q = reinterpret_cast<std::uintptr_t>(p);
  if (q < a || q - a >= area.size()) return area.size();
  return q - a;
}

ObjectPtr Allocate(std::size_t size) { return ObjectPtr(static_cast<std::uint8_t*>(std::malloc(size))); }

// The value text of a numeric attribute (at most 63 bytes) as the C runtime's
// atoi reads it: strtol, truncated to 32 bits.
std::int32_t TextToInt(Area value) {
  char text[64];
  std::size_t n = value.size() < 63 ? value.size() : 63;
  std::memcpy(text, value.data(), n);
  text[n] = '\0';
  long long v = std::strtoll(text, nullptr, 10);
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<unsigned long long>(v)));
}

double TextToReal(Area value) {
  char text[64];
  std::size_t n = value.size() < 63 ? value.size() : 63;
  std::memcpy(text, value.data(), n);
  text[n] = '\0';
  return std::strtod(text, nullptr);
}

// The value bytes AddAtt stores for (value, value_length, type); false when
// the type is unknown or the value does not fit.
bool FormatValue(const void* value, std::size_t value_length, char type, char (&text)[32], Area* out) {
  int n = 0;
  switch (type) {
    case kTypeBool:
    case kTypeUnsigned:
    case kTypeInt: {
      std::int32_t v;
      std::memcpy(&v, value, sizeof v);
      n = std::snprintf(text, sizeof text, "%d", static_cast<int>(v));
      break;
    }
    case kTypeReal: {
      double v;
      std::memcpy(&v, value, sizeof v);
      n = std::snprintf(text, sizeof text, "%f", v);
      break;
    }
    case kTypeString:
      if (value_length > 0 && !value) return false;
      *out = Area(static_cast<const std::uint8_t*>(value), value_length);
      return value_length <= kMaxObjectSize;
    case kTypeObject: {
      if (!value) return false;
      auto* obj = static_cast<const std::uint8_t*>(value);
      std::size_t total = Le16(obj);
      if (total < kHeaderSize || (value_length != 0 && total > value_length)) return false;
      *out = Area(obj, total);
      return true;
    }
    default:
      return false;
  }
  if (n < 0 || static_cast<std::size_t>(n) > kMaxNumberText) return false;
  *out = Area(reinterpret_cast<const std::uint8_t*>(text), static_cast<std::size_t>(n));
  return true;
}

// The bytes of a new attribute entry.
std::vector<std::uint8_t> MakeEntry(std::string_view name, Area value, char type, char access) {
  std::vector<std::uint8_t> e(kAttHeaderSize + name.size() + value.size(), 0);
  PutLe16(&e[0], name.size());
  PutLe16(&e[2], value.size());
  e[4] = static_cast<std::uint8_t>(type);
  e[6] = static_cast<std::uint8_t>(access);
  std::memcpy(e.data() + kAttHeaderSize, name.data(), name.size());
  if (!value.empty()) std::memcpy(e.data() + kAttHeaderSize + name.size(), value.data(), value.size());
  return e;
}

bool SameName(const Att& att, std::string_view name) { return att.Name() == name; }

// Plain lookup in one level.
Att FindPlain(Context* ctx, Area object, std::string_view name) {
  for (Att a = FirstAtt(ctx, object); a; a = NextAtt(ctx, object, a))
    if (SameName(a, name)) return a;
  return {};
}

void Bump(std::uint8_t* header) {
  header[8] = static_cast<std::uint8_t>(header[8] + 1);
  header[10] = 1;
}

// Rebuilds one level of `level` into out along path[index...]; at the end of
// the path, puts entry in front and drops the first attribute named leaf.
bool Rebuild(Area level, const std::vector<std::string_view>& path, std::size_t index, std::string_view leaf,
             const std::vector<std::uint8_t>& entry, std::vector<std::uint8_t>& out) {
  Area bytes = ObjectBytes(level);
  if (bytes.size() < kHeaderSize) return false;
  std::size_t start = out.size();
  out.insert(out.end(), bytes.begin(), bytes.begin() + kHeaderSize);
  if (index < path.size()) {
    bool rebuilt = false;
    for (Att a = FirstAtt(nullptr, level); a; a = NextAtt(nullptr, level, a)) {
      if (rebuilt || !SameName(a, path[index])) {
        out.insert(out.end(), a.Entry().begin(), a.Entry().end());
        continue;
      }
      if (a.Type() != kTypeObject) return false;
      std::size_t head = out.size();
      out.insert(out.end(), a.Entry().begin(), a.Entry().begin() + kAttHeaderSize + a.Name().size());
      std::size_t inner = out.size();
      if (!Rebuild(a.Value(), path, index + 1, leaf, entry, out)) return false;
      std::size_t size = out.size() - inner;
      if (size > kMaxObjectSize) return false;
      PutLe16(&out[head + 2], size);
      rebuilt = true;
    }
    if (!rebuilt) return false;
  } else {
    out.insert(out.end(), entry.begin(), entry.end());
    bool dropped = false;
    for (Att a = FirstAtt(nullptr, level); a; a = NextAtt(nullptr, level, a)) {
      if (!dropped && SameName(a, leaf)) {
        dropped = true;
        continue;
      }
      out.insert(out.end(), a.Entry().begin(), a.Entry().end());
    }
    if (!dropped) PutLe16(&out[start + 6], Le16(&out[start + 6]) + 1u);
    Bump(&out[start]);
  }
  std::size_t total = out.size() - start;
  if (total > kMaxObjectSize) return false;
  PutLe16(&out[start], total);
  return true;
}

std::uint8_t* AddPlain(Context* ctx, ObjectPtr* object, std::string_view name, Area value, char type,
                       char access) {
  Area old = View(*object);
  std::size_t entry = kAttHeaderSize + name.size() + value.size();
  if (name.size() > kMaxObjectSize || old.size() + entry > kMaxObjectSize) return nullptr;
  ObjectPtr block = Allocate(old.size() + entry);
  if (!block) {
    Fail(ctx, "ERM_OUT_OF_MEM AddAtt", nullptr);
    return nullptr;
  }
  std::uint8_t* p = block.get();
  std::memcpy(p, old.data(), old.size());
  std::vector<std::uint8_t> e = MakeEntry(name, value, type, access);
  std::memcpy(p + old.size(), e.data(), e.size());
  PutLe16(p, old.size() + entry);
  PutLe16(p + 6, Le16(p + 6) + 1u);
  Bump(p);
  *object = std::move(block);
  return object->get();
}

std::uint8_t* AddDotted(Context* ctx, ObjectPtr* object, std::string_view name, Area value, char type,
                        char access) {
  std::size_t dot = name.rfind('.');
  std::string_view parent = name.substr(0, dot);
  std::string_view leaf = name.substr(dot + 1);
  if (leaf.size() > kMaxObjectSize) return nullptr;
  // Every level costs at least a header and a one-byte-name entry, so a
  // deeper path could never fit an object; refusing it bounds the recursion.
  std::size_t depth = 0;
  for (char c : name) depth += c == '.';
  if (depth > kMaxObjectSize / (kHeaderSize + kAttHeaderSize + 1)) return nullptr;
  // Work on a copy so that a failure leaves the caller's object intact, even
  // after missing parents were added.
  ObjectPtr work = CopyObject(ctx, View(*object));
  if (!work) return nullptr;
  if (!FindAtt(nullptr, View(work), parent)) {
    ObjectPtr empty = CreateObject(ctx);
    if (!empty || !AddAtt(ctx, &work, parent, empty.get(), 0, kTypeObject, kAccessCreated)) return nullptr;
  }
  std::vector<std::string_view> path;
  for (std::size_t from = 0;;) {
    std::size_t d = parent.find('.', from);
    path.push_back(parent.substr(from, d == std::string_view::npos ? std::string_view::npos : d - from));
    if (d == std::string_view::npos) break;
    from = d + 1;
  }
  std::vector<std::uint8_t> out;
  out.reserve(View(work).size() + kAttHeaderSize + leaf.size() + value.size());
  if (!Rebuild(View(work), path, 0, leaf, MakeEntry(leaf, value, type, access), out)) return nullptr;
  ObjectPtr block = Allocate(out.size());
  if (!block) {
    Fail(ctx, "ERM_OUT_OF_MEM AddAtt", nullptr);
    return nullptr;
  }
  std::memcpy(block.get(), out.data(), out.size());
  *object = std::move(block);
  return object->get();
}

}  // namespace

// ---- attributes and headers ----------------------------------------------------

std::string_view Att::Name() const {
  return {reinterpret_cast<const char*>(entry_.data()) + kAttHeaderSize, Le16(entry_.data())};
}

Area Att::Value() const { return entry_.subspan(kAttHeaderSize + Le16(entry_.data())); }

Att AttAt(Area area, std::size_t limit, std::size_t offset) {
  if (limit > area.size() || offset > limit || limit - offset < kAttHeaderSize) return {};
  const std::uint8_t* p = area.data() + offset;
  std::size_t size = kAttHeaderSize + Le16(p) + Le16(p + 2);
  if (limit - offset < size) return {};
  return Att(area.subspan(offset, size));
}

std::uint16_t TotalSize(Area object) { return object.size() < kHeaderSize ? 0 : Le16(object.data()); }
std::uint16_t Count(Area object) { return object.size() < kHeaderSize ? 0 : Le16(object.data() + 6); }
std::uint8_t ChangeCounter(Area object) { return object.size() < kHeaderSize ? 0 : object[8]; }
std::uint8_t ChangedFlag(Area object) { return object.size() < kHeaderSize ? 0 : object[10]; }

Area ObjectBytes(Area area) {
  if (area.size() < kHeaderSize) return {};
  std::size_t total = Le16(area.data());
  return area.first(total < area.size() ? total : area.size());
}

Area View(const std::uint8_t* object) {
  if (!object) return {};
  return Area(object, Le16(object));
}

Area View(const ObjectPtr& object) { return View(object.get()); }

// ---- codec ------------------------------------------------------------------

ObjectPtr CreateObject(Context* ctx) {
  ObjectPtr obj = Allocate(kHeaderSize);
  if (!obj) {
    Fail(ctx, "ERM_OUT_OF_MEM", "CreateObject");
    return obj;
  }
  std::memset(obj.get(), 0, kHeaderSize);
  PutLe16(obj.get(), kHeaderSize);
  return obj;
}

ObjectPtr CopyObject(Context* ctx, Area area) {
  Area bytes = ObjectBytes(area);
  if (bytes.size() < kHeaderSize) return {};
  ObjectPtr obj = Allocate(bytes.size());
  if (!obj) {
    Fail(ctx, "ERM_OUT_OF_MEM", "CopyObject");
    return obj;
  }
  std::memcpy(obj.get(), bytes.data(), bytes.size());
  PutLe16(obj.get(), bytes.size());  // an area shorter than the object cuts it
  return obj;
}

Att FirstAtt(Context*, Area object) {
  Area bytes = ObjectBytes(object);
  if (bytes.empty() || Count(bytes) == 0) return {};
  return AttAt(bytes, bytes.size(), kHeaderSize);
}

Att NextAtt(Context*, Area object, const Att& att) {
  Area bytes = ObjectBytes(object);
  if (!att) return {};
  std::size_t offset = OffsetIn(bytes, att.Entry().data());
  if (offset < kHeaderSize || offset >= bytes.size()) return {};
  return AttAt(bytes, bytes.size(), offset + att.Entry().size());
}

Att FindAtt(Context* ctx, Area object, std::string_view name) {
  for (;;) {
    std::size_t dot = name.find('.');
    if (dot == std::string_view::npos) return FindPlain(ctx, object, name);
    Att a = FindPlain(ctx, object, name.substr(0, dot));
    if (!a || a.Type() != kTypeObject) return {};
    object = a.Value();
    name = name.substr(dot + 1);
  }
}

Att GetAtt(Context* ctx, Area object, std::string_view name) {
  Att a = FindAtt(ctx, object, name);
  if (a && a.Access() == kAccessWriteOnly) {
    Fail(ctx, "ERM_ATT_WRITE_ONLY GetAtt", nullptr);
    return {};
  }
  return a;
}

int GetAttString(Context* ctx, std::span<char> dest, Area object, std::string_view name) {
  Att a = GetAtt(ctx, object, name);
  if (!a || a.Type() != kTypeString || dest.size() < a.Value().size() + 1) return 0;
  std::memcpy(dest.data(), a.Value().data(), a.Value().size());
  dest[a.Value().size()] = '\0';
  return 1;
}

namespace {
template <typename T>
int ReadNumber(Context* ctx, T* dest, Area object, std::string_view name, char type) {
  Att a = GetAtt(ctx, object, name);
  if (!a || a.Type() != type) return 0;
  *dest = static_cast<T>(TextToInt(a.Value()));
  return 1;
}
}  // namespace

int GetAttBool(Context* ctx, std::int32_t* dest, Area object, std::string_view name) {
  return ReadNumber(ctx, dest, object, name, kTypeBool);
}
int GetAttInt(Context* ctx, std::int32_t* dest, Area object, std::string_view name) {
  return ReadNumber(ctx, dest, object, name, kTypeInt);
}
int GetAttUnsigned(Context* ctx, std::uint32_t* dest, Area object, std::string_view name) {
  return ReadNumber(ctx, dest, object, name, kTypeUnsigned);
}

int GetAttReal(Context* ctx, double* dest, Area object, std::string_view name) {
  Att a = GetAtt(ctx, object, name);
  if (!a || a.Type() != kTypeReal) return 0;
  *dest = TextToReal(a.Value());
  return 1;
}

bool ReadInt(const Att& att, std::int32_t* dest) {
  if (!att || att.Access() == kAccessWriteOnly) return false;
  char t = att.Type();
  if (t != kTypeBool && t != kTypeUnsigned && t != kTypeInt) return false;
  *dest = TextToInt(att.Value());
  return true;
}

bool ReadReal(const Att& att, double* dest) {
  if (!att || att.Access() == kAccessWriteOnly || att.Type() != kTypeReal) return false;
  *dest = TextToReal(att.Value());
  return true;
}

std::uint8_t* AddAtt(Context* ctx, ObjectPtr* object, std::string_view name, const void* value,
                     std::size_t value_length, char type, char access) {
  if (!object || !*object || View(*object).size() < kHeaderSize) return nullptr;
  if (!value && type != kTypeString) return nullptr;
  char text[32];
  Area bytes;
  if (!FormatValue(value, value_length, type, text, &bytes)) return nullptr;
  try {
    if (name.find('.') == std::string_view::npos) return AddPlain(ctx, object, name, bytes, type, access);
    return AddDotted(ctx, object, name, bytes, type, access);
  } catch (const std::bad_alloc&) {
    Fail(ctx, "ERM_OUT_OF_MEM AddAtt", nullptr);
    return nullptr;
  }
}

}  // namespace cvattobj
