#include "certs/CertPool.h"

#include <openssl/err.h>

#include <cstdlib>
#include <filesystem>
#include <map>
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

} // namespace

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

// ---- Trust store --------------------------------------------------------------

TrustStore& TrustStore::instance() {
  static TrustStore store;
  return store;
}

namespace {

std::string envOr(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : fallback;
}

// Every certificate of a PEM file (a bundle such as ca-certificates.crt).
void readPemCerts(const std::string& path, CertPool& pool) {
  ssl::BIOPtr bio(BIO_new_file(path.c_str(), "rb"));
  if (bio == nullptr) {
    ERR_clear_error();
    return;
  }
  while (true) {
    ssl::X509Ptr cert(PEM_read_bio_X509_AUX(bio.get(), nullptr, nullptr, nullptr));
    if (cert == nullptr) {
      break;
    }
    pool.add(cert.get());
  }
  ERR_clear_error(); // the end of the file reads as "no start line"
}

} // namespace

void TrustStore::useLocations(const std::string& file, const std::string& dir) {
  std::lock_guard lock(mutex_);
  file_ = file;
  dir_ = dir;
  pool_ = std::make_unique<CertPool>();
  foldersSearched_.clear();
  readPemCerts(file_, *pool_);
  loaded_ = true;
}

void TrustStore::loadLocked() {
  if (loaded_) {
    return;
  }
  file_ = envOr(X509_get_default_cert_file_env(), X509_get_default_cert_file());
  dir_ = envOr(X509_get_default_cert_dir_env(), X509_get_default_cert_dir());
  pool_ = std::make_unique<CertPool>();
  readPemCerts(file_, *pool_);
  loaded_ = true;
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
      readPemCerts(path, *pool_);
    }
    start = end + 1;
  }
}

void TrustStore::findBySubject(const X509_NAME* name, std::vector<ssl::X509Ptr>& out) {
  std::lock_guard lock(mutex_);
  loadLocked();
  lookInFolderLocked(name);
  pool_->findBySubject(name, out);
}

bool TrustStore::isAnchor(const X509* cert) {
  std::lock_guard lock(mutex_);
  loadLocked();
  lookInFolderLocked(X509_get_subject_name(cert));
  return pool_->contains(cert);
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
         signedBy(cert, cert);
}

} // namespace orvo::ck::detail
