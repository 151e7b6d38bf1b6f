#include "errors.h"

#include <new>

#include "stringtable.h"

namespace cvsrva {
namespace {

struct ErrorEntry {
  std::int32_t code;
  unsigned message;
};

// Searched in this order; the first equal code wins.
constexpr ErrorEntry kErrorTable[] = {
    {52752, 1338}, {52737, 1337}, {52753, 1339}, {52754, 1340}, {140, 1319},   {158, 1320},   {191, 1321},
    {514, 1322},   {518, 1323},   {519, 1324},   {34817, 1325}, {34831, 1326}, {34836, 1327}, {34920, 1328},
    {34921, 1329}, {34923, 1330}, {34930, 1331}, {35067, 1332}, {35198, 1333}, {35219, 1334}, {35222, 1335},
    {35230, 1343}, {35323, 1332}, {35327, 1336}, {65208, 1341}, {-344, 1326},  {52755, 1345}, {52756, 1346},
    {52757, 1347}, {-601, 1343},  {35082, 1348}, {35270, 1346}, {35325, 1349}, {35324, 1350}, {34821, 1351},
};
static_assert(std::size(kErrorTable) == 35);

}  // namespace

unsigned MessageIdForCode(std::int32_t code) {
  for (const auto& e : kErrorTable)
    if (e.code == code) return e.message;
  return IDS_CORVANE_ERROR;
}

Raised TableRaise(std::int32_t code) {
  Raised r;
  r.code = static_cast<WORD>(static_cast<std::uint32_t>(code) & 0xFFFFu);
  r.description = std::string(LoadString(MessageIdForCode(code)));
  return r;
}

Raised DirectoryRaise(std::int32_t code) {
  auto message = [](unsigned id) {
    Raised r;
    r.code = static_cast<WORD>(id);
    r.description = std::string(LoadString(id));
    return r;
  };
  switch (code) {
    case 34830: return message(1317);
    case 34865: return message(1315);
    case 34870: return message(1316);
    case 35324: return message(804);
    case -303: return message(1313);
    case 34817: return message(1314);
    case -301:
    case -150: {
      Raised r;
      r.outOfMemory = true;
      return r;
    }
    default: {
      Raised r = message(IDS_DIRECTORY_API_ERROR);
      std::size_t at = r.description.find("%d");
      if (at != std::string::npos) r.description.replace(at, 2, std::to_string(code));
      return r;
    }
  }
}

void Throw(const Raised& r, const std::string& source) {
  if (r.outOfMemory) throw std::bad_alloc();
  auto e = ole::DispatchException::FromCode(r.code, r.description);
  e.source = source;
  throw e;
}

}  // namespace cvsrva
