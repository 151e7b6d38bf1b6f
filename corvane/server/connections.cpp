#include "corvane/wire/cverrors.h"
#include "corvane/server/connections.h"

#include <algorithm>
#include <utility>

namespace cvserver {

ConnectionTable::ConnectionTable(std::uint32_t capacity, std::uint32_t queueLimit, std::uint32_t operatorReserve)
    : slots_(capacity), queueLimit_(queueLimit), operatorReserve_(operatorReserve) {}

PeerAddress Ipv4PeerAddress(const std::array<std::uint8_t, 4>& address, std::uint16_t port) {
  PeerAddress p;
  p.type = kPeerAddressIpv4;
  std::copy(address.begin(), address.end(), p.bytes.begin());
  p.bytes[4] = static_cast<std::uint8_t>(port >> 8);
  p.bytes[5] = static_cast<std::uint8_t>(port & 0xFF);
  return p;
}

PeerAddress Ipv6PeerAddress(const std::array<std::uint8_t, 16>& address, std::uint16_t port) {
  constexpr std::uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  if (std::equal(std::begin(kMapped), std::end(kMapped), address.begin()))
    return Ipv4PeerAddress({address[12], address[13], address[14], address[15]}, port);
  PeerAddress p;
  p.type = kPeerAddressIpv6;
  std::copy(address.begin() + 4, address.end(), p.bytes.begin());
  return p;
}

std::uint32_t ConnectionTable::Take(const std::string& user, std::uint32_t objectId, bool isOperator,
                                    const PeerAddress& peer) {
  if (!isOperator && usersInUse_ + operatorReserve_ >= slots_.size()) return 0;
  for (std::uint32_t i = lowestFree_; i < slots_.size(); ++i) {
    Slot& s = slots_[i];
    if (s.used) continue;
    s = Slot{};
    s.used = true;
    s.user = user;
    s.objectId = objectId;
    s.isOperator = isOperator;
    s.peer = peer;
    const std::time_t now = std::time(nullptr);
    localtime_r(&now, &s.loginTime);
    ++inUse_;
    if (!isOperator) ++usersInUse_;
    peak_ = std::max(peak_, inUse_);
    lowestFree_ = i + 1;
    return i + 1;
  }
  lowestFree_ = static_cast<std::uint32_t>(slots_.size());
  return 0;
}

void ConnectionTable::Free(std::uint32_t number) {
  if (number == 0 || number > slots_.size() || !slots_[number - 1].used) return;
  if (!slots_[number - 1].isOperator) --usersInUse_;
  slots_[number - 1] = Slot{};
  --inUse_;
  lowestFree_ = std::min(lowestFree_, number - 1);
}

void ConnectionTable::SetOperator(std::uint32_t number, bool isOperator) {
  if (number == 0 || number > slots_.size() || !slots_[number - 1].used) return;
  slots_[number - 1].isOperator = isOperator;
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
  if (number == 0 || number > slots_.size() || !slots_[number - 1].used) return {};
  // The queue's memory goes with the messages.
  return std::exchange(slots_[number - 1].messages, {});
}

}  // namespace cvserver
