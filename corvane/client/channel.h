// One TCP connection to an agent: connect within a deadline, send a request
// frame and wait for the reply with the same request id within a deadline.
// Any failure closes the socket; the caller reports it as "no answer".
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "corvane/wire/codec.h"
#include "corvane/wire/frame.h"
#include "posix/unique_fd.h"

namespace cvclient {

class Channel {
 public:
  enum class ConnectResult { Ok, Unreachable };

  ConnectResult Connect(const std::string& host, std::uint16_t port, std::chrono::milliseconds timeout);
  bool open() const { return fd_.get() >= 0; }
  void Close();
  // Closes a connection the peer closed while it was idle (nothing pending
  // to read but the end of the stream); true when it is still usable.
  bool CheckIdle();

  std::uint32_t NextRequestId() { return ++lastId_; }
  // Sends frame (built with request id id) and waits for the reply with that
  // id. Empty when the connection failed, was closed, or the deadline passed.
  std::optional<std::vector<std::uint8_t>> Call(std::uint32_t id, const std::vector<std::uint8_t>& frame,
                                                std::chrono::milliseconds timeout);

 private:
  bool SendAll(const std::vector<std::uint8_t>& frame, std::chrono::steady_clock::time_point deadline);
  posix::UniqueFd fd_;
  cvwire::FrameParser parser_;
  std::uint32_t lastId_ = 0;
};

}  // namespace cvclient
