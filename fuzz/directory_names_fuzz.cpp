// The directory-name routines on arbitrary text: the five text routines,
// CDirName from a path and from (tree, dotted name), and the server-name
// forms; each result is checked against what the routines promise.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "dirnames.h"
#include "names.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string all(reinterpret_cast<const char*>(data), size);
  const std::size_t cut = all.find('\n');
  const std::string a = all.substr(0, cut);
  const std::string b = cut == std::string::npos ? std::string() : all.substr(cut + 1);

  const std::string path = cvsrva::NormalizeServerPath(a);
  if (!path.empty()) {
    Check(path.size() >= 3 && path.starts_with("\\\\") && path[2] != '\\' && path.back() != '\\');
    Check(path.find('.') == std::string::npos);
    // Normalizing again is not always the identity: "\\ \" gives "\\ ",
    // which trims to two backslashes alone.
  }
  const std::string dotted = cvsrva::NormalizeDottedName(a);
  Check(dotted.empty() || (dotted.front() != '.' && dotted.back() != '.' && dotted.find('\\') == std::string::npos));
  const std::string simple = cvsrva::NormalizeSimpleName(a);
  Check(simple.find_first_of(".\\") == std::string::npos);
  // Without empty components the two conversions undo each other.
  if (a.find('\\') == std::string::npos && a.find("..") == std::string::npos && !a.starts_with('.') &&
      !a.ends_with('.')) {
    Check(cvsrva::DottedFromPath(cvsrva::PathFromDotted(a)) == a);
  }

  const cvsrva::CDirName fromPath(a);
  Check(fromPath.GetPath().empty() == fromPath.GetTree().empty());
  const cvsrva::CDirName fromParts(a, b);
  if (!fromParts.GetPath().empty()) {
    Check(fromParts.GetPath().starts_with("\\\\" + fromParts.GetTree()));
    Check(!fromParts.GetDottedName().empty());
  }

  const bool accepted = cvsrva::NameCheck(a);
  if (accepted) {
    const std::string directory = cvsrva::BrowseToDirectory(a);
    Check(cvsrva::DirectoryToBrowse(directory) == a);
    // The tokenizer skips blanks and control characters before a token, so a
    // component starting with one does not parse back; such names fail to
    // bind with an error.
    const bool printable = std::all_of(a.begin(), a.end(), [](char c) { return static_cast<unsigned char>(c) >= '!'; });
    if (a.starts_with("CDS:") && printable) Check(cvsrva::ParseDirectoryName(directory).has_value());
  }
  cvsrva::ParseDirectoryName(a);
  return 0;
}
