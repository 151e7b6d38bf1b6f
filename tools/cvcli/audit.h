// cvcli's audit command: the last records of a server's audit trail,
// through the call service's AUDIT.TAIL, printed as a table.
#pragma once

#include <cstdint>

#include "directory.h"

namespace cvcli {

// Runs cvcli audit SERVER [--action A] [--user U] [-n N] (argv[1] "audit",
// argv[2] the server); -1 for arguments it does not take.
int AuditCommand(int argc, char** argv, const Fail& fail);

}  // namespace cvcli
