// KSDIR operations. The directory service is not available in this client
// yet: every operation answers kCvErrDirPrimaryConnection ("no connection to
// a directory server") and CvNewDirContext returns 0. A directory-form server
// name therefore fails to bind with that code, while plain server names work.
#include "corvane/client/ksdir.h"

#include "corvane/client/cverrors.h"

extern "C" {

CVCLIENT_API std::uint32_t CvNewDirContext(void) {
  return 0;
}

CVCLIENT_API std::uint32_t CvCreateContextHandle(std::uint32_t*) {
  return kCvErrDirPrimaryConnection;
}

CVCLIENT_API std::uint32_t CvFreeContext(std::uint32_t) {
  return kCvErrDirPrimaryConnection;
}

CVCLIENT_API std::uint32_t CvGetContext(std::uint32_t, std::uint32_t, void*) {
  return kCvErrDirPrimaryConnection;
}

CVCLIENT_API std::uint32_t CvSetContext(std::uint32_t, std::uint32_t, const void*) {
  return kCvErrDirPrimaryConnection;
}

CVCLIENT_API std::uint32_t CvAllocBuffer(std::uint32_t, std::uint32_t*) {
  return kCvErrDirPrimaryConnection;
}

CVCLIENT_API std::uint32_t CvFreeBuffer(std::uint32_t) {
  return kCvErrDirPrimaryConnection;
}

CVCLIENT_API std::uint32_t CvInitDirBuffer(std::uint32_t, std::uint32_t, std::uint32_t) {
  return kCvErrDirPrimaryConnection;
}

CVCLIENT_API std::uint32_t CvPutAttributeName(std::uint32_t, std::uint32_t, const char*) {
  return kCvErrDirPrimaryConnection;
}

CVCLIENT_API std::uint32_t CvReadObject(std::uint32_t, const char*, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t*, std::uint32_t) {
  return kCvErrDirPrimaryConnection;
}

CVCLIENT_API std::uint32_t CvGetAttributeCount(std::uint32_t, std::uint32_t, std::uint32_t*) {
  return kCvErrDirPrimaryConnection;
}

CVCLIENT_API std::uint32_t CvGetAttributeName(std::uint32_t, std::uint32_t, char*, std::uint32_t*, std::uint32_t*) {
  return kCvErrDirPrimaryConnection;
}

CVCLIENT_API std::uint32_t CvGetAttributeValueSize(std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t*) {
  return kCvErrDirPrimaryConnection;
}

CVCLIENT_API std::uint32_t CvGetAttributeValue(std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t, void*) {
  return kCvErrDirPrimaryConnection;
}

CVCLIENT_API std::uint32_t CvCloseIteration(std::uint32_t, std::uint32_t, std::uint32_t) {
  return kCvErrDirPrimaryConnection;
}

CVCLIENT_API std::uint32_t CvReadObjectInfo(std::uint32_t, const char*, char*, CvObjectInfo*) {
  return kCvErrDirPrimaryConnection;
}

CVCLIENT_API std::uint32_t CvOpenConnectionToDirServer(std::uint32_t, const char*, std::uint32_t*) {
  return kCvErrDirPrimaryConnection;
}

CVCLIENT_API std::uint32_t CvAuthenticateConnection(std::uint32_t, std::uint32_t) {
  return kCvErrDirPrimaryConnection;
}

CVCLIENT_API std::uint32_t CvMapIdToName(std::uint32_t, std::uint32_t, std::uint32_t, char*) {
  return kCvErrDirPrimaryConnection;
}

CVCLIENT_API std::uint32_t CvGetServerDirectoryName(std::uint32_t, std::uint32_t, char*) {
  return kCvErrDirPrimaryConnection;
}

CVCLIENT_API std::uint32_t CvScanTrees(std::uint32_t, std::uint32_t, const char*, std::uint32_t*, char*) {
  return kCvErrDirPrimaryConnection;
}

CVCLIENT_API std::uint32_t CvListContainer(std::uint32_t, const char*, std::uint32_t*, std::uint32_t) {
  return kCvErrDirPrimaryConnection;
}

CVCLIENT_API std::uint32_t CvGetObjectCount(std::uint32_t, std::uint32_t, std::uint32_t*) {
  return kCvErrDirPrimaryConnection;
}

CVCLIENT_API std::uint32_t CvGetObjectName(std::uint32_t, std::uint32_t, char*, std::uint32_t*, CvObjectInfo*) {
  return kCvErrDirPrimaryConnection;
}

}  // extern "C"
