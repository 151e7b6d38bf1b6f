// The audit record reader (audit-verify, AUDIT.TAIL, cvcli audit) on
// arbitrary bytes: whatever it accepts must survive writing and reading
// again as the same one line; and the call-name reader of the agent.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "corvane/server/audit_record.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  cvaudit::CallName(std::span(data, size));
  cvaudit::SignedPart(text);
  std::string error;
  const auto record = cvaudit::Parse(text, &error);
  if (!record) return 0;
  const std::string line = cvaudit::Encode(*record);
  if (line.find('\n') != std::string::npos || line.find('\r') != std::string::npos) __builtin_trap();
  const auto again = cvaudit::Parse(line, &error);
  // Text may come back cut or with U+FFFD for bytes that are not UTF-8;
  // numbers and the chain never change.
  if (line.size() <= cvaudit::kMaxLine && !again) __builtin_trap();
  if (again && (again->seq != record->seq || again->prev != record->prev || again->outcome != record->outcome)) {
    __builtin_trap();
  }
  return 0;
}
