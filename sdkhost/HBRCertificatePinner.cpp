#include "sdkhost/HBRCertificatePinner.h"

#include "sdkhost/HBRPinnedCertificatesData.h"

using namespace platform;

const std::vector<CertificatePtr>& HBRPinnedCertificates() {
  static const std::vector<CertificatePtr> pinned = [] {
    std::vector<CertificatePtr> certificates;
    for (const HBRPinnedCertificateBytes& entry : kHBRPinnedCertificateBytes)
      if (CertificatePtr certificate = HBRCertificateCreateWithBytes(entry.bytes, entry.length))
        certificates.push_back(std::move(certificate));
    return certificates;
  }();
  return pinned;
}

CertificatePtr HBRCertificateCreateWithBytes(const std::uint8_t* bytes, std::size_t length) {
  if (!bytes) return nullptr;
  return Certificate::createWithData(ByteSpan(bytes, length));
}

std::shared_ptr<HBRCertificatePinner> HBRCertificatePinner::make(std::vector<CertificatePtr> certificates) {
  auto pinner = platform::make<HBRCertificatePinner>();
  pinner->certificates_ = std::move(certificates);
  return pinner;
}

int HBRCertificatePinner::evaluateTrust(ServerTrust& trust, TrustResult* result) const {
  if (certificates_.empty()) {
    if (result) *result = TrustResult::Invalid;
    return kTrustStatusSuccess;
  }
  if (int status = trust.setAnchorCertificates(certificates_); status != kTrustStatusSuccess) {
    if (result) *result = TrustResult::FatalTrustFailure;
    return status;
  }
  if (int status = trust.setAnchorCertificatesOnly(true); status != kTrustStatusSuccess) {
    if (result) *result = TrustResult::FatalTrustFailure;
    return status;
  }
  TrustResult evaluated = TrustResult::Invalid;
  if (int status = trust.evaluate(&evaluated); status != kTrustStatusSuccess) {
    if (result) *result = TrustResult::Invalid;
    return status;
  }
  if (result) *result = evaluated;
  return kTrustStatusSuccess;
}

bool HBRCertificatePinner::handleChallenge(const URLAuthenticationChallenge& challenge, URLSession&,
                                           const URLChallengeCompletionHandler& completionHandler) const {
  const ServerTrustPtr& trust = challenge.protectionSpace.serverTrust;
  if (!trust) {
    completionHandler(URLSessionAuthChallengeDisposition::CancelAuthenticationChallenge, std::nullopt);
    return false;
  }
  TrustResult result = TrustResult::Invalid;
  if (evaluateTrust(*trust, &result) != kTrustStatusSuccess) result = TrustResult::FatalTrustFailure;
  if (result == TrustResult::Proceed || result == TrustResult::Unspecified) {
    completionHandler(URLSessionAuthChallengeDisposition::UseCredential, URLCredential::credentialForTrust(trust));
    return true;
  }
  completionHandler(URLSessionAuthChallengeDisposition::CancelAuthenticationChallenge, std::nullopt);
  return false;
}
