// Lines of NAME.qbt command files.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace cvserver::modules {

enum class LineKind {
  kSkip,     // blank line or comment (#, ;, REM)
  kLoad,     // LOAD name [args]: text is "name [args]"
  kUnload,   // UNLOAD name: text is the name
  kSet,      // SET name = value
  kConsole,  // anything else: text is a console command a loaded module may answer
  kInvalid,  // a keyword without its operands, a control character, a line too long
};

struct CommandLine {
  LineKind kind = LineKind::kInvalid;
  std::string text;
  std::string name;   // kSet
  std::string value;  // kSet
  std::string reason; // kInvalid
};

CommandLine ParseCommandLine(std::string_view line);

// Splits text on "\n" (a trailing "\r" stays; ParseCommandLine trims it).
std::vector<std::string_view> SplitLines(std::string_view text);

// Blanks collapsed to single spaces, ends trimmed: how console commands compare.
std::string NormalizeBlanks(std::string_view text);

}  // namespace cvserver::modules
