#include "audit.h"

#include <charconv>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "corvane/client/cverrors.h"
#include "corvane/client/kscalls.h"
#include "corvane/client/ksconn.h"
#include "corvane/server/audit_record.h"
#include "corvane/wire/attobj.h"
#include "stringtable.h"

namespace cvcli {
namespace {

constexpr const char* kService = "CvSrvA Remote Function Calls";
constexpr std::uint32_t kReplySize = 60000;
// The control's message for a call the service refused (no operator rights).
constexpr std::uint32_t kRefusedMessage = 1346;

// A call record: function kind, the items (u16 length, tag, data).
class CallRecord {
 public:
  explicit CallRecord(const std::string& name) {
    bytes_ = {0x00, 0, 0};
    Item('C', name.data(), name.size());
  }
  CallRecord& Text(const std::string& s) { return Item('C', s.data(), s.size()); }
  CallRecord& Int(std::int32_t v) { return Item('I', &v, 4); }
  std::vector<std::uint8_t>& bytes() { return bytes_; }

 private:
  CallRecord& Item(char tag, const void* data, std::size_t n) {
    bytes_.push_back(static_cast<std::uint8_t>(n));
    bytes_.push_back(static_cast<std::uint8_t>(n >> 8));
    bytes_.push_back(static_cast<std::uint8_t>(tag));
    const auto* p = static_cast<const std::uint8_t*>(data);
    bytes_.insert(bytes_.end(), p, p + n);
    ++bytes_[1];
    return *this;
  }
  std::vector<std::uint8_t> bytes_;
};

std::string Cut(const std::string& s, std::size_t width) {
  return s.size() <= width ? s : s.substr(0, width - 1) + "~";
}

void PrintRecord(const cvaudit::Record& r) {
  std::string who = r.who.user.empty() ? "(agent)" : r.who.user;
  if (r.who.objectId != 0 && r.who.mechanism == "directory") who += " #" + std::to_string(r.who.objectId);
  std::string from = r.who.peer.empty() ? "-" : r.who.peer + ":" + std::to_string(r.who.port);
  if (!r.who.workstation.empty()) from += " (" + r.who.workstation + ")";
  std::string what = r.target;
  for (const char* k : {"old", "new", "file", "result", "detail"}) {
    if (const std::string* v = r.Extra(k)) what += std::string(" ") + k + "=" + *v;
  }
  for (char& c : what) {
    if (static_cast<unsigned char>(c) < 0x20) c = ' ';
  }
  std::printf("%-23s  %-10s %6u  %-20s %5u  %-28s %s\n", r.time.c_str(), Cut(r.action, 10).c_str(), r.outcome,
              Cut(who, 20).c_str(), r.who.connection, Cut(from, 28).c_str(), what.c_str());
}

}  // namespace

int AuditCommand(int argc, char** argv, const Fail& fail) {
  if (argc < 3) return -1;
  const char* server = argv[2];
  std::int32_t count = 20;
  std::string action, user;
  for (int i = 3; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i + 1 >= argc) return -1;
    const char* value = argv[++i];
    if (arg == "--action") {
      action = value;
    } else if (arg == "--user") {
      user = value;
    } else if (arg == "-n") {
      const char* end = value + std::strlen(value);
      auto [p, ec] = std::from_chars(value, end, count);
      if (ec != std::errc() || p != end || count < 1 || count > 1000) return -1;
    } else {
      return -1;
    }
  }
  if (std::uint32_t code = CvClientStartup(nullptr, nullptr)) return fail("startup", code);
  std::uint32_t h = 0;
  if (std::uint32_t code = CvGetConnectionHandle(server, 0, &h, nullptr)) return fail(server, code);
  std::uint32_t service = 0;
  if (std::uint32_t code = CvGetServiceInfoByName(h, kService, &service, nullptr, nullptr, nullptr, nullptr)) {
    CvReleaseConnection(h);
    return fail("audit", code);
  }
  CallRecord call("AUDIT.TAIL");
  call.Int(count).Text(action).Text(user);
  std::vector<std::uint8_t> reply(kReplySize);
  CvFragment req{call.bytes().data(), static_cast<std::uint32_t>(call.bytes().size())};
  CvFragment rep{reply.data(), kReplySize};
  const std::uint32_t code = CvServiceRequest(h, service, 1, &req, 1, &rep);
  CvReleaseConnection(h);
  if (code) return fail("audit", code);
  reply.resize(std::min<std::size_t>(rep.size, reply.size()));
  const cvattobj::Area area(reply);
  std::int32_t refused = 0;
  if (cvattobj::GetAttInt(nullptr, &refused, area, "ERROR") == 1) {
    const auto message = cvsrva::LoadString(kRefusedMessage);
    std::fprintf(stderr, "cvcli: audit: %.*s\n", static_cast<int>(message.size()), message.data());
    return 1;
  }
  if (cvattobj::FindAtt(nullptr, area, "ERROR")) {
    char text[1024] = {};
    std::int32_t errorCode = 0;
    cvattobj::GetAttInt(nullptr, &errorCode, area, "ERROR.CODE");
    cvattobj::GetAttString(nullptr, std::span(text, sizeof text - 1), area, "ERROR.TEXT");
    std::fprintf(stderr, "cvcli: audit: error %d: %s\n", errorCode, text);
    return 1;
  }
  const auto textAtt = cvattobj::FindAtt(nullptr, area, "TEXT");
  const auto bytes = textAtt ? textAtt.Value() : cvattobj::Area();
  std::string text(bytes.begin(), bytes.end());
  while (!text.empty() && text.back() == '\0') text.pop_back();
  std::printf("%-23s  %-10s %6s  %-20s %5s  %-28s %s\n", "TIME (UTC)", "ACTION", "CODE", "USER", "CONN", "FROM",
              "TARGET");
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t end = std::min(text.find('\n', start), text.size());
    if (auto r = cvaudit::Parse(std::string_view(text).substr(start, end - start))) PrintRecord(*r);
    start = end + 1;
  }
  return 0;
}

}  // namespace cvcli
