#pragma once
// Test PKI: certificates, keys, CRLs and files of every format the certificate
// layer reads, made at test time through the OpenSSL API with fixed names and
// validity relative to now, so that no checked-in file can expire.
//
// Typical use:
//
//   auto& pki = orvo::test::TestPki::instance();
//   orvo::test::TestCert server = pki.server();              // "server.test.local"
//   orvo::test::writeCertPem(dir / "cert.pem", server);
//   orvo::test::writeKey(dir / "key.pem", server, orvo::test::KeyFormat::PemRsa);
//   orvo::test::writeCertsPem(dir / "fullchain.pem", {server, pki.intermediate()});
//
//   CertSpec certSpec;                                           // a variant
//   certSpec.commonName = "old.test.local";
//   certSpec.notAfter = -orvo::test::days(1);                    // expired yesterday
//   TestCert old = pki.issue(certSpec);                          // signed by the intermediate
//
// Chain: "Orvo Test Root CA" (self-signed) -> "Orvo Test Intermediate CA" ->
// leaves. All names carry O="Orvo Test", C="DE".
//
// Cost: RSA key generation is slow (most of all under the sanitizers), so keys
// come from a cache keyed by (bits, slot): generated once per machine, kept as
// PEM files below $ORVO_TESTPKI_CACHE or /tmp/orvo-testpki-<uid>, and held in
// memory for the rest of the process. Certificates that take the same slot
// share a key; give a certificate its own slot (CertSpec::keySlot) when a test
// needs a key that does not pair with another certificate.
//
// Writers throw std::runtime_error when OpenSSL or the file system fails, which
// GoogleTest reports as a failed test. Everything here is thread-safe.

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace orvo::test {

using Seconds = std::chrono::seconds;
constexpr Seconds days(long n) {
  return Seconds(n * 86400L);
}

// A certificate and its private key, shared and cheap to copy.
struct TestCert {
  std::shared_ptr<X509> cert;
  std::shared_ptr<EVP_PKEY> key;

  X509* x509() const { return cert.get(); }
  EVP_PKEY* pkey() const { return key.get(); }
  // Upper-case hex without separators, as the certificate layer shows it.
  std::string serialHex() const;
};

// What a certificate is meant for; decides the basic constraints, key usage
// and extended key usage extensions.
enum class Usage {
  Server,       // CA:FALSE, digitalSignature+keyEncipherment, EKU serverAuth
  ServerClient, // as Server, EKU serverAuth+clientAuth
  Client,       // CA:FALSE, digitalSignature, EKU clientAuth only
  CodeSigning,  // CA:FALSE, digitalSignature, EKU codeSigning only
  OcspSigning,  // CA:FALSE, digitalSignature, EKU OCSPSigning: a delegated OCSP responder
  Ca,           // CA:TRUE (critical), keyCertSign+cRLSign
  CaServer,     // CA:TRUE with EKU serverAuth+clientAuth, as ACME intermediates carry
  Unrestricted, // no basic constraints, key usage or EKU at all
};

// The name of the test machine: every test process names this computer so
// (ORVO_HOST_NAMES, set when the process starts unless it is set already), and
// server certificates name it by default, so that only the tests of the
// host-name warning see it.
inline constexpr const char* kTestHostName = "host.test.local";

// The key types a certificate may have. RSA keys come from the disk cache
// (see Cost above), as do RSA-PSS and DSA keys; the others are quick to make.
enum class KeyType {
  Rsa,
  RsaPss,
  EcP256,
  EcP384,
  EcP521,
  EcSecp256k1, // a curve no browser takes and the importer refuses
  Ed25519,
  Ed448,
  Dsa,
};

struct CertSpec {
  std::string commonName = "server.test.local";
  std::string organization = "Orvo Test";
  std::string country = "DE";
  // Subject alternative names. DNS names default to the common name and
  // kTestHostName when both lists are empty and the usage is a server one.
  std::vector<std::string> dnsNames{};
  std::vector<std::string> emails{};
  Usage usage = Usage::Server;
  // Validity relative to the time the certificate is made.
  Seconds notBefore = -days(7);
  Seconds notAfter = days(30);
  KeyType keyType = KeyType::Rsa;
  int keyBits = 2048; // RSA, RSA-PSS and DSA only
  int keySlot = 2;    // 0 and 1 are the root's and the intermediate's keys
  // 0: a fresh serial unique in this process.
  std::uint64_t serial = 0;
  // Authority information access (OCSP) and CRL distribution point URLs.
  std::string ocspUrl{};
  std::string crlUrl{};
  // Authority information access: where the issuer's certificate is (caIssuers).
  std::string caIssuersUrl{};
};

class TestPki {
public:
  static TestPki& instance();

  // The fixed hierarchy; made on first use.
  const TestCert& root();
  const TestCert& intermediate();

  // A certificate signed by issuer (the intermediate when not given).
  TestCert issue(const CertSpec& certSpec);
  TestCert issue(const CertSpec& certSpec, const TestCert& issuer);
  // A certificate signed with its own key (issuer == subject).
  TestCert selfSigned(const CertSpec& certSpec);
  // Shorthand: a valid server certificate from the intermediate.
  TestCert server(const std::string& commonName = "server.test.local");

  // A cached RSA key; the same (bits, slot) yields the same key.
  std::shared_ptr<EVP_PKEY> rsaKey(int bits, int slot = 2);
  // A cached key of any type; bits count for RSA, RSA-PSS and DSA only.
  std::shared_ptr<EVP_PKEY> key(KeyType type, int bits = 2048, int slot = 2);

  // A CRL of issuer listing the given certificates as revoked, valid from an
  // hour ago for a week.
  std::shared_ptr<X509_CRL> crl(const TestCert& issuer, const std::vector<TestCert>& revoked);

  TestPki(const TestPki&) = delete;
  TestPki& operator=(const TestPki&) = delete;

private:
  TestPki();
  ~TestPki();
  struct Impl;
  std::unique_ptr<Impl> impl_;
  std::mutex mutex_;
};

// ---- Texts ----------------------------------------------------------------
std::string certPem(const TestCert& c);
std::string certDer(const TestCert& c);
std::string certBase64Der(const TestCert& c); // bare base64 of the DER, one line

// ---- Files ----------------------------------------------------------------
using Path = std::filesystem::path;

void writeFile(const Path& path, const std::string& bytes);
void writeCertPem(const Path& path, const TestCert& c);
// Several PEM certificates in the given order (bundle, chain.pem, fullchain.pem).
void writeCertsPem(const Path& path, const std::vector<TestCert>& certs);
void writeCertDer(const Path& path, const TestCert& c);
// A degenerate PKCS#7 SignedData (.p7b/.p7c) holding the certificates; DER
// unless pem is set ("BEGIN PKCS7").
void writePkcs7(const Path& path, const std::vector<TestCert>& certs, bool pem = false);

enum class PfxCipher {
  Modern,     // AES-256-CBC with PBKDF2, SHA-256 MAC (OpenSSL 3 default)
  LegacyRc2,  // RC2-40 for certificates, 3DES for the key, SHA-1 MAC
  Legacy3Des, // 3DES for both
};
struct PfxOptions {
  bool withCert = true; // false: a PKCS#12 holding only the key
  bool withKey = true;
  std::vector<TestCert> chain{}; // extra certificates after the leaf
  PfxCipher cipher = PfxCipher::Modern;
  std::string friendlyName = "orvo test";
};
void writePfx(const Path& path, const TestCert& c, const std::string& password,
              const PfxOptions& options = {});

// The traditional forms are the key type's own: PKCS#1 for RSA ("BEGIN RSA
// PRIVATE KEY"), SEC1 for EC ("BEGIN EC PRIVATE KEY"); Ed25519 and Ed448 have
// none. PemSec1 and DerSec1 are the same writers, named for EC keys.
enum class KeyFormat {
  PemRsa,            // traditional PEM, "BEGIN RSA PRIVATE KEY"
  PemSec1,           // traditional PEM, "BEGIN EC PRIVATE KEY"
  PemPkcs8,          // "BEGIN PRIVATE KEY"
  DerPkcs8,          // PKCS#8 PrivateKeyInfo, DER
  DerRsa,            // traditional DER: PKCS#1 RSAPrivateKey
  DerSec1,           // traditional DER: SEC1 ECPrivateKey
  PemRsaEncrypted,   // traditional PEM with "Proc-Type: 4,ENCRYPTED" (AES-256-CBC)
  PemDes3Encrypted,  // the same with DES-EDE3-CBC
  PemDesEncrypted,   // the same with single DES (a legacy cipher)
  PemPkcs8Encrypted, // "BEGIN ENCRYPTED PRIVATE KEY" (AES-256-CBC, PBKDF2)
  PemPkcs8Pbes1,     // "BEGIN ENCRYPTED PRIVATE KEY", PBES1 MD5 and DES (legacy)
  DerPkcs8Encrypted, // the same as PemPkcs8Encrypted in DER
  Pvk,               // Microsoft PVK, RC4-encrypted when a password is given
};
// The key in the given form; password is used by the encrypted forms and PVK.
std::string keyText(EVP_PKEY* key, KeyFormat format, const std::string& password = "");
void writeKey(const Path& path, EVP_PKEY* key, KeyFormat format, const std::string& password = "");
inline void writeKey(const Path& path, const TestCert& c, KeyFormat format,
                     const std::string& password = "") {
  writeKey(path, c.pkey(), format, password);
}

void writeCrlPem(const Path& path, X509_CRL* crl);
void writeCrlDer(const Path& path, X509_CRL* crl);

// A fresh, empty folder below the system's temporary folder, removed with
// everything in it when the object goes.
class TempDir {
public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const Path& path() const { return path_; }
  Path operator/(const std::string& name) const { return path_ / name; }

private:
  Path path_;
};

} // namespace orvo::test
