#include "support/test_certificates.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <stdexcept>
#include <utility>

#include "platform/system/crypto.h"

namespace zorvel::test {

namespace {

struct KeyPair {
  EVP_PKEY* key = nullptr;
  X509* certificate = nullptr;
};

void check(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string("making test certificates: ") + what);
}

void addExtension(X509* certificate, X509* issuer, int nid, const char* value) {
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
  check(extension != nullptr, "extension");
  X509_add_ext(certificate, extension, -1);
  X509_EXTENSION_free(extension);
}

// A certificate for `commonName`, signed by `issuer` (self-signed when it is null).
KeyPair makeCertificate(const char* commonName, const KeyPair* issuer, bool authority) {
  platform::detail::initialiseCryptoLibrary();
  KeyPair pair;
  pair.key = EVP_EC_gen("P-256");
  check(pair.key != nullptr, "key");
  X509* certificate = X509_new();
  X509_set_version(certificate, 2);
  unsigned char serial[16];
  RAND_bytes(serial, sizeof serial);
  serial[0] &= 0x7f;
  BIGNUM* number = BN_bin2bn(serial, sizeof serial, nullptr);
  BN_to_ASN1_INTEGER(number, X509_get_serialNumber(certificate));
  BN_free(number);
  X509_gmtime_adj(X509_getm_notBefore(certificate), -3600);
  X509_gmtime_adj(X509_getm_notAfter(certificate), 30L * 24 * 3600);
  X509_set_pubkey(certificate, pair.key);
  X509_NAME* name = X509_get_subject_name(certificate);
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Zorvel tests"), -1, -1,
                             0);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(commonName), -1, -1, 0);
  X509* issuerCertificate = issuer ? issuer->certificate : certificate;
  X509_set_issuer_name(certificate, X509_get_subject_name(issuerCertificate));
  addExtension(certificate, issuerCertificate, NID_subject_key_identifier, "hash");
  if (authority) {
    addExtension(certificate, issuerCertificate, NID_basic_constraints, "critical,CA:TRUE");
    addExtension(certificate, issuerCertificate, NID_key_usage, "critical,keyCertSign,cRLSign");
  } else {
    addExtension(certificate, issuerCertificate, NID_authority_key_identifier, "keyid:always");
    addExtension(certificate, issuerCertificate, NID_basic_constraints, "critical,CA:FALSE");
    addExtension(certificate, issuerCertificate, NID_key_usage, "critical,digitalSignature,keyEncipherment");
    addExtension(certificate, issuerCertificate, NID_ext_key_usage, "serverAuth");
    addExtension(certificate, issuerCertificate, NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1");
  }
  check(X509_sign(certificate, issuer ? issuer->key : pair.key, EVP_sha256()) > 0, "signature");
  pair.certificate = certificate;
  return pair;
}

std::string pem(X509* certificate) {
  BIO* bio = BIO_new(BIO_s_mem());
  PEM_write_bio_X509(bio, certificate);
  char* data = nullptr;
  long length = BIO_get_mem_data(bio, &data);
  std::string text(data, static_cast<std::size_t>(length));
  BIO_free(bio);
  return text;
}

std::string pem(EVP_PKEY* key) {
  BIO* bio = BIO_new(BIO_s_mem());
  PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
  char* data = nullptr;
  long length = BIO_get_mem_data(bio, &data);
  std::string text(data, static_cast<std::size_t>(length));
  BIO_free(bio);
  return text;
}

void release(KeyPair& pair) {
  X509_free(pair.certificate);
  EVP_PKEY_free(pair.key);
}

TestCertificates make() {
  TestCertificates made;
  KeyPair root = makeCertificate("Zorvel Test Root", nullptr, true);
  KeyPair server = makeCertificate("localhost", &root, false);
  KeyPair foreignRoot = makeCertificate("Foreign Test Root", nullptr, true);
  KeyPair foreignServer = makeCertificate("localhost", &foreignRoot, false);
  made.rootCertificate = pem(root.certificate);
  made.serverCertificate = pem(server.certificate);
  made.serverKey = pem(server.key);
  made.foreignRootCertificate = pem(foreignRoot.certificate);
  made.foreignServerCertificate = pem(foreignServer.certificate);
  made.foreignServerKey = pem(foreignServer.key);
  for (KeyPair* pair : {&root, &server, &foreignRoot, &foreignServer}) release(*pair);
  return made;
}

}  // namespace

const TestCertificates& TestCertificates::shared() {
  static const TestCertificates certificates = make();
  return certificates;
}

}  // namespace zorvel::test
