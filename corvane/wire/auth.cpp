#include "corvane/wire/auth.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <charconv>
#include <stdexcept>

#include "corvane/wire/protocol.h"

namespace cvwire {

Bytes DeriveKey(std::string_view password, std::span<const std::uint8_t> salt, std::uint32_t iterations) {
  Bytes key(kKeySize);
  if (PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()), salt.data(),
                        static_cast<int>(salt.size()), static_cast<int>(iterations), EVP_sha256(),
                        static_cast<int>(key.size()), key.data()) != 1) {
    throw std::runtime_error("PBKDF2 failed");
  }
  return key;
}

bool SameBytes(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) {
  return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

Bytes RandomBytes(std::size_t n) {
  Bytes b(n);
  if (RAND_bytes(b.data(), static_cast<int>(n)) != 1) throw std::runtime_error("no random bytes");
  return b;
}

std::string ToHex(std::span<const std::uint8_t> b) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string s;
  s.reserve(b.size() * 2);
  for (std::uint8_t c : b) {
    s.push_back(kDigits[c >> 4]);
    s.push_back(kDigits[c & 15]);
  }
  return s;
}

std::optional<Bytes> FromHex(std::string_view hex) {
  if (hex.size() % 2 != 0) return std::nullopt;
  auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  Bytes b;
  b.reserve(hex.size() / 2);
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    const int hi = digit(hex[i]);
    const int lo = digit(hex[i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    b.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
  }
  return b;
}

std::string FormatPasswordHash(const PasswordHash& h) {
  return "pbkdf2-sha256$" + std::to_string(h.iterations) + "$" + ToHex(h.salt) + "$" + ToHex(h.key);
}

std::optional<PasswordHash> ParsePasswordHash(std::string_view text) {
  constexpr std::string_view kPrefix = "pbkdf2-sha256$";
  if (!text.starts_with(kPrefix)) return std::nullopt;
  text.remove_prefix(kPrefix.size());
  const auto d1 = text.find('$');
  if (d1 == std::string_view::npos) return std::nullopt;
  const auto d2 = text.find('$', d1 + 1);
  if (d2 == std::string_view::npos) return std::nullopt;
  PasswordHash h;
  const std::string_view iter = text.substr(0, d1);
  auto [p, ec] = std::from_chars(iter.data(), iter.data() + iter.size(), h.iterations);
  if (ec != std::errc() || p != iter.data() + iter.size()) return std::nullopt;
  if (h.iterations < kMinIterations || h.iterations > kMaxIterations) return std::nullopt;
  auto salt = FromHex(text.substr(d1 + 1, d2 - d1 - 1));
  auto key = FromHex(text.substr(d2 + 1));
  if (!salt || !key || salt->empty() || salt->size() > 64 || key->size() != kKeySize) return std::nullopt;
  h.salt = std::move(*salt);
  h.key = std::move(*key);
  return h;
}

PasswordHash HashPassword(std::string_view password, std::uint32_t iterations) {
  PasswordHash h;
  h.iterations = iterations;
  h.salt = RandomBytes(kSaltSize);
  h.key = DeriveKey(password, h.salt, iterations);
  return h;
}

}  // namespace cvwire
