// KSDIR: directory-service client (the CDS directory) of the Corvane client
// library: contexts, request and reply buffers, reading objects, listing
// containers and trees, and the directory side of connections.
// Conventions: cvdefs.h.
//
// Names are dotted, leaf first (JSMITH.SALES.ACME), relative to the context's
// name context; "[Root]" names the root of a tree.
#pragma once

#include <cstddef>
#include <cstdint>

#include "corvane/client/cvdefs.h"

// Context keys of CvGetContext and CvSetContext. The value is a u32 for
// kCvCtxKeyFlags and kCvCtxKeyNumber and a text for the other two.
inline constexpr std::uint32_t kCvCtxKeyFlags = 1;
inline constexpr std::uint32_t kCvCtxKeyNumber = 2;
inline constexpr std::uint32_t kCvCtxKeyNameContext = 3;
inline constexpr std::uint32_t kCvCtxKeyTreeName = 11;

// Bits of kCvCtxKeyFlags.
inline constexpr std::uint32_t kCvCtxFlagDerefAliases = 0x01;    // follow alias objects
inline constexpr std::uint32_t kCvCtxFlagTypelessNames = 0x04;   // names without type prefixes
inline constexpr std::uint32_t kCvCtxFlagCanonicalNames = 0x10;  // names completed from the name context
inline constexpr std::uint32_t kCvCtxFlagDerefBaseClass = 0x40;  // base class of an alias's target

// Operations of CvInitDirBuffer and CvCloseIteration.
inline constexpr std::uint32_t kCvDirOpRead = 3;
inline constexpr std::uint32_t kCvDirOpList = 5;

// Syntax id of attribute values (CvGetAttributeName): text, or bytes as the
// directory holds them; a value is always followed by a NUL in the caller's area.
inline constexpr std::uint32_t kCvSyntaxString = 1;

// Information types of CvReadObject.
inline constexpr std::uint32_t kCvInfoAttributeValues = 1;

// Sizes, NUL included where a text is meant.
inline constexpr std::uint32_t kCvDirBufferSize = 4096;       // a request or reply buffer
inline constexpr std::uint32_t kCvDirNameSize = 515;          // a distinguished name; a context text
inline constexpr std::uint32_t kCvDirObjectNameSize = 260;    // an object's name from a listing or an id
inline constexpr std::uint32_t kCvDirTreeNameSize = 36;       // a tree name from CvScanTrees
inline constexpr std::uint32_t kCvDirAttributeNameSize = 132; // an attribute name

// What the directory tells about one object. CvReadObjectInfo fills all of
// it; a listing's CvGetObjectName only the base class.
//   objectFlags       kCvObjectHasSubordinates, kCvObjectCountAtLeast
//   subordinateCount  the object's direct subordinates: the server's
//                     numSubordinates where it offers one, else counted up to
//                     kCvObjectCountLimit (then kCvObjectCountAtLeast is set)
//   modificationTime  modifyTimestamp (else createTimestamp) in seconds since
//                     1970 UTC; 0 when the server gives neither
struct CvObjectInfo {
  std::uint32_t objectFlags;
  std::uint32_t subordinateCount;
  std::uint32_t modificationTime;
  char baseClass[68];  // 12: NUL-terminated, e.g. "KCP Server", "Organizational Unit"
};
static_assert(offsetof(CvObjectInfo, baseClass) == 12);
static_assert(sizeof(CvObjectInfo) == 80);
inline constexpr std::uint32_t kCvObjectHasSubordinates = 0x1;
inline constexpr std::uint32_t kCvObjectCountAtLeast = 0x2;
inline constexpr std::uint32_t kCvObjectCountLimit = 1000;

extern "C" {

// Contexts.

// Returns a new context handle for the default tree, 0 when none can be made.
CVCLIENT_API std::uint32_t CvNewDirContext(void);

// Makes a new context for the default tree and name context into *context.
CVCLIENT_API std::uint32_t CvCreateContextHandle(std::uint32_t* context);

// Frees a context.
CVCLIENT_API std::uint32_t CvFreeContext(std::uint32_t context);

// Reads a key: a u32 (4 bytes) for flags and number, a text of at most
// kCvDirNameSize bytes for the name context and the tree name.
CVCLIENT_API std::uint32_t CvGetContext(std::uint32_t context, std::uint32_t key, void* value);

// Sets a key: value points to a u32 for flags and number, and is the text
// itself for the name context and the tree name.
CVCLIENT_API std::uint32_t CvSetContext(std::uint32_t context, std::uint32_t key, const void* value);

// Buffers.

// Allocates a request or reply buffer of size bytes into *buffer; fails
// (kCvErrDirOutOfMemory) when it cannot.
CVCLIENT_API std::uint32_t CvAllocBuffer(std::uint32_t size, std::uint32_t* buffer);

// Frees a buffer.
CVCLIENT_API std::uint32_t CvFreeBuffer(std::uint32_t buffer);

// Empties buffer and prepares it as the request of operation (kCvDirOpRead).
CVCLIENT_API std::uint32_t CvInitDirBuffer(std::uint32_t context, std::uint32_t operation, std::uint32_t buffer);

// Adds an attribute name to a read request.
CVCLIENT_API std::uint32_t CvPutAttributeName(std::uint32_t context, std::uint32_t buffer, const char* name);

// Reading objects.

// Reads the attributes listed in request (all of them when allAttributes is
// nonzero) of objectName into reply. iteration is in/out, kCvIterationStart
// first; it is back at kCvIterationStart when the reply holds the rest.
CVCLIENT_API std::uint32_t CvReadObject(std::uint32_t context, const char* objectName, std::uint32_t infoType,
                                        std::uint32_t allAttributes, std::uint32_t request,
                                        std::uint32_t* iteration, std::uint32_t reply);

// Number of attributes in a read reply.
CVCLIENT_API std::uint32_t CvGetAttributeCount(std::uint32_t context, std::uint32_t buffer, std::uint32_t* count);

// The next attribute of a read reply: its name (kCvDirAttributeNameSize), how
// many values follow and their syntax id.
CVCLIENT_API std::uint32_t CvGetAttributeName(std::uint32_t context, std::uint32_t buffer, char* name,
                                              std::uint32_t* valueCount, std::uint32_t* syntaxId);

// Size in bytes of the next value of a read reply (a text's size excludes its
// terminator).
CVCLIENT_API std::uint32_t CvGetAttributeValueSize(std::uint32_t context, std::uint32_t buffer,
                                                   std::uint32_t syntaxId, std::uint32_t* size);

// The next value of a read reply, at most size bytes into value; a text is
// terminated within size.
CVCLIENT_API std::uint32_t CvGetAttributeValue(std::uint32_t context, std::uint32_t buffer,
                                               std::uint32_t syntaxId, std::uint32_t size, void* value);

// Ends an unfinished read (kCvDirOpRead) or listing (kCvDirOpList).
CVCLIENT_API std::uint32_t CvCloseIteration(std::uint32_t context, std::uint32_t iteration,
                                            std::uint32_t operation);

// The distinguished name (kCvDirNameSize) and information of objectName;
// "" names the context's name context itself.
CVCLIENT_API std::uint32_t CvReadObjectInfo(std::uint32_t context, const char* objectName,
                                            char* distinguishedName, CvObjectInfo* info);

// Connections.

// Opens a connection to the server object serverName ("" = the name context).
CVCLIENT_API std::uint32_t CvOpenConnectionToDirServer(std::uint32_t context, const char* serverName,
                                                       std::uint32_t* connection);

// Authenticates connection to the directory with the context's login.
CVCLIENT_API std::uint32_t CvAuthenticateConnection(std::uint32_t context, std::uint32_t connection);

// The dotted name (kCvDirObjectNameSize) of the object with objectId on the
// server behind connection; nonzero when the id has no directory name.
CVCLIENT_API std::uint32_t CvMapIdToName(std::uint32_t context, std::uint32_t connection, std::uint32_t objectId,
                                         char* name);

// The dotted directory name (kCvDirNameSize) of the server behind connection;
// it may end in '.'.
CVCLIENT_API std::uint32_t CvGetServerDirectoryName(std::uint32_t context, std::uint32_t connection, char* name);

// Listing.

// The next tree whose name matches pattern ("*": all); the same tree may come
// more than once. scanIndex is in/out, kCvIterationStart first. treeName:
// kCvDirTreeNameSize. Nonzero at the end.
CVCLIENT_API std::uint32_t CvScanTrees(std::uint32_t context, std::uint32_t connection, const char* pattern,
                                       std::uint32_t* scanIndex, char* treeName);

// The next batch of the subordinates of containerName into reply. iteration
// is in/out, kCvIterationStart first, and back at kCvIterationStart with the
// last batch.
CVCLIENT_API std::uint32_t CvListContainer(std::uint32_t context, const char* containerName,
                                           std::uint32_t* iteration, std::uint32_t reply);

// Number of objects in a listed batch.
CVCLIENT_API std::uint32_t CvGetObjectCount(std::uint32_t context, std::uint32_t buffer, std::uint32_t* count);

// The next object of a listed batch: its own name as one component
// (kCvDirObjectNameSize), its attribute count and its information; the last
// two are optional.
CVCLIENT_API std::uint32_t CvGetObjectName(std::uint32_t context, std::uint32_t buffer, char* name,
                                           std::uint32_t* attributeCount, CvObjectInfo* info);

}  // extern "C"
