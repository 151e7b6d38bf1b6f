#include "corvane/client/fake/cvclient_fake.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>

#include "corvane/client/cverrors.h"

using ::testing::ElementsAre;
using cvfake::Ok;
using cvfake::Out;

namespace {

class FakeTest : public ::testing::Test {
 protected:
  void SetUp() override { cvfake::Reset(); }
  void TearDown() override { cvfake::Reset(); }
};

TEST_F(FakeTest, RecordsEveryArgumentInOrder) {
  std::uint32_t conn = 0;
  std::uint32_t state = 0;
  std::uint16_t capacity = 0;
  CvGetConnectionHandle("SRV1", 0, &conn, nullptr);
  CvGetConnectionItem(conn, kCvItemState, 4, &state);
  CvGetServerInformation(conn, nullptr, nullptr, nullptr, nullptr, &capacity, nullptr, nullptr);
  CvLoadModule(conn, "apache2.qrx ");
  CvSetServerParameterNumber(conn, "MAX", -7);
  CvLoadModule(conn, nullptr);
  CvRunCommandFile(conn, "a\tb\x7F");

  EXPECT_THAT(cvfake::Calls(),
              ElementsAre("CvGetConnectionHandle(\"SRV1\", 0, out, null)",  //
                          "CvGetConnectionItem(1001, 1, 4, out)",
                          "CvGetServerInformation(1001, null, null, null, null, out, null, null)",
                          "CvLoadModule(1001, \"apache2.qrx \")",  //
                          "CvSetServerParameterNumber(1001, \"MAX\", -7)",
                          "CvLoadModule(1001, null)",  //
                          "CvRunCommandFile(1001, \"a\\x09b\\x7F\")"));
  EXPECT_THAT(cvfake::Calls("CvLoadModule"), ElementsAre("CvLoadModule(1001, \"apache2.qrx \")",  //
                                                          "CvLoadModule(1001, null)"));
  auto records = cvfake::Records();
  ASSERT_EQ(records.size(), 7u);
  EXPECT_EQ(records[2].op, "CvGetServerInformation");
  EXPECT_THAT(records[0].args, ElementsAre("\"SRV1\"", "0", "out", "null"));
}

TEST_F(FakeTest, DirectoryArgumentsShowFlagsTextsAndPositionsOnEntry) {
  std::uint32_t ctx = 0;
  CvCreateContextHandle(&ctx);
  std::uint32_t flags = 0x45, number = 2;
  CvSetContext(ctx, kCvCtxKeyFlags, &flags);
  CvSetContext(ctx, kCvCtxKeyNumber, &number);
  CvSetContext(ctx, kCvCtxKeyTreeName, "ACME");
  std::uint32_t it = kCvIterationStart;
  CvListContainer(ctx, "[Root]", &it, 3001);
  CvCloseIteration(ctx, 0x1234, kCvDirOpList);
  std::uint16_t numbers[] = {5, 7, 9};
  std::uint8_t results[3] = {};
  CvSendBroadcastMessage(1001, "Bye", 2, numbers, results);

  EXPECT_THAT(cvfake::Calls(), ElementsAre("CvCreateContextHandle(out)",  //
                                           "CvSetContext(2001, 1, 0x45)",  //
                                           "CvSetContext(2001, 2, 2)",
                                           "CvSetContext(2001, 11, \"ACME\")",
                                           "CvListContainer(2001, \"[Root]\", 0xFFFFFFFF, 3001)",
                                           "CvCloseIteration(2001, 0x1234, 5)",
                                           "CvSendBroadcastMessage(1001, \"Bye\", 2, [5, 7], out)"));
}

TEST_F(FakeTest, FreshHandlesAreDistinctPerKindAndRestartAfterReset) {
  std::uint32_t c1 = 0, c2 = 0, ctx = 0, buf = 0, svc = 0;
  CvGetConnectionHandle("A", 0, &c1, nullptr);
  CvGetPrimaryConnection(&c2);
  CvCreateContextHandle(&ctx);
  CvAllocBuffer(4096, &buf);
  CvGetServiceInfoByName(c1, "S", &svc, nullptr, nullptr, nullptr, nullptr);
  EXPECT_EQ(c1, 1001u);
  EXPECT_EQ(c2, 1002u);
  EXPECT_EQ(ctx, 2001u);
  EXPECT_EQ(buf, 3001u);
  EXPECT_EQ(svc, 4001u);
  EXPECT_EQ(CvNewDirContext(), 2002u);

  cvfake::Reset();
  std::uint32_t again = 0;
  CvGetDefaultConnection(&again);
  EXPECT_EQ(again, 1001u);
}

TEST_F(FakeTest, FailureGivesNoFreshHandleButProgrammedOutputsStillLand) {
  cvfake::Push("CvGetConnectionHandle", kCvErrUnknownServer);
  cvfake::Push("CvGetConnectionHandle", Ok(Out::U32(77)));
  cvfake::Push("CvAllocBuffer", Ok(Out::Skip()));
  cvfake::Push("CvNewDirContext", kCvErrDirOutOfMemory);
  cvfake::Push("CvGetConnectionAddress", cvfake::Reply(kCvErrBadConnectionNumber, {Out::Record(cvfake::Ipv4Address(1, 2, 3, 4))}));

  std::uint32_t h = 0;
  EXPECT_EQ(CvGetConnectionHandle("NOPE", 0, &h, nullptr), kCvErrUnknownServer);
  EXPECT_EQ(h, 0u);
  EXPECT_EQ(CvGetConnectionHandle("SRV", 0, &h, nullptr), 0u);
  EXPECT_EQ(h, 77u);
  std::uint32_t buf = 5;
  EXPECT_EQ(CvAllocBuffer(10, &buf), 0u);
  EXPECT_EQ(buf, 5u);
  EXPECT_EQ(CvNewDirContext(), 0u);
  CvConnectionAddress a{};
  EXPECT_EQ(CvGetConnectionAddress(1, 3, &a), kCvErrBadConnectionNumber);
  EXPECT_EQ(a.address[3], 4);
  EXPECT_EQ(a.type, kCvAddressTypeIpv4);
}

TEST_F(FakeTest, RepliesAreConsumedInOrderThenTheDefault) {
  cvfake::Push("CvLoadModule", 0u);
  cvfake::Push("CvLoadModule", kCvErrModuleFailed);
  EXPECT_EQ(cvfake::Pending("CvLoadModule"), 2u);
  EXPECT_EQ(CvLoadModule(1, "a "), 0u);
  EXPECT_EQ(CvLoadModule(1, "b "), kCvErrModuleFailed);
  EXPECT_EQ(cvfake::Pending("CvLoadModule"), 0u);
  EXPECT_EQ(CvLoadModule(1, "c "), 0u);  // no default set: 0

  cvfake::SetDefault("CvScanTrees", kCvErrNoMoreEntries);
  cvfake::Push("CvScanTrees", Ok(Out::U32(1), Out::Text("ACME")));
  std::uint32_t index = kCvIterationStart;
  char name[kCvDirTreeNameSize] = {};
  EXPECT_EQ(CvScanTrees(2001, 1001, "*", &index, name), 0u);
  EXPECT_STREQ(name, "ACME");
  EXPECT_EQ(index, 1u);
  EXPECT_EQ(CvScanTrees(2001, 1001, "*", &index, name), kCvErrNoMoreEntries);
  EXPECT_EQ(CvScanTrees(2001, 1001, "*", &index, name), kCvErrNoMoreEntries);
  EXPECT_THAT(cvfake::Calls("CvScanTrees"), ElementsAre("CvScanTrees(2001, 1001, \"*\", 0xFFFFFFFF, out)",
                                                         "CvScanTrees(2001, 1001, \"*\", 0x1, out)",
                                                         "CvScanTrees(2001, 1001, \"*\", 0x1, out)"));
}

TEST_F(FakeTest, OutputsAreBoundedByTheCallersSize) {
  cvfake::SetDefault("CvGetConnectionItem", Ok(Out::Text("ABCDEFGH")));
  char area[8];
  std::memset(area, 0x55, sizeof area);
  CvGetConnectionItem(1, kCvItemServerName, 4, area);
  EXPECT_STREQ(area, "ABC");
  EXPECT_EQ(area[4], 0x55);

  cvfake::SetDefault("CvGetConnectionItem", Ok(Out::Bytes({1, 2, 3, 4, 5, 6})));
  std::memset(area, 0x55, sizeof area);
  CvGetConnectionItem(1, kCvItemVersion, 2, area);
  EXPECT_EQ(area[0], 1);
  EXPECT_EQ(area[1], 2);
  EXPECT_EQ(area[2], 0x55);
  CvGetConnectionItem(1, kCvItemVersion, 0, area);  // size 0 writes nothing
  EXPECT_EQ(area[2], 0x55);

  // A fixed-size out-argument takes no more than its type's size.
  cvfake::Push("CvGetObjectCount", Ok(Out::Bytes({9, 0, 0, 0, 0xEE, 0xEE})));
  std::uint32_t counts[2] = {0, 0x11111111};
  CvGetObjectCount(1, 2, &counts[0]);
  EXPECT_EQ(counts[0], 9u);
  EXPECT_EQ(counts[1], 0x11111111u);

  // The result bytes of a broadcast are bounded by the count.
  cvfake::Push("CvSendBroadcastMessage", Ok(Out::Bytes({1, 1, 1, 1})));
  std::uint8_t results[3] = {0, 0, 0};
  std::uint16_t numbers[] = {1, 2};
  CvSendBroadcastMessage(1, "x", 2, numbers, results);
  EXPECT_EQ(results[1], 1);
  EXPECT_EQ(results[2], 0);
}

TEST_F(FakeTest, NullOutParametersConsumeTheirValues) {
  cvfake::Push("CvGetServerInformation",
               Ok(Out::Text("SRV1"), Out::U8(5), Out::U8(1), Out::U8(2), Out::U16(250), Out::U16(40), Out::U16(17)));
  std::uint16_t inUse = 0;
  CvGetServerInformation(1, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &inUse);
  EXPECT_EQ(inUse, 17);

  cvfake::Push("CvGetServerDescription", Ok(Out::Skip(), Out::Text("Web server")));
  char company[kCvServerTextSize] = "keep";
  char description[kCvServerTextSize] = {};
  CvGetServerDescription(1, company, description, nullptr, nullptr);
  EXPECT_STREQ(company, "keep");
  EXPECT_STREQ(description, "Web server");
}

TEST_F(FakeTest, ServiceRequestKeepsRequestBytesAndShrinksReplyFragment) {
  cvfake::Push("CvServiceRequest", Ok(Out::Bytes({0x1C, 0, 0, 0, 0xAA})));
  std::uint8_t request[] = {0x00, 0x01, 0x00, 0x03, 0x00, 0x43, 0x41, 0x44, 0x44};
  std::uint8_t replyData[2500] = {};
  CvFragment req{request, sizeof request};
  CvFragment rep{replyData, sizeof replyData};
  EXPECT_EQ(CvServiceRequest(1001, 4001, 1, &req, 1, &rep), 0u);
  EXPECT_EQ(rep.size, 2500u - 5u);
  EXPECT_EQ(replyData[0], 0x1C);
  EXPECT_EQ(replyData[4], 0xAA);
  EXPECT_EQ(replyData[5], 0);

  auto records = cvfake::Records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].line, "CvServiceRequest(1001, 4001, 1, [9], 1, [2500])");
  ASSERT_EQ(records[0].inputs.size(), 1u);
  EXPECT_EQ(records[0].inputs[0], std::vector<std::uint8_t>(request, request + sizeof request));
}

TEST_F(FakeTest, RecordBuildersLayOutTheFieldsCallersRead) {
  CvServerParameter text = cvfake::TextParameter(3, "NAME", "value");
  const auto* raw = reinterpret_cast<const std::uint8_t*>(&text);
  EXPECT_EQ(raw[0x10], 3);
  EXPECT_EQ(raw[0x14], kCvParamTypeText);
  EXPECT_EQ(std::memcmp(raw + 0x20, "NAME\0value\0", 11), 0);

  CvServerParameter num = cvfake::NumberParameter(4, "MAX", 0x01020304);
  raw = reinterpret_cast<const std::uint8_t*>(&num);
  EXPECT_EQ(raw[0x14], kCvParamTypeNumber);
  EXPECT_EQ(std::memcmp(raw + 0x20, "MAX\0\x04\x03\x02\x01", 8), 0);
  EXPECT_THROW(cvfake::TextParameter(0, std::string(300, 'N'), std::string(300, 'V')), std::length_error);

  CvObjectInfo info = cvfake::ObjectInfo("KCP Server");
  EXPECT_STREQ(reinterpret_cast<const char*>(&info) + 12, "KCP Server");

  CvLocaleInfo loc = cvfake::Locale(1, 437);
  std::uint32_t at38, at3c;
  std::memcpy(&at38, reinterpret_cast<const char*>(&loc) + 0x38, 4);
  std::memcpy(&at3c, reinterpret_cast<const char*>(&loc) + 0x3C, 4);
  EXPECT_EQ(at38, 437u);
  EXPECT_EQ(at3c, 1u);

  CvConnectionAddress addr = cvfake::Address({0, 0, 0xAB, 0xCD}, 2);
  EXPECT_EQ(reinterpret_cast<const std::uint8_t*>(&addr)[12], 2);
}

TEST_F(FakeTest, UnknownOperationNamesAreRefused) {
  EXPECT_THROW(cvfake::Push("CvLoadModul", 0u), std::invalid_argument);
  EXPECT_THROW(cvfake::SetDefault("LoadModule", 0u), std::invalid_argument);
  EXPECT_THROW(cvfake::Pending("cvloadmodule"), std::invalid_argument);
  EXPECT_EQ(cvfake::Operations().size(), 49u);
}

TEST_F(FakeTest, ResetForgetsCallsQueuesAndDefaults) {
  cvfake::Push("CvUnloadModule", kCvErrModuleFailed);
  cvfake::SetDefault("CvRunCommandFile", kCvErrCommandFileFailed);
  CvClearConnection(1, 2);
  cvfake::Reset();
  EXPECT_TRUE(cvfake::Calls().empty());
  EXPECT_EQ(cvfake::Pending("CvUnloadModule"), 0u);
  EXPECT_EQ(CvUnloadModule(1, "apache2.qrx"), 0u);
  EXPECT_EQ(CvRunCommandFile(1, "ap2start.qbt"), 0u);

  cvfake::Push("CvRunCommandFile", kCvErrInvalidFileName);
  cvfake::ClearCalls();
  EXPECT_TRUE(cvfake::Calls().empty());
  EXPECT_EQ(cvfake::Pending("CvRunCommandFile"), 1u);  // ClearCalls keeps the script
}

}  // namespace
