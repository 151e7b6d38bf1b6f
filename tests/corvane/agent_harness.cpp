#include "agent_harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include <openssl/err.h>

#include "corvane/wire/auth.h"
#include "corvane/wire/frame.h"
#include "corvane/wire/login.h"
#include "corvane/wire/scram.h"

namespace cvtest {
namespace {

std::string ReadAll(const std::filesystem::path& p) {
  std::ifstream in(p);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace

AgentProcess::AgentProcess() {
  std::string templ = (std::filesystem::temp_directory_path() / "cvagent-XXXXXX").string();
  if (::mkdtemp(templ.data()) == nullptr) std::abort();
  dir_ = templ;
  std::filesystem::create_directories(volume() / "SYSTEM");
}

AgentProcess::~AgentProcess() {
  Stop();
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

void AgentProcess::WriteFile(const std::string& relative, const std::string& text) {
  const auto path = dir_ / relative;
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::trunc) << text;
}

void AgentProcess::WriteConfig() {
  std::ostringstream cfg;
  cfg << "[server]\nname = \"" << serverName << "\"\nlisten = \"127.0.0.1:" << listenPort << "\"\n"
      << "port_file = \"" << (dir_ / "port").string() << "\"\n"
      << "volume = \"" << (volumeText.empty() ? volume().string() : volumeText) << "\"\nsearch_path = [\"SYSTEM\"]\n"
      << "state = \"" << (dir_ / "state.db").string() << "\"\n"
      << "version = \"6.5.2\"\ndescription = \"Web server of the sales office\"\n"
      << "company = \"Corvane Software\"\npeers = [\"SRV2\", \"SRV3\"]\n"
      << serverExtra << "\n";
  for (const auto& u : users) {
    const std::uint32_t iterations = u.iterations ? u.iterations : cvwire::kMinIterations;
    cfg << "[[user]]\nname = \"" << u.name << "\"\npassword = \""
        << (u.legacyHash ? cvwire::FormatPasswordHash(cvwire::HashPassword(u.password, iterations))
                         : cvwire::scram::FormatVerifier(cvwire::scram::MakeVerifier(u.password, iterations)))
        << "\"\n"
        << "operator = " << (u.isOperator ? "true" : "false") << "\n";
  }
  cfg << extra;
  // Written whole and renamed into place: a reload never reads half a file.
  WriteFile("agent.toml.tmp", cfg.str());
  std::filesystem::rename(dir_ / "agent.toml.tmp", dir_ / "agent.toml");
}

void AgentProcess::Signal(int sig) {
  if (pid_ > 0) ::kill(pid_, sig);
}

bool AgentProcess::WaitForLog(const std::string& text, int count, std::chrono::milliseconds timeout) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const std::string log = Log();
    int seen = 0;
    for (auto at = log.find(text); at != std::string::npos; at = log.find(text, at + text.size())) ++seen;
    if (seen >= count) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

bool AgentProcess::Start() {
  WriteConfig();
  std::filesystem::remove(dir_ / "port");

  const std::string config = (dir_ / "agent.toml").string();
  const std::string log = (dir_ / "agent.log").string();
  pid_ = ::fork();
  if (pid_ == 0) {
    // A test that is killed (a timeout) takes its agent, and so its modules, with it.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd >= 0) {
      ::dup2(fd, 1);
      ::dup2(fd, 2);
    }
    if (::chdir(dir_.c_str()) != 0) ::_exit(126);
    if (openFileLimit > 0) {
      rlimit limit{openFileLimit, openFileLimit};
      ::setrlimit(RLIMIT_NOFILE, &limit);
    }
    ::execl(CVSERVERD_PATH, CVSERVERD_PATH, "--config", config.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  if (pid_ < 0) return false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    const std::string text = ReadAll(dir_ / "port");
    if (!text.empty() && text.back() == '\n') {
      port_ = static_cast<std::uint16_t>(std::stoi(text));
      return true;
    }
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      exitStatus_ = status;
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  Stop();
  return false;
}

void AgentProcess::Stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  int status = 0;
  while (::waitpid(pid_, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  exitStatus_ = status;
  pid_ = -1;
}

std::string AgentProcess::Log() const { return ReadAll(dir_ / "agent.log"); }

std::string AgentProcess::Fingerprint() const {
  const std::string log = Log();
  const std::string key = "SHA-256 fingerprint ";
  const auto at = log.rfind(key);
  if (at == std::string::npos) return {};
  return log.substr(at + key.size(), 95);
}

void AgentProcess::WriteClientIni(const std::string& user, const std::string& extraServers, int passwordMode,
                                  int requestMs, int connectMs) {
  std::string password;
  for (const auto& u : users) {
    if (u.name == user) password = u.password;
  }
  const auto pwFile = dir_ / ("pw-" + user);
  std::filesystem::remove(pwFile);
  WriteFile("pw-" + user, password + "\n");
  ::chmod(pwFile.c_str(), static_cast<mode_t>(passwordMode));
  std::ostringstream ini;
  ini << "[Servers]\n" << serverName << "=127.0.0.1:" << port_ << "\n" << extraServers
      << "\n[Login]\nUser=" << user << "\nPasswordFile=" << pwFile.string()
      << "\n[Timeouts]\nConnect=" << connectMs << "\nRequest=" << requestMs << "\n" << clientExtra << "\n";
  WriteFile("client.ini", ini.str());
  ::setenv("CORVANE_CLIENT", (dir_ / "client.ini").c_str(), 1);
}

SilentServer::SilentServer() {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd_, 8) != 0) std::abort();
  socklen_t len = sizeof a;
  ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
  port_ = ntohs(a.sin_port);
}

SilentServer::~SilentServer() { ::close(fd_); }

PortGate::PortGate() {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) std::abort();
  socklen_t len = sizeof a;
  ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
  port_ = ntohs(a.sin_port);
}

PortGate::~PortGate() { ::close(fd_); }

void PortGate::Open() {
  if (::listen(fd_, 8) != 0) std::abort();
}

RawClient::RawClient(std::uint16_t port, Mode mode, SSL_CTX* shared, const std::string& source) {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (!source.empty()) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    if (::inet_pton(AF_INET, source.c_str(), &local.sin_addr) != 1 ||
        ::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
      ::close(fd_);
      fd_ = -1;
      return;
    }
  }
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd_);
    fd_ = -1;
    return;
  }
  // As the client library does: a login's messages go out at once.
  int one = 1;
  ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  if (mode == Mode::Plain) return;
  if (shared) SSL_CTX_up_ref(shared);
  ctx_.reset(shared ? shared : SSL_CTX_new(TLS_client_method()));
  if (mode == Mode::OldTls) SSL_CTX_set_max_proto_version(ctx_.get(), TLS1_2_VERSION);
  ssl_.reset(SSL_new(ctx_.get()));
  SSL_set_fd(ssl_.get(), fd_);
  timeval tv{5, 0};
  ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  binding_.assign(cvwire::scram::kBindingSize, 0);
  const auto& label = cvwire::scram::kExporterLabel;
  if (SSL_connect(ssl_.get()) != 1 || SSL_export_keying_material(ssl_.get(), binding_.data(), binding_.size(),
                                                                 label.data(), label.size(), nullptr, 0, 0) != 1) {
    ERR_clear_error();
    ssl_.reset();
    ::close(fd_);
    fd_ = -1;
  }
}

RawClient::~RawClient() {
  ssl_.reset();
  if (fd_ >= 0) ::close(fd_);
}

void RawClient::SetSendTimeout(std::chrono::milliseconds timeout) {
  if (fd_ < 0) return;
  timeval tv{static_cast<time_t>(timeout.count() / 1000), static_cast<suseconds_t>(timeout.count() % 1000 * 1000)};
  ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

bool RawClient::SendBytes(const std::vector<std::uint8_t>& bytes) {
  if (fd_ < 0) return false;
  if (ssl_) return SSL_write(ssl_.get(), bytes.data(), static_cast<int>(bytes.size())) == static_cast<int>(bytes.size());
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

// Up to n bytes within the timeout: the count, 0 at the end of the stream,
// -1 on a timeout or an error.
int RawClient::ReadSome(std::uint8_t* out, std::size_t n, std::chrono::milliseconds timeout) {
  if (fd_ < 0) return -1;
  if (!ssl_ || SSL_pending(ssl_.get()) == 0) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(std::max<std::int64_t>(timeout.count(), 0))) <= 0) return -1;
  }
  if (!ssl_) {
    const ssize_t got = ::recv(fd_, out, n, 0);
    if (got < 0) return errno == EAGAIN || errno == EINTR ? -1 : 0;  // a reset ends the stream too
    return static_cast<int>(got);
  }
  timeval tv{static_cast<time_t>(timeout.count() / 1000 + 1), 0};
  ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  ERR_clear_error();
  const int got = SSL_read(ssl_.get(), out, static_cast<int>(n));
  if (got > 0) return got;
  const int e = SSL_get_error(ssl_.get(), got);
  ERR_clear_error();
  if (e == SSL_ERROR_ZERO_RETURN) return 0;
  if (e == SSL_ERROR_SYSCALL && errno != EAGAIN && errno != EWOULDBLOCK) return 0;  // closed, reset
  if (e == SSL_ERROR_SSL) return 0;
  return -1;
}

std::optional<std::vector<std::uint8_t>> RawClient::Receive(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  // Exactly one frame: its length, then its payload, so nothing of a later
  // reply is consumed.
  auto readExactly = [&](std::uint8_t* out, std::size_t n) {
    std::size_t have = 0;
    while (have < n) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      const int got = ReadSome(out + have, n - have, left);
      if (got <= 0) return false;
      have += static_cast<std::size_t>(got);
    }
    return true;
  };
  std::uint8_t len[4];
  if (!readExactly(len, 4)) return std::nullopt;
  const std::uint32_t n = len[0] | (len[1] << 8) | (len[2] << 16) | (static_cast<std::uint32_t>(len[3]) << 24);
  if (n > cvwire::kMaxPayload || n < cvwire::kHeaderSize) return std::nullopt;
  std::vector<std::uint8_t> payload(n);
  if (!readExactly(payload.data(), n)) return std::nullopt;
  return payload;
}

bool RawClient::ClosedByPeer(std::chrono::milliseconds timeout) {
  if (fd_ < 0) return true;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::uint8_t b[256];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    const int n = ReadSome(b, sizeof b, left);
    if (n == 0) return true;
    if (n < 0) return false;
  }
}

namespace {

std::vector<std::uint8_t> Bytes(std::string_view s) { return {s.begin(), s.end()}; }
std::string Text(const std::vector<std::uint8_t>& b) { return {b.begin(), b.end()}; }

// Reads a login reply; nothing when none came or it was cut short.
std::optional<cvwire::LoginReply> ReadLoginReply(RawClient& c) {
  const auto reply = c.Receive();
  if (!reply) return std::nullopt;
  cvwire::Reader r(*reply);
  auto out = cvwire::ReadLoginReply(r);
  if (!r.ok()) return std::nullopt;
  return out;
}

}  // namespace

std::optional<std::uint32_t> RawClient::LoginWithProof(
    const std::string& user, const std::function<std::vector<std::uint8_t>(const std::string&)>& proof) {
  const std::string nonce = cvwire::scram::MakeNonce();
  const std::string first = cvwire::scram::FormatClientFirst(user, nonce);
  cvwire::Writer hello(cvwire::Type(cvwire::Msg::Hello), NextId());
  hello.U32(cvwire::kProtocolVersion).Str("test").Str(cvwire::kMechScram).Blob(Bytes(first));
  if (!SendBytes(hello.Frame())) return std::nullopt;
  const auto challenge = ReadLoginReply(*this);
  if (!challenge) return std::nullopt;
  if (challenge->code != 0) return challenge->code;
  const auto serverFirst = cvwire::scram::ParseServerFirst(Text(challenge->data));
  if (!serverFirst) return std::nullopt;
  std::vector<std::uint8_t> cb = Bytes(cvwire::scram::kGs2Header);
  cb.insert(cb.end(), binding_.begin(), binding_.end());
  const std::string withoutProof = "c=" + cvwire::scram::Base64(cb) + ",r=" + serverFirst->nonce;
  const std::string auth = first.substr(cvwire::scram::kGs2Header.size()) + "," + Text(challenge->data) + "," + withoutProof;
  cvwire::Writer step(cvwire::Type(cvwire::Msg::LoginStep), NextId());
  step.Blob(Bytes(withoutProof + ",p=" + cvwire::scram::Base64(proof(auth))));
  if (!SendBytes(step.Frame())) return std::nullopt;
  const auto result = ReadLoginReply(*this);
  if (!result) return std::nullopt;
  return result->code;
}

std::optional<std::uint32_t> RawClient::Login(const std::string& user, const std::string& password) {
  cvwire::scram::ClientExchange exchange(user, password, binding_);
  cvwire::Writer hello(cvwire::Type(cvwire::Msg::Hello), NextId());
  hello.U32(cvwire::kProtocolVersion).Str("test").Str(cvwire::kMechScram).Blob(Bytes(exchange.First()));
  if (!SendBytes(hello.Frame())) return std::nullopt;
  const auto challenge = ReadLoginReply(*this);
  if (!challenge) return std::nullopt;
  if (challenge->code != 0) return challenge->code;
  const auto final = exchange.Final(Text(challenge->data));
  if (!final) return std::nullopt;
  cvwire::Writer step(cvwire::Type(cvwire::Msg::LoginStep), NextId());
  step.Blob(Bytes(*final));
  if (!SendBytes(step.Frame())) return std::nullopt;
  const auto result = ReadLoginReply(*this);
  if (!result) return std::nullopt;
  if (result->code == 0 && !exchange.VerifyServer(Text(result->data))) return std::nullopt;
  return result->code;
}

TamperingRelay::TamperingRelay(std::uint16_t target) : target_(target) {
  listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (listen_ < 0 || ::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listen_, 8) != 0 ||
      ::pipe2(wake_, O_CLOEXEC) != 0) {
    std::abort();
  }
  socklen_t len = sizeof a;
  ::getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len);
  port_ = ntohs(a.sin_port);
  thread_ = std::thread([this] { Run(); });
}

TamperingRelay::~TamperingRelay() {
  const char c = 'x';
  if (::write(wake_[1], &c, 1) != 1) {
    // the relay thread also ends when its sockets close
  }
  thread_.join();
  ::close(listen_);
  ::close(wake_[0]);
  ::close(wake_[1]);
}

void TamperingRelay::Arm(bool toServer, std::size_t offset) {
  offset_ = offset;
  armed_ = toServer ? 1 : 2;
}

void TamperingRelay::Run() {
  struct Pair {
    int client, server;
  };
  std::vector<Pair> pairs;
  auto closePair = [](Pair& p) {
    ::close(p.client);
    ::close(p.server);
    p.client = p.server = -1;
  };
  for (;;) {
    std::vector<pollfd> fds{{wake_[0], POLLIN, 0}, {listen_, POLLIN, 0}};
    for (const auto& p : pairs) {
      fds.push_back({p.client, POLLIN, 0});
      fds.push_back({p.server, POLLIN, 0});
    }
    if (::poll(fds.data(), fds.size(), -1) < 0) continue;
    if (fds[0].revents) break;
    if (fds[1].revents & POLLIN) {
      const int c = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
      const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_port = htons(target_);
      a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      if (c >= 0 && s >= 0 && ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
        pairs.push_back({c, s});
      } else {
        if (c >= 0) ::close(c);
        if (s >= 0) ::close(s);
      }
    }
    // Only the pairs that were polled: one accepted just now has no entry yet.
    const std::size_t polled = (fds.size() - 2) / 2;
    for (std::size_t i = 0; i < polled; ++i) {
      for (int dir = 0; dir < 2; ++dir) {
        const pollfd& f = fds[2 + i * 2 + dir];
        if (!(f.revents & (POLLIN | POLLHUP | POLLERR)) || pairs[i].client < 0) continue;
        const int from = dir == 0 ? pairs[i].client : pairs[i].server;
        const int to = dir == 0 ? pairs[i].server : pairs[i].client;
        std::uint8_t buf[16384];
        const ssize_t n = ::recv(from, buf, sizeof buf, 0);
        if (n <= 0) {
          closePair(pairs[i]);
          continue;
        }
        const int want = dir == 0 ? 1 : 2;
        if (armed_ == want) {
          if (offset_ < static_cast<std::size_t>(n)) {
            buf[offset_] ^= 0x01;
            armed_ = 0;
            tampered_ = true;
          } else {
            offset_ -= static_cast<std::size_t>(n);
          }
        }
        if (::send(to, buf, static_cast<std::size_t>(n), MSG_NOSIGNAL) != n) closePair(pairs[i]);
      }
    }
    std::erase_if(pairs, [](const Pair& p) { return p.client < 0; });
  }
  for (auto& p : pairs) {
    if (p.client >= 0) closePair(p);
  }
}

}  // namespace cvtest
