#include "stringtable.h"

#include <algorithm>
#include <iterator>

namespace cvsrva {
namespace {

struct Entry {
  unsigned id;
  std::string_view text;
};

// Sorted by id. The texts are the control's own, spelling included.
constexpr Entry kStrings[] = {
    {1, "Veltrane Server Administration Control"},
    {2, "Veltrane Server Administration Control Property Page"},
    {100, "Full Name"},
    {120, "Generic CDS Object (default)"},
    {121, "AFP Server"},
    {122, "Alias"},
    {123, "Application"},
    {124, "Application (DOS)"},
    {125, "Application (Windows 3.x)"},
    {126, "Application (Windows 95)"},
    {127, "Application (Windows NT)"},
    {128, "Audit:File Object"},
    {129, "Folvane Object"},
    {130, "Folvane Queue"},
    {131, "Computer"},
    {132, "Country"},
    {133, "Device"},
    {134, "Directory Map"},
    {135, "External Entity"},
    {136, "Group"},
    {137, "Locality"},
    {138, "Messaging Server"},
    {139, "KCP Server"},
    {140, "PXU License Server"},
    {141, "PXULicenseCertificate"},
    {142, "Organization"},
    {143, "Organizational Person"},
    {144, "Organizational Role"},
    {145, "Organizational Unit"},
    {146, "Partition"},
    {147, "Person"},
    {148, "Print Server"},
    {149, "Printer"},
    {150, "Profile"},
    {151, "Queue"},
    {152, "Server"},
    {153, "Template"},
    {154, "Unknown"},
    {155, "User"},
    {156, "Volume"},
    {202, "Corvane Services"},
    {203, "Corvane Servers"},
    {204, "Veltrane Directory Services"},
    {600, "Directory Services API error: %d"},
    {804, "Unknown Server"},
    {1313, "This context does not exists"},
    {1314, "Invalid connection to the server"},
    {1315, "Primary connection failed"},
    {1316, "Invalied parameters"},
    {1317, "Buffer size is less to store  the information"},
    {1319, "Invalid type flag set"},
    {1320, "No path and name field supported"},
    {1321, "Invalid set command name"},
    {1322, "Unable to load or unload specified module"},
    {1323, "Unable to set the command"},
    {1324, "Unable to execute QBT file"},
    {1325, "Invalid connection"},
    {1326, "No licensed connection to the server"},
    {1327, "Licensed connection exists"},
    {1328, "Invalid information type"},
    {1329, "Acess violation"},
    {1330, "Level mentioned is invalid"},
    {1331, "Invalid owner"},
    {1332, "Invalid parameter"},
    {1333, "Boundary checking failed"},
    {1334, "Invalid filename"},
    {1335, "Server out of memory"},
    {1336, "Failure"},
    {1337, "Invalid name format"},
    {1338, "Exceeds the limit"},
    {1339, "The parameter to a function is invalid"},
    {1340, "The return value to a method is invalid"},
    {1341, "Context creation error"},
    {1342, "Corvane error"},
    {1343, "Invalid entry name"},
    {1344, "CDS:"},
    {1345, "Qrx is not running"},
    {1346, "The user does have console privileges."},
    {1347, "Control not initialized"},
    {1348, "Invalid connection from the QRX."},
    {1349, "Bad station  number."},
    {1350, "Message queue full."},
    {1351, "Attempt to receive from the selected transport failed."},
};

static_assert(std::is_sorted(std::begin(kStrings), std::end(kStrings),
                             [](const Entry& a, const Entry& b) { return a.id < b.id; }));

}  // namespace

std::string_view LoadString(unsigned id) {
  auto it = std::lower_bound(std::begin(kStrings), std::end(kStrings), id,
                             [](const Entry& e, unsigned v) { return e.id < v; });
  return it != std::end(kStrings) && it->id == id ? it->text : std::string_view();
}

}  // namespace cvsrva
