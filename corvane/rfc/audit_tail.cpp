#include "corvane/rfc/audit_tail.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>

#include "corvane/server/audit_record.h"
#include "posix/unique_fd.h"

namespace cvrfc {
namespace {

constexpr std::size_t kChunk = 64 * 1024;
constexpr int kMaxFiles = 1000;

bool EqualNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

bool Matches(const cvaudit::Record& r, const AuditQuery& q) {
  if (q.action.empty() ? r.action == "checkpoint" : !EqualNoCase(r.action, q.action)) return false;
  return q.user.empty() || EqualNoCase(r.who.user, q.user);
}

// Walks the lines of one file from its end; false when the file is not there.
// Stops when want() says so or the budget is spent.
template <typename Want>
bool Backwards(const std::string& path, std::size_t& budget, Want want) {
  posix::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  struct stat st {};
  if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  off_t end = st.st_size;
  std::string carry;  // the start of a line whose end was read already
  while (end > 0 && budget > 0) {
    const auto n = static_cast<off_t>(std::min<std::size_t>({kChunk, static_cast<std::size_t>(end), budget}));
    std::string chunk(static_cast<std::size_t>(n), '\0');
    if (::pread(fd.get(), chunk.data(), chunk.size(), end - n) != n) return true;
    end -= n;
    budget -= static_cast<std::size_t>(n);
    chunk += carry;
    std::size_t stop = chunk.size();
    for (std::size_t nl = chunk.rfind('\n', stop == 0 ? 0 : stop - 1); nl != std::string::npos;
         nl = nl == 0 ? std::string::npos : chunk.rfind('\n', nl - 1)) {
      if (stop > nl + 1 && !want(std::string_view(chunk).substr(nl + 1, stop - nl - 1))) return true;
      stop = nl;
      if (nl == 0) break;
    }
    carry = chunk.substr(0, stop);
    // A line longer than any record is not one: dropped.
    if (carry.size() > cvaudit::kMaxLine) carry.clear();
  }
  if (end == 0 && !carry.empty()) want(carry);
  return true;
}

}  // namespace

bool TailAuditTrail(const std::string& file, const AuditQuery& query, std::vector<std::string>& lines,
                    std::size_t budget) {
  lines.clear();
  if (query.count == 0) return true;
  bool any = false;
  for (int i = 0; i <= kMaxFiles && lines.size() < query.count && budget > 0; ++i) {
    const std::string path = i == 0 ? file : file + "." + std::to_string(i);
    const bool found = Backwards(path, budget, [&](std::string_view line) {
      const auto r = cvaudit::Parse(line);
      if (r && Matches(*r, query)) lines.emplace_back(line);
      return lines.size() < query.count;
    });
    if (!found && i > 0) break;
    any = any || found;
  }
  std::reverse(lines.begin(), lines.end());
  return any;
}

}  // namespace cvrfc
