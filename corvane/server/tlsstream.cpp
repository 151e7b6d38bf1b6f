#include "corvane/server/tlsstream.h"

#include <cerrno>
#include <new>

namespace cvserver {

TlsStream::TlsStream(asio::ip::tcp::socket socket, asio::ssl::context& context) : socket_(std::move(socket)) {
  ssl_ = SSL_new(context.native_handle());
  if (!ssl_) throw std::bad_alloc();
  std::error_code ec;
  socket_.non_blocking(true, ec);
  SSL_set_fd(ssl_, static_cast<int>(socket_.native_handle()));
  SSL_set_accept_state(ssl_);
  // Record buffers go back between records; a write may be retried from
  // another address and complete in part, as an Asio stream's write may.
  SSL_set_mode(ssl_, SSL_MODE_RELEASE_BUFFERS | SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
}

TlsStream::~TlsStream() { SSL_free(ssl_); }

std::uint8_t* TlsStream::Scratch() {
  // The agent's sessions all run on one thread: one buffer serves them all.
  thread_local std::uint8_t scratch[kScratch];
  return scratch;
}

std::error_code TlsStream::Failure(int ret, asio::socket_base::wait_type& want) const {
  const int error = SSL_get_error(ssl_, ret);
  switch (error) {
    case SSL_ERROR_WANT_READ:
      want = asio::socket_base::wait_read;
      return asio::error::would_block;
    case SSL_ERROR_WANT_WRITE:
      want = asio::socket_base::wait_write;
      return asio::error::would_block;
    case SSL_ERROR_ZERO_RETURN:
      return asio::error::eof;
    case SSL_ERROR_SYSCALL: {
      const int saved = errno;
      if (const unsigned long e = ERR_get_error(); e != 0)
        return {static_cast<int>(e), asio::error::get_ssl_category()};
      // The peer closed the connection without a TLS close.
      if (saved == 0 || saved == EPIPE || saved == ECONNRESET) return asio::ssl::error::stream_truncated;
      return {saved, asio::error::get_system_category()};
    }
    case SSL_ERROR_SSL: {
      const unsigned long e = ERR_peek_last_error();
      ERR_clear_error();
      if (ERR_GET_LIB(e) == ERR_LIB_SSL && ERR_GET_REASON(e) == SSL_R_UNEXPECTED_EOF_WHILE_READING)
        return asio::ssl::error::stream_truncated;
      return {static_cast<int>(e), asio::error::get_ssl_category()};
    }
    default:
      return {error, asio::error::get_ssl_category()};
  }
}

}  // namespace cvserver
