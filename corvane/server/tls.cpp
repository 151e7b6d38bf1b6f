#include "corvane/server/tls.h"

#include <fcntl.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "corvane/wire/scram.h"

namespace cvserver {
namespace {

struct KeyFree {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct X509Free {
  void operator()(X509* x) const { X509_free(x); }
};
struct FileClose {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
struct BnFree {
  void operator()(BIGNUM* b) const { BN_free(b); }
};

std::string OpenSslError() {
  const unsigned long e = ERR_get_error();
  ERR_clear_error();
  if (e == 0) return "unknown error";
  char buf[256];
  ERR_error_string_n(e, buf, sizeof buf);
  return buf;
}

// Writes a PEM file through a temporary file and a rename, with mode.
template <typename Write>
bool WritePem(const std::string& path, mode_t mode, Write write, std::string& error) {
  const std::string tmp = path + ".tmp";
  ::unlink(tmp.c_str());
  const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  if (fd < 0) {
    error = "cannot create " + tmp + ": " + std::strerror(errno);
    return false;
  }
  std::unique_ptr<std::FILE, FileClose> f(::fdopen(fd, "w"));
  if (!f) {
    ::close(fd);
    error = "cannot write " + tmp;
    return false;
  }
  const bool ok = write(f.get()) == 1 && std::fflush(f.get()) == 0 && ::fsync(fd) == 0;
  f.reset();
  if (!ok || ::rename(tmp.c_str(), path.c_str()) != 0) {
    ::unlink(tmp.c_str());
    error = "cannot write " + path;
    return false;
  }
  return true;
}

// A P-256 key and a self-signed certificate for name, valid for ten years.
bool MakeOwnPair(const IdentityFiles& files, const std::string& name, std::string& error) {
  std::unique_ptr<EVP_PKEY, KeyFree> key(EVP_EC_gen("P-256"));
  std::unique_ptr<X509, X509Free> cert(X509_new());
  std::unique_ptr<BIGNUM, BnFree> serial(BN_new());
  if (!key || !cert || !serial || BN_rand(serial.get(), 63, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) != 1 ||
      !BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(cert.get())) || X509_set_version(cert.get(), 2) != 1 ||
      !X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600) ||
      !X509_time_adj_ex(X509_getm_notAfter(cert.get()), 3650, 0, nullptr) ||
      X509_set_pubkey(cert.get(), key.get()) != 1) {
    error = "cannot make a key and certificate: " + OpenSslError();
    return false;
  }
  X509_NAME* subject = X509_get_subject_name(cert.get());
  const std::string cn = "cvserverd " + name;
  if (X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(cn.c_str()), -1,
                                 -1, 0) != 1 ||
      X509_set_issuer_name(cert.get(), subject) != 1 || X509_sign(cert.get(), key.get(), EVP_sha256()) == 0) {
    error = "cannot sign the certificate: " + OpenSslError();
    return false;
  }
  // The key first: a certificate never stands without its key.
  if (!WritePem(files.key, 0600,
                [&](std::FILE* f) {
                  return PEM_write_PrivateKey(f, key.get(), nullptr, nullptr, 0, nullptr, nullptr);
                },
                error)) {
    return false;
  }
  return WritePem(files.certificate, 0644, [&](std::FILE* f) { return PEM_write_X509(f, cert.get()); }, error);
}

std::string Fingerprint(const X509* cert) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (X509_digest(cert, EVP_sha256(), md, &len) != 1) return {};
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string s;
  for (unsigned int i = 0; i < len; ++i) {
    if (i > 0) s.push_back(':');
    s.push_back(kDigits[md[i] >> 4]);
    s.push_back(kDigits[md[i] & 15]);
  }
  return s;
}

}  // namespace

IdentityFiles TlsFiles(const ServerConfig& config) {
  if (!config.tlsCertificate.empty()) return {config.tlsCertificate, config.tlsKey, false};
  std::filesystem::path folder = std::filesystem::path(config.state).parent_path();
  if (folder.empty()) folder = ".";
  return {(folder / "cvserverd-cert.pem").string(), (folder / "cvserverd-key.pem").string(), true};
}

std::optional<Identity> LoadIdentity(const ServerConfig& config, std::string& error, bool make) {
  const IdentityFiles files = TlsFiles(config);
  Identity id;
  // Missing is one thing, unreadable (a folder this user may not enter)
  // another.
  struct stat st {};
  for (const std::string* file : {&files.certificate, &files.key}) {
    if (::stat(file->c_str(), &st) != 0 && errno != ENOENT) {
      error = "the " + std::string(file == &files.key ? "key " : "certificate ") + *file +
              " cannot be read: " + std::strerror(errno);
      return std::nullopt;
    }
  }
  std::error_code ec;
  if (files.own && !std::filesystem::exists(files.key, ec) && !std::filesystem::exists(files.certificate, ec)) {
    if (!make) {
      error = "the agent has not made its certificate " + files.certificate + " yet: it does on its first start";
      return std::nullopt;
    }
    if (!MakeOwnPair(files, config.name, error)) return std::nullopt;
    id.made = true;
  }
  if (files.own && ::stat(files.key.c_str(), &st) == 0 && (st.st_mode & 077) != 0) {
    error = "the key " + files.key + " may be read by other users: chmod 600 it";
    return std::nullopt;
  }
  ERR_clear_error();
  id.context = std::make_unique<asio::ssl::context>(asio::ssl::context::tls_server);
  SSL_CTX* ctx = id.context->native_handle();
  SSL_CTX_set_min_proto_version(ctx, TLS1_3_VERSION);
  SSL_CTX_set_num_tickets(ctx, 0);  // sessions are never resumed,
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);  // so none is kept after its connection
  // Record buffers go back to the allocator between records.
  SSL_CTX_set_mode(ctx, SSL_MODE_RELEASE_BUFFERS);
  if (SSL_CTX_use_certificate_chain_file(ctx, files.certificate.c_str()) != 1) {
    error = "certificate " + files.certificate + ": " + OpenSslError();
    return std::nullopt;
  }
  const X509* cert = SSL_CTX_get0_certificate(ctx);
  if (X509_cmp_current_time(X509_get0_notAfter(cert)) <= 0) {
    error = "certificate " + files.certificate + " has expired";
    return std::nullopt;
  }
  if (X509_cmp_current_time(X509_get0_notBefore(cert)) >= 0) {
    error = "certificate " + files.certificate + " is not valid yet";
    return std::nullopt;
  }
  if (SSL_CTX_use_PrivateKey_file(ctx, files.key.c_str(), SSL_FILETYPE_PEM) != 1) {
    const std::string why = OpenSslError();
    error = "key " + files.key + ": " +
            (why.find("values mismatch") != std::string::npos ? "does not match the certificate " + files.certificate
                                                               : why);
    return std::nullopt;
  }
  if (SSL_CTX_check_private_key(ctx) != 1) {
    error = "key " + files.key + " does not match the certificate " + files.certificate;
    return std::nullopt;
  }
  id.fingerprint = Fingerprint(cert);
  unsigned char* der = nullptr;
  const int len = i2d_PrivateKey(SSL_CTX_get0_privatekey(ctx), &der);
  if (len <= 0) {
    error = "key " + files.key + ": " + OpenSslError();
    return std::nullopt;
  }
  id.secret = cvwire::scram::Hmac(std::span(der, static_cast<std::size_t>(len)), "cvserverd decoy salts");
  OPENSSL_clear_free(der, static_cast<std::size_t>(len));
  return id;
}

}  // namespace cvserver
