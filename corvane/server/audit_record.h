// One audit record: who did what, when, from where, and what came of it.
// Records are stored one JSON object per line, fields in a fixed order:
//
//   {"seq":12,"time":"2026-12-08T03:12:45.120Z","action":"unload","target":"APACHE2",
//    "outcome":0,"user":"ADMIN","object_id":16777217,"connection":3,"peer":"10.0.0.7",
//    "port":51234,"workstation":"WS-ANNA", ...extra text fields...,"prev":"<64 hex>"}
//
// "prev" is the SHA-256 (hex) of the line before, without its line break;
// a checkpoint's line ends with "sig", a signature by the agent's TLS key of
// the line without that field. Values are escaped so that no text a client
// sends can end a line or a field early.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace cvaudit {

// Lines longer than this are refused by the parser (and never written).
inline constexpr std::size_t kMaxLine = 8192;
// Longest client-supplied text kept in a field; longer text is cut.
inline constexpr std::size_t kMaxField = 1024;
inline constexpr std::size_t kMaxExtras = 16;
// "prev" of the very first record of a trail.
inline constexpr std::string_view kNoPrevious = "0000000000000000000000000000000000000000000000000000000000000000";

// The acting party of a record: a connection's user, or the agent itself
// (connection 0, empty user).
struct Who {
  std::string user;  // for directory users the dotted name
  std::uint32_t objectId = 0;
  std::uint32_t connection = 0;
  std::string peer;  // address, without the port
  std::uint16_t port = 0;
  std::string workstation;
  std::string mechanism;  // of the login under way or done: "scram", "directory"
};

struct Record {
  std::uint64_t seq = 0;
  std::string time;  // UTC, milliseconds: 2026-12-08T03:12:45.120Z
  std::string action;
  std::string target;
  std::uint32_t outcome = 0;  // the code the client got
  Who who;
  // Further text fields in order: "mechanism", "old", "new", "detail",
  // "reason", "key", "next", "unrecorded".
  std::vector<std::pair<std::string, std::string>> extra;
  std::string prev;
  std::string sig;  // checkpoints only: hex

  const std::string* Extra(std::string_view name) const;
};

// text as a JSON string body: quotes, backslashes and control characters
// escaped, bytes that are not UTF-8 replaced by U+FFFD, cut to max bytes of
// input.
std::string Escape(std::string_view text, std::size_t max = kMaxField);

// The record as one line, without the line break. The sig field is written
// when set.
std::string Encode(const Record& r);
// The same, appended to out.
void EncodeInto(std::string& out, const Record& r);
// What a checkpoint's signature covers: its line with the sig field taken
// out. Nothing when line has no sig field at its end.
std::optional<std::string> SignedPart(std::string_view line);

// Reads one line (without its line break). Nothing, with the reason, for a
// line that is not one flat object of the fields above.
std::optional<Record> Parse(std::string_view line, std::string* error = nullptr);

// SHA-256 of line, lower-case hex; HashInto reuses hex's storage.
std::string Hash(std::string_view line);
void HashInto(std::string_view line, std::string& hex);
std::string Hex(std::span<const std::uint8_t> bytes);
std::optional<std::vector<std::uint8_t>> Unhex(std::string_view hex);

// A time in the record's format.
std::string TimeText(std::chrono::system_clock::time_point at);
inline std::string Now() { return TimeText(std::chrono::system_clock::now()); }

// The record as journal fields ("MESSAGE=...", "CV_ACTION=...", ...);
// priority is the syslog priority of the entry.
std::vector<std::string> JournalFields(const Record& r, int priority);

// The function or script name of a call record (kind byte, u16 item count,
// first item u16 length, 'C', name); nothing when the bytes do not start
// with one.
std::optional<std::string> CallName(std::span<const std::uint8_t> request);

}  // namespace cvaudit
