// The stand-in report service, run by hand: zorvel-report-service <folder> [port-file]
//
// Serves HTTPS on a free loopback port with the test root's certificate, stores every request in
// the folder and prints one line per request. The root certificate is written to
// "<folder>/root.pem" so that a client can pin it; the base URL is printed first (and written to
// the port file when one is named). Runs until interrupted.

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <iostream>

#include "support/report_service.h"
#include "support/test_certificates.h"

namespace {
volatile std::sig_atomic_t gStop = 0;
void stop(int) { gStop = 1; }
}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "usage: " << argv[0] << " <folder> [port-file]\n";
    return 2;
  }
  zorvel::test::ReportService service(argv[1]);
  std::ofstream(service.folder() / "root.pem") << zorvel::test::TestCertificates::shared().rootCertificate;
  service.setLogSink([](const std::string& line) { std::cout << line << std::endl; });
  std::cout << service.baseURL() << std::endl;
  if (argc > 2) std::ofstream(argv[2]) << service.baseURL() << '\n';
  std::signal(SIGINT, stop);
  std::signal(SIGTERM, stop);
  while (!gStop) pause();
  return 0;
}
