#include "agent_harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "corvane/wire/auth.h"
#include "corvane/wire/frame.h"

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

bool AgentProcess::Start() {
  std::ostringstream cfg;
  cfg << "[server]\nname = \"" << serverName << "\"\nlisten = \"127.0.0.1:0\"\n"
      << "port_file = \"" << (dir_ / "port").string() << "\"\n"
      << "volume = \"" << volume().string() << "\"\nsearch_path = [\"SYSTEM\"]\n"
      << "state = \"" << (dir_ / "state.db").string() << "\"\n"
      << "version = \"6.5.2\"\ndescription = \"Web server of the sales office\"\n"
      << "company = \"Corvane Software\"\npeers = [\"SRV2\", \"SRV3\"]\n"
      << serverExtra << "\n";
  for (const auto& u : users) {
    cfg << "[[user]]\nname = \"" << u.name << "\"\npassword = \""
        << cvwire::FormatPasswordHash(cvwire::HashPassword(u.password, cvwire::kMinIterations)) << "\"\n"
        << "operator = " << (u.isOperator ? "true" : "false") << "\n";
  }
  cfg << extra;
  WriteFile("agent.toml", cfg.str());
  std::filesystem::remove(dir_ / "port");

  const std::string config = (dir_ / "agent.toml").string();
  const std::string log = (dir_ / "agent.log").string();
  pid_ = ::fork();
  if (pid_ == 0) {
    const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd >= 0) {
      ::dup2(fd, 1);
      ::dup2(fd, 2);
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

void AgentProcess::WriteClientIni(const std::string& user, const std::string& extraServers, int passwordMode,
                                  int requestMs) {
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
      << "\n[Timeouts]\nConnect=2000\nRequest=" << requestMs << "\n";
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

RawClient::RawClient(std::uint16_t port) {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

RawClient::~RawClient() {
  if (fd_ >= 0) ::close(fd_);
}

bool RawClient::SendBytes(const std::vector<std::uint8_t>& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
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
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
      const ssize_t got = ::recv(fd_, out + have, n - have, 0);
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
  pollfd p{fd_, POLLIN, 0};
  if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return false;
  std::uint8_t b[256];
  for (;;) {
    const ssize_t n = ::recv(fd_, b, sizeof b, MSG_DONTWAIT);
    if (n == 0) return true;
    if (n < 0) return errno != EAGAIN;
  }
}

std::optional<std::uint32_t> RawClient::Login(const std::string& user, const std::string& password) {
  cvwire::Writer hello(cvwire::Type(cvwire::Msg::Hello), NextId());
  hello.U32(cvwire::kProtocolVersion).Str(user).Str("test");
  if (!SendBytes(hello.Frame())) return std::nullopt;
  auto reply = Receive();
  if (!reply) return std::nullopt;
  cvwire::Reader r(*reply);
  const std::uint32_t code = r.U32();
  if (code != 0) return code;
  r.U32();
  const auto salt = r.Blob();
  const auto iterations = r.U32();
  const auto nonce = r.Blob();
  cvwire::Writer proof(cvwire::Type(cvwire::Msg::Proof), NextId());
  proof.Blob(cvwire::LoginProof(cvwire::DeriveKey(password, salt, iterations), nonce));
  if (!SendBytes(proof.Frame())) return std::nullopt;
  reply = Receive();
  if (!reply) return std::nullopt;
  cvwire::Reader p(*reply);
  return p.U32();
}

}  // namespace cvtest
