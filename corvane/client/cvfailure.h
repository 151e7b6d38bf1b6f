// Beyond the Cv* operations of the vendor's libraries: why the calling
// process's last operation could not reach or trust a server, in words (a
// server whose certificate changed, a version mismatch, a failed TLS
// handshake). The code the operation returned stays the one to act on.
#pragma once

#include <cstdint>

#include "corvane/client/cvdefs.h"

extern "C" {

// Copies the text into an area of size bytes (cut and terminated); empty
// when the last operation left none. 35067 for a null area or size 0.
CVCLIENT_API std::uint32_t CvGetFailureText(char* text, std::uint32_t size);

}
