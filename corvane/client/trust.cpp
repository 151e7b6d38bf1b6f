#include "corvane/client/trust.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>

#include "corvane/client/ini.h"
#include "posix/unique_fd.h"

namespace cvclient {
namespace {

constexpr const char* kHeader =
    "# Corvane servers this client has met, with the SHA-256 fingerprint of each one's certificate.\n"
    "# A server is recorded when it is first reached. When a server's certificate was replaced on\n"
    "# purpose, delete its line: the next connection records the new one.\n";

std::string Upper(std::string_view s) {
  std::string out(s);
  std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return out;
}

std::string_view Word(std::string_view& line) {
  const auto start = line.find_first_not_of(" \t");
  if (start == std::string_view::npos) {
    line = {};
    return {};
  }
  line.remove_prefix(start);
  const auto end = line.find_first_of(" \t");
  const std::string_view w = line.substr(0, end);
  line.remove_prefix(end == std::string_view::npos ? line.size() : end);
  return w;
}

bool ReadFile(int fd, std::string& text) {
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > static_cast<off_t>(kMaxKnownServersFile))
    return false;
  text.resize(static_cast<std::size_t>(st.st_size));
  std::size_t have = 0;
  while (have < text.size()) {
    const ssize_t n = ::read(fd, text.data() + have, text.size() - have);
    if (n <= 0) break;
    have += static_cast<std::size_t>(n);
  }
  text.resize(have);
  return true;
}

bool WriteAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// Replaces file with text through a temporary file.
bool Replace(const std::string& file, const std::string& text) {
  const std::string tmp = file + ".tmp." + std::to_string(::getpid());
  posix::UniqueFd out(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (out.get() < 0) return false;
  if (!WriteAll(out.get(), text) || ::fsync(out.get()) != 0 || ::rename(tmp.c_str(), file.c_str()) != 0) {
    ::unlink(tmp.c_str());
    return false;
  }
  return true;
}

}  // namespace

std::vector<KnownServer> ParseKnownServers(std::string_view text) {
  std::vector<KnownServer> out;
  if (text.size() > kMaxKnownServersFile) text = text.substr(0, kMaxKnownServersFile);
  while (!text.empty()) {
    const auto nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
    if (line.size() > kMaxKnownServersLine) continue;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const std::string_view name = Word(line);
    if (name.empty() || name.front() == '#') continue;
    const std::string_view address = Word(line);
    const std::string_view fingerprint = Word(line);
    if (address.empty() || fingerprint.empty() || !Word(line).empty()) continue;
    out.push_back({Upper(name), std::string(address), Upper(fingerprint)});
  }
  return out;
}

std::string KnownServersPath(const std::string& clientIniPath) {
  const std::filesystem::path folder = std::filesystem::path(clientIniPath).parent_path();
  return (folder.empty() ? std::filesystem::path("known_servers") : folder / "known_servers").string();
}

TrustCheck CheckServerIdentity(const std::string& file, const std::string& name, const std::string& address,
                               const std::string& fingerprint, bool caVerified, bool strict) {
  TrustCheck check;
  if (caVerified) {
    check.verdict = TrustCheck::Verdict::CaSigned;
    return check;
  }
  const std::string upper = Upper(name);
  // One process at a time reads and rewrites the file.
  posix::UniqueFd lock(::open((file + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
  if (lock.get() >= 0) ::flock(lock.get(), LOCK_EX);
  std::string text;
  FileStamp stamp;
  {
    posix::UniqueFd in(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    if (in.get() >= 0) stamp = FileStamp::OfFd(in.get());
    if (in.get() >= 0 && !ReadFile(in.get(), text)) {
      check.message = "the known-servers file " + file + " is not a readable file of at most 1 MiB; server " + upper +
                      " is not trusted";
      return check;
    }
  }
  for (const auto& k : ParseKnownServers(text)) {
    if (k.name != upper) continue;
    if (k.fingerprint == fingerprint) {
      check.verdict = TrustCheck::Verdict::Known;
      check.stamp = stamp;
      return check;
    }
    check.verdict = TrustCheck::Verdict::Changed;
    check.message = "the identity of server " + upper + " (" + address + ") has changed: its certificate's SHA-256 "
                    "fingerprint was " + k.fingerprint + " and is now " + fingerprint +
                    ". No login was made. If the server's certificate was replaced on purpose, delete the line of " +
                    upper + " from " + file + "; otherwise someone may be posing as the server.";
    return check;
  }
  if (strict) {
    check.message = "server " + upper + " (" + address + ") presents a certificate with the SHA-256 fingerprint " +
                    fingerprint + ", which is neither in " + file +
                    " nor signed by the configured CA, and [Trust] Strict=yes accepts only those. No login was made.";
    return check;
  }
  check.verdict = TrustCheck::Verdict::Recorded;
  if (text.empty()) text = kHeader;
  if (text.back() != '\n') text.push_back('\n');
  text += upper + " " + address + " " + fingerprint + "\n";
  check.message = Replace(file, text) ? "first contact with server " + upper + " (" + address +
                                            "): recorded its certificate's SHA-256 fingerprint " + fingerprint +
                                            " in " + file
                                      : "first contact with server " + upper + " (" + address + ", fingerprint " +
                                            fingerprint + "): could not record it in " + file;
  return check;
}

}  // namespace cvclient
