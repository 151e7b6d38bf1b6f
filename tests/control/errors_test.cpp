// The error table, the message texts and the raise rules, directly and as a
// host receives them.
#include <new>

#include "control/fixture.h"
#include "errors.h"

namespace {

using cvfake::Ok;
using cvfake::Out;
using cvtest::ExpectRaised;

struct TableCase {
  std::int32_t code;
  WORD wCode;
  const char* text;
};

// Every entry of the error table, in table order, with the text of its message.
const TableCase kTable[] = {
    {52752, 0xCE10, "Exceeds the limit"},
    {52737, 0xCE01, "Invalid name format"},
    {52753, 0xCE11, "The parameter to a function is invalid"},
    {52754, 0xCE12, "The return value to a method is invalid"},
    {140, 140, "Invalid type flag set"},
    {158, 158, "No path and name field supported"},
    {191, 191, "Invalid set command name"},
    {514, 514, "Unable to load or unload specified module"},
    {518, 518, "Unable to set the command"},
    {519, 519, "Unable to execute QBT file"},
    {34817, 0x8801, "Invalid connection"},
    {34831, 0x880F, "No licensed connection to the server"},
    {34836, 0x8814, "Licensed connection exists"},
    {34920, 0x8868, "Invalid information type"},
    {34921, 0x8869, "Acess violation"},
    {34923, 0x886B, "Level mentioned is invalid"},
    {34930, 0x8872, "Invalid owner"},
    {35067, 0x88FB, "Invalid parameter"},
    {35198, 0x897E, "Boundary checking failed"},
    {35219, 0x8993, "Invalid filename"},
    {35222, 0x8996, "Server out of memory"},
    {35230, 0x899E, "Invalid entry name"},
    {35323, 0x89FB, "Invalid parameter"},
    {35327, 0x89FF, "Failure"},
    {65208, 0xFEB8, "Context creation error"},
    {-344, 0xFEA8, "No licensed connection to the server"},
    {52755, 0xCE13, "Qrx is not running"},
    {52756, 0xCE14, "The user does have console privileges."},
    {52757, 0xCE15, "Control not initialized"},
    {-601, 0xFDA7, "Invalid entry name"},
    {35082, 0x890A, "Invalid connection from the QRX."},
    {35270, 0x89C6, "The user does have console privileges."},
    {35325, 0x89FD, "Bad station  number."},
    {35324, 0x89FC, "Message queue full."},
    {34821, 0x8805, "Attempt to receive from the selected transport failed."},
    // Codes the table does not list.
    {9999, 9999, "Corvane error"},
    {-328, 0xFEB8, "Corvane error"},  // same low 16 bits as 65208, but another 32-bit code
    {0x10000 + 140, 140, "Corvane error"},
    {0, 0, "Corvane error"},
    {-1, 0xFFFF, "Corvane error"},
};

TEST(ErrorTable, EveryCodeRaisesItsLow16BitsAndItsMessage) {
  for (const TableCase& c : kTable) {
    SCOPED_TRACE(c.code);
    cvsrva::Raised r = cvsrva::TableRaise(c.code);
    EXPECT_FALSE(r.outOfMemory);
    EXPECT_EQ(r.code, c.wCode);
    EXPECT_EQ(r.description, c.text);
  }
}

struct DirectoryCase {
  std::int32_t code;
  WORD wCode;
  const char* text;
};

const DirectoryCase kDirectory[] = {
    {34830, 1317, "Buffer size is less to store  the information"},
    {34865, 1315, "Primary connection failed"},
    {34870, 1316, "Invalied parameters"},
    {35324, 804, "Unknown Server"},  // "Message queue full." under the table rule
    {-303, 1313, "This context does not exists"},
    {34817, 1314, "Invalid connection to the server"},
    {-999, 600, "Directory Services API error: -999"},
    {140, 600, "Directory Services API error: 140"},
    {0, 600, "Directory Services API error: 0"},
    {-2147483647 - 1, 600, "Directory Services API error: -2147483648"},
};

TEST(DirectoryRaise, RaisesTheMessageIdOr600WithTheCode) {
  for (const DirectoryCase& c : kDirectory) {
    SCOPED_TRACE(c.code);
    cvsrva::Raised r = cvsrva::DirectoryRaise(c.code);
    EXPECT_FALSE(r.outOfMemory);
    EXPECT_EQ(r.code, c.wCode);
    EXPECT_EQ(r.description, c.text);
  }
}

TEST(DirectoryRaise, OutOfMemoryCodesThrowTheMemoryException) {
  for (std::int32_t code : {-301, -150}) {
    SCOPED_TRACE(code);
    cvsrva::Raised r = cvsrva::DirectoryRaise(code);
    EXPECT_TRUE(r.outOfMemory);
    EXPECT_THROW(cvsrva::Throw(r, "CVSRVA"), std::bad_alloc);
  }
}

// What the host receives: the dispatch call fails with DISP_E_EXCEPTION and
// the EXCEPINFO of the table rule.
class RaisedToHost : public cvtest::ControlTest {};

TEST_F(RaisedToHost, ALibraryCodeArrivesWithItsTableText) {
  Create(true);
  cvfake::Push("CvGetConnectionHandle", 140u);
  ExpectRaised(Put(u"FullName", CComVariant(u"\\\\SRV1")), 140, "Invalid type flag set");

  cvfake::Push("CvGetConnectionHandle", 9999u);
  ExpectRaised(Put(u"FullName", CComVariant(u"\\\\SRV1")), 9999, "Corvane error");

  cvfake::Push("CvGetConnectionHandle", static_cast<std::uint32_t>(-328));
  ExpectRaised(Put(u"FullName", CComVariant(u"\\\\SRV1")), 0xFEB8, "Corvane error");

  cvfake::Push("CvGetConnectionHandle", 65208u);
  ExpectRaised(Put(u"FullName", CComVariant(u"\\\\SRV1")), 0xFEB8, "Context creation error");
}

TEST_F(RaisedToHost, CodeZeroArrivesAsAGenericFailureWithTheDefaultText) {
  // A directory object that is no server fails its binding with code 0.
  Create(true);
  cvfake::Push("CvReadObjectInfo", Ok(Out::Skip(), Out::Record(cvfake::ObjectInfo("Organizational Unit"))));
  cvtest::Outcome o = Put(u"FullName", CComVariant(cvtest::kBrowseName));
  EXPECT_EQ(o.hr, DISP_E_EXCEPTION);
  EXPECT_EQ(o.code, 0);
  EXPECT_EQ(o.scode, E_FAIL);
  EXPECT_EQ(o.description, "Corvane error");
}

}  // namespace
