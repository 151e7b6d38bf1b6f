// The client library's directory operations against a private slapd.
#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "corvane/client/cverrors.h"
#include "corvane/client/ksdir.h"
#include "support/slapd_fixture.h"
#include "support/temp_dir.h"

namespace {

using testsupport::Slapd;

class KsdirLdap : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    slapd_ = new Slapd(2000);
    ASSERT_TRUE(slapd_->Start()) << slapd_->Log();
    dir_ = new testsupport::TempDir();
    const std::string ini = *dir_ / "client.ini";
    std::ofstream(ini) << "[Trees]\nACME=" << slapd_->treeUrl() << "\nOTHER=ldap://127.0.0.1:1/o=other\n"
                       << "[Timeouts]\nConnect=1000\nRequest=1500\n";
    ::setenv("CORVANE_CLIENT", ini.c_str(), 1);
  }
  static void TearDownTestSuite() {
    delete slapd_;
    delete dir_;
  }

  void SetUp() override {
    ASSERT_EQ(CvCreateContextHandle(&ctx_), 0u);
    ASSERT_EQ(CvSetContext(ctx_, kCvCtxKeyTreeName, "ACME"), 0u);
    ASSERT_EQ(CvSetContext(ctx_, kCvCtxKeyNameContext, "[Root]"), 0u);
  }
  void TearDown() override { CvFreeContext(ctx_); }

  // Every name of a listing, batch by batch; batches counts the calls.
  std::uint32_t ListAll(const char* container, std::vector<std::string>& names, std::vector<std::string>& classes,
                        int& batches) {
    std::uint32_t buffer = 0;
    if (std::uint32_t rc = CvAllocBuffer(kCvDirBufferSize, &buffer)) return rc;
    std::uint32_t iteration = kCvIterationStart;
    std::uint32_t rc = 0;
    batches = 0;
    do {
      rc = CvListContainer(ctx_, container, &iteration, buffer);
      if (rc) break;
      ++batches;
      std::uint32_t count = 0;
      if ((rc = CvGetObjectCount(ctx_, buffer, &count))) break;
      for (std::uint32_t i = 0; i < count && rc == 0; ++i) {
        char name[kCvDirObjectNameSize];
        CvObjectInfo info{};
        rc = CvGetObjectName(ctx_, buffer, name, nullptr, &info);
        names.emplace_back(name);
        classes.emplace_back(info.baseClass);
      }
    } while (rc == 0 && iteration != kCvIterationStart && batches < 10000);
    if (rc && iteration != kCvIterationStart) CvCloseIteration(ctx_, iteration, kCvDirOpList);
    CvFreeBuffer(buffer);
    return rc;
  }

  static Slapd* slapd_;
  static testsupport::TempDir* dir_;
  std::uint32_t ctx_ = 0;
};
Slapd* KsdirLdap::slapd_ = nullptr;
testsupport::TempDir* KsdirLdap::dir_ = nullptr;

TEST_F(KsdirLdap, ContextKeysReadBackAndUnknownContextsFail) {
  std::uint32_t flags = 0;
  ASSERT_EQ(CvGetContext(ctx_, kCvCtxKeyFlags, &flags), 0u);
  flags |= 0x45;
  ASSERT_EQ(CvSetContext(ctx_, kCvCtxKeyFlags, &flags), 0u);
  std::uint32_t back = 0;
  ASSERT_EQ(CvGetContext(ctx_, kCvCtxKeyFlags, &back), 0u);
  EXPECT_EQ(back, 0x45u);
  char text[kCvDirNameSize];
  ASSERT_EQ(CvGetContext(ctx_, kCvCtxKeyTreeName, text), 0u);
  EXPECT_STREQ(text, "ACME");
  EXPECT_EQ(CvGetContext(ctx_, 99, text), kCvErrDirInvalidParameters);
  EXPECT_EQ(CvGetContext(0, kCvCtxKeyFlags, &back), kCvErrDirNoSuchContext);
  const std::string tooLong(600, 'A');
  EXPECT_EQ(CvSetContext(ctx_, kCvCtxKeyNameContext, tooLong.c_str()), kCvErrDirInvalidParameters);
  const std::uint32_t other = CvNewDirContext();
  ASSERT_NE(other, 0u);
  ASSERT_EQ(CvGetContext(other, kCvCtxKeyTreeName, text), 0u);
  EXPECT_STREQ(text, "ACME");  // the first configured tree
  EXPECT_EQ(CvFreeContext(other), 0u);
  EXPECT_EQ(CvFreeContext(other), kCvErrDirNoSuchContext);
}

TEST_F(KsdirLdap, BuffersOfImpossibleSizesAreOutOfMemory) {
  std::uint32_t b = 7;
  EXPECT_EQ(CvAllocBuffer(0, &b), kCvErrDirOutOfMemory);
  EXPECT_EQ(b, 0u);
  EXPECT_EQ(CvAllocBuffer(0x7FFFFFFF, &b), kCvErrDirOutOfMemory);
  ASSERT_EQ(CvAllocBuffer(kCvDirBufferSize, &b), 0u);
  EXPECT_EQ(CvFreeBuffer(b), 0u);
  EXPECT_EQ(CvFreeBuffer(b), kCvErrDirInvalidParameters);
}

struct InfoCase {
  const char* nameContext;
  const char* name;
  std::uint32_t code;
  const char* dotted;
  const char* baseClass;
};

TEST_F(KsdirLdap, ReadObjectInfoResolvesDottedNamesOfEveryClass) {
  const InfoCase cases[] = {
      {"[Root]", "SRV1.SALES.ACME", 0, "SRV1.SALES.ACME", "KCP Server"},
      {"[Root]", "srv1.sales.acme", 0, "SRV1.SALES.ACME", "KCP Server"},
      {"[Root]", "JSMITH.SALES.ACME", 0, "JSMITH.SALES.ACME", "User"},
      {"[Root]", "SALES.ACME", 0, "SALES.ACME", "Organizational Unit"},
      {"[Root]", "ACME", 0, "ACME", "Organization"},
      {"[Root]", "US", 0, "US", "Country"},
      {"[Root]", "BOSTON.US", 0, "BOSTON.US", "Locality"},
      {"[Root]", "OPERATORS.EMPTY.ACME", 0, "OPERATORS.EMPTY.ACME", "Group"},
      {"[Root]", "OBJ00007.BIG.ACME", 0, "OBJ00007.BIG.ACME", "Device"},
      {"[Root]", "CN=SRV2.OU=SALES.O=ACME", 0, "SRV2.SALES.ACME", "KCP Server"},
      {"[Root]", "[Root]", 0, "[Root]", "Organization"},
      {"SALES.ACME", "SRV2", 0, "SRV2.SALES.ACME", "KCP Server"},
      {"SRV1.SALES.ACME", "", 0, "SRV1.SALES.ACME", "KCP Server"},
      {"[Root]", "NOPE.SALES.ACME", kCvErrDirNoSuchEntry, "", ""},
      {"[Root]", "SRV1..ACME", kCvErrDirNoSuchEntry, "", ""},
      {"[Root]", "SRV1.SALES.ACME.NOWHERE", kCvErrDirNoSuchEntry, "", ""},
      {"[Root]", "*)(o*", kCvErrDirNoSuchEntry, "", ""},
      {"[Root]", "X)(CN=SRV1", kCvErrDirInvalidParameters, "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.nameContext) + " / " + c.name);
    ASSERT_EQ(CvSetContext(ctx_, kCvCtxKeyNameContext, c.nameContext), 0u);
    char dn[kCvDirNameSize] = {};
    CvObjectInfo info{};
    ASSERT_EQ(CvReadObjectInfo(ctx_, c.name, dn, &info), c.code);
    if (c.code) continue;
    EXPECT_STREQ(dn, c.dotted);
    EXPECT_STREQ(info.baseClass, c.baseClass);
  }
}

TEST_F(KsdirLdap, ReadObjectInfoGivesSubordinatesAndTheModificationTime) {
  struct Case {
    const char* name;
    std::uint32_t flags;
    std::uint32_t count;  // at least this many when kCvObjectCountAtLeast is set
  };
  const Case cases[] = {
      {"SALES.ACME", kCvObjectHasSubordinates, 4},
      {"EMPTY.ACME", kCvObjectHasSubordinates, 3},
      {"US", kCvObjectHasSubordinates, 1},
      {"ACME", kCvObjectHasSubordinates, 3},
      {"JSMITH.SALES.ACME", 0, 0},
      {"BOSTON.US", 0, 0},
      // More than the server's size limit (500) for one search: a lower bound.
      {"BIG.ACME", kCvObjectHasSubordinates | kCvObjectCountAtLeast, 500},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    char dn[kCvDirNameSize] = {};
    CvObjectInfo info{};
    ASSERT_EQ(CvReadObjectInfo(ctx_, c.name, dn, &info), 0u);
    EXPECT_EQ(info.objectFlags, c.flags);
    if (c.flags & kCvObjectCountAtLeast) {
      EXPECT_GE(info.subordinateCount, c.count);
      EXPECT_LE(info.subordinateCount, kCvObjectCountLimit);
    } else {
      EXPECT_EQ(info.subordinateCount, c.count);
    }
  }

  // The modification time follows a change to the entry.
  const auto before = static_cast<std::uint32_t>(std::time(nullptr));
  ASSERT_TRUE(slapd_->Replace("cn=SRV2,ou=SALES,o=ACME," + Slapd::base(), "description", "changed"));
  const auto after = static_cast<std::uint32_t>(std::time(nullptr));
  char dn[kCvDirNameSize] = {};
  CvObjectInfo info{};
  ASSERT_EQ(CvReadObjectInfo(ctx_, "SRV2.SALES.ACME", dn, &info), 0u);
  EXPECT_GE(info.modificationTime, before);
  EXPECT_LE(info.modificationTime, after);
  // An entry loaded with slapadd has one too, from its load.
  ASSERT_EQ(CvReadObjectInfo(ctx_, "BOSTON.US", dn, &info), 0u);
  EXPECT_GT(info.modificationTime, 1700000000u);
  EXPECT_LE(info.modificationTime, after);
}

TEST_F(KsdirLdap, ReadsAnAttributeThroughRequestAndReplyBuffers) {
  std::uint32_t request = 0, reply = 0;
  ASSERT_EQ(CvAllocBuffer(kCvDirBufferSize, &request), 0u);
  ASSERT_EQ(CvAllocBuffer(kCvDirBufferSize, &reply), 0u);
  ASSERT_EQ(CvSetContext(ctx_, kCvCtxKeyNameContext, "SRV1.SALES.ACME"), 0u);
  ASSERT_EQ(CvInitDirBuffer(ctx_, kCvDirOpRead, request), 0u);
  ASSERT_EQ(CvPutAttributeName(ctx_, request, "Description"), 0u);
  std::uint32_t iteration = kCvIterationStart;
  ASSERT_EQ(CvReadObject(ctx_, "", kCvInfoAttributeValues, 0, request, &iteration, reply), 0u);
  EXPECT_EQ(iteration, kCvIterationStart);
  std::uint32_t count = 0;
  ASSERT_EQ(CvGetAttributeCount(ctx_, reply, &count), 0u);
  ASSERT_EQ(count, 1u);
  char name[kCvDirAttributeNameSize];
  std::uint32_t values = 0, syntax = 0;
  ASSERT_EQ(CvGetAttributeName(ctx_, reply, name, &values, &syntax), 0u);
  EXPECT_STREQ(name, "description");
  ASSERT_EQ(values, 1u);
  std::uint32_t size = 0;
  ASSERT_EQ(CvGetAttributeValueSize(ctx_, reply, syntax, &size), 0u);
  const std::string expected = "Sales file server in the directory";
  ASSERT_EQ(size, expected.size());
  std::vector<char> small(size);  // no room for the terminator
  EXPECT_EQ(CvGetAttributeValue(ctx_, reply, syntax, size, small.data()), kCvErrDirBufferTooSmall);
  std::vector<char> value(size + 1);
  ASSERT_EQ(CvGetAttributeValue(ctx_, reply, syntax, size + 1, value.data()), 0u);
  EXPECT_EQ(std::string(value.data()), expected);
  EXPECT_EQ(CvGetAttributeValue(ctx_, reply, syntax, size + 1, value.data()), kCvErrNoMoreEntries);

  // The password of a user is not readable anonymously: no attribute at all.
  ASSERT_EQ(CvSetContext(ctx_, kCvCtxKeyNameContext, "[Root]"), 0u);
  ASSERT_EQ(CvInitDirBuffer(ctx_, kCvDirOpRead, request), 0u);
  ASSERT_EQ(CvPutAttributeName(ctx_, request, "userPassword"), 0u);
  ASSERT_EQ(CvReadObject(ctx_, "JSMITH.SALES.ACME", kCvInfoAttributeValues, 0, request, &iteration, reply), 0u);
  ASSERT_EQ(CvGetAttributeCount(ctx_, reply, &count), 0u);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(CvFreeBuffer(request), 0u);
  EXPECT_EQ(CvFreeBuffer(reply), 0u);
}

TEST_F(KsdirLdap, ListingABigContainerGivesEveryNameBatchByBatch) {
  std::vector<std::string> names, classes;
  int batches = 0;
  ASSERT_EQ(ListAll("BIG.ACME", names, classes, batches), 0u);
  ASSERT_EQ(names.size(), 2000u);
  EXPECT_GT(batches, 4);  // more than one 4096-byte batch and more than one page of 500
  std::set<std::string> unique(names.begin(), names.end());
  EXPECT_EQ(unique.size(), 2000u);
  EXPECT_TRUE(unique.count("OBJ00001") && unique.count("OBJ02000"));
  EXPECT_THAT(classes, ::testing::Each(std::string("Device")));
}

TEST_F(KsdirLdap, ListingGivesOneComponentNamesWithTheirClasses) {
  struct Case {
    const char* container;
    std::set<std::pair<std::string, std::string>> objects;
  };
  const Case cases[] = {
      {"SALES.ACME", {{"SRV1", "KCP Server"}, {"SRV2", "KCP Server"}, {"JSMITH", "User"}, {"ADMIN", "User"}}},
      {"EMPTY.ACME", {{"GUEST", "User"}, {"LOCKED", "User"}, {"OPERATORS", "Group"}}},
      {"[Root]", {{"ACME", "Organization"}, {"US", "Country"}, {"POLICIES", "Organizational Unit"}}},
      {"US", {{"BOSTON", "Locality"}}},
      {"BOSTON.US", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.container);
    std::vector<std::string> names, classes;
    int batches = 0;
    ASSERT_EQ(ListAll(c.container, names, classes, batches), 0u);
    std::set<std::pair<std::string, std::string>> got;
    for (std::size_t i = 0; i < names.size(); ++i) got.emplace(names[i], classes[i]);
    EXPECT_EQ(got, c.objects);
  }
  std::vector<std::string> names, classes;
  int batches = 0;
  EXPECT_EQ(ListAll("NOPE.ACME", names, classes, batches), kCvErrDirNoSuchEntry);
}

TEST_F(KsdirLdap, AnUnfinishedListingIsClosed) {
  std::uint32_t buffer = 0;
  ASSERT_EQ(CvAllocBuffer(kCvDirBufferSize, &buffer), 0u);
  std::uint32_t iteration = kCvIterationStart;
  ASSERT_EQ(CvListContainer(ctx_, "BIG.ACME", &iteration, buffer), 0u);
  ASSERT_NE(iteration, kCvIterationStart);
  EXPECT_EQ(CvCloseIteration(ctx_, iteration, kCvDirOpList), 0u);
  EXPECT_EQ(CvCloseIteration(ctx_, iteration, kCvDirOpList), kCvErrDirInvalidParameters);
  EXPECT_EQ(CvListContainer(ctx_, "BIG.ACME", &iteration, buffer), kCvErrDirInvalidParameters);
  CvFreeBuffer(buffer);
}

TEST_F(KsdirLdap, ScanTreesListsTheConfiguredTrees) {
  std::vector<std::string> trees;
  std::uint32_t index = kCvIterationStart;
  char name[kCvDirTreeNameSize];
  while (CvScanTrees(ctx_, 0, "*", &index, name) == 0 && trees.size() < 10) trees.emplace_back(name);
  EXPECT_THAT(trees, ::testing::ElementsAre("ACME", "OTHER"));
  index = kCvIterationStart;
  ASSERT_EQ(CvScanTrees(ctx_, 0, "oth*", &index, name), 0u);
  EXPECT_STREQ(name, "OTHER");
  EXPECT_EQ(CvScanTrees(ctx_, 0, "oth*", &index, name), kCvErrNoMoreEntries);
}

// A listening socket that never answers.
class Silent {
 public:
  Silent() {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(fd_, 8);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
  }
  ~Silent() { ::close(fd_); }
  std::uint16_t port() const { return port_; }

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
};

TEST_F(KsdirLdap, AnUnreachableDirectoryAnswersWithinTheTimeout) {
  Silent silent;
  const std::string ini = *dir_ / "silent.ini";
  std::ofstream(ini) << "[Trees]\nMUTE=ldap://127.0.0.1:" << silent.port() << "/o=mute\nOTHER=ldap://127.0.0.1:1/o=x\n"
                     << "[Timeouts]\nConnect=500\nRequest=800\n";
  const std::string saved = std::getenv("CORVANE_CLIENT");
  ::setenv("CORVANE_CLIENT", ini.c_str(), 1);
  for (const char* tree : {"MUTE", "OTHER", "UNCONFIGURED"}) {
    SCOPED_TRACE(tree);
    std::uint32_t ctx = 0;
    ASSERT_EQ(CvCreateContextHandle(&ctx), 0u);
    ASSERT_EQ(CvSetContext(ctx, kCvCtxKeyTreeName, tree), 0u);
    char dn[kCvDirNameSize];
    CvObjectInfo info{};
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(CvReadObjectInfo(ctx, "X", dn, &info), kCvErrDirPrimaryConnection);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    CvFreeContext(ctx);
  }
  ::setenv("CORVANE_CLIENT", saved.c_str(), 1);
}

}  // namespace
