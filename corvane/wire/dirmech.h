// The data of the directory login mechanism (kMechDirectory): what the
// client's Hello carries and what the agent's final login reply carries.
// The password is in the Hello's data; like every frame it only travels
// inside the connection's TLS session.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace cvwire::dirmech {

inline constexpr std::size_t kMaxTree = 32;
inline constexpr std::size_t kMaxDottedName = 514;
inline constexpr std::size_t kMaxPassword = 1024;

// Hello data: str tree, str user (dotted name), str password.
struct Hello {
  std::string tree;
  std::string user;
  std::string password;
};
// Final reply data: str tree, str the agent's own dotted name.
struct Welcome {
  std::string tree;
  std::string server;
};

std::vector<std::uint8_t> Encode(const Hello& h);
std::vector<std::uint8_t> Encode(const Welcome& w);
// Empty when data is malformed, has trailing bytes, or a field is over its
// cap; a Welcome also needs a tree. Empty Hello fields are the agent's to
// refuse.
std::optional<Hello> ParseHello(std::span<const std::uint8_t> data);
std::optional<Welcome> ParseWelcome(std::span<const std::uint8_t> data);

}  // namespace cvwire::dirmech
