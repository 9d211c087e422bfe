#pragma once

#include <string>

namespace zorvel::test {

// Certificates made at run time with OpenSSL (P-256 keys, SHA-256 signatures, valid from an
// hour ago for 30 days), once per process:
// - a test root authority, and a server certificate it signed for "localhost" and 127.0.0.1;
// - a foreign root authority, unrelated to the first, with a server certificate of its own for
//   the same names (a server that a client pinned to the test root must refuse).
// Everything is PEM text.
struct TestCertificates {
  std::string rootCertificate;
  std::string serverCertificate;
  std::string serverKey;
  std::string foreignRootCertificate;
  std::string foreignServerCertificate;
  std::string foreignServerKey;

  static const TestCertificates& shared();
};

}  // namespace zorvel::test
