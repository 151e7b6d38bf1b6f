// Conventions shared by the Corvane client headers (kscalls.h, ksconn.h,
// kslocale.h, ksdir.h).
//
// - Every operation has C linkage and returns a std::uint32_t: 0 for success,
//   otherwise a client code (cverrors.h). CvNewDirContext is the one exception:
//   it returns the new context handle, 0 when none could be made.
// - Connection, context and buffer handles are 32-bit numbers from the
//   library's own table; 0 is never a valid handle.
// - Texts are NUL-terminated UTF-8. Texts the library writes go into areas the
//   caller provides, of the sizes named next to each operation; the library
//   never writes past that size and always terminates a text within it.
// - Out-arguments documented as optional may be null; the library then skips
//   that output.
#pragma once

#include <cstdint>

// Symbols of the shared client library are exported when it is built with
// CVCLIENT_EXPORTS; everyone else (and the static test double) sees plain
// declarations.
#if defined(CVCLIENT_EXPORTS)
#define CVCLIENT_API __attribute__((visibility("default")))
#else
#define CVCLIENT_API
#endif

#include "corvane/wire/cvdefs.h"
