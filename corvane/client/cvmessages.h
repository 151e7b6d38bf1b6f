// Operations of this client library beyond the KSCALLS set: reading the
// broadcast messages queued for this workstation's own connection.
// Conventions: cvdefs.h.
#pragma once

#include <cstdint>

#include "corvane/client/cvdefs.h"

inline constexpr std::uint32_t kCvMessageSize = 1025;  // a broadcast message, NUL included

extern "C" {

// The oldest message queued for this workstation's connection to the server
// behind connection (an area of kCvMessageSize); kCvErrNoMoreEntries when
// there is none.
CVCLIENT_API std::uint32_t CvGetBroadcastMessage(std::uint32_t connection, char* message);

}  // extern "C"
