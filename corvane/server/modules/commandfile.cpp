#include "corvane/server/modules/commandfile.h"

#include "corvane/server/modules/manifest.h"

namespace cvserver::modules {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// The first word of line when it equals keyword (without regard to case) and
// is followed by a blank or the end; then *rest is what follows, trimmed.
bool StartsWithKeyword(std::string_view line, std::string_view keyword, std::string_view* rest) {
  if (line.size() < keyword.size() || !EqualsNoCase(line.substr(0, keyword.size()), keyword)) return false;
  if (line.size() > keyword.size() && !IsBlank(line[keyword.size()])) return false;
  *rest = Trim(line.substr(keyword.size()));
  return true;
}

CommandLine Invalid(std::string reason) {
  CommandLine out;
  out.kind = LineKind::kInvalid;
  out.reason = std::move(reason);
  return out;
}

}  // namespace

CommandLine ParseCommandLine(std::string_view raw) {
  if (raw.size() > kMaxLineLength) return Invalid("line too long");
  const std::string_view line = Trim(raw);
  for (char c : line) {
    const auto u = static_cast<unsigned char>(c);
    if ((u < 0x20 && c != '\t') || u == 0x7f) return Invalid("control character");
  }
  CommandLine out;
  std::string_view rest;
  if (line.empty() || line.front() == '#' || line.front() == ';' || StartsWithKeyword(line, "REM", &rest)) {
    out.kind = LineKind::kSkip;
  } else if (StartsWithKeyword(line, "LOAD", &rest)) {
    if (rest.empty()) return Invalid("LOAD without a module");
    out.kind = LineKind::kLoad;
    out.text = std::string(rest);
  } else if (StartsWithKeyword(line, "UNLOAD", &rest)) {
    if (rest.empty()) return Invalid("UNLOAD without a module");
    out.kind = LineKind::kUnload;
    out.text = std::string(rest);
  } else if (StartsWithKeyword(line, "SET", &rest)) {
    const auto eq = rest.find('=');
    if (eq == std::string_view::npos) return Invalid("SET without '='");
    const std::string_view name = Trim(rest.substr(0, eq));
    if (name.empty()) return Invalid("SET without a parameter name");
    out.kind = LineKind::kSet;
    out.name = std::string(name);
    out.value = std::string(Trim(rest.substr(eq + 1)));
  } else {
    out.kind = LineKind::kConsole;
    out.text = NormalizeBlanks(line);
  }
  return out;
}

std::vector<std::string_view> SplitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  while (start <= text.size()) {
    const auto nl = text.find('\n', start);
    if (nl == std::string_view::npos) {
      if (start < text.size()) lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, nl - start));
    start = nl + 1;
  }
  return lines;
}

std::string NormalizeBlanks(std::string_view text) {
  std::string out;
  for (const auto& word : SplitBlanks(text)) {
    if (!out.empty()) out += ' ';
    out += word;
  }
  return out;
}

}  // namespace cvserver::modules
