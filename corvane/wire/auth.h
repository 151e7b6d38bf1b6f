// Password derivation and byte helpers of the agent protocol's logins (the
// exchange itself is in scram.h). PasswordHash is the agent's earlier stored
// form, "pbkdf2-sha256$ITER$SALTHEX$KEYHEX" with key = PBKDF2-SHA256(password,
// salt, iterations): still read (its key is SCRAM's SaltedPassword, so it
// converts to a verifier), but it is password-equivalent and no longer made
// by cvserverd.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace cvwire {

using Bytes = std::vector<std::uint8_t>;

Bytes DeriveKey(std::string_view password, std::span<const std::uint8_t> salt, std::uint32_t iterations);
// Constant-time comparison.
bool SameBytes(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b);
Bytes RandomBytes(std::size_t n);

std::string ToHex(std::span<const std::uint8_t> b);
std::optional<Bytes> FromHex(std::string_view hex);

// "pbkdf2-sha256$ITER$SALTHEX$KEYHEX".
struct PasswordHash {
  std::uint32_t iterations = 0;
  Bytes salt;
  Bytes key;
};
std::string FormatPasswordHash(const PasswordHash& h);
std::optional<PasswordHash> ParsePasswordHash(std::string_view text);
PasswordHash HashPassword(std::string_view password, std::uint32_t iterations);

inline constexpr std::uint32_t kDefaultIterations = 200000;
inline constexpr std::uint32_t kMinIterations = 1000;
inline constexpr std::uint32_t kMaxIterations = 10000000;

}  // namespace cvwire
