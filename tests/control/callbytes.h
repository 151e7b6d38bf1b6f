// Byte helpers for the remote call tests: attribute objects written by hand
// (any type letter, access letter and value text), the request the control
// sent, and a scripted reply.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "corvane/client/fake/cvclient_fake.h"

namespace cvtest {

using Bytes = std::vector<std::uint8_t>;

inline void Le16(Bytes& b, std::size_t v) {
  b.push_back(static_cast<std::uint8_t>(v & 0xFF));
  b.push_back(static_cast<std::uint8_t>((v >> 8) & 0xFF));
}

// One attribute entry.
inline Bytes AttBytes(std::string_view name, char type, std::string_view value, char access = 'a') {
  Bytes b;
  Le16(b, name.size());
  Le16(b, value.size());
  b.insert(b.end(), {static_cast<std::uint8_t>(type), 0, static_cast<std::uint8_t>(access), 0});
  b.insert(b.end(), name.begin(), name.end());
  b.insert(b.end(), value.begin(), value.end());
  return b;
}
inline Bytes AttBytes(std::string_view name, char type, const Bytes& value, char access = 'a') {
  return AttBytes(name, type, std::string_view(reinterpret_cast<const char*>(value.data()), value.size()), access);
}

// An object holding the entries; count -1: the number of entries.
inline Bytes ObjBytes(const std::vector<Bytes>& entries, int count = -1) {
  Bytes body;
  for (const Bytes& e : entries) body.insert(body.end(), e.begin(), e.end());
  Bytes b;
  Le16(b, 12 + body.size());
  b.insert(b.end(), {0, 0, 0, 0});
  Le16(b, count < 0 ? entries.size() : static_cast<std::size_t>(count));
  b.insert(b.end(), {0, 0, 0, 0});
  b.insert(b.end(), body.begin(), body.end());
  return b;
}

inline Bytes Cat(std::vector<Bytes> parts) {
  Bytes b;
  for (const Bytes& p : parts) b.insert(b.end(), p.begin(), p.end());
  return b;
}

// The next CvServiceRequest answers with these reply bytes.
inline void PushReply(const Bytes& reply) {
  cvfake::Push("CvServiceRequest", cvfake::Ok(cvfake::Out::Bytes(reply)));
}

// The request bytes of the last CvServiceRequest; empty when none was made.
inline Bytes LastRequest() {
  Bytes last;
  for (const cvfake::Call& c : cvfake::Records())
    if (c.op == "CvServiceRequest" && !c.inputs.empty()) last = c.inputs[0];
  return last;
}

}  // namespace cvtest
