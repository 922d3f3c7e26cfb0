#include "tests/http/support/TestCa.h"

#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <atomic>
#include <stdexcept>

namespace testing_support {
namespace {

EVP_PKEY* NewKey() {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  if (!key) throw std::runtime_error("key generation failed");
  return key;
}

std::string PemOf(X509* cert) {
  BIO* bio = BIO_new(BIO_s_mem());
  PEM_write_bio_X509(bio, cert);
  char* data = nullptr;
  long n = BIO_get_mem_data(bio, &data);
  std::string out(data, static_cast<std::size_t>(n));
  BIO_free(bio);
  return out;
}

std::string PemOf(EVP_PKEY* key) {
  BIO* bio = BIO_new(BIO_s_mem());
  PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
  char* data = nullptr;
  long n = BIO_get_mem_data(bio, &data);
  std::string out(data, static_cast<std::size_t>(n));
  BIO_free(bio);
  return out;
}

void AddExtension(X509* cert, X509* issuer, int nid, const std::string& value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
  if (!ext) throw std::runtime_error("bad extension " + value);
  X509_add_ext(cert, ext, -1);
  X509_EXTENSION_free(ext);
}

X509* NewCert(EVP_PKEY* key, const std::string& cn, X509* issuer) {
  static std::atomic<long> serial{1};
  X509* cert = X509_new();
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), serial++);
  X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert), 7 * 24 * 3600);
  X509_set_pubkey(cert, key);
  X509_NAME* name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(cn.c_str()), -1, -1, 0);
  X509_set_issuer_name(cert, issuer ? X509_get_subject_name(issuer) : name);
  return cert;
}

}  // namespace

TestCa::TestCa(const std::string& commonName) {
  EVP_PKEY* key = NewKey();
  X509* cert = NewCert(key, commonName, nullptr);
  AddExtension(cert, cert, NID_basic_constraints, "critical,CA:TRUE");
  AddExtension(cert, cert, NID_key_usage, "critical,keyCertSign,cRLSign");
  AddExtension(cert, cert, NID_subject_key_identifier, "hash");
  X509_sign(cert, key, EVP_sha256());
  key_ = key;
  cert_ = cert;
  ca_ = {PemOf(cert), PemOf(key)};
}

TestCa::~TestCa() {
  X509_free(static_cast<X509*>(cert_));
  EVP_PKEY_free(static_cast<EVP_PKEY*>(key_));
}

CertAndKey TestCa::Issue(const std::vector<std::string>& dnsNames,
                         const std::vector<std::string>& ips) const {
  auto* caCert = static_cast<X509*>(cert_);
  EVP_PKEY* key = NewKey();
  X509* cert = NewCert(key, dnsNames.empty() ? "server" : dnsNames[0], caCert);
  std::string san;
  for (const auto& d : dnsNames) san += (san.empty() ? "DNS:" : ",DNS:") + d;
  for (const auto& ip : ips) san += (san.empty() ? "IP:" : ",IP:") + ip;
  AddExtension(cert, caCert, NID_basic_constraints, "critical,CA:FALSE");
  AddExtension(cert, caCert, NID_ext_key_usage, "serverAuth");
  if (!san.empty()) AddExtension(cert, caCert, NID_subject_alt_name, san);
  AddExtension(cert, caCert, NID_authority_key_identifier, "keyid");
  X509_sign(cert, static_cast<EVP_PKEY*>(key_), EVP_sha256());
  CertAndKey out{PemOf(cert), PemOf(key)};
  X509_free(cert);
  EVP_PKEY_free(key);
  return out;
}

}  // namespace testing_support
