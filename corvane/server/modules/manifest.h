// NAME.qrx manifests: what program a module runs, how its readiness is
// checked, how long it may take to stop and which console commands it answers.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace cvserver::modules {

inline constexpr std::size_t kMaxManifestBytes = 1 << 20;
inline constexpr std::size_t kMaxCommandFileBytes = 1 << 20;
inline constexpr std::size_t kMaxLineLength = 4096;
// Longest timeout a manifest may ask for; larger values are refused as
// malformed rather than letting one request block the agent for hours.
inline constexpr std::chrono::milliseconds kMaxTimeout{10 * 60 * 1000};

struct TcpReady {
  std::string host;  // numeric address
  std::uint16_t port = 0;
};

struct Manifest {
  std::string description;
  std::vector<std::string> exec;       // argv templates; {volume} and {args} expand
  std::vector<std::pair<std::string, std::string>> env;  // added to the environment, values expand
  std::vector<std::string> preflight;  // empty when none
  std::optional<TcpReady> readyTcp;    // connect check, or readyService, else...
  std::chrono::milliseconds readyAlive{0};    // ...still running after this long
  std::chrono::milliseconds readyTimeout{0};  // bound of the connect check and of the preflight
  std::chrono::milliseconds stopTimeout{0};
  std::vector<std::string> unloadCommands;    // console commands that unload the module, as written
  // Where a failed load is explained ({volume} expands), e.g. the error log
  // of the server the module runs; empty: only the agent's log.
  std::string log;
  // Call services the module offers while it runs; the agent gives it the
  // Unix socket to answer them on in CV_SERVICE_SOCKET.
  std::vector<std::string> services;
  bool readyService = false;  // ready once that socket accepts connections
};

struct ManifestDefaults {
  std::chrono::milliseconds readyTimeout{5000};
  std::chrono::milliseconds stopTimeout{10000};
};

// Parses a manifest's text. On failure returns nullopt and sets *error to a
// readable reason (toml++'s message with line and column for bad TOML).
std::optional<Manifest> ParseManifest(std::string_view text, const ManifestDefaults& defaults,
                                      std::string* error);

// Splits a client's command line on blanks (spaces and tabs).
std::vector<std::string> SplitBlanks(std::string_view text);

// Expands one argv template: an element that is exactly "{args}" becomes the
// arguments (none, one or more entries); elsewhere "{volume}" is the volume
// root and "{args}" the arguments joined by single spaces.
std::vector<std::string> ExpandArgv(const std::vector<std::string>& templ, const std::string& volume,
                                    const std::vector<std::string>& args);
std::string ExpandValue(std::string_view value, const std::string& volume,
                        const std::vector<std::string>& args);

// ASCII helpers; file names on a volume compare without regard to case.
std::string ToUpper(std::string_view s);
bool EqualsNoCase(std::string_view a, std::string_view b);
std::string_view Trim(std::string_view s);
// "apache2.QRX" with suffix ".qrx" -> "apache2"; otherwise unchanged.
std::string_view StripSuffixNoCase(std::string_view name, std::string_view suffix);

// Finds FILE (compared without regard to case) in volume/<folder> for each
// folder of the search path, in order. Only regular files count.
std::optional<std::filesystem::path> FindInSearchPath(const std::filesystem::path& volume,
                                                      const std::vector<std::string>& searchPath,
                                                      std::string_view fileName);

// Reads at most maxBytes of a regular file; nullopt when it cannot be read or is
// larger (error says why).
std::optional<std::string> ReadBoundedFile(const std::filesystem::path& path, std::size_t maxBytes,
                                           std::string* error);

}  // namespace cvserver::modules
