// The agent's reserve of the reactor's per-socket records: once it has
// made them, sockets opened as connections arrive allocate nothing (their
// records come from the reactor's free list, made side by side in
// batches), and it keeps ahead of the sockets open.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <asio.hpp>

#include <cstdlib>
#include <new>
#include <optional>
#include <vector>

#include "corvane/server/socketreserve.h"

namespace {

// Allocations made by this thread while counting is on.
thread_local bool counting = false;
thread_local std::size_t allocations = 0;
// Through a pointer: the compiler would take free() after new for a mismatch.
void (*volatile release)(void*) = std::free;

}  // namespace

void* operator new(std::size_t size) {
  if (counting) ++allocations;
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { release(p); }
void operator delete(void* p, std::size_t) noexcept { release(p); }

namespace {

using cvserver::SocketReserve;

TEST(SocketReserve, SocketsOpenedAsConnectionsArriveAllocateNoRecords) {
  asio::io_context io;
  SocketReserve reserve(io);
  std::vector<std::optional<asio::ip::udp::socket>> open;
  std::size_t allocatingOpens = 0;
  constexpr std::size_t kSockets = 3 * SocketReserve::kBatch + 7;
  open.reserve(kSockets);
  for (std::size_t i = 0; i < kSockets; ++i) {
    open.emplace_back(io);
    allocations = 0;
    counting = true;
    std::error_code ec;
    open.back()->open(asio::ip::udp::v4(), ec);
    counting = false;
    ASSERT_FALSE(ec) << ec.message();
    // The first socket finds no record made yet.
    if (allocations != 0 && i > 0) ++allocatingOpens;
    reserve.Opened();
    EXPECT_GE(reserve.made(), reserve.open() + SocketReserve::kBatch / 4) << "socket " << i;
  }
  EXPECT_EQ(allocatingOpens, 0u);
  EXPECT_EQ(reserve.open(), kSockets);
  // Made in batches, not one by one: a batch ahead at most.
  EXPECT_LE(reserve.made(), kSockets + SocketReserve::kBatch);

  // They close, and come again: the records made are used again.
  const std::size_t made = reserve.made();
  for (auto& s : open) {
    s.reset();
    reserve.Closed();
  }
  EXPECT_EQ(reserve.open(), 0u);
  for (std::size_t i = 0; i < kSockets; ++i) {
    open[i].emplace(io);
    allocations = 0;
    counting = true;
    std::error_code ec;
    open[i]->open(asio::ip::udp::v4(), ec);
    counting = false;
    ASSERT_FALSE(ec);
    EXPECT_EQ(allocations, 0u) << "socket " << i;
    reserve.Opened();
  }
  EXPECT_EQ(reserve.made(), made);
}

TEST(SocketReserve, OutOfDescriptorsItMakesWhatItCanAndTriesAgainLater) {
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  asio::io_context io;  // its own descriptors first
  SocketReserve reserve(io);
  // Room for a few sockets only (the lowest descriptor free now, and 20 more).
  const int lowest = ::dup(0);
  ASSERT_GE(lowest, 0);
  ::close(lowest);
  rlimit tight{static_cast<rlim_t>(lowest + 20), saved.rlim_max};
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
  asio::ip::udp::socket one(io);
  one.open(asio::ip::udp::v4());
  reserve.Opened();
  const std::size_t tightMade = reserve.made();
  EXPECT_GT(tightMade, reserve.open()) << "some were made";
  EXPECT_LT(tightMade, reserve.open() + SocketReserve::kBatch) << "not a whole batch";
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
  // With descriptors again, the next arrival fills the reserve.
  asio::ip::udp::socket two(io);
  two.open(asio::ip::udp::v4());
  reserve.Opened();
  EXPECT_GE(reserve.made(), reserve.open() + SocketReserve::kBatch);
}

}  // namespace
