// AUDIT.TAIL's reading of the agent's audit trail: the last records that
// match, newest files first (FILE, then FILE.1, FILE.2, ... while they
// exist), each file read backwards in bounded chunks.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace cvrfc {

struct AuditQuery {
  std::size_t count = 20;
  std::string action;  // empty: any; matched without regard to case
  std::string user;    // empty: any; matched without regard to case
};

// The most bytes read from the trail for one query.
inline constexpr std::size_t kAuditReadBudget = 16 * 1024 * 1024;

// The matching record lines, oldest first. Checkpoints only when asked for
// by action; lines that are not records are skipped. False when file
// cannot be read.
bool TailAuditTrail(const std::string& file, const AuditQuery& query, std::vector<std::string>& lines,
                    std::size_t budget = kAuditReadBudget);

}  // namespace cvrfc
