// Attribute objects: the self-describing records of named, typed attributes
// that the remote call service and its clients exchange.
//
// Layout (little-endian): a 12-byte header (total size u16, 4 reserved bytes,
// attribute count u16, change counter u8, reserved, changed flag u8,
// reserved), then the attributes back to back, each an 8-byte header (name
// length u16, value length u16, type letter, reserved, access letter,
// reserved), the name and the value. Numbers are stored as decimal text.
//
// Every reader works on an area: the bytes that hold the object, which may be
// hostile (a reply off the network). A walk never leaves the smaller of the
// area and the object's own total size, and an attribute whose header, name or
// value would cross that bound ends the walk. A nested object is read inside
// its parent attribute's value bytes only.
//
// Owned objects are heap blocks from malloc, released with free (ObjectPtr).
// Plain C++ types only: the codec serves the control and the server alike.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace cvattobj {

inline constexpr std::size_t kHeaderSize = 12;
inline constexpr std::size_t kAttHeaderSize = 8;
// The largest object the 16-bit total size can describe.
inline constexpr std::size_t kMaxObjectSize = 0xFFFF;
// Value text of the numeric types: at most this many characters.
inline constexpr std::size_t kMaxNumberText = 31;

enum : char {
  kTypeBool = 'B',
  kTypeUnsigned = 'F',
  kTypeInt = 'I',
  kTypeReal = 'R',
  kTypeString = 'S',
  kTypeObject = 'O',
};
inline constexpr char kAccessWriteOnly = 'W';
// The access letter of the objects AddAtt creates along a dotted path.
inline constexpr char kAccessCreated = 'X';

// Optional diagnostic context: the last failure is recorded in it and, when
// print is set, written to standard output ("\n%s\n%s\n" or "\n%s\n").
struct Context {
  bool print = false;
  std::string message;
  std::string detail;
  int failures = 0;
};

struct FreeDeleter {
  void operator()(std::uint8_t* p) const noexcept { std::free(p); }
};
// An attribute object owned by its holder.
using ObjectPtr = std::unique_ptr<std::uint8_t, FreeDeleter>;

// The bytes of an area as a read-only span.
using Area = std::span<const std::uint8_t>;

// One attribute found inside an area; a default-constructed Att is "none".
// Its spans point into the area it was found in.
class Att {
 public:
  Att() = default;
  explicit operator bool() const { return entry_.data() != nullptr; }
  std::string_view Name() const;
  // The value bytes; for type 'O', the area of the nested object.
  Area Value() const;
  char Type() const { return static_cast<char>(entry_[4]); }
  char Access() const { return static_cast<char>(entry_[6]); }
  // The whole entry: header, name and value.
  Area Entry() const { return entry_; }

 private:
  friend Att AttAt(Area area, std::size_t limit, std::size_t offset);
  explicit Att(Area entry) : entry_(entry) {}
  Area entry_;
};

// Header fields of an object in area (0 when the header does not fit).
std::uint16_t TotalSize(Area object);
std::uint16_t Count(Area object);
std::uint8_t ChangeCounter(Area object);
std::uint8_t ChangedFlag(Area object);
// The bytes an object occupies: the smaller of its total size and the area
// (empty when the header does not fit).
Area ObjectBytes(Area area);
// The bytes of an owned object (its total size).
Area View(const ObjectPtr& object);
Area View(const std::uint8_t* object);  // object built by this codec

// A new empty object (total size 12); null when memory runs out.
ObjectPtr CreateObject(Context* ctx);
// A copy of the object in area (its total size, bounded by the area); null
// when the header does not fit or memory runs out.
ObjectPtr CopyObject(Context* ctx, Area area);

// The first attribute, or none when the count is 0 or nothing valid follows
// the header.
Att FirstAtt(Context* ctx, Area object);
// The attribute after att (which must have been found in object), or none.
Att NextAtt(Context* ctx, Area object, const Att& att);
// The attribute that name denotes; a dotted name is a path through nested
// objects ('O' attributes). Names compare byte for byte.
Att FindAtt(Context* ctx, Area object, std::string_view name);
// As FindAtt, but a write-only attribute counts as not found.
Att GetAtt(Context* ctx, Area object, std::string_view name);

// Readers: 1 when the attribute exists, is readable and has the reader's
// type, else 0 with the destination untouched.
// GetAttString needs room for the value and a terminating zero in dest.
int GetAttString(Context* ctx, std::span<char> dest, Area object, std::string_view name);
int GetAttBool(Context* ctx, std::int32_t* dest, Area object, std::string_view name);
int GetAttInt(Context* ctx, std::int32_t* dest, Area object, std::string_view name);
int GetAttUnsigned(Context* ctx, std::uint32_t* dest, Area object, std::string_view name);
int GetAttReal(Context* ctx, double* dest, Area object, std::string_view name);

// The value of one attribute read directly (no lookup by name), with the
// readers' conversions; false for a write-only attribute or another type.
bool ReadInt(const Att& att, std::int32_t* dest);  // 'B', 'F', 'I' text
bool ReadReal(const Att& att, double* dest);       // 'R' text

// Adds one attribute to *object and returns the new object (also stored in
// *object); on failure returns null and leaves *object as it was.
// value: an int32_t for 'B', 'F' and 'I', a double for 'R', value_length bytes
// for 'S', an attribute object for 'O' (its total size is the value length,
// and must lie within value_length when value_length is not 0). A dotted name
// adds the leaf to the nested object along the path, creating missing objects
// (access 'X') and replacing a leaf of the same name; a plain name appends.
// Other type letters, numbers whose text exceeds 31 characters and objects
// past 65535 bytes are refused.
std::uint8_t* AddAtt(Context* ctx, ObjectPtr* object, std::string_view name, const void* value,
                     std::size_t value_length, char type, char access);

}  // namespace cvattobj
