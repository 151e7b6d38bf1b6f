// The call service "CvSrvA Remote Function Calls": answers one call record
// with one reply attribute object. Functions are built in; scripts are
// NAME.BAS programs in the search path (scripts.h).
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "corvane/wire/service.h"

namespace cvrfc {

inline constexpr const char* kServiceName = "CvSrvA Remote Function Calls";

struct Settings {
  std::filesystem::path volume;
  std::vector<std::string> searchPath;
  std::chrono::milliseconds scriptTimeout{10000};
  std::size_t outputLimit = 16384;  // bytes a script may write to its standard output
  std::string auditFile;            // the agent's audit trail (CV_AUDIT_FILE); empty: none
};

// The reply to call (an attribute object of at most call.replyCapacity
// bytes). Never throws for bad input: that is an ERROR reply.
std::vector<std::uint8_t> Answer(const cvwire::service::Call& call, const Settings& settings);

}  // namespace cvrfc
