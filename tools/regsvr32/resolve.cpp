#include "regsvr32/resolve.h"

#include <filesystem>

#include "ole/bstr.h"

namespace fs = std::filesystem;

std::optional<std::string> ResolveModuleFile(const std::string& name) {
  std::error_code ec;
  fs::path p = fs::absolute(name, ec);
  if (ec) return std::nullopt;
  if (fs::is_regular_file(p, ec)) return p.lexically_normal().string();
  fs::path dir = p.parent_path();
  std::string want = p.filename().string();
  std::optional<std::string> found;
  for (const auto& entry : fs::directory_iterator(dir, ec)) {
    if (!entry.is_regular_file(ec)) continue;
    if (!ole::EqualsNoCaseUtf8(entry.path().filename().string(), want)) continue;
    if (found) return std::nullopt;  // ambiguous: two files differ only in case
    found = entry.path().lexically_normal().string();
  }
  return found;
}
