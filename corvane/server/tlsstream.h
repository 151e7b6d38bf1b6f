// A TLS stream for the agent's sessions that drives OpenSSL straight on the
// socket's descriptor, so that an idle connection holds no buffers: OpenSSL
// gives back its record buffers between records (SSL_MODE_RELEASE_BUFFERS),
// there are no memory BIOs between the two, and the bytes of a read land in
// one scratch buffer of the thread (ReadAvailable). It has the members of an
// Asio stream that the sessions and asio::async_write use.
//
// Every operation tries OpenSSL first and waits for the socket only when
// OpenSSL asks to; a handler is never run inside the call that started the
// operation.
#pragma once

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <asio.hpp>
#include <asio/ssl.hpp>

#include <cstddef>
#include <cstdint>
#include <span>
#include <system_error>
#include <functional>
#include <utility>
#include <vector>

namespace cvserver {

class TlsStream {
 public:
  using executor_type = asio::ip::tcp::socket::executor_type;
  using lowest_layer_type = asio::ip::tcp::socket;

  // The server's side of a connection on socket (made non-blocking).
  TlsStream(asio::ip::tcp::socket socket, asio::ssl::context& context);
  ~TlsStream();
  TlsStream(const TlsStream&) = delete;
  TlsStream& operator=(const TlsStream&) = delete;

  asio::ip::tcp::socket& next_layer() { return socket_; }
  asio::ip::tcp::socket& lowest_layer() { return socket_; }
  executor_type get_executor() { return socket_.get_executor(); }
  SSL* native_handle() { return ssl_; }

  // The size of the thread's scratch buffer: one TLS record's plaintext.
  static constexpr std::size_t kScratch = 16384;

  template <typename Handler>
  void async_handshake(asio::ssl::stream_base::handshake_type, Handler&& handler) {
    Start([this](std::size_t& n) {
      n = 0;
      return SSL_do_handshake(ssl_);
    }, [h = std::forward<Handler>(handler)](const std::error_code& ec, std::size_t) mutable { h(ec); });
  }

  template <typename Buffers, typename Handler>
  void async_read_some(const Buffers& buffers, Handler&& handler) {
    const asio::mutable_buffer b = First<asio::mutable_buffer>(buffers);
    Start([this, b](std::size_t& n) { return b.size() == 0 ? 1 : SSL_read_ex(ssl_, b.data(), b.size(), &n); },
          std::forward<Handler>(handler));
  }

  template <typename Buffers, typename Handler>
  void async_write_some(const Buffers& buffers, Handler&& handler) {
    const asio::const_buffer b = First<asio::const_buffer>(buffers);
    Start([this, b](std::size_t& n) { return b.size() == 0 ? 1 : SSL_write_ex(ssl_, b.data(), b.size(), &n); },
          std::forward<Handler>(handler));
  }

  // Reads what has arrived into the thread's scratch buffer and calls
  // handler(ec, bytes); the bytes are valid only during the call. No buffer
  // is held while the connection waits.
  //
  // Bytes that are there at once are copied for the handler, which runs
  // later, when the scratch buffer may hold another session's bytes; after a
  // wait the handler runs at once, on the scratch buffer itself.
  template <typename Handler>
  void async_read_available(Handler&& handler) {
    ERR_clear_error();
    std::size_t n = 0;
    const int ret = SSL_read_ex(ssl_, Scratch(), kScratch, &n);
    if (ret == 1) {
      std::vector<std::uint8_t> copy(Scratch(), Scratch() + n);
      asio::post(socket_.get_executor(), [h = std::forward<Handler>(handler), copy = std::move(copy)]() mutable {
        h(std::error_code(), std::span<const std::uint8_t>(copy));
      });
      return;
    }
    asio::socket_base::wait_type want = asio::socket_base::wait_read;
    const std::error_code ec = Failure(ret, want);
    if (ec != asio::error::would_block) {
      asio::post(socket_.get_executor(),
                 [h = std::forward<Handler>(handler), ec]() mutable { h(ec, std::span<const std::uint8_t>()); });
      return;
    }
    socket_.async_wait(want, [this, h = std::forward<Handler>(handler)](const std::error_code& waited) mutable {
      auto deliver = [h = std::move(h)](const std::error_code& e, std::size_t got) mutable {
        h(e, std::span<const std::uint8_t>(Scratch(), e ? 0 : got));
      };
      using Read = Op<std::function<int(std::size_t&)>, decltype(deliver)>;
      Read{this, [this](std::size_t& got) { return SSL_read_ex(ssl_, Scratch(), kScratch, &got); }, std::move(deliver),
           false}(waited);
    });
  }

  // The error of an OpenSSL call that returned ret (not 1); would_block for
  // one that waits for the socket (want says which way).
  std::error_code Failure(int ret, asio::socket_base::wait_type& want) const;

 private:
  static std::uint8_t* Scratch();

  template <typename Buffer, typename Buffers>
  static Buffer First(const Buffers& buffers) {
    for (auto it = asio::buffer_sequence_begin(buffers); it != asio::buffer_sequence_end(buffers); ++it) {
      if (Buffer(*it).size() != 0) return Buffer(*it);
    }
    return Buffer();
  }

  // One operation: attempt(n) is the OpenSSL call, retried after each wait.
  template <typename Attempt, typename Handler>
  struct Op {
    TlsStream* stream;
    Attempt attempt;
    Handler handler;
    bool first = true;

    void operator()(const std::error_code& waited = {}) {
      std::size_t n = 0;
      std::error_code ec = waited;
      if (!ec) {
        ERR_clear_error();
        const int ret = attempt(n);
        if (ret == 1) return Complete({}, n);
        asio::socket_base::wait_type want = asio::socket_base::wait_read;
        ec = stream->Failure(ret, want);
        if (ec == asio::error::would_block) {
          first = false;
          asio::ip::tcp::socket& socket = stream->socket_;
          socket.async_wait(want, std::move(*this));
          return;
        }
      }
      Complete(ec, 0);
    }

    void Complete(const std::error_code& ec, std::size_t n) {
      if (first) {
        first = false;
        asio::post(stream->socket_.get_executor(),
                   [h = std::move(handler), ec, n]() mutable { h(ec, n); });
        return;
      }
      handler(ec, n);
    }
  };

  template <typename Attempt, typename Handler>
  void Start(Attempt&& attempt, Handler&& handler) {
    Op<std::decay_t<Attempt>, std::decay_t<Handler>>{this, std::forward<Attempt>(attempt),
                                                     std::forward<Handler>(handler)}();
  }

  asio::ip::tcp::socket socket_;
  SSL* ssl_ = nullptr;
};

}  // namespace cvserver
