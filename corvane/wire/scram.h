// SCRAM-SHA-256-PLUS logins (RFC 5802, RFC 7677) bound to the TLS session
// with the "tls-exporter" channel binding (RFC 9266).
//
// The server keeps per user only a verifier: salt, iteration count, StoredKey
// and ServerKey. From them it can check a client's proof and prove itself to
// the client, but nobody can compute a proof from them: the client's proof
// needs ClientKey, of which the server holds only the hash.
//
// Parsers take outside input: every message is at most kMaxMessage bytes,
// every attribute is checked before use, and anything malformed is nothing.
// Names are sent as RFC 5802 saslnames ("," as "=2C", "=" as "=3D"); names
// and passwords are used as their UTF-8 bytes (no SASLprep).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "corvane/wire/auth.h"
#include "corvane/wire/protocol.h"

namespace cvwire::scram {

inline constexpr std::string_view kMechanism = "SCRAM-SHA-256-PLUS";
inline constexpr std::string_view kGs2Header = "p=tls-exporter,,";
// RFC 9266: the exporter label and length of the channel binding data.
inline constexpr std::string_view kExporterLabel = "EXPORTER-Channel-Binding";
inline constexpr std::size_t kBindingSize = 32;
inline constexpr std::size_t kMaxMessage = 1024;
inline constexpr std::size_t kMaxUserName = 255;
inline constexpr std::size_t kMaxSalt = 64;
inline constexpr std::size_t kNonceBytes = 18;  // 24 base64 characters

std::string Base64(std::span<const std::uint8_t> bytes);
// Strict base64 with padding; nothing for bad characters, bad padding or a
// result longer than maxBytes.
std::optional<Bytes> FromBase64(std::string_view text, std::size_t maxBytes);

// A random nonce of printable characters.
std::string MakeNonce();

// What the server stores per user.
struct Verifier {
  std::uint32_t iterations = 0;
  Bytes salt;
  Bytes storedKey;  // H(HMAC(SaltedPassword, "Client Key"))
  Bytes serverKey;  // HMAC(SaltedPassword, "Server Key")
};
Verifier VerifierFromSaltedPassword(std::span<const std::uint8_t> saltedPassword, std::span<const std::uint8_t> salt,
                                    std::uint32_t iterations);
Verifier MakeVerifier(std::string_view password, std::uint32_t iterations);
// "SCRAM-SHA-256$ITER:SALT$STOREDKEY:SERVERKEY", base64 fields (the form
// PostgreSQL uses).
std::string FormatVerifier(const Verifier& v);
std::optional<Verifier> ParseVerifier(std::string_view text);

// client-first-message: gs2 header, then the bare part "n=USER,r=NONCE".
struct ClientFirst {
  std::string gs2Header;  // as sent, with its two commas
  std::string user;       // unescaped
  std::string nonce;
  std::string bare;
};
std::string FormatClientFirst(std::string_view user, std::string_view nonce);
std::optional<ClientFirst> ParseClientFirst(std::string_view text);

// server-first-message "r=NONCE,s=SALT,i=ITER".
struct ServerFirst {
  std::string nonce;
  Bytes salt;
  std::uint32_t iterations = 0;
};
std::string FormatServerFirst(std::string_view nonce, std::span<const std::uint8_t> salt, std::uint32_t iterations);
std::optional<ServerFirst> ParseServerFirst(std::string_view text);

// client-final-message "c=BINDING,r=NONCE,p=PROOF".
struct ClientFinal {
  Bytes binding;  // gs2 header followed by the channel binding data
  std::string nonce;
  Bytes proof;
  std::string withoutProof;  // the message up to ",p="
};
std::optional<ClientFinal> ParseClientFinal(std::string_view text);

// server-final-message "v=SIGNATURE"; nothing for "e=..." or anything else.
std::optional<Bytes> ParseServerFinal(std::string_view text);

// The client's side of one login.
class ClientExchange {
 public:
  ClientExchange(std::string user, std::string password, Bytes channelBinding);
  // The client-first-message.
  std::string First();
  // The client-final-message for the server's first message; nothing when
  // that is malformed, does not extend this client's nonce, or asks for an
  // iteration count outside kMinIterations..kMaxIterations. Derives the
  // salted password (PBKDF2): the slow step.
  std::optional<std::string> Final(std::string_view serverFirst);
  // The same with the salted password for the server's salt and iteration
  // count taken from salted (a client that keeps it between logins).
  using SaltedPassword = std::function<Bytes(std::span<const std::uint8_t> salt, std::uint32_t iterations)>;
  std::optional<std::string> Final(std::string_view serverFirst, const SaltedPassword& salted);
  // Whether the server's final message proves that it holds this user's
  // ServerKey (and so took part in this very exchange).
  bool VerifyServer(std::string_view serverFinal) const;

 private:
  std::string user_, password_, nonce_, firstBare_;
  Bytes binding_;
  Bytes serverSignature_;
};

// The server's side of one login, after the client-first-message was parsed
// and the user's verifier found (or a decoy made for an unknown name).
class ServerExchange {
 public:
  ServerExchange(ClientFirst first, Verifier verifier, bool knownUser);
  // The server-first-message (with a fresh server nonce).
  const std::string& First() const { return first_; }
  enum class Result { Accepted, Refused, Malformed };
  // Checks the client-final-message against the session's channel binding;
  // on Accepted, serverFinal holds the server-final-message.
  Result Finish(std::string_view clientFinal, std::span<const std::uint8_t> channelBinding,
                std::string& serverFinal) const;
  const std::string& user() const { return client_.user; }

 private:
  ClientFirst client_;
  Verifier verifier_;
  bool known_;
  std::string nonce_;
  std::string first_;
};

// HMAC-SHA-256 and SHA-256.
Bytes Hmac(std::span<const std::uint8_t> key, std::string_view data);
Bytes Sha256(std::span<const std::uint8_t> data);

}  // namespace cvwire::scram
