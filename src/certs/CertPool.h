#pragma once
// Pools of certificates that chain building searches for issuers: the XML
// certificate vault, every CA certificate the layer has loaded in this process
// and the system's trust store. Internal to src/certs.
//
// Note to maintainers: chain building and the facts that rest on it run for
// every certificate a folder scan loads (a thousand files must take well under
// 100 ms), so lookups go through an index by subject name, signature checks
// are remembered per (certificate, issuer) pair, and the trust store is read
// once per process, on first need.

#include "certs/OpenSslPtr.h"
#include "certs/SslSupport.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

namespace orvo::ck::detail {

// A growing set of certificates, without duplicates, indexed by subject.
// Certificates are never removed, so pointers handed out stay valid as long
// as the pool lives. Thread-safe.
class CertPool {
public:
  // False when the certificate was already there.
  bool add(X509* cert);
  // Appends new references to every certificate whose subject is name.
  void findBySubject(const X509_NAME* name, std::vector<ssl::X509Ptr>& out) const;
  bool contains(const X509* cert) const;
  std::vector<ssl::X509Ptr> all() const;
  std::size_t size() const;

private:
  mutable std::mutex mutex_;
  std::unordered_multimap<unsigned long, ssl::X509Ptr> bySubject_;
  std::set<Fingerprint> known_;
};

// Grows whenever a certificate joins any pool or the trust store's index, so
// that a chain built earlier can tell that it may have become stale.
std::uint64_t poolGeneration();

// Every CA certificate the layer has loaded in this process, as the system's
// chain engine keeps the intermediates it has seen.
CertPool& loadedCaPool();
// Adds cert to loadedCaPool() when it is a CA certificate.
void rememberIfCa(X509* cert);

// The system's trust store: OpenSSL's default certificate file and folder
// (SSL_CERT_FILE and SSL_CERT_DIR override them). On first use the file is
// indexed without parsing its certificates: each is kept as DER under the hash
// of its subject and its fingerprint, and parsed only when a chain needs it.
// The folder is searched by subject hash (<hash>.0, .1, ...), once per subject.
class TrustStore {
public:
  static TrustStore& instance();
  void findBySubject(const X509_NAME* name, std::vector<ssl::X509Ptr>& out);
  bool isAnchor(const X509* cert);
  // Tests: read the given locations instead, from now on ("" for none).
  void useLocations(const std::string& file, const std::string& dir);

private:
  struct Entry {
    std::string der;
    unsigned long subjectHash;
  };
  void loadLocked();
  void indexPemFileLocked(const std::string& path);
  void indexPemBlockLocked(const PemBlock& block);
  void lookInFolderLocked(const X509_NAME* name);
  std::mutex mutex_;
  bool loaded_ = false;
  std::string file_;
  std::string dir_;
  std::vector<Entry> entries_;
  std::unordered_multimap<unsigned long, std::size_t> bySubject_;
  std::set<Fingerprint> anchors_;
  std::set<unsigned long> foldersSearched_;
};

// Parses one DER certificate (the first DER element of der). The same bytes
// parsed before in this process yield the same object again: OpenSSL 3.0
// spends most of a parse decoding the public key, and folders, links, bundles
// and the trust store hold the same certificates many times over.
ssl::X509Ptr parseCertificate(const unsigned char* der, long len);

// Whether child's signature verifies with issuer's public key; the answer is
// remembered per pair of certificates for the rest of the process.
bool signedBy(const X509* child, const X509* issuer);
// Issuer equals subject and the signature verifies with the certificate's own
// key. The self-signature of a trust anchor is not checked, as OpenSSL's own
// verifier does not check it: the anchor is trusted as it stands.
bool isSelfSigned(const X509* cert);

} // namespace orvo::ck::detail
