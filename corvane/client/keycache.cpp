#include "corvane/client/keycache.h"

#include <openssl/crypto.h>

#include <algorithm>

#include "corvane/wire/auth.h"
#include "corvane/wire/scram.h"

namespace cvclient {

SaltedPasswordCache::Key SaltedPasswordCache::MakeKey(std::string_view serverName, std::string_view fingerprint,
                                                      std::string_view user, std::string_view password,
                                                      std::span<const std::uint8_t> salt, std::uint32_t iterations) {
  Key k;
  k.server.reserve(serverName.size() + 1 + fingerprint.size());
  k.server.append(serverName).append(1, ' ').append(fingerprint);
  k.user = user;
  k.passwordDigest = cvwire::scram::Sha256(
      std::span(reinterpret_cast<const std::uint8_t*>(password.data()), password.size()));
  k.salt.assign(salt.begin(), salt.end());
  k.iterations = iterations;
  return k;
}

std::optional<SaltedPasswordCache::Bytes> SaltedPasswordCache::Find(const Key& key) const {
  for (const Entry& e : entries_)
    if (e.key == key) return e.salted;
  return std::nullopt;
}

void SaltedPasswordCache::Put(Key key, Bytes salted) {
  for (Entry& e : entries_) {
    if (e.key == key) {
      e.salted = std::move(salted);
      return;
    }
  }
  if (entries_.size() >= kMaxEntries) {
    OPENSSL_cleanse(entries_.front().salted.data(), entries_.front().salted.size());
    entries_.pop_front();
  }
  entries_.push_back({std::move(key), std::move(salted)});
}

SaltedPasswordCache::Bytes SaltedPasswordCache::Get(const Key& key, std::string_view password) {
  if (auto held = Find(key)) return *held;
  ++derivations_;
  return cvwire::DeriveKey(password, key.salt, key.iterations);
}

}  // namespace cvclient
