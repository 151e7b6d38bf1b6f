// The server's connection slots: each login takes the lowest free slot
// (1-based) up to the capacity; users who are not operators hold at most
// capacity - operatorReserve of them (so that they never keep the
// server's operators out); a slot keeps who logged in, when and from
// where, and a bounded queue of broadcast messages for its holder.
#pragma once

#include <array>
#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

namespace cvserver {

// Where a connection comes from, as the connection calls report it: an
// address type and 12 address bytes.
//   IPv4 (type 11): bytes 0..3 the address, 4..5 the port (network order).
//   IPv6 (type 23): bytes 0..11 the low 96 bits of the address (bytes 4..15:
//     the subnet and interface identifier, which tell the workstations of one
//     site apart; the top 32 bits of the routing prefix and the port do not
//     fit). An IPv4-mapped IPv6 peer (::ffff:a.b.c.d) is reported as IPv4.
struct PeerAddress {
  std::uint16_t type = 0;
  std::array<std::uint8_t, 12> bytes{};
};
inline constexpr std::uint16_t kPeerAddressIpv4 = 11;
inline constexpr std::uint16_t kPeerAddressIpv6 = 23;
PeerAddress Ipv4PeerAddress(const std::array<std::uint8_t, 4>& address, std::uint16_t port);
PeerAddress Ipv6PeerAddress(const std::array<std::uint8_t, 16>& address, std::uint16_t port);

struct Slot {
  bool used = false;
  std::string user;
  std::uint32_t objectId = 0;
  std::uint16_t objectType = 1;  // a user object
  std::tm loginTime{};
  PeerAddress peer;
  bool isOperator = false;
  // Oldest first. A vector, not a deque: an empty one holds no memory, and
  // every slot of the table has one whether used or not.
  std::vector<std::string> messages;
};

class ConnectionTable {
 public:
  ConnectionTable(std::uint32_t capacity, std::uint32_t queueLimit, std::uint32_t operatorReserve = 0);

  // The slot number taken, 0 when every slot is in use (for a non-operator:
  // every slot but the reserve).
  std::uint32_t Take(const std::string& user, std::uint32_t objectId, bool isOperator, const PeerAddress& peer);
  void Free(std::uint32_t number);

  // Null for a number out of range or a free slot.
  const Slot* Get(std::uint32_t number) const;
  // Queues text for slot number: 0 delivered, 35325 no such connection, 35324 queue full.
  std::uint32_t Queue(std::uint32_t number, const std::string& text);
  std::vector<std::string> TakeMessages(std::uint32_t number);
  // Changes the operator right of a used slot (a re-read configuration).
  void SetOperator(std::uint32_t number, bool isOperator);

  std::uint32_t capacity() const { return static_cast<std::uint32_t>(slots_.size()); }
  std::uint32_t inUse() const { return inUse_; }
  std::uint32_t peak() const { return peak_; }

 private:
  std::vector<Slot> slots_;
  std::uint32_t queueLimit_;
  std::uint32_t operatorReserve_;
  std::uint32_t inUse_ = 0;
  std::uint32_t usersInUse_ = 0;  // slots of non-operators
  std::uint32_t peak_ = 0;
  std::uint32_t lowestFree_ = 0;  // index from which to look for a free slot
};

}  // namespace cvserver
