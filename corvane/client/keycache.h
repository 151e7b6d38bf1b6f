// SCRAM salted passwords (PBKDF2 of the password with the server's salt and
// iteration count), kept for the life of the process so that a second login
// to a server derives nothing. An entry is found only by the same server
// identity (name and certificate fingerprint), user, password, salt and
// iteration count: a changed password, a new salt or count, or another server
// derives again. Entries are added only after a login whose server proved it
// knows the user's verifier. The cache is bounded; the oldest entry goes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace cvclient {

class SaltedPasswordCache {
 public:
  using Bytes = std::vector<std::uint8_t>;
  static constexpr std::size_t kMaxEntries = 64;

  struct Key {
    std::string server;  // name and certificate fingerprint
    std::string user;
    Bytes passwordDigest;  // SHA-256 of the password: the text itself is not kept
    Bytes salt;
    std::uint32_t iterations = 0;
    bool operator==(const Key&) const = default;
  };
  static Key MakeKey(std::string_view serverName, std::string_view fingerprint, std::string_view user,
                     std::string_view password, std::span<const std::uint8_t> salt, std::uint32_t iterations);

  std::optional<Bytes> Find(const Key& key) const;
  void Put(Key key, Bytes salted);
  // The salted password for key: held, or derived (and counted) now. Not
  // stored: Put does that once the login succeeded.
  Bytes Get(const Key& key, std::string_view password);

  std::size_t size() const { return entries_.size(); }
  // How many times Get derived a key (PBKDF2) in this cache's life.
  std::uint64_t derivations() const { return derivations_; }

 private:
  struct Entry {
    Key key;
    Bytes salted;
  };
  std::deque<Entry> entries_;
  std::uint64_t derivations_ = 0;
};

}  // namespace cvclient
