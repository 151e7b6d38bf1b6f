// KSDIR operations of the fake.
#include "corvane/client/fake/invocation.h"
#include "corvane/client/ksdir.h"

using cvfake::detail::HandleKind;
using cvfake::detail::Invocation;

namespace {

bool IsTextKey(std::uint32_t key) { return key == kCvCtxKeyNameContext || key == kCvCtxKeyTreeName; }

}  // namespace

extern "C" {

std::uint32_t CvNewDirContext(void) {
  Invocation c("CvNewDirContext");
  c.Answer();
  return c.HandleResult(HandleKind::Context);
}

std::uint32_t CvCreateContextHandle(std::uint32_t* context) {
  Invocation c("CvCreateContextHandle");
  c.Ptr(context).Answer();
  c.FillHandle(context, HandleKind::Context);
  return c.Result();
}

std::uint32_t CvFreeContext(std::uint32_t context) {
  Invocation c("CvFreeContext");
  c.Dec(context);
  return c.Answer();
}

std::uint32_t CvGetContext(std::uint32_t context, std::uint32_t key, void* value) {
  Invocation c("CvGetContext");
  c.Dec(context).Dec(key).Ptr(value).Answer();
  c.Fill(value, IsTextKey(key) ? kCvDirNameSize : sizeof(std::uint32_t));
  return c.Result();
}

std::uint32_t CvSetContext(std::uint32_t context, std::uint32_t key, const void* value) {
  Invocation c("CvSetContext");
  c.Dec(context).Dec(key);
  if (!value) {
    c.Arg("null");
  } else if (IsTextKey(key)) {
    c.Text(static_cast<const char*>(value));
  } else {
    std::uint32_t v;
    std::memcpy(&v, value, sizeof v);
    if (key == kCvCtxKeyFlags)
      c.Hex(v);
    else
      c.Dec(v);
  }
  return c.Answer();
}

std::uint32_t CvAllocBuffer(std::uint32_t size, std::uint32_t* buffer) {
  Invocation c("CvAllocBuffer");
  c.Dec(size).Ptr(buffer).Answer();
  c.FillHandle(buffer, HandleKind::Buffer);
  return c.Result();
}

std::uint32_t CvFreeBuffer(std::uint32_t buffer) {
  Invocation c("CvFreeBuffer");
  c.Dec(buffer);
  return c.Answer();
}

std::uint32_t CvInitDirBuffer(std::uint32_t context, std::uint32_t operation, std::uint32_t buffer) {
  Invocation c("CvInitDirBuffer");
  c.Dec(context).Dec(operation).Dec(buffer);
  return c.Answer();
}

std::uint32_t CvPutAttributeName(std::uint32_t context, std::uint32_t buffer, const char* name) {
  Invocation c("CvPutAttributeName");
  c.Dec(context).Dec(buffer).Text(name);
  return c.Answer();
}

std::uint32_t CvReadObject(std::uint32_t context, const char* objectName, std::uint32_t infoType,
                           std::uint32_t allAttributes, std::uint32_t request, std::uint32_t* iteration,
                           std::uint32_t reply) {
  Invocation c("CvReadObject");
  c.Dec(context).Text(objectName).Dec(infoType).Dec(allAttributes).Dec(request).HexAt(iteration).Dec(reply);
  c.Answer();
  c.FillObject(iteration);
  return c.Result();
}

std::uint32_t CvGetAttributeCount(std::uint32_t context, std::uint32_t buffer, std::uint32_t* count) {
  Invocation c("CvGetAttributeCount");
  c.Dec(context).Dec(buffer).Ptr(count).Answer();
  c.FillObject(count);
  return c.Result();
}

std::uint32_t CvGetAttributeName(std::uint32_t context, std::uint32_t buffer, char* name,
                                 std::uint32_t* valueCount, std::uint32_t* syntaxId) {
  Invocation c("CvGetAttributeName");
  c.Dec(context).Dec(buffer).Ptr(name).Ptr(valueCount).Ptr(syntaxId).Answer();
  c.Fill(name, kCvDirAttributeNameSize);
  c.FillObject(valueCount);
  c.FillObject(syntaxId);
  return c.Result();
}

std::uint32_t CvGetAttributeValueSize(std::uint32_t context, std::uint32_t buffer, std::uint32_t syntaxId,
                                      std::uint32_t* size) {
  Invocation c("CvGetAttributeValueSize");
  c.Dec(context).Dec(buffer).Dec(syntaxId).Ptr(size).Answer();
  c.FillObject(size);
  return c.Result();
}

std::uint32_t CvGetAttributeValue(std::uint32_t context, std::uint32_t buffer, std::uint32_t syntaxId,
                                  std::uint32_t size, void* value) {
  Invocation c("CvGetAttributeValue");
  c.Dec(context).Dec(buffer).Dec(syntaxId).Dec(size).Ptr(value).Answer();
  c.Fill(value, size);
  return c.Result();
}

std::uint32_t CvCloseIteration(std::uint32_t context, std::uint32_t iteration, std::uint32_t operation) {
  Invocation c("CvCloseIteration");
  c.Dec(context).Hex(iteration).Dec(operation);
  return c.Answer();
}

std::uint32_t CvReadObjectInfo(std::uint32_t context, const char* objectName, char* distinguishedName,
                               CvObjectInfo* info) {
  Invocation c("CvReadObjectInfo");
  c.Dec(context).Text(objectName).Ptr(distinguishedName).Ptr(info).Answer();
  c.Fill(distinguishedName, kCvDirNameSize);
  c.FillObject(info);
  return c.Result();
}

std::uint32_t CvOpenConnectionToDirServer(std::uint32_t context, const char* serverName,
                                          std::uint32_t* connection) {
  Invocation c("CvOpenConnectionToDirServer");
  c.Dec(context).Text(serverName).Ptr(connection).Answer();
  c.FillHandle(connection, HandleKind::Connection);
  return c.Result();
}

std::uint32_t CvAuthenticateConnection(std::uint32_t context, std::uint32_t connection) {
  Invocation c("CvAuthenticateConnection");
  c.Dec(context).Dec(connection);
  return c.Answer();
}

std::uint32_t CvMapIdToName(std::uint32_t context, std::uint32_t connection, std::uint32_t objectId, char* name) {
  Invocation c("CvMapIdToName");
  c.Dec(context).Dec(connection).Dec(objectId).Ptr(name).Answer();
  c.Fill(name, kCvDirObjectNameSize);
  return c.Result();
}

std::uint32_t CvGetServerDirectoryName(std::uint32_t context, std::uint32_t connection, char* name) {
  Invocation c("CvGetServerDirectoryName");
  c.Dec(context).Dec(connection).Ptr(name).Answer();
  c.Fill(name, kCvDirNameSize);
  return c.Result();
}

std::uint32_t CvScanTrees(std::uint32_t context, std::uint32_t connection, const char* pattern,
                          std::uint32_t* scanIndex, char* treeName) {
  Invocation c("CvScanTrees");
  c.Dec(context).Dec(connection).Text(pattern).HexAt(scanIndex).Ptr(treeName).Answer();
  c.FillObject(scanIndex);
  c.Fill(treeName, kCvDirTreeNameSize);
  return c.Result();
}

std::uint32_t CvListContainer(std::uint32_t context, const char* containerName, std::uint32_t* iteration,
                              std::uint32_t reply) {
  Invocation c("CvListContainer");
  c.Dec(context).Text(containerName).HexAt(iteration).Dec(reply).Answer();
  c.FillObject(iteration);
  return c.Result();
}

std::uint32_t CvGetObjectCount(std::uint32_t context, std::uint32_t buffer, std::uint32_t* count) {
  Invocation c("CvGetObjectCount");
  c.Dec(context).Dec(buffer).Ptr(count).Answer();
  c.FillObject(count);
  return c.Result();
}

std::uint32_t CvGetObjectName(std::uint32_t context, std::uint32_t buffer, char* name,
                              std::uint32_t* attributeCount, CvObjectInfo* info) {
  Invocation c("CvGetObjectName");
  c.Dec(context).Dec(buffer).Ptr(name).Ptr(attributeCount).Ptr(info).Answer();
  c.Fill(name, kCvDirObjectNameSize);
  c.FillObject(attributeCount);
  c.FillObject(info);
  return c.Result();
}

}  // extern "C"
