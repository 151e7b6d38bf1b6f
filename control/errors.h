// The control's error codes, the table that maps every 32-bit failure code to
// a message, and the ways a failure is raised to the host.
#pragma once

#include <cstdint>
#include <string>

#include "ole/dispatch.h"

namespace cvsrva {

// The control's own codes.
inline constexpr std::int32_t kErrLimitExceeded = 52752;       // index or connection number outside the collection
inline constexpr std::int32_t kErrInvalidNameFormat = 52737;   // rejected server name
inline constexpr std::int32_t kErrInvalidParameter = 52753;    // Call parameter of an unsupported type
inline constexpr std::int32_t kErrInvalidReturn = 52754;       // Call reply that makes no result
inline constexpr std::int32_t kErrQrxNotRunning = 52755;       // the server's call service is not found
inline constexpr std::int32_t kErrNoConsoleRights = 52756;     // Call reply carrying that condition
inline constexpr std::int32_t kErrNotInitialized = 52757;      // property read while FullName is empty
inline constexpr std::int32_t kErrInvalidConnection = 34817;   // the last binding error before any binding

// The message id the error table gives a code (1342 "Corvane error" for a
// code it does not list).
unsigned MessageIdForCode(std::int32_t code);

// An automation exception as the host will receive it.
struct Raised {
  bool outOfMemory = false;  // the framework's memory exception: E_OUTOFMEMORY
  WORD code = 0;
  std::string description;
};

// Table raise: the low 16 bits of code and the text of its message. Code 0
// carries "Corvane error" with error code 0 (the host then sees E_FAIL).
Raised TableRaise(std::int32_t code);
// Directory error raise: the message id as the code, or 600 with the code in
// the text, or the memory exception.
Raised DirectoryRaise(std::int32_t code);

// Throws the exception (ole::DispatchException, or std::bad_alloc) with the
// help context the framework derives from -1 (none) and source.
[[noreturn]] void Throw(const Raised& r, const std::string& source);

}  // namespace cvsrva
