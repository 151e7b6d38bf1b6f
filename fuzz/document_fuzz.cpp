// The console's reading and writing of a file's lines: any bytes, fed in two
// blocks split anywhere, give the same line-break style; writing them back
// leaves only that style's breaks, one per line, and writing the result
// again changes nothing.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "console/document.h"

namespace {

std::string Written(std::string_view text, console::LineBreak style) {
  std::string out;
  console::WriteLines(text, style, [&out](std::string_view piece) { out.append(piece); });
  return out;
}

// Lines as the editor counts them: breaks are CR LF, LF or a lone CR, and a
// break at the very end starts no further line.
std::size_t Lines(std::string_view text) {
  std::size_t lines = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n' || text[i] == '\r') {
      if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      ++lines;
    }
  }
  const bool endsWithBreak = !text.empty() && (text.back() == '\n' || text.back() == '\r');
  return text.empty() ? 0 : lines + (endsWithBreak ? 0 : 1);
}

bool OnlyStyleBreaks(std::string_view out, console::LineBreak style) {
  const std::string_view brk = console::LineBreakBytes(style);
  for (std::size_t i = 0; i < out.size(); ++i) {
    if (out[i] != '\r' && out[i] != '\n') continue;
    if (out.substr(i, brk.size()) != brk) return false;
    i += brk.size() - 1;
  }
  // Every line ends with a break, the last one too.
  return out.empty() || out.substr(out.size() - brk.size()) == brk;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  // The first byte chooses where the blocks split.
  const std::size_t split = data[0] % size;
  const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  const std::size_t at = std::min(split, text.size());

  console::LineBreakScanner whole;
  whole.Feed(text);
  console::LineBreakScanner parts;
  parts.Feed(text.substr(0, at));
  parts.Feed(text.substr(at));
  const console::LineBreak style = whole.Finish();
  if (parts.Finish() != style) std::abort();

  for (console::LineBreak s : {console::LineBreak::CrLf, console::LineBreak::Lf, console::LineBreak::Cr}) {
    const std::string out = Written(text, s);
    if (!OnlyStyleBreaks(out, s)) std::abort();
    if (Lines(out) != Lines(text)) std::abort();
    if (Written(out, s) != out) std::abort();
  }
  return 0;
}
