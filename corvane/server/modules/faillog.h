// Explains a failed module load in the log file its manifest names, so that
// whoever reads that log (Apache's error_log, say) sees why the module did
// not start. Entries are in the form of Apache's error log, marked
// "cvserverd", and bounded.
#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace cvserver::modules {

// Most bytes one entry adds to the file.
inline constexpr std::size_t kMaxFailureEntry = 4096;

// The entry's text: a line with the reason, then the program's last output
// lines, each with the date and the marker, cut to kMaxFailureEntry bytes.
std::string FormatFailureEntry(std::chrono::system_clock::time_point when, const std::string& module,
                               const std::string& reason, const std::vector<std::string>& output);

// What a client reads as the reason of a failed load: the reason on the
// first line, then as many of the program's last output lines as fit in
// limit bytes, one per line, in the order written. The cause is often not the
// last line (Apache names the line of a syntax error, or the port it could
// not bind, before its closing words), so the lines before it are kept too.
// A reason longer than limit is cut.
std::string FailureSummary(const std::string& reason, const std::vector<std::string>& output, std::size_t limit);

// Appends the entry to file (made with mode 0644 when missing); refuses a
// file that is not a regular file. False with *error set when nothing could
// be written.
bool AppendFailureEntry(const std::filesystem::path& file, const std::string& entry, std::string* error);

}  // namespace cvserver::modules
