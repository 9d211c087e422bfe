#pragma once

// Certificate pinning: a server of the crash-reporting and analytics service is trusted only
// when its certificate chain ends in one of a fixed set of root certificates.
//
// The pinned set: eight public root authorities (AddTrust External CA Root; Entrust Root
// Certification Authority; DigiCert High Assurance EV Root CA; VeriSign Class 3 Public Primary
// Certification Authority - G5; VeriSign Class 1, 2, 3 and 4 Public Primary Certification
// Authority - G3), in that order, embedded as DER, and nothing else: neither the environment nor
// any file can widen it. A client that must trust another root (a service of one's own, tests) is
// made with its own pinned certificates (HBRNetworkClient::make). Some of the eight have expired:
// a chain is judged with every certificate's validity, roots included.
//
// A pinner answers a URL session's server-trust challenge: it makes its certificates the trust's
// only anchors and evaluates it (platform/net/trust.h checks signatures, validity periods and the
// host name); Proceed or Unspecified accept the server with a credential for that trust, any
// other result, and a challenge without a server trust, cancel it. A URL session calls this on
// its network thread during the handshake (platform/net/url_session.h).
//
// Threads: the pinned set is made once (thread-safe) and shared; a pinner is immutable.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/net/trust.h"
#include "platform/net/url_session.h"
#include "platform/runtime/object.h"

// The pinned set (see above).
const std::vector<platform::CertificatePtr>& HBRPinnedCertificates();
// One certificate from DER bytes; nullptr when they are not a certificate.
platform::CertificatePtr HBRCertificateCreateWithBytes(const std::uint8_t* bytes, std::size_t length);

class HBRCertificatePinner : public platform::Object {
  ZORVEL_CLASS(HBRCertificatePinner, platform::Object)

 public:
  // A pinner over a copy of the certificates.
  static std::shared_ptr<HBRCertificatePinner> make(std::vector<platform::CertificatePtr> certificates);
  static platform::CertificatePtr createCertificationWithData(const std::uint8_t* bytes, std::size_t length) {
    return HBRCertificateCreateWithBytes(bytes, length);
  }

  const std::vector<platform::CertificatePtr>& certificates() const { return certificates_; }

  // Sets the certificates as the trust's only anchors and evaluates it. Answers the status of the
  // first failing call (0 when none failed) and writes the result: Invalid for an empty set,
  // FatalTrustFailure when setting the anchors failed.
  int evaluateTrust(platform::ServerTrust& trust, platform::TrustResult* result) const;
  // Answers the challenge through the handler; true when it accepted the server.
  bool handleChallenge(const platform::URLAuthenticationChallenge& challenge, platform::URLSession& session,
                       const platform::URLChallengeCompletionHandler& completionHandler) const;

 private:
  HBRCertificatePinner() = default;
  std::vector<platform::CertificatePtr> certificates_;
};
