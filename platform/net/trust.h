#pragma once

// Certificates and server trust on OpenSSL: what a URL session (url_session.h) shows its
// delegate when a TLS server presents its certificate chain, and how the delegate judges it.
//
// A ServerTrust holds the chain a server sent (leaf first) and the host it was asked for. By
// default it trusts the system's root certificates; setAnchorCertificates() adds roots of the
// caller's, and setAnchorCertificatesOnly(true) makes those the only roots (pinning).
// evaluate() builds a chain from the leaf through the presented certificates to a root, checks
// every certificate's validity period and signature (roots included) and that the leaf is a TLS
// server certificate for the host (name or IP address), and answers a TrustResult:
// Unspecified when the chain holds (the platform's answer for a trust nobody overrode),
// RecoverableTrustFailure when it does not. A nonzero status means the evaluation could not run.
//
// Trust boundary: certificates come from the network; they are parsed by OpenSSL and never
// trusted by themselves. Certificates are immutable and shareable between threads; a ServerTrust
// belongs to the thread judging it.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/system/crypto.h"

typedef struct x509_st X509;

namespace platform {

class Certificate;
using CertificatePtr = std::shared_ptr<const Certificate>;

class Certificate {
 public:
  // A certificate from its DER bytes; nullptr when they are not exactly one certificate.
  static CertificatePtr createWithData(ByteSpan der);
  // Every certificate of PEM text, in order; empty when there is none or one is damaged.
  static std::vector<CertificatePtr> certificatesFromPEM(std::string_view pem);

  ~Certificate();
  Certificate(const Certificate&) = delete;
  Certificate& operator=(const Certificate&) = delete;

  const Bytes& data() const { return der_; }
  // The subject's common name (or the whole subject line when it has none).
  std::string subjectSummary() const;
  // The OpenSSL object; owned by the certificate.
  X509* native() const { return x509_; }

  explicit Certificate(X509* x509);

 private:
  X509* x509_;
  Bytes der_;
};

// The platform's numbers.
enum class TrustResult : std::uint32_t {
  Invalid = 0,
  Proceed = 1,
  Deny = 3,
  Unspecified = 4,
  RecoverableTrustFailure = 5,
  FatalTrustFailure = 6,
  OtherError = 7,
};

// Status codes of the trust calls (the platform's numbers).
inline constexpr int kTrustStatusSuccess = 0;
inline constexpr int kTrustStatusParameterError = -50;
inline constexpr int kTrustStatusInternalError = -2070;

class ServerTrust {
 public:
  ServerTrust(std::string host, std::vector<CertificatePtr> chain);

  const std::string& host() const { return host_; }
  const std::vector<CertificatePtr>& certificates() const { return chain_; }

  // kTrustStatusParameterError (nothing changed) when an element is null.
  int setAnchorCertificates(std::vector<CertificatePtr> anchors);
  int setAnchorCertificatesOnly(bool anchorsOnly);
  // See the banner. *result is set whenever the status is kTrustStatusSuccess.
  int evaluate(TrustResult* result) const;

 private:
  std::string host_;
  std::vector<CertificatePtr> chain_;
  std::vector<CertificatePtr> anchors_;
  bool anchorsOnly_ = false;
};

using ServerTrustPtr = std::shared_ptr<ServerTrust>;

// --- Authentication challenges -----------------------------------------------------------------

inline constexpr std::string_view kURLAuthenticationMethodServerTrust = "NSURLAuthenticationMethodServerTrust";
inline constexpr std::string_view kURLAuthenticationMethodClientCertificate =
    "NSURLAuthenticationMethodClientCertificate";

struct URLProtectionSpace {
  std::string host;
  int port = 0;
  std::string protocol;              // "https"
  std::string authenticationMethod;  // one of the methods above
  ServerTrustPtr serverTrust;        // for server-trust challenges; null otherwise
};

struct URLAuthenticationChallenge {
  URLProtectionSpace protectionSpace;
};

// The platform's numbers.
enum class URLSessionAuthChallengeDisposition {
  UseCredential = 0,
  PerformDefaultHandling = 1,
  CancelAuthenticationChallenge = 2,
  RejectProtectionSpace = 3,
};

// A credential that accepts a server trust.
struct URLCredential {
  ServerTrustPtr trust;
  static URLCredential credentialForTrust(ServerTrustPtr trust) { return URLCredential{std::move(trust)}; }
};

using URLChallengeCompletionHandler =
    std::function<void(URLSessionAuthChallengeDisposition disposition, const std::optional<URLCredential>& credential)>;

}  // namespace platform
