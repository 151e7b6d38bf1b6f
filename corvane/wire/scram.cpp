#include "corvane/wire/scram.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/sha.h>

#include <charconv>
#include <vector>
#include <stdexcept>

namespace cvwire::scram {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int Sextet(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Splits "a=x,b=y" into its attributes, in order; nothing when an attribute
// is not a single letter followed by '='.
struct Attribute {
  char name;
  std::string_view value;
};
std::optional<std::vector<Attribute>> Attributes(std::string_view text, std::size_t maxCount) {
  std::vector<Attribute> out;
  for (;;) {
    const auto comma = text.find(',');
    const std::string_view part = text.substr(0, comma);
    if (part.size() < 2 || part[1] != '=' || !((part[0] >= 'a' && part[0] <= 'z') || (part[0] >= 'A' && part[0] <= 'Z')))
      return std::nullopt;
    if (out.size() == maxCount) return std::nullopt;
    out.push_back({part[0], part.substr(2)});
    if (comma == std::string_view::npos) return out;
    text.remove_prefix(comma + 1);
  }
}

// A nonce: printable ASCII without ','.
bool GoodNonce(std::string_view n) {
  if (n.empty() || n.size() > 128) return false;
  for (char c : n) {
    if (c < 0x21 || c > 0x7E || c == ',') return false;
  }
  return true;
}

std::optional<std::string> UnescapeName(std::string_view s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    const char c = s[i];
    if (c == ',' || c == '\0') return std::nullopt;
    if (c != '=') {
      out.push_back(c);
      continue;
    }
    const std::string_view code = s.substr(i + 1, 2);
    if (code == "2C") {
      out.push_back(',');
    } else if (code == "3D") {
      out.push_back('=');
    } else {
      return std::nullopt;
    }
    i += 2;
  }
  if (out.empty() || out.size() > kMaxUserName) return std::nullopt;
  return out;
}

std::string EscapeName(std::string_view s) {
  std::string out;
  for (char c : s) {
    if (c == ',') {
      out += "=2C";
    } else if (c == '=') {
      out += "=3D";
    } else {
      out.push_back(c);
    }
  }
  return out;
}

std::optional<std::uint32_t> Iterations(std::string_view s) {
  std::uint32_t n = 0;
  auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), n);
  if (ec != std::errc() || p != s.data() + s.size() || s.empty() || s[0] == '0') return std::nullopt;
  return n;
}

Bytes Xor(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) {
  Bytes out(a.begin(), a.end());
  for (std::size_t i = 0; i < out.size() && i < b.size(); ++i) out[i] ^= b[i];
  return out;
}

std::string AuthMessage(std::string_view firstBare, std::string_view serverFirst, std::string_view finalWithoutProof) {
  std::string m;
  m.reserve(firstBare.size() + serverFirst.size() + finalWithoutProof.size() + 2);
  m.append(firstBare).append(",").append(serverFirst).append(",").append(finalWithoutProof);
  return m;
}

std::string BindingAttribute(std::span<const std::uint8_t> channelBinding) {
  Bytes cb(kGs2Header.begin(), kGs2Header.end());
  cb.insert(cb.end(), channelBinding.begin(), channelBinding.end());
  return "c=" + Base64(cb);
}

}  // namespace

Bytes Hmac(std::span<const std::uint8_t> key, std::string_view data) {
  Bytes out(EVP_MAX_MD_SIZE);
  unsigned int len = 0;
  if (HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), reinterpret_cast<const unsigned char*>(data.data()),
           data.size(), out.data(), &len) == nullptr) {
    throw std::runtime_error("HMAC failed");
  }
  out.resize(len);
  return out;
}

Bytes Sha256(std::span<const std::uint8_t> data) {
  Bytes out(SHA256_DIGEST_LENGTH);
  SHA256(data.data(), data.size(), out.data());
  return out;
}

std::string Base64(std::span<const std::uint8_t> bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const std::uint32_t v = (bytes[i] << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
    out += {kAlphabet[v >> 18], kAlphabet[(v >> 12) & 63], kAlphabet[(v >> 6) & 63], kAlphabet[v & 63]};
  }
  if (bytes.size() - i == 1) {
    const std::uint32_t v = bytes[i] << 16;
    out += {kAlphabet[v >> 18], kAlphabet[(v >> 12) & 63], '=', '='};
  } else if (bytes.size() - i == 2) {
    const std::uint32_t v = (bytes[i] << 16) | (bytes[i + 1] << 8);
    out += {kAlphabet[v >> 18], kAlphabet[(v >> 12) & 63], kAlphabet[(v >> 6) & 63], '='};
  }
  return out;
}

std::optional<Bytes> FromBase64(std::string_view text, std::size_t maxBytes) {
  if (text.size() % 4 != 0 || text.size() / 4 * 3 > maxBytes + 2) return std::nullopt;
  Bytes out;
  out.reserve(text.size() / 4 * 3);
  for (std::size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    int s[4];
    int pad = 0;
    for (int k = 0; k < 4; ++k) {
      const char c = text[i + k];
      if (c == '=' && last && k >= 2) {
        s[k] = 0;
        ++pad;
        continue;
      }
      if (pad > 0) return std::nullopt;  // data after padding
      s[k] = Sextet(c);
      if (s[k] < 0) return std::nullopt;
    }
    const std::uint32_t v = (s[0] << 18) | (s[1] << 12) | (s[2] << 6) | s[3];
    out.push_back(static_cast<std::uint8_t>(v >> 16));
    if (pad < 2) out.push_back(static_cast<std::uint8_t>(v >> 8));
    if (pad < 1) out.push_back(static_cast<std::uint8_t>(v));
    // Canonical form only: the bits under the padding are zero.
    if ((pad == 1 && (s[2] & 3) != 0) || (pad == 2 && (s[1] & 15) != 0)) return std::nullopt;
  }
  if (out.size() > maxBytes) return std::nullopt;
  return out;
}

std::string MakeNonce() { return Base64(RandomBytes(kNonceBytes)); }

Verifier VerifierFromSaltedPassword(std::span<const std::uint8_t> saltedPassword, std::span<const std::uint8_t> salt,
                                    std::uint32_t iterations) {
  Verifier v;
  v.iterations = iterations;
  v.salt.assign(salt.begin(), salt.end());
  v.storedKey = Sha256(Hmac(saltedPassword, "Client Key"));
  v.serverKey = Hmac(saltedPassword, "Server Key");
  return v;
}

Verifier MakeVerifier(std::string_view password, std::uint32_t iterations) {
  const Bytes salt = RandomBytes(kSaltSize);
  return VerifierFromSaltedPassword(DeriveKey(password, salt, iterations), salt, iterations);
}

std::string FormatVerifier(const Verifier& v) {
  return "SCRAM-SHA-256$" + std::to_string(v.iterations) + ":" + Base64(v.salt) + "$" + Base64(v.storedKey) + ":" +
         Base64(v.serverKey);
}

std::optional<Verifier> ParseVerifier(std::string_view text) {
  constexpr std::string_view kPrefix = "SCRAM-SHA-256$";
  if (!text.starts_with(kPrefix) || text.size() > 512) return std::nullopt;
  text.remove_prefix(kPrefix.size());
  const auto colon1 = text.find(':');
  const auto dollar = text.find('$');
  if (colon1 == std::string_view::npos || dollar == std::string_view::npos || colon1 > dollar) return std::nullopt;
  const auto colon2 = text.find(':', dollar);
  if (colon2 == std::string_view::npos) return std::nullopt;
  Verifier v;
  const auto iterations = Iterations(text.substr(0, colon1));
  if (!iterations || *iterations < kMinIterations || *iterations > kMaxIterations) return std::nullopt;
  v.iterations = *iterations;
  auto salt = FromBase64(text.substr(colon1 + 1, dollar - colon1 - 1), kMaxSalt);
  auto stored = FromBase64(text.substr(dollar + 1, colon2 - dollar - 1), kKeySize);
  auto server = FromBase64(text.substr(colon2 + 1), kKeySize);
  if (!salt || salt->empty() || !stored || stored->size() != kKeySize || !server || server->size() != kKeySize)
    return std::nullopt;
  v.salt = std::move(*salt);
  v.storedKey = std::move(*stored);
  v.serverKey = std::move(*server);
  return v;
}

std::string FormatClientFirst(std::string_view user, std::string_view nonce) {
  return std::string(kGs2Header) + "n=" + EscapeName(user) + ",r=" + std::string(nonce);
}

std::optional<ClientFirst> ParseClientFirst(std::string_view text) {
  if (text.size() > kMaxMessage) return std::nullopt;
  // gs2-header: cbind flag "," [authzid] ","
  const auto c1 = text.find(',');
  if (c1 == std::string_view::npos) return std::nullopt;
  const auto c2 = text.find(',', c1 + 1);
  if (c2 == std::string_view::npos) return std::nullopt;
  ClientFirst f;
  f.gs2Header = std::string(text.substr(0, c2 + 1));
  const std::string_view flag = text.substr(0, c1);
  const std::string_view authzid = text.substr(c1 + 1, c2 - c1 - 1);
  if (!(flag == "n" || flag == "y" || flag.starts_with("p="))) return std::nullopt;
  if (!authzid.empty() && !authzid.starts_with("a=")) return std::nullopt;
  f.bare = std::string(text.substr(c2 + 1));
  const auto attrs = Attributes(f.bare, 16);
  if (!attrs || attrs->size() < 2 || (*attrs)[0].name != 'n' || (*attrs)[1].name != 'r') return std::nullopt;
  auto user = UnescapeName((*attrs)[0].value);
  if (!user || !GoodNonce((*attrs)[1].value)) return std::nullopt;
  f.user = std::move(*user);
  f.nonce = std::string((*attrs)[1].value);
  return f;
}

std::string FormatServerFirst(std::string_view nonce, std::span<const std::uint8_t> salt, std::uint32_t iterations) {
  return "r=" + std::string(nonce) + ",s=" + Base64(salt) + ",i=" + std::to_string(iterations);
}

std::optional<ServerFirst> ParseServerFirst(std::string_view text) {
  if (text.size() > kMaxMessage) return std::nullopt;
  const auto attrs = Attributes(text, 16);
  if (!attrs || attrs->size() < 3 || (*attrs)[0].name != 'r' || (*attrs)[1].name != 's' || (*attrs)[2].name != 'i')
    return std::nullopt;
  ServerFirst f;
  if (!GoodNonce((*attrs)[0].value)) return std::nullopt;
  f.nonce = std::string((*attrs)[0].value);
  auto salt = FromBase64((*attrs)[1].value, kMaxSalt);
  const auto iterations = Iterations((*attrs)[2].value);
  if (!salt || salt->empty() || !iterations) return std::nullopt;
  f.salt = std::move(*salt);
  f.iterations = *iterations;
  return f;
}

std::optional<ClientFinal> ParseClientFinal(std::string_view text) {
  if (text.size() > kMaxMessage) return std::nullopt;
  const auto attrs = Attributes(text, 16);
  if (!attrs || attrs->size() < 3 || (*attrs)[0].name != 'c' || (*attrs)[1].name != 'r' || attrs->back().name != 'p')
    return std::nullopt;
  ClientFinal f;
  auto binding = FromBase64((*attrs)[0].value, 256);
  auto proof = FromBase64(attrs->back().value, kKeySize);
  if (!binding || !proof || proof->size() != kKeySize || !GoodNonce((*attrs)[1].value)) return std::nullopt;
  f.binding = std::move(*binding);
  f.proof = std::move(*proof);
  f.nonce = std::string((*attrs)[1].value);
  f.withoutProof = std::string(text.substr(0, text.rfind(",p=")));
  return f;
}

std::optional<Bytes> ParseServerFinal(std::string_view text) {
  if (text.size() > kMaxMessage) return std::nullopt;
  const auto attrs = Attributes(text, 8);
  if (!attrs || attrs->front().name != 'v') return std::nullopt;
  auto v = FromBase64(attrs->front().value, kKeySize);
  if (!v || v->size() != kKeySize) return std::nullopt;
  return v;
}

ClientExchange::ClientExchange(std::string user, std::string password, Bytes channelBinding)
    : user_(std::move(user)), password_(std::move(password)), nonce_(MakeNonce()), binding_(std::move(channelBinding)) {}

std::string ClientExchange::First() {
  const std::string first = FormatClientFirst(user_, nonce_);
  firstBare_ = first.substr(kGs2Header.size());
  return first;
}

std::optional<std::string> ClientExchange::Final(std::string_view serverFirst) {
  return Final(serverFirst, [this](std::span<const std::uint8_t> salt, std::uint32_t iterations) {
    return DeriveKey(password_, salt, iterations);
  });
}

std::optional<std::string> ClientExchange::Final(std::string_view serverFirst, const SaltedPassword& saltedPassword) {
  const auto s = ParseServerFirst(serverFirst);
  if (!s || s->nonce.size() <= nonce_.size() || !s->nonce.starts_with(nonce_) || s->iterations < kMinIterations ||
      s->iterations > kMaxIterations) {
    return std::nullopt;
  }
  const Bytes salted = saltedPassword(s->salt, s->iterations);
  if (salted.size() != kKeySize) return std::nullopt;
  const Bytes clientKey = Hmac(salted, "Client Key");
  const Bytes storedKey = Sha256(clientKey);
  const std::string withoutProof = BindingAttribute(binding_) + ",r=" + s->nonce;
  const std::string auth = AuthMessage(firstBare_, serverFirst, withoutProof);
  const Bytes proof = Xor(clientKey, Hmac(storedKey, auth));
  serverSignature_ = Hmac(Hmac(salted, "Server Key"), auth);
  return withoutProof + ",p=" + Base64(proof);
}

bool ClientExchange::VerifyServer(std::string_view serverFinal) const {
  const auto v = ParseServerFinal(serverFinal);
  return v && !serverSignature_.empty() && SameBytes(*v, serverSignature_);
}

ServerExchange::ServerExchange(ClientFirst first, Verifier verifier, bool knownUser)
    : client_(std::move(first)), verifier_(std::move(verifier)), known_(knownUser) {
  nonce_ = client_.nonce + MakeNonce();
  first_ = FormatServerFirst(nonce_, verifier_.salt, verifier_.iterations);
}

ServerExchange::Result ServerExchange::Finish(std::string_view clientFinal,
                                              std::span<const std::uint8_t> channelBinding,
                                              std::string& serverFinal) const {
  const auto f = ParseClientFinal(clientFinal);
  if (!f) return Result::Malformed;
  // The binding must repeat the gs2 header of the first message and carry
  // this session's exporter value: a relay between two TLS sessions has
  // another one on each side.
  Bytes want(client_.gs2Header.begin(), client_.gs2Header.end());
  want.insert(want.end(), channelBinding.begin(), channelBinding.end());
  const bool bindingOk = client_.gs2Header == kGs2Header && SameBytes(f->binding, want);
  const std::string auth = AuthMessage(client_.bare, first_, f->withoutProof);
  const Bytes clientKey = Xor(f->proof, Hmac(verifier_.storedKey, auth));
  const bool proofOk = SameBytes(Sha256(clientKey), verifier_.storedKey);
  if (!known_ || !bindingOk || f->nonce != nonce_ || !proofOk) return Result::Refused;
  serverFinal = "v=" + Base64(Hmac(verifier_.serverKey, auth));
  return Result::Accepted;
}

}  // namespace cvwire::scram
