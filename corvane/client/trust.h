// Which servers this client trusts: those whose certificate a configured CA
// signed, and those whose certificate fingerprint is recorded in the
// known-servers file beside client.ini, as SSH records host keys. A server
// met for the first time is recorded, unless [Trust] Strict=yes.
//
// The file holds one server a line, "NAME HOST:PORT FINGERPRINT" ('#' starts
// a comment). A server is known by its name; the address is where it was
// first reached. The file is read with bounds (size, line length) and lines
// that do not parse are kept but ignored.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "corvane/client/filestamp.h"

namespace cvclient {

inline constexpr std::size_t kMaxKnownServersFile = 1024 * 1024;
inline constexpr std::size_t kMaxKnownServersLine = 1024;

struct KnownServer {
  std::string name;  // upper case
  std::string address;
  std::string fingerprint;
};

std::vector<KnownServer> ParseKnownServers(std::string_view text);
std::string KnownServersPath(const std::string& clientIniPath);

struct TrustCheck {
  enum class Verdict { CaSigned, Known, Recorded, Changed, Unknown } verdict = Verdict::Unknown;
  bool trusted() const { return verdict == Verdict::CaSigned || verdict == Verdict::Known || verdict == Verdict::Recorded; }
  // For the log: why a server was refused, or that it was recorded.
  std::string message;
  // For Known: the file as it was read, so that a caller may trust the same
  // server again without reading it while it stays so.
  FileStamp stamp;
};

// Decides whether the server name, reached at address with the certificate
// fingerprint, is trusted; records it in file when it is new (under a lock
// file, with an atomic replacement).
TrustCheck CheckServerIdentity(const std::string& file, const std::string& name, const std::string& address,
                               const std::string& fingerprint, bool caVerified, bool strict);

}  // namespace cvclient
