// Keeps Asio's per-socket records together in memory.
//
// Asio's epoll reactor makes one record (a descriptor_state, ~170 bytes)
// per socket it registers, with new, the first time it needs one; when the
// socket closes the record goes to the reactor's free list and is used again
// by the next socket, and it is never freed before the io_context ends.
// Made one at a time as connections arrive, each record lands between that
// connection's own memory (its TLS state, its session): when the
// connections leave, the records stay live, one or two pages apart, and
// every page that holds one stays resident although everything else on it
// was freed. A thousand connections that came and went would keep ~7 MB.
//
// So the agent makes the records ahead, a batch at a time, while few
// connections are open: it opens a batch of sockets (UDP, never bound)
// and closes them at once, which leaves as many records side by side in the
// free list, and the connections that arrive take those.
#pragma once

#include <asio.hpp>

#include <cstddef>

namespace cvserver {

class SocketReserve {
 public:
  // Sockets opened at once by Fill(); it runs when fewer than a quarter of
  // a batch are spare, and so makes three quarters of a batch anew.
  static constexpr std::size_t kBatch = 128;

  explicit SocketReserve(asio::io_context& io) : io_(io) {}

  // A socket of the io_context opened (a connection accepted) or closed.
  // Opened() calls Fill() when fewer than a quarter of a batch are spare;
  // the socket it counts already has its record.
  void Opened();
  void Closed();

  std::size_t open() const { return open_; }
  // Records known to exist: the most sockets open at once, with those
  // Fill() opened.
  std::size_t made() const { return made_; }

  // Opens and closes a batch of sockets beside the open() ones, so that
  // records for open() + kBatch sockets exist. A socket that cannot be
  // opened (no descriptors left) ends the batch early.
  void Fill();

 private:
  asio::io_context& io_;
  std::size_t open_ = 0;
  std::size_t made_ = 0;
};

}  // namespace cvserver
