// The server's connection slots: each login takes the lowest free slot
// (1-based) up to the capacity; a slot keeps who logged in, when and from
// where, and a bounded queue of broadcast messages for its holder.
#pragma once

#include <cstdint>
#include <ctime>
#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace cvserver {

struct Slot {
  bool used = false;
  std::string user;
  std::uint32_t objectId = 0;
  std::uint16_t objectType = 1;  // a user object
  std::tm loginTime{};
  std::uint32_t ipv4 = 0;  // network order
  std::uint16_t port = 0;
  bool isOperator = false;
  std::deque<std::string> messages;
};

class ConnectionTable {
 public:
  ConnectionTable(std::uint32_t capacity, std::uint32_t queueLimit);

  // The slot number taken, 0 when every slot is in use.
  std::uint32_t Take(const std::string& user, std::uint32_t objectId, bool isOperator, std::uint32_t ipv4,
                     std::uint16_t port);
  void Free(std::uint32_t number);

  // Null for a number out of range or a free slot.
  const Slot* Get(std::uint32_t number) const;
  // Queues text for slot number: 0 delivered, 35325 no such connection, 35324 queue full.
  std::uint32_t Queue(std::uint32_t number, const std::string& text);
  std::vector<std::string> TakeMessages(std::uint32_t number);

  std::uint32_t capacity() const { return static_cast<std::uint32_t>(slots_.size()); }
  std::uint32_t inUse() const { return inUse_; }
  std::uint32_t peak() const { return peak_; }

 private:
  std::vector<Slot> slots_;
  std::uint32_t queueLimit_;
  std::uint32_t inUse_ = 0;
  std::uint32_t peak_ = 0;
  std::uint32_t lowestFree_ = 0;  // index from which to look for a free slot
};

}  // namespace cvserver
