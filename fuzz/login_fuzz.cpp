// The login messages on arbitrary bytes: each SCRAM parser, base64, the
// stored verifier form, and the server's side of an exchange fed the input
// as a client-final-message; the directory mechanism's data; also the
// client's known-servers file.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "corvane/client/trust.h"
#include "corvane/wire/dirmech.h"
#include "corvane/wire/scram.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  namespace scram = cvwire::scram;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (auto first = scram::ParseClientFirst(text)) {
    if (first->user.empty() || first->user.size() > scram::kMaxUserName || first->nonce.empty()) __builtin_trap();
  }
  if (auto s = scram::ParseServerFirst(text)) {
    if (s->salt.empty() || s->salt.size() > scram::kMaxSalt) __builtin_trap();
  }
  if (auto f = scram::ParseClientFinal(text)) {
    if (f->proof.size() != cvwire::kKeySize || f->withoutProof.size() >= text.size()) __builtin_trap();
  }
  scram::ParseServerFinal(text);
  scram::ParseVerifier(text);
  if (auto b = scram::FromBase64(text, 64)) {
    if (b->size() > 64 || scram::Base64(*b) != text) __builtin_trap();
  }
  // A server exchange for a fixed client-first-message, finished with the input.
  static const scram::Verifier verifier = scram::VerifierFromSaltedPassword(
      std::vector<std::uint8_t>(32, 7), std::vector<std::uint8_t>(16, 1), cvwire::kMinIterations);
  auto first = scram::ParseClientFirst("p=tls-exporter,,n=user,r=abc");
  scram::ServerExchange server(*first, verifier, true);
  std::string serverFinal;
  const std::uint8_t binding[scram::kBindingSize] = {};
  if (server.Finish(text, binding, serverFinal) == scram::ServerExchange::Result::Accepted) __builtin_trap();
  const std::span<const std::uint8_t> bytes(data, size);
  if (auto h = cvwire::dirmech::ParseHello(bytes)) {
    if (h->tree.size() > cvwire::dirmech::kMaxTree || h->password.size() > cvwire::dirmech::kMaxPassword) __builtin_trap();
    if (cvwire::dirmech::Encode(*h) != std::vector<std::uint8_t>(data, data + size)) __builtin_trap();
  }
  if (auto w = cvwire::dirmech::ParseWelcome(bytes)) {
    if (w->tree.empty() || cvwire::dirmech::Encode(*w) != std::vector<std::uint8_t>(data, data + size)) __builtin_trap();
  }
  for (const auto& k : cvclient::ParseKnownServers(text)) {
    if (k.name.empty() || k.address.empty() || k.fingerprint.empty()) __builtin_trap();
  }
  return 0;
}
