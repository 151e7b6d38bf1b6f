// The agent's reply to a login message (Hello or LoginStep): code and agent
// version; on success whether the login is done and the mechanism's data;
// once done the connection slot, object id and operator right.
#pragma once

#include <cstdint>
#include <vector>

#include "corvane/wire/codec.h"

namespace cvwire {

struct LoginReply {
  std::uint32_t code = 0;
  std::uint32_t version = 0;
  bool done = false;
  std::vector<std::uint8_t> data;
  std::uint16_t slot = 0;
  std::uint32_t objectId = 0;
  bool isOperator = false;
};

// Reads the reply's fields; the caller checks the reader's type and end.
LoginReply ReadLoginReply(Reader& r);

}  // namespace cvwire
