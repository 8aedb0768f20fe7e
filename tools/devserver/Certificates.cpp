#include "tools/devserver/Certificates.h"

#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "tools/devserver/Socket.h"

namespace devserver {

namespace {

struct OpenSslFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
  void operator()(X509* cert) const { X509_free(cert); }
  void operator()(BIO* bio) const { BIO_free(bio); }
  void operator()(BIGNUM* number) const { BN_free(number); }
  void operator()(X509_EXTENSION* extension) const { X509_EXTENSION_free(extension); }
};
template <typename T>
using Owned = std::unique_ptr<T, OpenSslFree>;

// Fills `error` with `what` and OpenSSL's first queued reason, and empties
// the queue so a later failure does not report this one.
bool Fail(const std::string& what, std::string* error) {
  const unsigned long code = ERR_get_error();
  *error = what;
  if (code != 0) {
    char reason[256];
    ERR_error_string_n(code, reason, sizeof reason);
    *error += std::string(": ") + reason;
  }
  ERR_clear_error();
  return false;
}

Owned<EVP_PKEY> NewKey() {
  // P-256: quick to generate, accepted by every TLS stack in use.
  return Owned<EVP_PKEY>(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
}

bool AddExtension(X509* cert, X509* issuer, int nid, const std::string& value) {
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, issuer, cert, nullptr, nullptr, 0);
  Owned<X509_EXTENSION> extension(X509V3_EXT_nconf_nid(nullptr, &context, nid, value.c_str()));
  return extension && X509_add_ext(cert, extension.get(), -1) == 1;
}

// A version 3 certificate for `key`, named and valid as `spec` says, with a
// random serial number and no extensions yet.
Owned<X509> NewCertificate(EVP_PKEY* key, const CertificateSpec& spec) {
  Owned<X509> cert(X509_new());
  Owned<BIGNUM> serial(BN_new());
  if (!cert || !serial) return nullptr;
  if (X509_set_version(cert.get(), 2) != 1 ||
      BN_rand(serial.get(), 64, BN_RAND_TOP_ONE, BN_RAND_BOTTOM_ANY) != 1 ||
      BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(cert.get())) == nullptr ||
      X509_gmtime_adj(X509_getm_notBefore(cert.get()), spec.validFromSeconds) == nullptr ||
      X509_gmtime_adj(X509_getm_notAfter(cert.get()), spec.validUntilSeconds) == nullptr ||
      X509_set_pubkey(cert.get(), key) != 1) {
    return nullptr;
  }
  X509_NAME* subject = X509_get_subject_name(cert.get());
  const auto* name = reinterpret_cast<const unsigned char*>(spec.commonName.c_str());
  if (X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC, name, -1, -1, 0) != 1) {
    return nullptr;
  }
  return cert;
}

bool ToPem(X509* cert, EVP_PKEY* key, PemCredential* out) {
  Owned<BIO> certBio(BIO_new(BIO_s_mem()));
  Owned<BIO> keyBio(BIO_new(BIO_s_mem()));
  if (!certBio || !keyBio || PEM_write_bio_X509(certBio.get(), cert) != 1 ||
      PEM_write_bio_PrivateKey(keyBio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1) {
    return false;
  }
  char* data = nullptr;
  long length = BIO_get_mem_data(certBio.get(), &data);
  out->certificate.assign(data, static_cast<std::size_t>(length));
  length = BIO_get_mem_data(keyBio.get(), &data);
  out->privateKey.assign(data, static_cast<std::size_t>(length));
  return true;
}

// "DNS:a,IP:b" for the subjectAltName extension. A name holding a comma or
// a control byte would inject another entry: refused.
bool AltNames(const CertificateSpec& spec, std::string* text) {
  text->clear();
  auto add = [text](const char* kind, const std::string& name) {
    if (name.empty()) return false;
    for (char c : name) {
      if (c == ',' || static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return false;
    }
    if (!text->empty()) text->push_back(',');
    text->append(kind).append(name);
    return true;
  };
  for (const std::string& name : spec.dnsNames) {
    if (!add("DNS:", name)) return false;
  }
  for (const std::string& address : spec.ipAddresses) {
    if (!add("IP:", address)) return false;
  }
  return true;
}

}  // namespace

bool CreateCertificateAuthority(const CertificateSpec& spec, PemCredential* ca, std::string* error) {
  Owned<EVP_PKEY> key = NewKey();
  if (!key) return Fail("cannot generate the CA key", error);
  Owned<X509> cert = NewCertificate(key.get(), spec);
  if (!cert) return Fail("cannot build the CA certificate", error);
  X509* self = cert.get();
  if (X509_set_issuer_name(self, X509_get_subject_name(self)) != 1 ||
      !AddExtension(self, self, NID_basic_constraints, "critical,CA:TRUE") ||
      !AddExtension(self, self, NID_key_usage, "critical,keyCertSign,cRLSign") ||
      !AddExtension(self, self, NID_subject_key_identifier, "hash") ||
      !AddExtension(self, self, NID_authority_key_identifier, "keyid:always")) {
    return Fail("cannot add the CA certificate's extensions", error);
  }
  if (X509_sign(self, key.get(), EVP_sha256()) <= 0) {
    return Fail("cannot sign the CA certificate", error);
  }
  if (!ToPem(self, key.get(), ca)) return Fail("cannot encode the CA", error);
  return true;
}

bool IssueServerCertificate(const PemCredential& issuer, const CertificateSpec& spec, PemCredential* server,
                            std::string* error) {
  std::string altNames;
  if (!AltNames(spec, &altNames)) {
    *error = "a certificate name is empty or holds a comma or control byte";
    return false;
  }
  Owned<BIO> certIn(BIO_new_mem_buf(issuer.certificate.data(), static_cast<int>(issuer.certificate.size())));
  Owned<BIO> keyIn(BIO_new_mem_buf(issuer.privateKey.data(), static_cast<int>(issuer.privateKey.size())));
  if (!certIn || !keyIn) return Fail("out of memory", error);
  Owned<X509> caCert(PEM_read_bio_X509(certIn.get(), nullptr, nullptr, nullptr));
  Owned<EVP_PKEY> caKey(PEM_read_bio_PrivateKey(keyIn.get(), nullptr, nullptr, nullptr));
  if (!caCert || !caKey) return Fail("cannot read the issuing CA", error);

  Owned<EVP_PKEY> key = NewKey();
  if (!key) return Fail("cannot generate the server key", error);
  Owned<X509> cert = NewCertificate(key.get(), spec);
  if (!cert) return Fail("cannot build the server certificate", error);
  X509* leaf = cert.get();
  if (X509_set_issuer_name(leaf, X509_get_subject_name(caCert.get())) != 1 ||
      !AddExtension(leaf, caCert.get(), NID_basic_constraints, "critical,CA:FALSE") ||
      !AddExtension(leaf, caCert.get(), NID_key_usage, "critical,digitalSignature") ||
      !AddExtension(leaf, caCert.get(), NID_ext_key_usage, "serverAuth") ||
      !AddExtension(leaf, caCert.get(), NID_subject_key_identifier, "hash") ||
      !AddExtension(leaf, caCert.get(), NID_authority_key_identifier, "keyid:always") ||
      (!altNames.empty() && !AddExtension(leaf, caCert.get(), NID_subject_alt_name, altNames))) {
    return Fail("cannot add the server certificate's extensions", error);
  }
  if (X509_sign(leaf, caKey.get(), EVP_sha256()) <= 0) {
    return Fail("cannot sign the server certificate", error);
  }
  if (!ToPem(leaf, key.get(), server)) return Fail("cannot encode the server certificate", error);
  return true;
}

bool WritePrivateFile(const std::string& path, const std::string& text, std::string* error) {
  UniqueFd file(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600));
  // An existing file keeps its mode through O_CREAT: tighten it.
  if (!file.valid() || ::fchmod(file.get(), 0600) != 0) {
    *error = path + ": " + std::strerror(errno);
    return false;
  }
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t wrote = ::write(file.get(), text.data() + done, text.size() - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) {
      *error = path + ": " + std::strerror(errno);
      return false;
    }
    done += static_cast<std::size_t>(wrote);
  }
  if (::close(file.Release()) != 0) {
    *error = path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

bool CreateLoopbackTlsFiles(const std::string& directory, TlsFiles* server, std::string* caFile,
                            std::string* error) {
  CertificateSpec caSpec;
  caSpec.commonName = "proxyhelper throwaway CA";
  PemCredential ca;
  if (!CreateCertificateAuthority(caSpec, &ca, error)) return false;

  CertificateSpec serverSpec;
  serverSpec.commonName = "localhost";
  serverSpec.dnsNames = {"localhost"};
  serverSpec.ipAddresses = {"127.0.0.1"};
  PemCredential leaf;
  if (!IssueServerCertificate(ca, serverSpec, &leaf, error)) return false;

  const std::string caPath = directory + "/ca.pem";
  const std::string certPath = directory + "/server.pem";
  const std::string keyPath = directory + "/server.key";
  if (!WritePrivateFile(caPath, ca.certificate, error) ||
      !WritePrivateFile(certPath, leaf.certificate, error) ||
      !WritePrivateFile(keyPath, leaf.privateKey, error)) {
    return false;
  }
  server->certificateFile = certPath;
  server->privateKeyFile = keyPath;
  *caFile = caPath;
  return true;
}

}  // namespace devserver
