// Directory names: the five text routines, CDirName, and the owners of a
// directory context and a request buffer over the scripted client.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <new>
#include <string>

#include "corvane/client/cverrors.h"
#include "corvane/client/fake/cvclient_fake.h"
#include "dirnames.h"
#include "ole/dispatch.h"

namespace {

using namespace cvsrva;
using ::testing::ElementsAre;

struct TextCase {
  std::string (*routine)(std::string);
  const char* routineName;
  const char* in;
  const char* out;
};

const TextCase kTextCases[] = {
    {PathFromDotted, "PathFromDotted", "JSMITH.SALES.ACME", R"(ACME\SALES\JSMITH)"},
    {PathFromDotted, "PathFromDotted", "SERVER", "SERVER"},
    {PathFromDotted, "PathFromDotted", "", ""},
    {PathFromDotted, "PathFromDotted", "A.B.", R"(\B\A)"},
    {PathFromDotted, "PathFromDotted", ".A.B", R"(B\A)"},
    {PathFromDotted, "PathFromDotted", "A..B", R"(B\\A)"},
    {PathFromDotted, "PathFromDotted", "CN=X.OU=Y", R"(OU=Y\CN=X)"},
    {DottedFromPath, "DottedFromPath", R"(ACME\SALES\JSMITH)", "JSMITH.SALES.ACME"},
    {DottedFromPath, "DottedFromPath", "ACME", "ACME"},
    {DottedFromPath, "DottedFromPath", R"(\A\B)", "B.A"},
    {DottedFromPath, "DottedFromPath", R"(A\\B)", "B..A"},
    {NormalizeServerPath, "NormalizeServerPath", " SALES1 ", R"(\\SALES1)"},
    {NormalizeServerPath, "NormalizeServerPath", R"(\SALES1)", R"(\\SALES1)"},
    {NormalizeServerPath, "NormalizeServerPath", R"(\\SALES1\\)", R"(\\SALES1)"},
    {NormalizeServerPath, "NormalizeServerPath", R"(\\A)", R"(\\A)"},
    {NormalizeServerPath, "NormalizeServerPath", R"(\\ACME\ACME\SALES)", R"(\\ACME\ACME\SALES)"},
    {NormalizeServerPath, "NormalizeServerPath", R"(\)", ""},
    {NormalizeServerPath, "NormalizeServerPath", R"(\\)", ""},
    {NormalizeServerPath, "NormalizeServerPath", R"(\\\SALES1)", ""},
    {NormalizeServerPath, "NormalizeServerPath", R"(\\SALES1.X)", ""},
    {NormalizeServerPath, "NormalizeServerPath", " \t\r\n", ""},
    {NormalizeDottedName, "NormalizeDottedName", "..JSMITH.SALES.ACME.", "JSMITH.SALES.ACME"},
    {NormalizeDottedName, "NormalizeDottedName", "...", ""},
    {NormalizeDottedName, "NormalizeDottedName", R"(JSMITH\SALES)", ""},
    {NormalizeDottedName, "NormalizeDottedName", " A.B ", "A.B"},
    {NormalizeSimpleName, "NormalizeSimpleName", " ACME ", "ACME"},
    {NormalizeSimpleName, "NormalizeSimpleName", "AC.ME", ""},
    {NormalizeSimpleName, "NormalizeSimpleName", R"(AC\ME)", ""},
    {NormalizeSimpleName, "NormalizeSimpleName", "", ""},
};

TEST(DirTextRoutines, EveryExample) {
  for (const auto& c : kTextCases) EXPECT_EQ(c.routine(c.in), c.out) << c.routineName << "(" << c.in << ")";
}

struct NameCase {
  const char* tree;    // null: built from the path
  const char* dotted;  // or the path
  const char* path;
  const char* treeOut;
  const char* dottedOut;
  const char* leaf;
};

const NameCase kNameCases[] = {
    {"ACME", "JSMITH.SALES.ACME", R"(\\ACME\ACME\SALES\JSMITH)", "ACME", "JSMITH.SALES.ACME", "JSMITH"},
    {"ACME", "", R"(\\ACME)", "ACME", "[Root]", "ACME"},
    {" ACME ", "..SALES.ACME.", R"(\\ACME\ACME\SALES)", "ACME", "SALES.ACME", "SALES"},
    {"AC.ME", "JSMITH.SALES.ACME", "", "", "", ""},
    {"", "JSMITH", "", "", "", ""},
    {nullptr, R"(\\ACME\ACME\SALES)", R"(\\ACME\ACME\SALES)", "ACME", "SALES.ACME", "SALES"},
    {nullptr, R"(\\SALES1)", R"(\\SALES1)", "SALES1", "[Root]", "SALES1"},
    {nullptr, R"(\\acme\Sales)", R"(\\acme\Sales)", "acme", "Sales", "Sales"},
    {nullptr, "SALES1", R"(\\SALES1)", "SALES1", "[Root]", "SALES1"},
    {nullptr, R"(\\A.B)", "", "", "", ""},
    {nullptr, "", "", "", "", ""},
};

TEST(CDirName, SplitsNamesIntoPathTreeAndDottedName) {
  for (const auto& c : kNameCases) {
    const CDirName n = c.tree ? CDirName(c.tree, c.dotted) : CDirName(std::string(c.dotted));
    SCOPED_TRACE(std::string(c.tree ? c.tree : "(path)") + " / " + c.dotted);
    EXPECT_EQ(n.GetPath(), c.path);
    EXPECT_EQ(n.GetTree(), c.treeOut);
    EXPECT_EQ(n.GetDottedName(), c.dottedOut);
    EXPECT_EQ(n.GetLeaf(), c.leaf);
  }
  EXPECT_EQ(CDirName().GetPath(), "");
  EXPECT_EQ(CDirName().GetLeaf(), "");
}

class DirObjects : public ::testing::Test {
 protected:
  void SetUp() override { cvfake::Reset(); }
};

TEST_F(DirObjects, ContextFromANameIsPreparedForItsTreeFromTheRoot) {
  cvfake::Push("CvCreateContextHandle", cvfake::Ok(cvfake::Out::U32(7)));
  cvfake::Push("CvGetContext", cvfake::Ok(cvfake::Out::U32(0x100)));
  {
    CDirContext c(CDirName("ACME", "SALES.ACME"));
    EXPECT_EQ(c.m_hContext, 7u);
    EXPECT_EQ(c.GetContainerName(), "SALES.ACME");
  }
  EXPECT_THAT(cvfake::Calls(), ElementsAre("CvCreateContextHandle(out)", "CvGetContext(7, 1, out)",
                                           "CvSetContext(7, 1, 0x145)", "CvSetContext(7, 2, 2)",
                                           "CvSetContext(7, 11, \"ACME\")", "CvSetContext(7, 3, \"[Root]\")",
                                           "CvFreeContext(7)"));
}

TEST_F(DirObjects, DefaultContextKeepsTheLibraryTreeAndIgnoresFailures) {
  cvfake::Push("CvCreateContextHandle", cvfake::Ok(cvfake::Out::U32(9)));
  cvfake::Push("CvGetContext", kCvErrDirNoSuchContext);
  {
    CDirContext c;
    EXPECT_EQ(c.GetContainerName(), "[Root]");
  }
  EXPECT_THAT(cvfake::Calls("CvSetContext"), ElementsAre("CvSetContext(9, 1, 0x45)", "CvSetContext(9, 2, 2)"));
  EXPECT_THAT(cvfake::Calls("CvFreeContext"), ElementsAre("CvFreeContext(9)"));
}

struct RaiseCase {
  std::uint32_t code;
  WORD raised;
  const char* text;
};

TEST_F(DirObjects, FailingTreeOrNameContextRaisesTheDirectoryErrorAndFreesTheContext) {
  const RaiseCase cases[] = {
      {kCvErrDirPrimaryConnection, 1315, "Primary connection failed"},
      {kCvErrDirNoSuchContext, 1313, "This context does not exists"},
      {kCvErrDirNoSuchEntry, 600, "Directory Services API error: -601"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    cvfake::Reset();
    cvfake::Push("CvCreateContextHandle", cvfake::Ok(cvfake::Out::U32(5)));
    cvfake::Push("CvSetContext", 0);
    cvfake::Push("CvSetContext", 0);
    cvfake::Push("CvSetContext", c.code);
    try {
      CDirContext ctx(CDirName("ACME", ""));
      ADD_FAILURE() << "no exception";
    } catch (const ole::DispatchException& e) {
      EXPECT_EQ(e.code, c.raised);
      EXPECT_EQ(e.description, c.text);
    }
    EXPECT_THAT(cvfake::Calls("CvFreeContext"), ElementsAre("CvFreeContext(5)"));
  }
  cvfake::Reset();
  cvfake::Push("CvCreateContextHandle", cvfake::Ok(cvfake::Out::U32(5)));
  cvfake::Push("CvSetContext", 0);
  cvfake::Push("CvSetContext", 0);
  cvfake::Push("CvSetContext", 0);
  cvfake::Push("CvSetContext", kCvErrDirOutOfMemory);
  EXPECT_THROW(CDirContext(CDirName("ACME", "")), std::bad_alloc);
}

TEST_F(DirObjects, BufferAllocatesReplacesAndFrees) {
  {
    CDirBuffer none;
    EXPECT_EQ(none.m_hBuffer, 0u);
    EXPECT_EQ(none.m_size, 0u);
  }
  EXPECT_TRUE(cvfake::Calls().empty());
  cvfake::Push("CvAllocBuffer", cvfake::Ok(cvfake::Out::U32(3)));
  cvfake::Push("CvAllocBuffer", cvfake::Ok(cvfake::Out::U32(4)));
  {
    CDirBuffer b(4096);
    EXPECT_EQ(b.m_hBuffer, 3u);
    b.Allocate(100);
    EXPECT_EQ(b.m_hBuffer, 4u);
    EXPECT_EQ(b.m_size, 100u);
  }
  EXPECT_THAT(cvfake::Calls(), ElementsAre("CvAllocBuffer(4096, out)", "CvFreeBuffer(3)", "CvAllocBuffer(100, out)",
                                           "CvFreeBuffer(4)"));
  cvfake::Reset();
  cvfake::Push("CvAllocBuffer", kCvErrDirOutOfMemory);
  EXPECT_THROW(CDirBuffer(4096), std::bad_alloc);
  cvfake::Push("CvAllocBuffer", cvfake::Ok(cvfake::Out::U32(0)));
  CDirBuffer b;
  EXPECT_THROW(b.Allocate(10), std::bad_alloc);
  EXPECT_EQ(b.m_size, 0u);
}

}  // namespace
