// The client library's table of server connections: one logged-in TLS
// connection per server per process, reference-counted, named by a 32-bit
// handle. Every call runs under one library lock, as one operation whose
// deadline the configured timeouts set (see ClientConfig).
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "corvane/client/channel.h"
#include "corvane/client/config.h"
#include "corvane/client/filestamp.h"
#include "corvane/client/keycache.h"
#include "corvane/client/trust.h"
#include "corvane/wire/codec.h"
#include "corvane/wire/login.h"
#include "corvane/wire/protocol.h"

namespace cvclient {

struct ConnectionEntry {
  std::string name;
  std::uint16_t type = 0;
  std::uint32_t id = 0;
  std::uint8_t time[6] = {};
  std::uint16_t addressType = 0;
  std::uint8_t address[12] = {};
};

struct ParameterEntry {
  std::string name;
  std::uint32_t type = 0;
  std::string text;
  std::uint32_t number = 0;
};

struct ServerInfo {
  std::string name;
  std::uint32_t major = 0, minor = 0, revision = 0;
  std::uint32_t capacity = 0, inUse = 0, peak = 0;
  bool directory = false;
  std::string tree, description, company, revisionDate, copyright;
  std::vector<std::string> peers;
};

struct Server {
  ServerEntry entry;
  Channel channel;
  int references = 0;
  std::uint32_t handle = 0;
  std::uint32_t slot = 0;
  std::uint32_t objectId = 0;
  ServerInfo info;  // as of the login or the last server information call
  // A directory login (dirlogin.cpp): the tree and the server's own object.
  bool directoryLogin = false;
  std::string directoryTree;
  std::string directoryName;  // dotted, e.g. SRV1.SALES.ACME

  // Parameter scan snapshot, taken at index 0.
  std::vector<ParameterEntry> parameters;
  bool haveParameters = false;
  // Connection table snapshot, taken when a scan starts (see kscalls.cpp).
  std::map<std::uint32_t, ConnectionEntry> connections;
  std::chrono::steady_clock::time_point connectionsTaken{};
  bool haveConnections = false;
  std::uint32_t lastConnectionAsked = 0;
  // Broadcast messages fetched but not yet handed out.
  std::deque<std::string> messages;
  // The last watched service lookup's answer, good while the channel's
  // servicesVersion() has not moved; and whether the agent watches at all
  // (an older one answers the watched lookup as unsupported).
  struct KnownService {
    std::string name;
    std::uint32_t id = 0;
    std::uint8_t major = 0, minor = 0, state = 0;
    std::vector<std::uint8_t> info;
    std::uint64_t version = 0;
  };
  std::optional<KnownService> knownService;
  bool agentWatchesServices = true;
};

class Library {
 public:
  static Library& Get();
  std::mutex& mutex() { return mutex_; }

  // Handle of the connection to serverName, opening it on first use; adds a
  // reference. Client codes on failure.
  std::uint32_t Acquire(const std::string& serverName, std::uint32_t& handle);
  // The same for a server found in the directory at host:port.
  std::uint32_t AcquireAt(const std::string& serverName, const std::string& host, std::uint16_t port,
                          std::uint32_t& handle);
  std::uint32_t Release(std::uint32_t handle);
  Server* Find(std::uint32_t handle);
  // Any open connection, else the first configured server (kept open by the library).
  std::uint32_t Primary(std::uint32_t& handle);

  // One request on server; reconnects (and logs in again) a dropped
  // connection first. Returns the client code and, on a transport success,
  // the reply reader positioned after the code.
  std::uint32_t Call(Server& server, cvwire::Writer& request, std::uint32_t id,
                     std::optional<cvwire::Reader>& reply, std::vector<std::uint8_t>& storage);
  // Builds and sends a request of type m with fields added by fill.
  template <typename Fill>
  std::uint32_t Request(Server& server, cvwire::Msg m, Fill&& fill, std::optional<cvwire::Reader>& reply,
                        std::vector<std::uint8_t>& storage) {
    const std::uint32_t id = server.channel.NextRequestId();
    cvwire::Writer w(cvwire::Type(m), id);
    fill(w);
    return Call(server, w, id, reply, storage);
  }

  std::uint32_t FetchServerInfo(Server& server);
  const ClientConfig& config() const { return config_; }

  // Starts an operation: its deadline is Request from its first request or
  // connection attempt, plus the time spent connecting (at most Connect)
  // when it has to open its connection.
  void BeginOperation();
  // Why the last operation failed to reach or trust a server, when it says
  // more than its code (empty otherwise).
  const std::string& failureText() const { return failure_; }
  // Records text as the failure of this operation; log: also on stderr.
  void Fail(const std::string& text, bool log);

  // One message of a login and its reply.
  using LoginReply = cvwire::LoginReply;

 private:
  using Clock = std::chrono::steady_clock;
  // Starts the operation's clock, once.
  void StartClock();
  // Reads client.ini again when it changed since it was last read; the
  // operation's budget follows its timeouts.
  void ReloadConfig();
  // The password from the configured password file, read again only when
  // the file changed.
  std::optional<std::string> Password();
  // Whether the server, reached at address with this certificate, is
  // trusted: from the known-servers file, or from what the library learnt
  // from it while the file stays unchanged.
  TrustCheck CheckTrust(const ServerEntry& e, const std::string& address, const Channel& channel);
  std::uint32_t Open(Server& server);
  // Logs in on the open channel with the configured user's mechanism.
  std::uint32_t Login(Server& server);
  std::uint32_t Adopt(std::unique_ptr<Server> server, std::uint32_t& handle);
  std::uint32_t LoginScram(Server& server, const std::string& password);
  std::uint32_t LoginDirectory(Server& server, const std::string& password);  // dirlogin.cpp
  // Sends one login message; kCvOk with reply filled in, else kCvErrNoAnswer.
  std::uint32_t LoginMessage(Server& server, cvwire::Writer& request, std::uint32_t id, LoginReply& reply);
  // The code of a refused login (saying so when the versions differ).
  std::uint32_t LoginRefused(const Server& server, const LoginReply& reply);

  std::mutex mutex_;
  ClientConfig config_;
  bool clockStarted_ = false;
  Clock::time_point opStart_{};
  Clock::time_point opDeadline_{};
  Clock::duration connectLeft_{};
  std::string failure_;
  std::map<std::uint32_t, std::unique_ptr<Server>> servers_;
  std::uint32_t lastHandle_ = 0;

  // What was read of the configuration files, and their stamps then (a
  // stamp that is not Settled is read again next time).
  std::string configPath_;
  FileStamp configStamp_;
  bool configHeld_ = false;
  std::string passwordPath_;
  FileStamp passwordStamp_;
  std::optional<std::string> password_;
  struct KnownServer {
    std::string file, name, fingerprint;
    FileStamp stamp;  // of file when it said so
  };
  std::vector<KnownServer> known_;
  SaltedPasswordCache keys_;
};

// The library, locked for the length of one operation.
struct Locked {
  Locked() { lib.BeginOperation(); }
  std::lock_guard<std::mutex> lock{Library::Get().mutex()};
  Library& lib = Library::Get();
};

// Fetches every page of a listing (ConnectionList, ParameterList) from first
// on. Each reply carries the first index of the next page (0 after the last)
// and then the page, which readPage consumes, answering whether the page was
// well formed. A malformed page, or one that does not move on, is
// kCvErrNoAnswer.
std::uint32_t FetchPages(Library& lib, Server& server, cvwire::Msg m, std::uint32_t first,
                         const std::function<bool(cvwire::Reader&)>& readPage);

// Copies text into an area of size bytes, cut and always terminated.
void CopyText(char* out, std::size_t size, const std::string& text);

}  // namespace cvclient
