#pragma once

#include <optional>
#include <string>

// The file a command-line name stands for: the name itself when it exists,
// else the one entry of its folder whose name matches without regard to case
// (names written for case-insensitive file systems). Relative names are taken
// against the current directory; the result is absolute.
std::optional<std::string> ResolveModuleFile(const std::string& name);
