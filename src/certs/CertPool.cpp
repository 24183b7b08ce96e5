#include "certs/CertPool.h"

#include <openssl/err.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string_view>
#include <utility>

namespace orvo::ck::detail {

namespace {

unsigned long nameKey(const X509_NAME* name) {
  int ok = 0;
  const unsigned long key = X509_NAME_hash_ex(name, nullptr, nullptr, &ok);
  if (ok != 1) {
    ERR_clear_error();
    return 0;
  }
  return key;
}

std::atomic<std::uint64_t> gGeneration{0};

} // namespace

std::uint64_t poolGeneration() {
  return gGeneration.load();
}

bool CertPool::add(X509* cert) {
  if (cert == nullptr) {
    return false;
  }
  const Fingerprint fp = fingerprint(cert);
  const unsigned long key = nameKey(X509_get_subject_name(cert));
  std::lock_guard lock(mutex_);
  if (!known_.insert(fp).second) {
    return false;
  }
  bySubject_.emplace(key, upRef(cert));
  ++gGeneration;
  return true;
}

void CertPool::findBySubject(const X509_NAME* name, std::vector<ssl::X509Ptr>& out) const {
  const unsigned long key = nameKey(name);
  std::lock_guard lock(mutex_);
  const auto [first, last] = bySubject_.equal_range(key);
  for (auto it = first; it != last; ++it) {
    if (X509_NAME_cmp(X509_get_subject_name(it->second.get()), name) == 0) {
      out.push_back(upRef(it->second.get()));
    }
  }
}

bool CertPool::contains(const X509* cert) const {
  const Fingerprint fp = fingerprint(cert);
  std::lock_guard lock(mutex_);
  return known_.count(fp) != 0;
}

std::vector<ssl::X509Ptr> CertPool::all() const {
  std::lock_guard lock(mutex_);
  std::vector<ssl::X509Ptr> out;
  out.reserve(bySubject_.size());
  for (const auto& entry : bySubject_) {
    out.push_back(upRef(entry.second.get()));
  }
  return out;
}

std::size_t CertPool::size() const {
  std::lock_guard lock(mutex_);
  return bySubject_.size();
}

CertPool& loadedCaPool() {
  static CertPool pool;
  return pool;
}

void rememberIfCa(X509* cert) {
  if (cert != nullptr && X509_check_ca(cert) > 0) {
    loadedCaPool().add(cert);
  }
}

// ---- Parsing -------------------------------------------------------------------------------

namespace {

// The length of the first DER element (header and content), or 0.
long derElementLength(const unsigned char* der, long len) {
  const unsigned char* p = der;
  long content = 0;
  int tag = 0;
  int cls = 0;
  const int rc = ASN1_get_object(&p, &content, &tag, &cls, len);
  if ((rc & 0x80) != 0 || rc == 0x21 /* indefinite length */) {
    ERR_clear_error();
    return 0;
  }
  return static_cast<long>(p - der) + content;
}

struct ParseCache {
  std::mutex mutex;
  std::map<Fingerprint, ssl::X509Ptr> certs;
};

ParseCache& parseCache() {
  static ParseCache cache;
  return cache;
}

Fingerprint sha1(const unsigned char* data, long len) {
  Fingerprint fp{};
  unsigned int size = 0;
  if (EVP_Digest(data, static_cast<size_t>(len), fp.data(), &size, EVP_sha1(), nullptr) != 1) {
    ERR_clear_error();
    fp.fill(0);
  }
  return fp;
}

} // namespace

ssl::X509Ptr parseCertificate(const unsigned char* der, long len) {
  const long size = der != nullptr && len > 0 ? derElementLength(der, len) : 0;
  if (size <= 0 || size > len) {
    return nullptr;
  }
  const Fingerprint key = sha1(der, size);
  auto& cache = parseCache();
  {
    std::lock_guard lock(cache.mutex);
    if (const auto it = cache.certs.find(key); it != cache.certs.end()) {
      return upRef(it->second.get());
    }
  }
  const unsigned char* p = der;
  ssl::X509Ptr cert(d2i_X509(nullptr, &p, size));
  if (cert == nullptr) {
    return nullptr;
  }
  std::lock_guard lock(cache.mutex);
  if (cache.certs.size() >= 8192) {
    cache.certs.clear(); // bounded; a miss only costs a parse
  }
  cache.certs.emplace(key, upRef(cert.get()));
  return cert;
}

// ---- Trust store --------------------------------------------------------------------------

TrustStore& TrustStore::instance() {
  static TrustStore store;
  return store;
}

namespace {

std::string envOr(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : fallback;
}

// The subject of a DER certificate, read without parsing the rest of it:
// Certificate ::= SEQUENCE { tbsCertificate SEQUENCE { [0] version OPTIONAL,
// serialNumber, signature, issuer, validity, subject, ... } ... } (RFC 5280).
ssl::X509_NAMEPtr subjectOfDer(const std::string& der) {
  const auto* p = reinterpret_cast<const unsigned char*>(der.data());
  const unsigned char* end = p + der.size();
  long len = 0;
  int tag = 0;
  int cls = 0;
  auto enter = [&] { // steps into a constructed element
    const int rc = ASN1_get_object(&p, &len, &tag, &cls, end - p);
    return (rc & 0x80) == 0 && (rc & V_ASN1_CONSTRUCTED) != 0 && rc != 0x21;
  };
  auto skip = [&] { // steps over one element
    const unsigned char* q = p;
    const int rc = ASN1_get_object(&q, &len, &tag, &cls, end - p);
    if ((rc & 0x80) != 0 || rc == 0x21 || len > end - q) {
      return false;
    }
    p = q + len;
    return true;
  };
  if (!enter() || !enter()) { // Certificate, tbsCertificate
    ERR_clear_error();
    return nullptr;
  }
  if (p < end && *p == 0xA0 && !skip()) { // [0] version
    return nullptr;
  }
  for (int i = 0; i < 4; ++i) { // serial, signature, issuer, validity
    if (!skip()) {
      ERR_clear_error();
      return nullptr;
    }
  }
  ssl::X509_NAMEPtr name(d2i_X509_NAME(nullptr, &p, end - p));
  ERR_clear_error();
  return name;
}

} // namespace

void TrustStore::useLocations(const std::string& file, const std::string& dir) {
  std::lock_guard lock(mutex_);
  file_ = file;
  dir_ = dir;
  entries_.clear();
  bySubject_.clear();
  anchors_.clear();
  foldersSearched_.clear();
  ++gGeneration;
  indexPemFileLocked(file_);
  loaded_ = true;
}

void TrustStore::loadLocked() {
  if (loaded_) {
    return;
  }
  file_ = envOr(X509_get_default_cert_file_env(), X509_get_default_cert_file());
  dir_ = envOr(X509_get_default_cert_dir_env(), X509_get_default_cert_dir());
  indexPemFileLocked(file_);
  loaded_ = true;
}

// Every certificate block of a PEM file (a bundle such as ca-certificates.crt).
void TrustStore::indexPemFileLocked(const std::string& path) {
  const ssl::BIOPtr bio(path.empty() ? nullptr : BIO_new_file(path.c_str(), "rb"));
  detail::forEachPemBlock(bio.get(), [this](const detail::PemBlock& block) {
    indexPemBlockLocked(block);
    return true;
  });
  ERR_clear_error(); // the end of the file reads as "no start line"
}

// A certificate block of the trust bundle becomes an anchor, once per
// certificate; other blocks are skipped.
void TrustStore::indexPemBlockLocked(const PemBlock& block) {
  if (block.name != PEM_STRING_X509 && block.name != PEM_STRING_X509_OLD &&
      block.name != PEM_STRING_X509_TRUSTED) {
    return;
  }
  const long size = derElementLength(block.data, block.len); // without the trust settings
  if (size <= 0 || size > block.len) {
    return;
  }
  std::string der(reinterpret_cast<const char*>(block.data), static_cast<size_t>(size));
  const ssl::X509_NAMEPtr subject = subjectOfDer(der);
  if (subject == nullptr || !anchors_.insert(sha1(block.data, size)).second) {
    return;
  }
  bySubject_.emplace(nameKey(subject.get()), entries_.size());
  ++gGeneration;
  entries_.push_back(Entry{std::move(der), nameKey(subject.get())});
}

// The folder holds certificates under the OpenSSL names <subject hash>.<n>;
// only the names of the wanted subject are read, once per subject.
void TrustStore::lookInFolderLocked(const X509_NAME* name) {
  const unsigned long hash = nameKey(name);
  if (dir_.empty() || !foldersSearched_.insert(hash).second) {
    return;
  }
  char base[16];
  std::snprintf(base, sizeof base, "%08lx", hash);
  std::string::size_type start = 0;
  while (start <= dir_.size()) {
    const auto end = std::min(dir_.find(':', start), dir_.size());
    const std::string folder = dir_.substr(start, end - start);
    for (int n = 0; !folder.empty(); ++n) {
      const std::string path = folder + "/" + base + "." + std::to_string(n);
      std::error_code ec;
      if (!std::filesystem::exists(path, ec)) {
        break;
      }
      indexPemFileLocked(path);
    }
    start = end + 1;
  }
}

void TrustStore::findBySubject(const X509_NAME* name, std::vector<ssl::X509Ptr>& out) {
  std::lock_guard lock(mutex_);
  loadLocked();
  lookInFolderLocked(name);
  const auto [first, last] = bySubject_.equal_range(nameKey(name));
  for (auto it = first; it != last; ++it) {
    const std::string& der = entries_[it->second].der;
    ssl::X509Ptr cert = parseCertificate(reinterpret_cast<const unsigned char*>(der.data()),
                                         static_cast<long>(der.size()));
    if (cert != nullptr && X509_NAME_cmp(X509_get_subject_name(cert.get()), name) == 0) {
      out.push_back(std::move(cert));
    }
  }
  ERR_clear_error();
}

bool TrustStore::isAnchor(const X509* cert) {
  std::lock_guard lock(mutex_);
  loadLocked();
  lookInFolderLocked(X509_get_subject_name(cert));
  return anchors_.count(fingerprint(cert)) != 0;
}

// ---- Signatures -----------------------------------------------------------------

namespace {

struct SignatureCache {
  std::mutex mutex;
  std::map<std::pair<Fingerprint, Fingerprint>, bool> results;
};

SignatureCache& signatureCache() {
  static SignatureCache cache;
  return cache;
}

} // namespace

bool signedBy(const X509* child, const X509* issuer) {
  if (child == nullptr || issuer == nullptr) {
    return false;
  }
  const auto key = std::make_pair(fingerprint(child), fingerprint(issuer));
  auto& cache = signatureCache();
  {
    std::lock_guard lock(cache.mutex);
    if (const auto it = cache.results.find(key); it != cache.results.end()) {
      return it->second;
    }
  }
  bool ok = false;
  if (X509_NAME_cmp(X509_get_issuer_name(child), X509_get_subject_name(issuer)) == 0) {
    EVP_PKEY* key = X509_get0_pubkey(issuer);
    ok = key != nullptr && X509_verify(const_cast<X509*>(child), key) == 1;
  }
  ERR_clear_error();
  std::lock_guard lock(cache.mutex);
  if (cache.results.size() > 200000) {
    cache.results.clear(); // bounded; a miss only costs a verification
  }
  cache.results.emplace(key, ok);
  return ok;
}

bool isSelfSigned(const X509* cert) {
  return cert != nullptr &&
         X509_NAME_cmp(X509_get_subject_name(cert), X509_get_issuer_name(cert)) == 0 &&
         (TrustStore::instance().isAnchor(cert) || signedBy(cert, cert));
}

} // namespace orvo::ck::detail
