// A type library in memory, and its serialized form: the bytes a module
// carries as its resource TYPELIB 1.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ole/guid.h"
#include "ole/variant.h"

enum INVOKEKIND : DWORD {
  INVOKE_FUNC = 1,
  INVOKE_PROPERTYGET = 2,
  INVOKE_PROPERTYPUT = 4,
  INVOKE_PROPERTYPUTREF = 8,
};

enum TYPEKIND : DWORD {
  TKIND_ENUM = 0,
  TKIND_RECORD,
  TKIND_MODULE,
  TKIND_INTERFACE,
  TKIND_DISPATCH,
  TKIND_COCLASS,
  TKIND_ALIAS,
  TKIND_UNION,
  TKIND_MAX
};

// FUNCFLAGS / VARFLAGS share these bit values.
inline constexpr WORD FUNCFLAG_FRESTRICTED = 0x1;
inline constexpr WORD FUNCFLAG_FSOURCE = 0x2;
inline constexpr WORD FUNCFLAG_FBINDABLE = 0x4;
inline constexpr WORD FUNCFLAG_FHIDDEN = 0x40;
inline constexpr WORD FUNCFLAG_FNONBROWSABLE = 0x400;
inline constexpr WORD VARFLAG_FREADONLY = 0x1;
inline constexpr WORD VARFLAG_FHIDDEN = 0x40;
inline constexpr WORD VARFLAG_FNONBROWSABLE = 0x400;

inline constexpr WORD TYPEFLAG_FAPPOBJECT = 0x1;
inline constexpr WORD TYPEFLAG_FCANCREATE = 0x2;
inline constexpr WORD TYPEFLAG_FLICENSED = 0x4;
inline constexpr WORD TYPEFLAG_FCONTROL = 0x20;
inline constexpr WORD TYPEFLAG_FHIDDEN = 0x10;
inline constexpr WORD TYPEFLAG_FDUAL = 0x40;
inline constexpr WORD TYPEFLAG_FDISPATCHABLE = 0x1000;

inline constexpr int IMPLTYPEFLAG_FDEFAULT = 0x1;
inline constexpr int IMPLTYPEFLAG_FSOURCE = 0x2;
inline constexpr int IMPLTYPEFLAG_FRESTRICTED = 0x4;

inline constexpr WORD PARAMFLAG_NONE = 0;
inline constexpr WORD PARAMFLAG_FIN = 0x1;
inline constexpr WORD PARAMFLAG_FOUT = 0x2;
inline constexpr WORD PARAMFLAG_FRETVAL = 0x8;
inline constexpr WORD PARAMFLAG_FOPT = 0x10;

namespace ole::tlb {

struct Param {
  std::string name;
  VARTYPE vt = VT_VARIANT;
  bool optional = false;
  std::string typeName;  // the interface named by a VT_DISPATCH/VT_UNKNOWN, if any
};

struct Member {
  std::string name;
  DISPID dispid = 0;
  // A property declared in the "properties" section (VARDESC) or a method
  // or accessor (FUNCDESC).
  bool isVariable = false;
  INVOKEKIND invokeKind = INVOKE_FUNC;
  WORD flags = 0;
  VARTYPE result = VT_EMPTY;  // VT_EMPTY: void
  std::string resultTypeName;
  std::vector<Param> params;
  std::string helpString;
  DWORD helpContext = 0;
};

struct Interface {
  std::string name;
  IID iid{};
  TYPEKIND kind = TKIND_DISPATCH;
  WORD flags = 0;
  std::string helpString;
  DWORD helpContext = 0;
  std::vector<Member> members;
};

struct CoClassInterface {
  std::string name;  // an Interface of the same library
  int flags = 0;     // IMPLTYPEFLAG_*
};

struct CoClass {
  std::string name;
  CLSID clsid{};
  WORD flags = 0;
  std::string helpString;
  DWORD helpContext = 0;
  std::vector<CoClassInterface> interfaces;
};

struct Library {
  std::string name;
  GUID libid{};
  WORD major = 1;
  WORD minor = 0;
  LCID lcid = 0;
  std::string helpString;
  std::string helpFile;
  DWORD helpContext = 0;
  std::vector<Interface> interfaces;
  std::vector<CoClass> coclasses;

  const Interface* FindInterface(std::string_view name) const;
};

// The bytes of the resource: "WWTL", a format version, then the fields in
// declaration order (u32 little-endian numbers, strings as u32 length + UTF-8).
std::string Serialize(const Library& lib);
// Bounded: every count and length is checked against what remains; malformed
// input gives nullopt and a reason.
std::optional<Library> Deserialize(std::string_view bytes, std::string* error);

}  // namespace ole::tlb
