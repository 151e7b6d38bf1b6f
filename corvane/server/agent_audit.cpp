// The agent's side of the audit trail: records of the handlers' actions,
// refusal while the trail cannot be written, and the reading of a call
// service's reply for its outcome.
#include <spdlog/spdlog.h>

#include <algorithm>
#include <cctype>
#include <mutex>

#include "corvane/server/agent.h"
#include "corvane/wire/attobj.h"

namespace cvserver {

void Agent::Audit(const cvaudit::Who& who, std::string_view action, std::string_view target, std::uint32_t outcome,
                  AuditTrail::Extras extra) {
  if (audit_) audit_->Record(action, target, outcome, who, std::move(extra));
}

bool Agent::AuditAdmits(const cvaudit::Who& who, std::string_view action, std::string_view target) {
  if (!audit_ || audit_->Admits()) return true;
  Audit(who, action, target, kCvErrFailure, {{"detail", "refused: the audit trail cannot be written"}});
  return false;
}

std::uint32_t Agent::SetFromCommandFile(const cvaudit::Who& who, const std::string& file, const std::string& name,
                                        const std::string& value) {
  std::lock_guard lock(parametersMutex_);
  std::string old;
  for (const auto& e : parameters_.entries()) {
    if (e.name.size() == name.size() &&
        std::equal(e.name.begin(), e.name.end(), name.begin(), [](char a, char b) {
          return std::toupper(static_cast<unsigned char>(a)) == std::toupper(static_cast<unsigned char>(b));
        })) {
      old = e.isText ? e.text : std::to_string(e.number);
    }
  }
  const std::uint32_t code = parameters_.SetFromCommand(name, value);
  Audit(who, "param", name, code, {{"old", old}, {"new", value}, {"file", file}});
  return code;
}

// What a call service's reply says of the call: "ok", "refused" (the single
// ERROR of value 5) or "error CODE: TEXT".
std::string CallResult(const std::vector<std::uint8_t>& reply) {
  const cvattobj::Area area(reply);
  const auto first = cvattobj::FirstAtt(nullptr, area);
  if (!first || first.Name() != "ERROR") return "ok";
  std::int32_t value = 0;
  if (first.Type() == 'I' && cvattobj::ReadInt(first, &value)) {
    return value == 5 ? "refused" : "error " + std::to_string(value);
  }
  if (first.Type() != 'O') return "error";
  const auto inner = first.Value();
  const cvattobj::Area object(inner);
  std::int32_t code = 0;
  char text[256] = {};
  cvattobj::GetAttInt(nullptr, &code, object, "CODE");
  cvattobj::GetAttString(nullptr, std::span(text, sizeof text - 1), object, "TEXT");
  return "error " + std::to_string(code) + ": " + text;
}

}  // namespace cvserver
