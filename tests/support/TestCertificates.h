// TLS credentials made at test time: a test CA, server certificates it
// issues (good, for the wrong name, expired) and a second CA that nobody
// trusts, all as PEM files in the test's own temporary directory.
#pragma once

#include <string>
#include <vector>

#include "tools/devserver/Certificates.h"

namespace testsupport {

class TestCertificates {
 public:
  // Creates the trusted test CA ("<directory>/ca.pem") and an untrusted one
  // ("<directory>/other-ca.pem"); ok() tells whether that worked.
  explicit TestCertificates(std::string directory);

  bool ok() const { return error_.empty(); }
  const std::string& error() const { return error_; }

  // PEM file of the trusted test CA: what GC_CA_BUNDLE names in the tests.
  const std::string& CaFile() const { return caFile_; }
  // PEM file of a CA that issued nothing the servers use.
  const std::string& OtherCaFile() const { return otherCaFile_; }

  // A server certificate from the test CA for `ipAddresses` and `dnsNames`,
  // valid for a day from an hour ago; `file` names "<file>.pem" and
  // "<file>.key". Empty file names on failure (with a test failure added).
  devserver::TlsFiles Issue(const std::string& file, const std::vector<std::string>& ipAddresses,
                            const std::vector<std::string>& dnsNames = {});
  // The same for 127.0.0.1, 127.0.0.2, 127.0.0.3 and localhost.
  devserver::TlsFiles IssueLoopback(const std::string& file);
  // Loopback names, but valid only until yesterday.
  devserver::TlsFiles IssueExpired(const std::string& file);
  // Loopback names, signed by the untrusted CA.
  devserver::TlsFiles IssueUntrusted(const std::string& file);

  // Writes several CA files into one bundle; returns its path.
  std::string Bundle(const std::string& file, const std::vector<std::string>& caFiles) const;

  // Makes the trusted test CA the application's bundle ("GC_CA_BUNDLE").
  void Trust() const;

 private:
  devserver::TlsFiles Write(const std::string& file, const devserver::PemCredential& credential);
  devserver::TlsFiles IssueWith(const devserver::PemCredential& ca, const std::string& file,
                                const devserver::CertificateSpec& spec);

  std::string directory_;
  std::string error_;
  devserver::PemCredential ca_;
  devserver::PemCredential otherCa_;
  std::string caFile_;
  std::string otherCaFile_;
};

}  // namespace testsupport
