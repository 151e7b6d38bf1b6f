#include "corvane/client/cverrors.h"
#include "corvane/server/connections.h"

#include <algorithm>

namespace cvserver {

ConnectionTable::ConnectionTable(std::uint32_t capacity, std::uint32_t queueLimit)
    : slots_(capacity), queueLimit_(queueLimit) {}

std::uint32_t ConnectionTable::Take(const std::string& user, std::uint32_t objectId, bool isOperator,
                                    std::uint32_t ipv4, std::uint16_t port) {
  for (std::uint32_t i = lowestFree_; i < slots_.size(); ++i) {
    Slot& s = slots_[i];
    if (s.used) continue;
    s = Slot{};
    s.used = true;
    s.user = user;
    s.objectId = objectId;
    s.isOperator = isOperator;
    s.ipv4 = ipv4;
    s.port = port;
    const std::time_t now = std::time(nullptr);
    localtime_r(&now, &s.loginTime);
    ++inUse_;
    peak_ = std::max(peak_, inUse_);
    lowestFree_ = i + 1;
    return i + 1;
  }
  lowestFree_ = static_cast<std::uint32_t>(slots_.size());
  return 0;
}

void ConnectionTable::Free(std::uint32_t number) {
  if (number == 0 || number > slots_.size() || !slots_[number - 1].used) return;
  slots_[number - 1] = Slot{};
  --inUse_;
  lowestFree_ = std::min(lowestFree_, number - 1);
}

const Slot* ConnectionTable::Get(std::uint32_t number) const {
  if (number == 0 || number > slots_.size() || !slots_[number - 1].used) return nullptr;
  return &slots_[number - 1];
}

std::uint32_t ConnectionTable::Queue(std::uint32_t number, const std::string& text) {
  if (number == 0 || number > slots_.size() || !slots_[number - 1].used) return kCvErrBadConnectionNumber;
  auto& q = slots_[number - 1].messages;
  if (q.size() >= queueLimit_) return kCvErrMessageQueueFull;
  q.push_back(text);
  return 0;
}

std::vector<std::string> ConnectionTable::TakeMessages(std::uint32_t number) {
  std::vector<std::string> out;
  if (number == 0 || number > slots_.size() || !slots_[number - 1].used) return out;
  auto& q = slots_[number - 1].messages;
  out.assign(q.begin(), q.end());
  q.clear();
  return out;
}

}  // namespace cvserver
