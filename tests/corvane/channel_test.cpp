// The client library's channel against a TLS server of the test's own that
// answers with frames for requests nobody made: a stream that never ends
// does not hold a call past its deadline, and frames that answer nothing
// asked are capped.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "corvane/client/channel.h"
#include "corvane/wire/codec.h"
#include "test_certs.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// One TLS 1.3 connection on 127.0.0.1, served on a thread by serve(ssl)
// once the client's first frame has arrived.
class FrameServer {
 public:
  explicit FrameServer(std::function<void(SSL*, std::uint32_t requestId)> serve) : serve_(std::move(serve)) {
    key_ = cvtest::NewKey();
    cert_ = cvtest::MakeCert(key_.get(), "127.0.0.1", -1, 1);
    ctx_ = SSL_CTX_new(TLS_server_method());
    SSL_CTX_set_min_proto_version(ctx_, TLS1_3_VERSION);
    SSL_CTX_use_certificate(ctx_, cert_.get());
    SSL_CTX_use_PrivateKey(ctx_, key_.get());
    listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listen_, 1) != 0) std::abort();
    socklen_t len = sizeof a;
    ::getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { Run(); });
  }
  ~FrameServer() {
    stop_ = true;
    ::shutdown(listen_, SHUT_RDWR);
    thread_.join();
    ::close(listen_);
    SSL_CTX_free(ctx_);
  }
  std::uint16_t port() const { return port_; }
  bool stop() const { return stop_; }
  std::atomic<long> framesSent{0};
  std::atomic<bool> clientLeft{false};
  std::atomic<bool> closed{false};  // the connection, after serve returned

 private:
  void Run() {
    const int fd = ::accept(listen_, nullptr, nullptr);
    if (fd < 0) return;
    timeval tv{30, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    SSL* ssl = SSL_new(ctx_);
    SSL_set_fd(ssl, fd);
    if (SSL_accept(ssl) == 1) {
      std::uint8_t buf[4096];
      const int n = SSL_read(ssl, buf, sizeof buf);
      if (n >= 4 + static_cast<int>(cvwire::kHeaderSize)) {
        cvwire::Reader r(std::span<const std::uint8_t>(buf + 4, static_cast<std::size_t>(n - 4)));
        serve_(ssl, r.requestId());
      }
    }
    ERR_clear_error();
    SSL_free(ssl);
    ::close(fd);
    closed = true;
  }
  std::function<void(SSL*, std::uint32_t)> serve_;
  cvtest::Pkey key_;
  cvtest::Cert cert_;
  SSL_CTX* ctx_ = nullptr;
  int listen_ = -1;
  std::uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

std::vector<std::uint8_t> PingReply(std::uint32_t id) {
  cvwire::Writer w(cvwire::ReplyType(cvwire::Msg::Ping), id);
  w.U32(0);
  return w.Frame();
}

class ChannelTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ::signal(SIGPIPE, SIG_IGN); }
  // Connects, and makes one Ping call with the deadline given.
  static std::optional<std::vector<std::uint8_t>> Ping(cvclient::Channel& channel_, std::uint16_t port,
                                                       std::chrono::milliseconds deadline) {
    std::string error;
    const auto until = Clock::now() + 5s;
    if (channel_.Connect("127.0.0.1", port, until) != cvclient::Channel::ConnectResult::Ok) return std::nullopt;
    if (!channel_.Handshake("", "127.0.0.1", until, error)) {
      ADD_FAILURE() << error;
      return std::nullopt;
    }
    const std::uint32_t id = channel_.NextRequestId();
    cvwire::Writer w(cvwire::Type(cvwire::Msg::Ping), id);
    return channel_.Call(id, w.Frame(), Clock::now() + deadline);
  }
};

TEST_F(ChannelTest, AnEndlessStreamOfOtherFramesEndsAtTheDeadline) {
  FrameServer* self = nullptr;
  FrameServer server([&](SSL* ssl, std::uint32_t id) {
    // Well-formed replies to requests that were never made, until the
    // client goes or 20 s have passed.
    const auto frame = PingReply(id + 1000);
    const auto end = Clock::now() + 20s;
    while (!self->stop() && Clock::now() < end) {
      if (SSL_write(ssl, frame.data(), static_cast<int>(frame.size())) <= 0) {
        self->clientLeft = true;
        return;
      }
      ++self->framesSent;
    }
  });
  self = &server;
  cvclient::Channel channel;
  EXPECT_FALSE(Ping(channel, server.port(), 2s));
  EXPECT_FALSE(channel.open());
  EXPECT_GT(server.framesSent.load(), 0);
  // The client gave up while the stream went on (the server's own end of
  // the stream would also end the call, much later).
  for (int i = 0; i < 100 && !server.clientLeft; ++i) std::this_thread::sleep_for(50ms);
  EXPECT_TRUE(server.clientLeft);
}

TEST_F(ChannelTest, FramesThatAnswerNothingAskedAreCapped) {
  struct Case {
    std::uint32_t unasked;
    bool answered;
  } cases[] = {{0, true}, {cvclient::Channel::kMaxUnaskedFrames, true}, {cvclient::Channel::kMaxUnaskedFrames + 1, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.unasked);
    cvclient::Channel channel;
    FrameServer server([&](SSL* ssl, std::uint32_t id) {
      std::vector<std::uint8_t> all;
      for (std::uint32_t i = 0; i < c.unasked; ++i) {
        const auto f = PingReply(id + 1 + i);
        all.insert(all.end(), f.begin(), f.end());
      }
      const auto answer = PingReply(id);
      all.insert(all.end(), answer.begin(), answer.end());
      SSL_write(ssl, all.data(), static_cast<int>(all.size()));
      std::uint8_t b;
      SSL_read(ssl, &b, 1);  // until the client closes
    });
    const auto reply = Ping(channel, server.port(), 10s);
    EXPECT_EQ(reply.has_value(), c.answered);
    channel.Close();
  }
}

// Notices of changed services come unasked, with request id 0: each is
// counted and none counts against the cap on unasked frames; those that
// arrive while the connection is idle are taken without a call.
TEST_F(ChannelTest, ServiceNoticesAreCountedNotCappedAndTakenWhileIdle) {
  constexpr std::uint32_t kNotices = cvclient::Channel::kMaxUnaskedFrames + 10;
  cvclient::Channel channel;
  std::atomic<bool> later{false};
  FrameServer server([&](SSL* ssl, std::uint32_t id) {
    const auto notice = cvwire::Writer(cvwire::Type(cvwire::Msg::ServicesChanged), 0).Frame();
    std::vector<std::uint8_t> all;
    for (std::uint32_t i = 0; i < kNotices; ++i) all.insert(all.end(), notice.begin(), notice.end());
    const auto answer = PingReply(id);
    all.insert(all.end(), answer.begin(), answer.end());
    SSL_write(ssl, all.data(), static_cast<int>(all.size()));
    // Two more while the client is idle.
    for (int i = 0; i < 2; ++i) SSL_write(ssl, notice.data(), static_cast<int>(notice.size()));
    later = true;
    std::uint8_t b;
    SSL_read(ssl, &b, 1);  // until the client closes
  });
  ASSERT_TRUE(Ping(channel, server.port(), 10s));
  const std::uint64_t opened = 1;  // Connect starts with a Close
  EXPECT_EQ(channel.servicesVersion(), opened + kNotices);
  for (int i = 0; i < 100 && !later; ++i) std::this_thread::sleep_for(10ms);
  std::uint64_t version = channel.servicesVersion();
  for (int i = 0; i < 100 && version != opened + kNotices + 2; ++i) {
    std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(channel.CheckIdle());
    channel.TakeNotices();
    version = channel.servicesVersion();
  }
  EXPECT_EQ(version, opened + kNotices + 2);
  // A close moves it on too: nothing kept from before holds after it.
  channel.Close();
  EXPECT_EQ(channel.servicesVersion(), opened + kNotices + 3);
}

// A server that went away while the connection was idle: the next call,
// a frame of several TLS records, fails, and the host lives on with its
// SIGPIPE left at the default. In a child process, as SIGPIPE would end it.
TEST(ChannelHostTest, AServerThatHasGoneFailsTheCallAndSparesTheHost) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        ::signal(SIGPIPE, SIG_DFL);
        FrameServer server([](SSL* ssl, std::uint32_t id) {
          const auto reply = PingReply(id);
          SSL_write(ssl, reply.data(), static_cast<int>(reply.size()));
        });
        cvclient::Channel channel;
        std::string error;
        const auto until = Clock::now() + 5s;
        if (channel.Connect("127.0.0.1", server.port(), until) != cvclient::Channel::ConnectResult::Ok ||
            !channel.Handshake("", "127.0.0.1", until, error)) {
          std::_Exit(2);
        }
        const std::uint32_t ping = channel.NextRequestId();
        if (!channel.Call(ping, cvwire::Writer(cvwire::Type(cvwire::Msg::Ping), ping).Frame(), until)) std::_Exit(3);
        for (int i = 0; i < 500 && !server.closed; ++i) std::this_thread::sleep_for(10ms);
        const std::uint32_t id = channel.NextRequestId();
        cvwire::Writer big(cvwire::Type(cvwire::Msg::Ping), id);
        big.Blob(std::vector<std::uint8_t>(60000, 0x5A));
        const bool answered = channel.Call(id, big.Frame(), Clock::now() + 5s).has_value();
        std::_Exit(answered || channel.open() ? 4 : 0);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
