#include "corvane/server/socketreserve.h"

#include <algorithm>
#include <array>
#include <optional>

namespace cvserver {

void SocketReserve::Opened() {
  ++open_;
  made_ = std::max(made_, open_);
  if (made_ < open_ + kBatch / 4) Fill();
}

void SocketReserve::Closed() {
  if (open_ > 0) --open_;
}

void SocketReserve::Fill() {
  // The sockets live on the stack: nothing else is allocated between the
  // records.
  std::array<std::optional<asio::ip::udp::socket>, kBatch> batch;
  std::size_t opened = 0;
  for (auto& s : batch) {
    std::error_code ec;
    s.emplace(io_);
    s->open(asio::ip::udp::v4(), ec);
    if (ec) break;
    ++opened;
  }
  made_ = std::max(made_, open_ + opened);
  // The sockets close here; their records go to the reactor's free list.
}

}  // namespace cvserver
