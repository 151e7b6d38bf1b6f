// KSCONN: connection handles of the Corvane client library: releasing and
// licensing a connection, and reading its items. Conventions: cvdefs.h.
#pragma once

#include <cstddef>
#include <cstdint>

#include "corvane/client/cvdefs.h"

// Items of CvGetConnectionItem, with the value each one writes.
inline constexpr std::uint32_t kCvItemState = 1;       // u32 connection state
inline constexpr std::uint32_t kCvItemTreeName = 4;    // text: directory tree, may end in '_' padding
inline constexpr std::uint32_t kCvItemServerName = 7;  // text: the server's name, kCvServerNameSize
inline constexpr std::uint32_t kCvItemDirectory = 8;   // u32: nonzero when the server runs the directory
inline constexpr std::uint32_t kCvItemVersion = 12;    // CvVersionItem

// Connection state (kCvItemState): logged in and authenticated to the
// directory. Any other state is a connection without directory authentication.
inline constexpr std::uint32_t kCvStateDirectoryAuthenticated = 2;

// The tree name area: callers pass kCvTreeNameSize - 1 as the size so that a
// terminator always fits.
inline constexpr std::uint32_t kCvTreeNameSize = 515;

// The server version (kCvItemVersion).
struct CvVersionItem {
  std::uint32_t major;
  std::uint32_t minor;
  std::uint32_t revision;
};
static_assert(sizeof(CvVersionItem) == 12);
static_assert(offsetof(CvVersionItem, minor) == 4);
static_assert(offsetof(CvVersionItem, revision) == 8);

extern "C" {

// Gives up the caller's use of a connection handle.
CVCLIENT_API std::uint32_t CvReleaseConnection(std::uint32_t connection);

// Takes a licensed connection slot on the server for this connection.
CVCLIENT_API std::uint32_t CvLicenseConnection(std::uint32_t connection);

// Writes the value of item into value, at most size bytes (a text is cut to
// size - 1 bytes and terminated).
CVCLIENT_API std::uint32_t CvGetConnectionItem(std::uint32_t connection, std::uint32_t item, std::uint32_t size,
                                               void* value);

}  // extern "C"
