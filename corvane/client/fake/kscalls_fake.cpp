// KSCALLS operations of the fake.
#include "corvane/client/fake/invocation.h"
#include "corvane/client/kscalls.h"

using cvfake::detail::HandleKind;
using cvfake::detail::Invocation;

extern "C" {

std::uint32_t CvClientStartup(void* reserved1, void* reserved2) {
  Invocation c("CvClientStartup");
  c.Ptr(reserved1).Ptr(reserved2);
  return c.Answer();
}

std::uint32_t CvGetConnectionHandle(const char* serverName, std::uint32_t reserved, std::uint32_t* connection,
                                    void* options) {
  Invocation c("CvGetConnectionHandle");
  c.Text(serverName).Dec(reserved).Ptr(connection).Ptr(options).Answer();
  c.FillHandle(connection, HandleKind::Connection);
  return c.Result();
}

std::uint32_t CvGetServerInformation(std::uint32_t connection, char* serverName, std::uint8_t* majorVersion,
                                     std::uint8_t* minorVersion, std::uint8_t* revision,
                                     std::uint16_t* maxConnections, std::uint16_t* peakConnections,
                                     std::uint16_t* connectionsInUse) {
  Invocation c("CvGetServerInformation");
  c.Dec(connection).Ptr(serverName).Ptr(majorVersion).Ptr(minorVersion).Ptr(revision).Ptr(maxConnections);
  c.Ptr(peakConnections).Ptr(connectionsInUse).Answer();
  c.Fill(serverName, kCvServerNameSize);
  c.FillObject(majorVersion);
  c.FillObject(minorVersion);
  c.FillObject(revision);
  c.FillObject(maxConnections);
  c.FillObject(peakConnections);
  c.FillObject(connectionsInUse);
  return c.Result();
}

std::uint32_t CvGetServerDescription(std::uint32_t connection, char* company, char* description,
                                     char* revisionDate, char* copyright) {
  Invocation c("CvGetServerDescription");
  c.Dec(connection).Ptr(company).Ptr(description).Ptr(revisionDate).Ptr(copyright).Answer();
  c.Fill(company, kCvServerTextSize);
  c.Fill(description, kCvServerTextSize);
  c.Fill(revisionDate, kCvServerTextSize);
  c.Fill(copyright, kCvServerTextSize);
  return c.Result();
}

std::uint32_t CvGetConnectionInformation(std::uint32_t connection, std::uint32_t connectionNumber,
                                         char* objectName, std::uint16_t* objectType, std::uint32_t* objectId,
                                         CvLoginTime* loginTime) {
  Invocation c("CvGetConnectionInformation");
  c.Dec(connection).Dec(connectionNumber).Ptr(objectName).Ptr(objectType).Ptr(objectId).Ptr(loginTime).Answer();
  c.Fill(objectName, kCvObjectNameSize);
  c.FillObject(objectType);
  c.FillObject(objectId);
  c.FillObject(loginTime);
  return c.Result();
}

std::uint32_t CvGetConnectionAddress(std::uint32_t connection, std::uint32_t connectionNumber,
                                     CvConnectionAddress* address) {
  Invocation c("CvGetConnectionAddress");
  c.Dec(connection).Dec(connectionNumber).Ptr(address).Answer();
  c.FillObject(address);
  return c.Result();
}

std::uint32_t CvSendBroadcastMessage(std::uint32_t connection, const char* message, std::uint32_t count,
                                     const std::uint16_t* connectionNumbers, std::uint8_t* results) {
  Invocation c("CvSendBroadcastMessage");
  c.Dec(connection).Text(message).Dec(count).List(connectionNumbers, count).Ptr(results).Answer();
  c.Fill(results, count);
  return c.Result();
}

std::uint32_t CvClearConnection(std::uint32_t connection, std::uint32_t connectionNumber) {
  Invocation c("CvClearConnection");
  c.Dec(connection).Dec(connectionNumber);
  return c.Answer();
}

std::uint32_t CvLoadModule(std::uint32_t connection, const char* commandLine) {
  Invocation c("CvLoadModule");
  c.Dec(connection).Text(commandLine);
  return c.Answer();
}

std::uint32_t CvUnloadModule(std::uint32_t connection, const char* moduleName) {
  Invocation c("CvUnloadModule");
  c.Dec(connection).Text(moduleName);
  return c.Answer();
}

std::uint32_t CvRunCommandFile(std::uint32_t connection, const char* fileName) {
  Invocation c("CvRunCommandFile");
  c.Dec(connection).Text(fileName);
  return c.Answer();
}

std::uint32_t CvScanServerParameter(std::uint32_t connection, std::uint32_t searchIndex, CvServerParameter* record) {
  Invocation c("CvScanServerParameter");
  c.Dec(connection).Dec(searchIndex).Ptr(record).Answer();
  c.FillObject(record);
  return c.Result();
}

std::uint32_t CvSetServerParameterText(std::uint32_t connection, const char* name, const char* value) {
  Invocation c("CvSetServerParameterText");
  c.Dec(connection).Text(name).Text(value);
  return c.Answer();
}

std::uint32_t CvSetServerParameterNumber(std::uint32_t connection, const char* name, std::int32_t value) {
  Invocation c("CvSetServerParameterNumber");
  c.Dec(connection).Text(name).Signed(value);
  return c.Answer();
}

std::uint32_t CvGetServiceInfoByName(std::uint32_t connection, const char* serviceName, std::uint32_t* serviceId,
                                     std::uint8_t* majorVersion, std::uint8_t* minorVersion, std::uint8_t* state,
                                     std::uint8_t* serviceInfo) {
  Invocation c("CvGetServiceInfoByName");
  c.Dec(connection).Text(serviceName).Ptr(serviceId).Ptr(majorVersion).Ptr(minorVersion).Ptr(state);
  c.Ptr(serviceInfo).Answer();
  c.FillHandle(serviceId, HandleKind::Service);
  c.FillObject(majorVersion);
  c.FillObject(minorVersion);
  c.FillObject(state);
  c.Fill(serviceInfo, kCvServiceInfoSize);
  return c.Result();
}

std::uint32_t CvServiceRequest(std::uint32_t connection, std::uint32_t serviceId, std::uint32_t requestCount,
                               const CvFragment* request, std::uint32_t replyCount, CvFragment* reply) {
  Invocation c("CvServiceRequest");
  c.Dec(connection).Dec(serviceId).Dec(requestCount).Sizes(request, requestCount).Dec(replyCount);
  c.Sizes(reply, replyCount);
  for (std::uint32_t i = 0; request && i < requestCount; ++i) c.Input(request[i].data, request[i].size);
  c.Answer();
  for (std::uint32_t i = 0; reply && i < replyCount; ++i) {
    auto written = static_cast<std::uint32_t>(c.Fill(reply[i].data, reply[i].size));
    reply[i].size -= written;
  }
  return c.Result();
}

std::uint32_t CvGetPrimaryConnection(std::uint32_t* connection) {
  Invocation c("CvGetPrimaryConnection");
  c.Ptr(connection).Answer();
  c.FillHandle(connection, HandleKind::Connection);
  return c.Result();
}

std::uint32_t CvGetDefaultConnection(std::uint32_t* connection) {
  Invocation c("CvGetDefaultConnection");
  c.Ptr(connection).Answer();
  c.FillHandle(connection, HandleKind::Connection);
  return c.Result();
}

std::uint32_t CvScanObject(std::uint32_t connection, const char* pattern, std::uint16_t searchType,
                           std::uint32_t* scanPosition, char* name, std::uint16_t* objectType,
                           std::uint8_t* hasProperties, std::uint8_t* flags, std::uint8_t* security) {
  Invocation c("CvScanObject");
  c.Dec(connection).Text(pattern).Hex(searchType).HexAt(scanPosition).Ptr(name).Ptr(objectType);
  c.Ptr(hasProperties).Ptr(flags).Ptr(security).Answer();
  c.FillObject(scanPosition);
  c.Fill(name, kCvScanNameSize);
  c.FillObject(objectType);
  c.FillObject(hasProperties);
  c.FillObject(flags);
  c.FillObject(security);
  return c.Result();
}

}  // extern "C"
