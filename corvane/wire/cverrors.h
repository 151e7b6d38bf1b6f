// Codes the Corvane client library returns and the agent answers on the wire.
// The control maps each to its message; the message it shows is noted beside
// each code. Callers of the client library include corvane/client/cverrors.h.
#pragma once

#include <cstdint>

// Server and connection codes.
inline constexpr std::uint32_t kCvErrTypeMismatch = 140;             // 0x8C "Invalid type flag set": parameter takes no value of that type
inline constexpr std::uint32_t kCvErrNoPathSupported = 158;          // 0x9E "No path and name field supported"
inline constexpr std::uint32_t kCvErrUnknownParameter = 191;         // 0xBF "Invalid set command name"
inline constexpr std::uint32_t kCvErrModuleFailed = 514;             // 0x202 module could not be loaded or unloaded
inline constexpr std::uint32_t kCvErrSetFailed = 518;                // 0x206 "Unable to set the command"
inline constexpr std::uint32_t kCvErrCommandFileFailed = 519;        // 0x207 command file could not be run
inline constexpr std::uint32_t kCvErrInvalidConnection = 0x8801;     // 34817 handle unknown or 0
inline constexpr std::uint32_t kCvErrNoAnswer = 0x8805;              // 34821 server did not answer, or dropped the connection
inline constexpr std::uint32_t kCvErrUnknownServer = 0x880F;         // 34831 no server of that name is configured or reachable
inline constexpr std::uint32_t kCvErrAlreadyLicensed = 0x8814;       // 34836 "Licensed connection exists"
inline constexpr std::uint32_t kCvErrInvalidInfoType = 0x8868;       // 34920 "Invalid information type"
inline constexpr std::uint32_t kCvErrAccessViolation = 0x8869;       // 34921 "Acess violation"
inline constexpr std::uint32_t kCvErrInvalidLevel = 0x886B;          // 34923 "Level mentioned is invalid"
inline constexpr std::uint32_t kCvErrInvalidOwner = 0x8872;          // 34930 "Invalid owner"
inline constexpr std::uint32_t kCvErrInvalidArgument = 0x88FB;       // 35067 bad argument (null pointer, zero size, ...)
inline constexpr std::uint32_t kCvErrQrxConnection = 0x890A;         // 35082 "Invalid connection from the QRX."
inline constexpr std::uint32_t kCvErrBoundsCheck = 0x897E;           // 35198 "Boundary checking failed"
inline constexpr std::uint32_t kCvErrInvalidFileName = 0x8993;       // 35219 file name outside the search path or malformed
inline constexpr std::uint32_t kCvErrNoFreeSlot = 0x8996;            // 35222 no free connection slot on the server
inline constexpr std::uint32_t kCvErrInvalidEntryName = 0x899E;      // 35230 "Invalid entry name"
inline constexpr std::uint32_t kCvErrNotConsoleOperator = 0x89C6;    // 35270 the login has no console operator rights
inline constexpr std::uint32_t kCvErrInvalidParameter = 0x89FB;      // 35323 "Invalid parameter"
inline constexpr std::uint32_t kCvErrMessageQueueFull = 0x89FC;      // 35324 a receiver's message queue is full
inline constexpr std::uint32_t kCvErrBadConnectionNumber = 0x89FD;   // 35325 no such or no occupied connection slot
inline constexpr std::uint32_t kCvErrFailure = 0x89FF;               // 35327 "Failure"
inline constexpr std::uint32_t kCvErrLoginRefused = kCvErrFailure;   // the server refused the login
inline constexpr std::uint32_t kCvErrNoMoreEntries = kCvErrFailure;  // a scan went past its last entry
inline constexpr std::uint32_t kCvErrContextCreation = 0xFEB8;       // 65208 "Context creation error"

// Directory codes.
inline constexpr std::uint32_t kCvErrDirBufferTooSmall = 34830;      // area too small for the answer
inline constexpr std::uint32_t kCvErrDirPrimaryConnection = 34865;   // no connection to a directory server
inline constexpr std::uint32_t kCvErrDirInvalidParameters = 34870;   // bad arguments to a directory operation
inline constexpr std::uint32_t kCvErrDirNoMemory = static_cast<std::uint32_t>(-150);     // no memory on the server side
inline constexpr std::uint32_t kCvErrDirOutOfMemory = static_cast<std::uint32_t>(-301);  // no memory for a context or buffer
inline constexpr std::uint32_t kCvErrDirNoSuchContext = static_cast<std::uint32_t>(-303);  // context handle unknown
inline constexpr std::uint32_t kCvErrDirNotLicensed = static_cast<std::uint32_t>(-344);  // connection not licensed
inline constexpr std::uint32_t kCvErrDirNoSuchEntry = static_cast<std::uint32_t>(-601);  // no object of that name
