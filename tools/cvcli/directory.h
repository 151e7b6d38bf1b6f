// cvcli's directory commands (cvcli --dir ...).
#pragma once

#include <cstdint>
#include <functional>

namespace cvcli {

// Prints a failure with its code and message and gives the exit status.
using Fail = std::function<int(const char* what, std::uint32_t code)>;

// Runs cvcli --dir COMMAND ...; -1 for arguments it does not take.
int DirectoryCommand(int argc, char** argv, const Fail& fail);

}  // namespace cvcli
