// KSCALLS: server calls of the Corvane client library. Starting the client,
// finding connections, server information, connection slots, broadcasts,
// modules and command files, server parameters, server-side services, and the
// scans of servers the workstation can see. Conventions: cvdefs.h.
#pragma once

#include <cstddef>
#include <cstdint>

#include "corvane/client/cvdefs.h"

// Sizes of the areas the caller provides, NUL included.
inline constexpr std::uint32_t kCvServerNameSize = 49;     // a server name
inline constexpr std::uint32_t kCvServerTextSize = 100;    // each text of CvGetServerDescription
inline constexpr std::uint32_t kCvObjectNameSize = 260;    // the object logged in on a connection
inline constexpr std::uint32_t kCvScanNameSize = 52;       // a name from CvScanObject
inline constexpr std::uint32_t kCvServiceInfoSize = 32;    // the information area of CvGetServiceInfoByName
inline constexpr std::uint32_t kCvParameterAreaSize = 500; // name and value of a server parameter
inline constexpr std::uint32_t kCvModuleReasonSize = 2048; // the failure reason of CvGetModuleStatus

// Server parameter value types. Type 5 carries a text; every other type
// carries a 32-bit number.
inline constexpr std::uint32_t kCvParamTypeNumber = 0;
inline constexpr std::uint32_t kCvParamTypeText = 5;

// The bindery object type of a file server, for CvScanObject.
inline constexpr std::uint16_t kCvObjectTypeServer = 0x0400;

// Address types of CvConnectionAddress.
inline constexpr std::uint16_t kCvAddressTypeIpv4 = 11;
inline constexpr std::uint16_t kCvAddressTypeIpv6 = 23;

// Most connection numbers one CvSendBroadcastMessage call takes.
inline constexpr std::uint32_t kCvBroadcastMaxConnections = 62;

// When a connection logged in, local time of the server.
struct CvLoginTime {
  std::uint8_t year;    // years since 1900
  std::uint8_t month;   // 1..12
  std::uint8_t day;     // 1..31
  std::uint8_t hour;    // 0..23
  std::uint8_t minute;  // 0..59
  std::uint8_t second;  // 0..59
  std::uint8_t reserved[4];
};
static_assert(sizeof(CvLoginTime) == 10);

// Network address of the workstation behind a connection. For type 11 (IPv4)
// bytes 0..3 are the address in network order and bytes 4..5 the port; for
// type 23 (IPv6) bytes 0..11 are the low 96 bits of the address (its bytes 4
// to 15); other types carry the network in bytes 0..3, the node in 4..9 and
// the socket in 10..11.
struct CvConnectionAddress {
  std::uint8_t address[12];
  std::uint16_t type;  // little-endian, bytes 12 and 13
};
static_assert(sizeof(CvConnectionAddress) == 14);
static_assert(offsetof(CvConnectionAddress, type) == 12);

// One server parameter, as CvScanServerParameter fills it. From 0x20 the area
// holds the NUL-terminated name directly followed by the value: for type 5 a
// NUL-terminated text, otherwise 4 bytes little-endian.
struct CvServerParameter {
  std::uint8_t reserved0[16];
  std::uint32_t nextSearchIndex;  // 0x10: pass this to get the following parameter
  std::uint32_t valueType;        // 0x14: kCvParamTypeText or a numeric type
  std::uint8_t reserved1[8];
  char nameValue[kCvParameterAreaSize];  // 0x20
};
static_assert(offsetof(CvServerParameter, nextSearchIndex) == 0x10);
static_assert(offsetof(CvServerParameter, valueType) == 0x14);
static_assert(offsetof(CvServerParameter, nameValue) == 0x20);
static_assert(sizeof(CvServerParameter) == 0x20 + kCvParameterAreaSize);

// One piece of a service request or reply.
struct CvFragment {
  void* data;
  std::uint32_t size;
};

extern "C" {

// Starts the client for this process; both arguments are reserved and null.
CVCLIENT_API std::uint32_t CvClientStartup(void* reserved1, void* reserved2);

// The connection handle for a server given by its short name (no leading
// backslashes), opening and logging in the connection on first use. reserved
// is 0 and options null. Unknown server: kCvErrUnknownServer.
CVCLIENT_API std::uint32_t CvGetConnectionHandle(const char* serverName, std::uint32_t reserved,
                                                 std::uint32_t* connection, void* options);

// Server information; every out-argument is optional. Counting the connection
// as the first argument, the sixth is the number of connections the server
// supports and the eighth the number in use. serverName: kCvServerNameSize.
CVCLIENT_API std::uint32_t CvGetServerInformation(std::uint32_t connection, char* serverName,
                                                  std::uint8_t* majorVersion, std::uint8_t* minorVersion,
                                                  std::uint8_t* revision, std::uint16_t* maxConnections,
                                                  std::uint16_t* peakConnections,
                                                  std::uint16_t* connectionsInUse);

// The server's texts, each optional, each an area of kCvServerTextSize.
CVCLIENT_API std::uint32_t CvGetServerDescription(std::uint32_t connection, char* company, char* description,
                                                  char* revisionDate, char* copyright);

// Who holds connection slot connectionNumber (1-based): object name
// (kCvObjectNameSize), object type, object id and login time. A free slot
// fails (kCvErrBadConnectionNumber).
CVCLIENT_API std::uint32_t CvGetConnectionInformation(std::uint32_t connection, std::uint32_t connectionNumber,
                                                      char* objectName, std::uint16_t* objectType,
                                                      std::uint32_t* objectId, CvLoginTime* loginTime);

// The network address of connection slot connectionNumber. A failed call
// leaves the record as it was.
CVCLIENT_API std::uint32_t CvGetConnectionAddress(std::uint32_t connection, std::uint32_t connectionNumber,
                                                  CvConnectionAddress* address);

// Sends message to count connection numbers (at most
// kCvBroadcastMaxConnections); results gets one byte per number (0 = delivered).
CVCLIENT_API std::uint32_t CvSendBroadcastMessage(std::uint32_t connection, const char* message,
                                                  std::uint32_t count, const std::uint16_t* connectionNumbers,
                                                  std::uint8_t* results);

// Clears (logs out) connection slot connectionNumber. Console operators only.
CVCLIENT_API std::uint32_t CvClearConnection(std::uint32_t connection, std::uint32_t connectionNumber);

// Loads a QRX module; commandLine is the module name, a blank and its
// parameters. Console operators only; failure kCvErrModuleFailed.
CVCLIENT_API std::uint32_t CvLoadModule(std::uint32_t connection, const char* commandLine);

// Unloads the QRX module moduleName. Console operators only.
CVCLIENT_API std::uint32_t CvUnloadModule(std::uint32_t connection, const char* moduleName);

// Runs the QBT command file fileName from the server's search path. Console
// operators only; failure kCvErrCommandFileFailed.
CVCLIENT_API std::uint32_t CvRunCommandFile(std::uint32_t connection, const char* fileName);

// Fills record with the parameter at searchIndex (start with 0, then pass
// record->nextSearchIndex). Past the last parameter: kCvErrNoMoreEntries.
CVCLIENT_API std::uint32_t CvScanServerParameter(std::uint32_t connection, std::uint32_t searchIndex,
                                                 CvServerParameter* record);

// Sets a text parameter; kCvErrTypeMismatch when it takes no text.
CVCLIENT_API std::uint32_t CvSetServerParameterText(std::uint32_t connection, const char* name,
                                                    const char* value);

// Sets a numeric parameter; kCvErrTypeMismatch when it takes no number.
CVCLIENT_API std::uint32_t CvSetServerParameterNumber(std::uint32_t connection, const char* name,
                                                      std::int32_t value);

// Looks a server-side service up by name: its id, version, state and an
// information area of kCvServiceInfoSize. Every out-argument but serviceId is
// optional.
CVCLIENT_API std::uint32_t CvGetServiceInfoByName(std::uint32_t connection, const char* serviceName,
                                                  std::uint32_t* serviceId, std::uint8_t* majorVersion,
                                                  std::uint8_t* minorVersion, std::uint8_t* state,
                                                  std::uint8_t* serviceInfo);

// Sends the request fragments to a service and waits for its reply, which is
// written into the reply fragments in order. On success each reply
// fragment's size is left holding the number of its bytes the reply did not
// use, so the reply length is the original size minus the size left.
CVCLIENT_API std::uint32_t CvServiceRequest(std::uint32_t connection, std::uint32_t serviceId,
                                            std::uint32_t requestCount, const CvFragment* request,
                                            std::uint32_t replyCount, CvFragment* reply);

// What the server knows of one QRX module (an operation of this library
// beyond the vendor's set, for tools): whether it is loaded, its process id
// and seconds since it started, and why its last load failed.
struct CvModuleStatus {
  std::uint8_t loaded;
  std::uint32_t processId;
  std::uint32_t upSeconds;
  std::uint32_t failureAgeSeconds;  // seconds since that failure
  char lastFailure[kCvModuleReasonSize];  // "" when none since the agent started
};

CVCLIENT_API std::uint32_t CvGetModuleStatus(std::uint32_t connection, const char* moduleName,
                                             CvModuleStatus* status);

// A connection through which CvScanObject lists the servers this workstation
// can see.
CVCLIENT_API std::uint32_t CvGetPrimaryConnection(std::uint32_t* connection);

// A connection through which CvScanTrees lists the directory trees.
CVCLIENT_API std::uint32_t CvGetDefaultConnection(std::uint32_t* connection);

// The next object of type searchType whose name matches pattern ("*": all).
// scanPosition is in/out, kCvIterationStart first. name: kCvScanNameSize.
// objectType and the three flag bytes are optional. Nonzero at the end.
CVCLIENT_API std::uint32_t CvScanObject(std::uint32_t connection, const char* pattern, std::uint16_t searchType,
                                        std::uint32_t* scanPosition, char* name, std::uint16_t* objectType,
                                        std::uint8_t* hasProperties, std::uint8_t* flags,
                                        std::uint8_t* security);

}  // extern "C"
