// Where the agent's log goes: standard error, and when standard error is the
// systemd journal (JOURNAL_STREAM names it) every line carries its priority
// as a "<N>" prefix, so that the journal files it under that priority.
#pragma once

#include <spdlog/common.h>

#include <string>
#include <string_view>

namespace cvserver {

// The syslog priority of a log level: 2 critical, 3 error, 4 warning, 6 info,
// 7 debug and trace.
int JournalPriority(spdlog::level::level_enum level);

// text with "<N>" before each of its lines, each line ended by a line break.
std::string JournalLines(int priority, std::string_view text);

// Whether JOURNAL_STREAM ("DEVICE:INODE") names the file that fd is.
bool IsJournalStream(const char* journalStream, int fd);

// Sets the default logger "cvserverd" on standard error: prefixed lines
// without colours or time stamps (the journal adds them) for the journal,
// coloured lines with time stamps otherwise.
void SetUpLogging();

}  // namespace cvserver
