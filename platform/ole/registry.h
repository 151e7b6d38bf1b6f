// The registry's HKEY_CLASSES_ROOT, kept in one REGEDIT4 text file: the path
// in $OLE_REGISTRY, else $XDG_DATA_HOME/ole/registry.reg (~/.local/share/...).
// Every change locks the file for its whole read-modify-write and replaces it
// atomically, so concurrent writers in several processes lose nothing; a file
// that cannot be parsed is an error (ERROR_BADDB) and is never overwritten.
// Names and text values are UTF-8; key and value names match without regard
// to case, the first spelling written is kept.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ole/types.h"

struct HKEY__;
using HKEY = HKEY__*;
using REGSAM = DWORD;
using LPCSTR = const char*;
using LPSTR = char*;

#define HKEY_CLASSES_ROOT (reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000000u)))

inline constexpr LONG ERROR_SUCCESS = 0;
inline constexpr LONG ERROR_FILE_NOT_FOUND = 2;
inline constexpr LONG ERROR_ACCESS_DENIED = 5;
inline constexpr LONG ERROR_INVALID_HANDLE = 6;
inline constexpr LONG ERROR_OUTOFMEMORY = 14;
inline constexpr LONG ERROR_WRITE_FAULT = 29;
inline constexpr LONG ERROR_INVALID_PARAMETER = 87;
inline constexpr LONG ERROR_MORE_DATA = 234;
inline constexpr LONG ERROR_NO_MORE_ITEMS = 259;
inline constexpr LONG ERROR_BADDB = 1009;
inline constexpr LONG ERROR_KEY_DELETED = 1018;

inline constexpr DWORD REG_NONE = 0;
inline constexpr DWORD REG_SZ = 1;
inline constexpr DWORD REG_DWORD = 4;

inline constexpr DWORD REG_OPTION_NON_VOLATILE = 0;
inline constexpr DWORD REG_CREATED_NEW_KEY = 1;
inline constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

inline constexpr REGSAM KEY_READ = 0x20019;
inline constexpr REGSAM KEY_WRITE = 0x20006;
inline constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;

// Creates subkey (and its missing parents) or opens it; *disposition, when
// given, tells which. The class, options, access and security arguments are
// accepted and ignored.
LONG RegCreateKeyEx(HKEY key, LPCSTR subkey, DWORD reserved, LPSTR cls, DWORD options,
                    REGSAM sam, void* security, HKEY* result, DWORD* disposition);
LONG RegOpenKeyEx(HKEY key, LPCSTR subkey, DWORD options, REGSAM sam, HKEY* result);
LONG RegCloseKey(HKEY key);
// name null or "" is the default value "@". REG_SZ data is UTF-8 text whose
// length may include the terminating NUL; REG_DWORD data is four bytes.
LONG RegSetValueEx(HKEY key, LPCSTR name, DWORD reserved, DWORD type, const BYTE* data,
                   DWORD size);
// Windows semantics: data null asks for the size only; a buffer too small gives
// ERROR_MORE_DATA with the size needed. REG_SZ comes back NUL-terminated.
LONG RegQueryValueEx(HKEY key, LPCSTR name, DWORD* reserved, DWORD* type, BYTE* data,
                     DWORD* size);
// The index-th subkey name, in the file's sorted order. *chars is the buffer
// size in characters on entry and the name length (without NUL) on return.
LONG RegEnumKeyEx(HKEY key, DWORD index, LPSTR name, DWORD* chars, DWORD* reserved, LPSTR cls,
                  DWORD* clsChars, void* lastWrite);
LONG RegDeleteValue(HKEY key, LPCSTR name);
// Deletes subkey with all its descendants (subkey null: everything under key).
LONG RegDeleteTree(HKEY key, LPCSTR subkey);

namespace ole {

// The registry file in use (after the environment is read).
std::string RegistryPath();
// "FILE:LINE: what is wrong" of the last ERROR_BADDB in this thread.
std::string RegistryLastError();
// Empty when the registry file can be read (or is missing, an empty
// registry); else why not, as "FILE:LINE: what is wrong" for a malformed one.
// For the reports of callers whose registry calls failed.
std::string RegistryFileError();

// Owns an open key.
class RegKey {
 public:
  RegKey() = default;
  explicit RegKey(HKEY k) : key_(k) {}
  RegKey(RegKey&& o) noexcept : key_(std::exchange(o.key_, nullptr)) {}
  RegKey& operator=(RegKey o) noexcept {
    std::swap(key_, o.key_);
    return *this;
  }
  ~RegKey() {
    if (key_) RegCloseKey(key_);
  }
  HKEY get() const { return key_; }
  HKEY* put() {
    *this = RegKey();
    return &key_;
  }
  explicit operator bool() const { return key_ != nullptr; }

 private:
  HKEY key_ = nullptr;
};

// Convenience over the calls above for paths below HKEY_CLASSES_ROOT.
LONG RegSetString(std::string_view path, std::string_view name, std::string_view value);
LONG RegSetDword(std::string_view path, std::string_view name, DWORD value);
std::optional<std::string> RegGetString(std::string_view path, std::string_view name);
std::optional<DWORD> RegGetDword(std::string_view path, std::string_view name);
bool RegKeyExists(std::string_view path);
std::vector<std::string> RegSubkeys(std::string_view path);

}  // namespace ole
