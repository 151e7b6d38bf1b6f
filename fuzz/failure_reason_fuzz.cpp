// The reason of a failed command, read from the tail of a log: any bytes
// give an entry that is empty or starts with an agent's "did not load" line
// and holds only lines of the input; the input with a fresh entry appended
// gives exactly that entry.
#include <QStringList>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "console/failurereason.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const QString entry = console::NewestAgentEntry(text);
  if (!entry.isEmpty()) {
    const QStringList lines = entry.split(QLatin1Char('\n'));
    if (!lines[0].contains(QLatin1String("[cvserverd:error]")) || !lines[0].contains(QLatin1String(" did not load: ")))
      std::abort();
    for (const QString& line : lines)
      if (!QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())).contains(line)) std::abort();
  }
  const std::string fresh =
      "[Tue Dec 08 07:00:36.403832 2026] [cvserverd:error] [pid 1] module FUZZ did not load: preflight failed (exit 1)\n"
      "[Tue Dec 08 07:00:36.403832 2026] [cvserverd:error] [pid 1] module FUZZ output: last\n";
  const QString tail = console::NewestAgentEntry(std::string(text) + "\n" + fresh);
  if (tail != QString::fromUtf8(fresh.data(), static_cast<qsizetype>(fresh.size() - 1))) std::abort();
  return 0;
}
