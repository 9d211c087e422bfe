#include "platform/net/trust.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include "platform/system/crypto.h"

namespace platform {

namespace {

struct StoreDeleter {
  void operator()(X509_STORE* s) const { X509_STORE_free(s); }
};
struct StoreContextDeleter {
  void operator()(X509_STORE_CTX* c) const { X509_STORE_CTX_free(c); }
};
struct StackDeleter {
  void operator()(STACK_OF(X509) * s) const { sk_X509_free(s); }
};

bool isIPAddress(const std::string& host) {
  unsigned char buffer[16];
  return inet_pton(AF_INET, host.c_str(), buffer) == 1 || inet_pton(AF_INET6, host.c_str(), buffer) == 1;
}

}  // namespace

// --- Certificate -----------------------------------------------------------------------------------

Certificate::Certificate(X509* x509) : x509_(x509) {
  unsigned char* out = nullptr;
  int length = i2d_X509(x509_, &out);
  if (length > 0) der_.assign(out, out + length);
  OPENSSL_free(out);
}

Certificate::~Certificate() { X509_free(x509_); }

CertificatePtr Certificate::createWithData(ByteSpan der) {
  detail::initialiseCryptoLibrary();
  const unsigned char* p = der.data();
  X509* x509 = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
  if (!x509) {
    ERR_clear_error();
    return nullptr;
  }
  if (p != der.data() + der.size()) {  // trailing bytes: not exactly one certificate
    X509_free(x509);
    return nullptr;
  }
  return std::make_shared<const Certificate>(x509);
}

std::vector<CertificatePtr> Certificate::certificatesFromPEM(std::string_view pem) {
  detail::initialiseCryptoLibrary();
  std::vector<CertificatePtr> certificates;
  BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
  if (!bio) return certificates;
  while (X509* x509 = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr))
    certificates.push_back(std::make_shared<const Certificate>(x509));
  unsigned long error = ERR_peek_last_error();
  bool cleanEnd = ERR_GET_REASON(error) == PEM_R_NO_START_LINE;
  ERR_clear_error();
  BIO_free(bio);
  if (!cleanEnd && error != 0) certificates.clear();
  return certificates;
}

std::string Certificate::subjectSummary() const {
  X509_NAME* subject = X509_get_subject_name(x509_);
  int index = X509_NAME_get_index_by_NID(subject, NID_commonName, -1);
  if (index >= 0) {
    ASN1_STRING* data = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, index));
    unsigned char* utf8 = nullptr;
    int length = ASN1_STRING_to_UTF8(&utf8, data);
    if (length >= 0) {
      std::string name(reinterpret_cast<char*>(utf8), static_cast<std::size_t>(length));
      OPENSSL_free(utf8);
      return name;
    }
  }
  char* line = X509_NAME_oneline(subject, nullptr, 0);
  std::string text = line ? line : "";
  OPENSSL_free(line);
  return text;
}

// --- ServerTrust -----------------------------------------------------------------------------------

ServerTrust::ServerTrust(std::string host, std::vector<CertificatePtr> chain)
    : host_(std::move(host)), chain_(std::move(chain)) {}

int ServerTrust::setAnchorCertificates(std::vector<CertificatePtr> anchors) {
  for (const CertificatePtr& anchor : anchors)
    if (!anchor) return kTrustStatusParameterError;
  anchors_ = std::move(anchors);
  return kTrustStatusSuccess;
}

int ServerTrust::setAnchorCertificatesOnly(bool anchorsOnly) {
  anchorsOnly_ = anchorsOnly;
  return kTrustStatusSuccess;
}

int ServerTrust::evaluate(TrustResult* result) const {
  if (chain_.empty() || !chain_.front()) {
    if (result) *result = TrustResult::Invalid;
    return kTrustStatusParameterError;
  }
  std::unique_ptr<X509_STORE, StoreDeleter> store(X509_STORE_new());
  std::unique_ptr<STACK_OF(X509), StackDeleter> untrusted(sk_X509_new_null());
  std::unique_ptr<X509_STORE_CTX, StoreContextDeleter> context(X509_STORE_CTX_new());
  if (!store || !untrusted || !context) return kTrustStatusInternalError;
  if (!anchorsOnly_ && X509_STORE_set_default_paths(store.get()) != 1) ERR_clear_error();
  for (const CertificatePtr& anchor : anchors_)
    if (X509_STORE_add_cert(store.get(), anchor->native()) != 1) ERR_clear_error();  // duplicates are fine
  for (std::size_t i = 1; i < chain_.size(); ++i)
    if (chain_[i]) sk_X509_push(untrusted.get(), chain_[i]->native());
  if (X509_STORE_CTX_init(context.get(), store.get(), chain_.front()->native(), untrusted.get()) != 1) {
    ERR_clear_error();
    return kTrustStatusInternalError;
  }
  X509_VERIFY_PARAM* param = X509_STORE_CTX_get0_param(context.get());
  X509_VERIFY_PARAM_set_purpose(param, X509_PURPOSE_SSL_SERVER);
  if (!host_.empty()) {
    if (isIPAddress(host_))
      X509_VERIFY_PARAM_set1_ip_asc(param, host_.c_str());
    else
      X509_VERIFY_PARAM_set1_host(param, host_.c_str(), host_.size());
  }
  int verified = X509_verify_cert(context.get());
  ERR_clear_error();
  if (result) *result = verified == 1 ? TrustResult::Unspecified : TrustResult::RecoverableTrustFailure;
  return kTrustStatusSuccess;
}

}  // namespace platform
