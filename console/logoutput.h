// Save as and Print of a log shown in the log view, streamed from the file
// so that a log of any size goes through without being held in memory.
#pragma once

#include <QString>
#include <cstdint>

#include "console/printing.h"

namespace console {

class LogFile;

// Writes the log's lines to path with the log's line breaks, as Save as
// writes the editor's text. Throws EFileError, also when path is the shown
// file itself and could only be rewritten in place.
void SaveLogAs(const LogFile& log, const QString& path);

// A printout of more pages than this asks first.
inline constexpr std::uint64_t kAskAbovePages = 300;
// About how many pages a printout of the log takes (lines that wrap not
// counted); the lines are estimated while they are still being counted.
std::uint64_t EstimateLogPages(const LogFile& log);
QString LongPrintQuestion(std::uint64_t pages);

// Prints the log as PrintText prints the editor's text: Courier New 10 pt,
// tab width 8, line numbers in the left margin, long lines wrapped (a line
// longer than the view shows is cut with the same mark), the header and
// footer on every page. Returns the number of pages; throws ConsoleError
// when the printer or the file refuses.
int PrintLog(const LogFile& log, const PrintTarget& target, const QString& header, const QString& footer,
             const QString& title, const PrintLayout& layout = {});

}  // namespace console
