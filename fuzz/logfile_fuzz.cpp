// The log view's handling of a file's bytes: the break count of any bytes,
// split into blocks anywhere, equals a plain count; the lines written in
// pieces equal those written whole; every line decodes to characters whose
// columns point into the line, in order.
#include <QList>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "console/document.h"
#include "console/logfile.h"

namespace {

std::uint64_t PlainBreaks(std::string_view text) {
  std::uint64_t n = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n') ++n;
    if (text[i] == '\r' && (i + 1 == text.size() || text[i + 1] != '\n')) ++n;
  }
  return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::size_t block = 1 + data[0] % 97;
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);

  std::uint64_t counted = 0;
  for (std::size_t at = 0; at < text.size(); at += block) {
    const std::size_t end = std::min(text.size(), at + block);
    const int next = end < text.size() ? static_cast<unsigned char>(text[end]) : -1;
    counted += console::CountBreaks(text.substr(at, end - at), next);
  }
  if (counted != PlainBreaks(text)) std::abort();

  for (console::LineBreak style : {console::LineBreak::Lf, console::LineBreak::CrLf, console::LineBreak::Cr}) {
    std::string whole, pieces;
    console::WriteLines(text, style, [&whole](std::string_view s) { whole.append(s); });
    console::LineWriter writer(style, [&pieces](std::string_view s) { pieces.append(s); });
    for (std::size_t at = 0; at < text.size(); at += block) writer.Feed(text.substr(at, block));
    writer.Finish();
    if (pieces != whole) std::abort();
  }

  const console::ShownLine shown = console::ShowLine(text, text.size(), 1 + data[0] % 8);
  if (shown.column.empty() || shown.column.back() > text.size()) std::abort();
  if (shown.column.size() != static_cast<std::size_t>(shown.text.toUcs4().size()) + 1) std::abort();
  for (std::size_t i = 1; i < shown.column.size(); ++i)
    if (shown.column[i] < shown.column[i - 1]) std::abort();
  return 0;
}
