#include "support/TestCertificates.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <utility>

#include "hostlib/quillon.h"

namespace testsupport {

namespace {

constexpr long kHour = 3600;
constexpr long kDay = 24 * kHour;

const std::vector<std::string> kLoopbackAddresses = {"127.0.0.1", "127.0.0.2", "127.0.0.3"};

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

TestCertificates::TestCertificates(std::string directory) : directory_(std::move(directory)) {
  devserver::CertificateSpec spec;
  spec.commonName = "proxyhelper test CA";
  if (!devserver::CreateCertificateAuthority(spec, &ca_, &error_)) return;
  spec.commonName = "proxyhelper untrusted CA";
  if (!devserver::CreateCertificateAuthority(spec, &otherCa_, &error_)) return;
  caFile_ = directory_ + "/ca.pem";
  otherCaFile_ = directory_ + "/other-ca.pem";
  if (!devserver::WritePrivateFile(caFile_, ca_.certificate, &error_) ||
      !devserver::WritePrivateFile(otherCaFile_, otherCa_.certificate, &error_)) {
    return;
  }
}

devserver::TlsFiles TestCertificates::Write(const std::string& file,
                                            const devserver::PemCredential& credential) {
  devserver::TlsFiles files;
  const std::string certificate = directory_ + "/" + file + ".pem";
  const std::string key = directory_ + "/" + file + ".key";
  std::string why;
  if (!devserver::WritePrivateFile(certificate, credential.certificate, &why) ||
      !devserver::WritePrivateFile(key, credential.privateKey, &why)) {
    ADD_FAILURE() << why;
    return files;
  }
  files.certificateFile = certificate;
  files.privateKeyFile = key;
  return files;
}

devserver::TlsFiles TestCertificates::IssueWith(const devserver::PemCredential& ca, const std::string& file,
                                                const devserver::CertificateSpec& spec) {
  devserver::PemCredential server;
  std::string why;
  if (!ok() || !devserver::IssueServerCertificate(ca, spec, &server, &why)) {
    ADD_FAILURE() << "cannot issue " << file << ": " << (ok() ? why : error_);
    return devserver::TlsFiles();
  }
  return Write(file, server);
}

devserver::TlsFiles TestCertificates::Issue(const std::string& file,
                                            const std::vector<std::string>& ipAddresses,
                                            const std::vector<std::string>& dnsNames) {
  devserver::CertificateSpec spec;
  spec.commonName = dnsNames.empty() ? "proxyhelper test server" : dnsNames.front();
  spec.ipAddresses = ipAddresses;
  spec.dnsNames = dnsNames;
  spec.validFromSeconds = -kHour;
  spec.validUntilSeconds = kDay;
  return IssueWith(ca_, file, spec);
}

devserver::TlsFiles TestCertificates::IssueLoopback(const std::string& file) {
  return Issue(file, kLoopbackAddresses, {"localhost"});
}

devserver::TlsFiles TestCertificates::IssueExpired(const std::string& file) {
  devserver::CertificateSpec spec;
  spec.commonName = "localhost";
  spec.ipAddresses = kLoopbackAddresses;
  spec.dnsNames = {"localhost"};
  spec.validFromSeconds = -2 * kDay;
  spec.validUntilSeconds = -kDay;
  return IssueWith(ca_, file, spec);
}

devserver::TlsFiles TestCertificates::IssueUntrusted(const std::string& file) {
  devserver::CertificateSpec spec;
  spec.commonName = "localhost";
  spec.ipAddresses = kLoopbackAddresses;
  spec.dnsNames = {"localhost"};
  return IssueWith(otherCa_, file, spec);
}

std::string TestCertificates::Bundle(const std::string& file, const std::vector<std::string>& caFiles) const {
  std::string text;
  for (const std::string& ca : caFiles) text += ReadAll(ca);
  const std::string path = directory_ + "/" + file;
  std::string why;
  if (!devserver::WritePrivateFile(path, text, &why)) {
    ADD_FAILURE() << why;
    return std::string();
  }
  return path;
}

void TestCertificates::Trust() const { GlobalCache::Instance().SetConfigItem("GC_CA_BUNDLE", caFile_); }

}  // namespace testsupport
