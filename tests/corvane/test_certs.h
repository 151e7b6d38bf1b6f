// Certificates for tests: a CA of the test's own and certificates it signs
// (for 127.0.0.1, with a validity chosen by the test), written as PEM files.
#pragma once

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

namespace cvtest {

struct PkeyFree {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct X509Free {
  void operator()(X509* x) const { X509_free(x); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
using Cert = std::unique_ptr<X509, X509Free>;

inline Pkey NewKey() { return Pkey(EVP_EC_gen("P-256")); }

// A certificate for key, valid from fromDays to toDays (from now), with
// subject cn, signed by issuerKey as issuer (itself when null).
inline Cert MakeCert(EVP_PKEY* key, const std::string& cn, long fromDays, long toDays, EVP_PKEY* issuerKey = nullptr,
                     X509* issuer = nullptr, bool ca = false) {
  Cert c(X509_new());
  X509_set_version(c.get(), 2);
  static long serial = 1;
  ASN1_INTEGER_set(X509_get_serialNumber(c.get()), ++serial);
  X509_time_adj_ex(X509_getm_notBefore(c.get()), static_cast<int>(fromDays), 0, nullptr);
  X509_time_adj_ex(X509_getm_notAfter(c.get()), static_cast<int>(toDays), 0, nullptr);
  X509_set_pubkey(c.get(), key);
  X509_NAME* name = X509_get_subject_name(c.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(cn.c_str()), -1, -1,
                             0);
  X509_set_issuer_name(c.get(), issuer ? X509_get_subject_name(issuer) : name);
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer ? issuer : c.get(), c.get(), nullptr, nullptr, 0);
  const char* ext[][2] = {{"basicConstraints", ca ? "critical,CA:TRUE" : "CA:FALSE"},
                          {"subjectAltName", "IP:127.0.0.1"}};
  for (int i = 0; i < (ca ? 1 : 2); ++i) {
    X509_EXTENSION* e = X509V3_EXT_conf(nullptr, &ctx, ext[i][0], ext[i][1]);
    X509_add_ext(c.get(), e, -1);
    X509_EXTENSION_free(e);
  }
  X509_sign(c.get(), issuerKey ? issuerKey : key, EVP_sha256());
  return c;
}

inline void WritePem(const std::string& path, X509* cert) {
  std::FILE* f = std::fopen(path.c_str(), "w");
  PEM_write_X509(f, cert);
  std::fclose(f);
}

inline void WritePem(const std::string& path, EVP_PKEY* key) {
  std::FILE* f = std::fopen(path.c_str(), "w");
  PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr);
  std::fclose(f);
}

// A directory server's TLS files in dir: server.pem (for 127.0.0.1) and
// server.key (mode 0600), ca.pem, the CA that signed it, and other-ca.pem,
// a CA that signed nothing here.
inline void WriteDirectoryTlsFiles(const std::filesystem::path& dir) {
  auto caKey = NewKey();
  auto ca = MakeCert(caKey.get(), "Corvane test directory CA", -1, 30, nullptr, nullptr, true);
  auto key = NewKey();
  auto cert = MakeCert(key.get(), "127.0.0.1", -1, 30, caKey.get(), ca.get());
  auto otherKey = NewKey();
  auto other = MakeCert(otherKey.get(), "Someone else's CA", -1, 30, nullptr, nullptr, true);
  WritePem(dir / "ca.pem", ca.get());
  WritePem(dir / "other-ca.pem", other.get());
  WritePem(dir / "server.pem", cert.get());
  WritePem(dir / "server.key", key.get());
  ::chmod((dir / "server.key").c_str(), 0600);
}

}  // namespace cvtest
