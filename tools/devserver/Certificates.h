// Throwaway TLS credentials for the service on loopback: a private CA and
// server certificates it issues. Nothing here is meant for a real
// deployment; keys live only as long as the demo or test that made them.
#pragma once

#include <string>
#include <vector>

namespace devserver {

// A certificate and its private key, PEM text.
struct PemCredential {
  std::string certificate;
  std::string privateKey;
};

struct CertificateSpec {
  std::string commonName = "proxyhelper devserver";
  std::vector<std::string> dnsNames;     // subjectAltName DNS entries
  std::vector<std::string> ipAddresses;  // subjectAltName IP entries
  // Validity window in seconds relative to now; a window in the past gives
  // an expired certificate.
  long validFromSeconds = -3600;
  long validUntilSeconds = 30L * 24 * 3600;
};

// A self-signed CA certificate (P-256 key) that can sign server certificates;
// the names of `spec` are ignored.
bool CreateCertificateAuthority(const CertificateSpec& spec, PemCredential* ca, std::string* error);

// A server certificate (P-256 key) for the names of `spec`, signed by
// `issuer`, which CreateCertificateAuthority made.
bool IssueServerCertificate(const PemCredential& issuer, const CertificateSpec& spec, PemCredential* server,
                            std::string* error);

// Writes `text` to a new file readable by the owner only (private keys);
// an existing file is replaced.
bool WritePrivateFile(const std::string& path, const std::string& text, std::string* error);

// The files one TLS listener serves with.
struct TlsFiles {
  std::string certificateFile;
  std::string privateKeyFile;
};

// A fresh CA and a server certificate for 127.0.0.1 and localhost, written
// into `directory` as "ca.pem", "server.pem" and "server.key". `caFile`
// receives the CA's path: the bundle a client must trust.
bool CreateLoopbackTlsFiles(const std::string& directory, TlsFiles* server, std::string* caFile,
                            std::string* error);

}  // namespace devserver
