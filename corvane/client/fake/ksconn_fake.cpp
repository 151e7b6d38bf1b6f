// KSCONN and KSLOCALE operations of the fake.
#include "corvane/client/fake/invocation.h"
#include "corvane/client/ksconn.h"
#include "corvane/client/kslocale.h"

using cvfake::detail::Invocation;

extern "C" {

std::uint32_t CvReleaseConnection(std::uint32_t connection) {
  Invocation c("CvReleaseConnection");
  c.Dec(connection);
  return c.Answer();
}

std::uint32_t CvLicenseConnection(std::uint32_t connection) {
  Invocation c("CvLicenseConnection");
  c.Dec(connection);
  return c.Answer();
}

std::uint32_t CvGetConnectionItem(std::uint32_t connection, std::uint32_t item, std::uint32_t size, void* value) {
  Invocation c("CvGetConnectionItem");
  c.Dec(connection).Dec(item).Dec(size).Ptr(value).Answer();
  c.Fill(value, size);
  return c.Result();
}

std::uint32_t CvGetLocaleInfo(CvLocaleInfo* info) {
  Invocation c("CvGetLocaleInfo");
  c.Ptr(info).Answer();
  c.FillObject(info);
  return c.Result();
}

std::uint32_t CvLoadCharTables(std::uint32_t country, std::uint32_t codePage) {
  Invocation c("CvLoadCharTables");
  c.Dec(country).Dec(codePage);
  return c.Answer();
}

std::uint32_t CvFreeCharTables(void) {
  Invocation c("CvFreeCharTables");
  return c.Answer();
}

}  // extern "C"
