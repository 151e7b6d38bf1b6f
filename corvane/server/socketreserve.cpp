#include "corvane/server/socketreserve.h"

#include <algorithm>
#include <array>
#include <optional>
#include <system_error>
#include <thread>

namespace cvserver {

void SocketReserve::Opened() {
  ++open_;
  made_ = std::max(made_, open_);
  if (made_ < open_ + kBatch / 4) Fill();
}

void SocketReserve::Closed() {
  if (open_ > 0) --open_;
}

namespace {

// Opens up to count sockets of io at once, then closes them; how many
// opened.
std::size_t OpenAndClose(asio::io_context& io, std::size_t count) {
  // The sockets live on the stack: nothing else is allocated between the
  // records.
  std::array<std::optional<asio::ip::udp::socket>, SocketReserve::kBatch> batch;
  std::size_t opened = 0;
  for (auto& s : batch) {
    if (opened == count) break;
    std::error_code ec;
    s.emplace(io);
    s->open(asio::ip::udp::v4(), ec);
    if (ec) break;
    ++opened;
  }
  return opened;  // the sockets close here; their records go to the reactor's free list
}

}  // namespace

void SocketReserve::Fill() {
  // On a thread of its own, which takes its memory from an allocator arena
  // of its own (and the next such thread from the same one, once this one
  // ended): the records land side by side there, away from the event
  // loop's small free spaces between sessions, which the allocator would
  // fill first. Registering sockets from another thread is safe: the
  // reactor locks its lists.
  std::size_t opened = 0;
  try {
    std::thread([&] { opened = OpenAndClose(io_, kBatch); }).join();
  } catch (const std::system_error&) {
    opened = OpenAndClose(io_, kBatch);  // no thread to be had: here, then
  }
  made_ = std::max(made_, open_ + opened);
}

}  // namespace cvserver
