#include "certs/SslSupport.h"

#include "files/BoundedRead.h"

#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/provider.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>

namespace orvo::ck::detail {

std::string takeSslErrors(std::string_view what) {
  std::string text(what);
  unsigned long code = 0;
  bool first = true;
  while ((code = ERR_get_error()) != 0) {
    char buf[256];
    ERR_error_string_n(code, buf, sizeof buf);
    text += first ? ": " : "; ";
    text += buf;
    first = false;
  }
  return text;
}

namespace {

std::string errnoText(const std::string& what, const std::string& path) {
  return what + " '" + path + "': " + std::strerror(errno);
}

class Fd {
public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) {
      ::close(fd_);
    }
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  // Closes now, reporting the result (a failed close may lose written data).
  bool close() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

private:
  int fd_;
};

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

} // namespace

bool readInputFile(const std::string& path, std::string& out, std::string& error) {
  const files::ReadResult read = files::ReadRegularFile(path, out);
  switch (read.status) {
  case files::ReadStatus::Read:
    return true;
  case files::ReadStatus::NotRegular:
    error = "not a plain file: '" + path + "'";
    break;
  case files::ReadStatus::TooLarge:
    error = "file too large for a certificate or key: '" + path + "'";
    break;
  case files::ReadStatus::Missing:
  case files::ReadStatus::Failed:
    error = read.error;
    break;
  }
  return false;
}

bool writeFileReplacing(const std::string& path, std::string_view bytes, FileKind kind,
                        std::string& error) {
  namespace fs = std::filesystem;
  // A link at path is replaced by the new file, never followed: a link planted
  // among scratch files must not carry a key to the file it points to.
  const fs::path target = path;
  struct stat old {};
  const bool replacing = ::lstat(target.c_str(), &old) == 0;
  if (replacing && S_ISLNK(old.st_mode)) {
    error = "the file is a link: '" + path + "'";
    return false;
  }
  if (replacing && !S_ISREG(old.st_mode)) {
    error = "not a plain file: '" + path + "'";
    return false;
  }
  // A file without any write bit is meant to stay as it is, even for root.
  if (replacing &&
      ((old.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0 || ::access(target.c_str(), W_OK) != 0)) {
    error = "the file is read-only: '" + path + "'";
    return false;
  }
  const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
  std::string tmp = (folder / ("." + target.filename().string() + ".XXXXXX")).string();
  Fd fd(::mkostemp(tmp.data(), O_CLOEXEC)); // created with mode 0600
  if (fd.get() < 0) {
    error = errnoText("cannot create a file in", folder.string());
    return false;
  }
  const mode_t mode = replacing ? (old.st_mode & 07777)
                                : (kind == FileKind::PrivateKey ? mode_t{0600} : mode_t{0644});
  // The data reaches the disk before the rename only where an old file could
  // otherwise be lost to a crash. A new file has nothing to lose, and the
  // PEM files are new when first written and then replaced by their cleaned
  // form (RemoveEmptyLines), which is synced: one wait for the disk per file
  // instead of two, and none for a scratch file that replaces nothing.
  bool ok = writeAll(fd.get(), bytes) && (!replacing || ::fsync(fd.get()) == 0);
  if (ok && replacing && (old.st_uid != ::geteuid() || old.st_gid != ::getegid())) {
    // Keeping the owner needs privileges; without them the file is ours.
    (void)::fchown(fd.get(), old.st_uid, old.st_gid);
  }
  ok = ok && ::fchmod(fd.get(), mode) == 0;
  ok = fd.close() && ok;
  if (!ok || ::rename(tmp.c_str(), target.c_str()) != 0) {
    error = errnoText("cannot write", path);
    ::unlink(tmp.c_str());
    return false;
  }
  return true;
}

ssl::BIOPtr readOnlyBio(std::string_view bytes) {
  return ssl::BIOPtr(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
}

bool forEachPemBlock(BIO* bio, const std::function<bool(const PemBlock&)>& visit) {
  while (bio != nullptr) {
    char* name = nullptr;
    char* header = nullptr;
    unsigned char* data = nullptr;
    long len = 0;
    if (PEM_read_bio(bio, &name, &header, &data, &len) != 1) {
      const unsigned long err = ERR_peek_last_error();
      return ERR_GET_LIB(err) == ERR_LIB_PEM && ERR_GET_REASON(err) == PEM_R_NO_START_LINE;
    }
    const ssl::OpensslString ownedName(name);
    const ssl::OpensslString ownedHeader(header);
    const ssl::OpensslBytes ownedData(data);
    if (!visit(PemBlock{name != nullptr ? name : "", header != nullptr ? header : "", data, len})) {
      break;
    }
  }
  return true;
}

std::string bioBytes(BIO* bio) {
  char* data = nullptr;
  const long len = BIO_get_mem_data(bio, &data);
  return len > 0 ? std::string(data, static_cast<size_t>(len)) : std::string();
}

Fingerprint fingerprint(const X509* cert) {
  Fingerprint fp{};
  unsigned int len = 0;
  if (X509_digest(cert, EVP_sha1(), fp.data(), &len) != 1) {
    ERR_clear_error();
    fp.fill(0);
  }
  return fp;
}

namespace {

OSSL_PROVIDER* gDefaultProvider = nullptr;
OSSL_PROVIDER* gLegacyProvider = nullptr;

// Runs before OpenSSL's own clean-up (atexit handlers run in reverse order and
// OpenSSL registered its handler when it was first used): a provider that is
// still loaded at clean-up leaks its child library context.
void unloadProviders() {
  if (gLegacyProvider != nullptr) {
    OSSL_PROVIDER_unload(gLegacyProvider);
  }
  if (gDefaultProvider != nullptr) {
    OSSL_PROVIDER_unload(gDefaultProvider);
  }
}

} // namespace

bool ensureLegacyProvider() {
  static const bool loaded = [] {
    // Loading a provider explicitly stops the default one from loading by
    // itself, so both are loaded.
    gDefaultProvider = OSSL_PROVIDER_load(nullptr, "default");
    gLegacyProvider = OSSL_PROVIDER_load(nullptr, "legacy");
    std::atexit(unloadProviders);
    ERR_clear_error();
    return gDefaultProvider != nullptr && gLegacyProvider != nullptr;
  }();
  return loaded;
}

bool loadLegacyProviderNow() {
  static std::atomic<bool> tried = false;
  if (tried.exchange(true)) {
    return false;
  }
  return ensureLegacyProvider();
}

std::string keyTypeName(const EVP_PKEY* key) {
  if (key == nullptr) {
    return {};
  }
  switch (EVP_PKEY_get_base_id(key)) {
  case EVP_PKEY_RSA:
    return "RSA";
  case EVP_PKEY_RSA_PSS:
    return "RSA-PSS";
  case EVP_PKEY_ED25519:
    return "Ed25519";
  case EVP_PKEY_ED448:
    return "Ed448";
  case EVP_PKEY_DSA:
    return "DSA";
  case EVP_PKEY_EC: {
    char group[80] = {};
    size_t length = 0;
    if (EVP_PKEY_get_utf8_string_param(key, OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof group,
                                       &length) != 1) {
      ERR_clear_error();
      return "EC with explicit curve parameters";
    }
    const int nid = OBJ_sn2nid(group);
    const char* nist = nid != NID_undef ? EC_curve_nid2nist(nid) : nullptr;
    return "EC " + std::string(nist != nullptr ? nist : group);
  }
  default:
    break;
  }
  const char* name = EVP_PKEY_get0_type_name(key);
  return name != nullptr ? std::string(name) : std::string("unknown");
}

std::string publicKeyDer(const EVP_PKEY* key) {
  unsigned char* der = nullptr;
  const int len = key != nullptr ? i2d_PUBKEY(key, &der) : -1;
  if (len <= 0) {
    ERR_clear_error();
    return {};
  }
  const ssl::OpensslBytes owned(der);
  return std::string(reinterpret_cast<const char*>(der), static_cast<std::size_t>(len));
}

int passwordCallback(char* buf, int size, int /*rwflag*/, void* user) {
  if (user == nullptr || size <= 0) {
    return -1;
  }
  const auto* password = static_cast<const std::string*>(user);
  if (password->size() > static_cast<size_t>(size)) {
    return -1;
  }
  std::copy(password->begin(), password->end(), buf);
  return static_cast<int>(password->size());
}

ssl::X509Ptr upRef(X509* cert) {
  if (cert == nullptr || X509_up_ref(cert) != 1) {
    return nullptr;
  }
  return ssl::X509Ptr(cert);
}

ssl::EVP_PKEYPtr upRef(EVP_PKEY* key) {
  if (key == nullptr || EVP_PKEY_up_ref(key) != 1) {
    return nullptr;
  }
  return ssl::EVP_PKEYPtr(key);
}

std::string base64Encode(std::string_view bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                reinterpret_cast<const unsigned char*>(bytes.data()),
                                static_cast<int>(bytes.size()));
  out.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return out;
}

bool base64Decode(std::string_view text, std::string& out) {
  std::string clean;
  clean.reserve(text.size());
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u <= ' ') {
      continue;
    }
    if (!(std::isalnum(u) || c == '+' || c == '/' || c == '=')) {
      return false;
    }
    clean.push_back(c);
  }
  while (clean.size() % 4 != 0) {
    clean.push_back('='); // tolerate missing padding
  }
  const size_t pad = clean.empty() ? 0 : (clean.end()[-1] == '=') + (clean.end()[-2] == '=');
  if (clean.find('=') < clean.size() - pad) {
    return false; // padding only at the end
  }
  out.assign(clean.size() / 4 * 3, '\0');
  const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                reinterpret_cast<const unsigned char*>(clean.data()),
                                static_cast<int>(clean.size()));
  if (n < 0 || static_cast<size_t>(n) < pad) {
    return false;
  }
  out.resize(static_cast<size_t>(n) - pad);
  return true;
}

namespace {

bool plausibleIterations(const ASN1_INTEGER* iterations) {
  std::int64_t value = 0;
  return iterations == nullptr || (ASN1_INTEGER_get_int64(&value, iterations) == 1 && value > 0 &&
                                   value <= kMaxPbeIterations);
}

} // namespace

// The iteration count of a PKCS#5 (v1 or v2 with PBKDF2) or PKCS#12
// encryption algorithm; other algorithms pass.
bool plausiblePbe(const X509_ALGOR* alg) {
  const ASN1_OBJECT* oid = nullptr;
  int ptype = 0;
  const void* pval = nullptr;
  X509_ALGOR_get0(&oid, &ptype, &pval, alg);
  if (ptype != V_ASN1_SEQUENCE) {
    return true;
  }
  const auto* param = static_cast<const ASN1_STRING*>(pval);
  const unsigned char* p = ASN1_STRING_get0_data(param);
  const long len = ASN1_STRING_length(param);
  if (OBJ_obj2nid(oid) != NID_pbes2) {
    using PbePtr = ssl::Ptr<PBEPARAM, PBEPARAM_free>;
    const PbePtr pbe(d2i_PBEPARAM(nullptr, &p, len));
    return pbe == nullptr || plausibleIterations(pbe->iter);
  }
  using Pbe2Ptr = ssl::Ptr<PBE2PARAM, PBE2PARAM_free>;
  using Pbkdf2Ptr = ssl::Ptr<PBKDF2PARAM, PBKDF2PARAM_free>;
  const Pbe2Ptr pbe2(d2i_PBE2PARAM(nullptr, &p, len));
  if (pbe2 == nullptr || pbe2->keyfunc == nullptr ||
      OBJ_obj2nid(pbe2->keyfunc->algorithm) != NID_id_pbkdf2 ||
      pbe2->keyfunc->parameter == nullptr || pbe2->keyfunc->parameter->type != V_ASN1_SEQUENCE) {
    return true;
  }
  const ASN1_STRING* kdf = pbe2->keyfunc->parameter->value.sequence;
  const unsigned char* q = ASN1_STRING_get0_data(kdf);
  const Pbkdf2Ptr pbkdf2(d2i_PBKDF2PARAM(nullptr, &q, ASN1_STRING_length(kdf)));
  return pbkdf2 == nullptr || plausibleIterations(pbkdf2->iter);
}

} // namespace orvo::ck::detail
