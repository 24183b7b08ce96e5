// Certificates, chains, stores and the XML certificate vault over libcrypto.
#include "certs/ChainVerifier.h"
#include "certs/CkData.h"
#include "certs/HostIdentity.h"
#include "certs/Revocation.h"
#include "certs/SslSupport.h"
#include "certs/StoreSources.h"

#include <openssl/err.h>
#include <openssl/provider.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <set>
#include <string_view>
#include <system_error>
#include <thread>

namespace orvo::ck {

using detail::takeSslErrors;

namespace {

// ---- Reading certificates -------------------------------------------------------

bool certsFromPkcs7(PKCS7* p7, std::vector<ssl::X509Ptr>& out) {
  if (p7 == nullptr || !PKCS7_type_is_signed(p7) || p7->d.sign == nullptr) {
    return false;
  }
  STACK_OF(X509)* certs = p7->d.sign->cert;
  for (int i = 0; i < sk_X509_num(certs); ++i) {
    out.push_back(detail::upRef(sk_X509_value(certs, i)));
  }
  STACK_OF(X509_CRL)* crls = p7->d.sign->crl;
  for (int i = 0; i < sk_X509_CRL_num(crls); ++i) {
    detail::addLocalCrl(sk_X509_CRL_value(crls, i)); // given with the certificates
  }
  return true;
}

bool certsFromDerPkcs7(const unsigned char* data, long len, std::vector<ssl::X509Ptr>& out) {
  const unsigned char* p = data;
  ssl::PKCS7Ptr p7(d2i_PKCS7(nullptr, &p, len));
  return certsFromPkcs7(p7.get(), out);
}

// Adds the certificates of one PEM block to out (a CRL block goes to the
// local CRLs; other kinds are skipped). False, with a reason in error, for a
// broken certificate or PKCS#7 block.
bool takeCertificateBlock(const detail::PemBlock& block, std::vector<ssl::X509Ptr>& out,
                          std::string& error) {
  const unsigned char* p = block.data;
  if (block.name == PEM_STRING_X509 || block.name == PEM_STRING_X509_OLD ||
      block.name == PEM_STRING_X509_TRUSTED) {
    ssl::X509Ptr cert = block.name == PEM_STRING_X509_TRUSTED
                            ? ssl::X509Ptr(d2i_X509_AUX(nullptr, &p, block.len))
                            : detail::parseCertificate(p, block.len);
    if (cert == nullptr) {
      error = takeSslErrors("broken certificate block");
      return false;
    }
    out.push_back(std::move(cert));
  } else if (block.name == PEM_STRING_PKCS7) {
    if (!certsFromDerPkcs7(block.data, block.len, out)) {
      error = takeSslErrors("broken PKCS#7 block");
      return false;
    }
  } else if (block.name == PEM_STRING_X509_CRL) {
    // A CRL given with the certificates; a broken one is only not used.
    const ssl::X509_CRLPtr crl(d2i_X509_CRL(nullptr, &p, block.len));
    detail::addLocalCrl(crl.get());
    ERR_clear_error();
  }
  return true;
}

// Every certificate of a PEM text (single, bundle, PKCS#7 blocks). A broken
// certificate block fails the whole text; blocks of other kinds (keys, CRLs)
// and text between blocks are skipped.
bool certsFromPem(std::string_view text, std::vector<ssl::X509Ptr>& out, std::string& error) {
  ssl::BIOPtr bio = detail::readOnlyBio(text);
  if (bio == nullptr) {
    error = takeSslErrors("reading the PEM text");
    return false;
  }
  bool broken = false;
  const bool read = detail::forEachPemBlock(bio.get(), [&](const detail::PemBlock& block) {
    broken = !takeCertificateBlock(block, out, error);
    return !broken;
  });
  if (!read) {
    error = takeSslErrors("broken PEM block");
    return false;
  }
  if (broken) {
    return false;
  }
  ERR_clear_error(); // the end of the text reads as "no start line"
  if (out.empty()) {
    error = "no certificate in the PEM text";
    return false;
  }
  return true;
}

// One DER certificate, or a DER PKCS#7 bundle.
bool certsFromDer(std::string_view bytes, std::vector<ssl::X509Ptr>& out, std::string& error) {
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  const long len = static_cast<long>(bytes.size());
  const unsigned char* p = data;
  if (ssl::X509Ptr cert = detail::parseCertificate(p, len); cert != nullptr) {
    out.push_back(std::move(cert));
    return true;
  }
  ERR_clear_error();
  if (certsFromDerPkcs7(data, len, out) && !out.empty()) {
    return true;
  }
  error = takeSslErrors("neither a PEM, DER nor PKCS#7 certificate");
  return false;
}

bool certsFromBytes(std::string_view bytes, std::vector<ssl::X509Ptr>& out, std::string& error) {
  if (bytes.empty()) {
    error = "empty input";
    return false;
  }
  if (bytes.find("-----BEGIN ") != std::string_view::npos) {
    return certsFromPem(bytes, out, error);
  }
  return certsFromDer(bytes, out, error);
}

// The end-entity certificate of a file: the first that issued none of the
// others (a bundle of roots yields its first).
std::size_t endEntityIndex(const std::vector<ssl::X509Ptr>& certs) {
  for (std::size_t i = 0; i < certs.size(); ++i) {
    bool issuedAnother = false;
    for (std::size_t j = 0; j < certs.size() && !issuedAnother; ++j) {
      issuedAnother = i != j && X509_check_issued(certs[i].get(), certs[j].get()) == X509_V_OK &&
                      !detail::isSelfSigned(certs[j].get());
    }
    if (!issuedAnother) {
      return i;
    }
  }
  return 0;
}

void freePkcs7Stack(STACK_OF(PKCS7) * s) {
  sk_PKCS7_pop_free(s, PKCS7_free);
}
void freeBagStack(STACK_OF(PKCS12_SAFEBAG) * s) {
  sk_PKCS12_SAFEBAG_pop_free(s, PKCS12_SAFEBAG_free);
}

// ---- Texts ----------------------------------------------------------------------------

std::string asn1Utf8(const ASN1_STRING* s) {
  unsigned char* out = nullptr;
  const int len = ASN1_STRING_to_UTF8(&out, s);
  if (len < 0) {
    ERR_clear_error();
    return {};
  }
  const ssl::OpensslBytes owned(out);
  return std::string(reinterpret_cast<const char*>(out), static_cast<size_t>(len));
}

// The most specific value of a name attribute ("" when absent).
std::string nameEntry(const X509_NAME* name, int nid) {
  int last = -1;
  for (int idx = -1; (idx = X509_NAME_get_index_by_NID(name, nid, idx)) >= 0;) {
    last = idx;
  }
  if (last < 0) {
    return {};
  }
  return asn1Utf8(X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, last)));
}

// "CN=www.example.org, O=Example, C=DE": most specific element first.
std::string distinguishedName(const X509_NAME* name) {
  ssl::BIOPtr bio(BIO_new(BIO_s_mem()));
  constexpr unsigned long flags = XN_FLAG_SEP_CPLUS_SPC | XN_FLAG_DN_REV | XN_FLAG_FN_SN |
                                  (ASN1_STRFLGS_RFC2253 & ~ASN1_STRFLGS_ESC_MSB);
  if (bio == nullptr || X509_NAME_print_ex(bio.get(), name, 0, flags) < 0) {
    ERR_clear_error();
    return {};
  }
  return detail::bioBytes(bio.get());
}

// RFC 1123 in GMT: "Tue, 05 Mar 2024 09:07:02 GMT" (English names whatever the locale).
std::string rfc1123(const ASN1_TIME* time) {
  std::tm tm{};
  if (time == nullptr || ASN1_TIME_to_tm(time, &tm) != 1) {
    ERR_clear_error();
    return {};
  }
  static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  char buf[64];
  std::snprintf(buf, sizeof buf, "%s, %02d %s %04d %02d:%02d:%02d GMT", kDays[tm.tm_wday % 7],
                tm.tm_mday, kMonths[tm.tm_mon % 12], tm.tm_year + 1900, tm.tm_hour, tm.tm_min,
                tm.tm_sec);
  return buf;
}

std::string certPemText(X509* cert) {
  ssl::BIOPtr bio(BIO_new(BIO_s_mem()));
  if (bio == nullptr || PEM_write_bio_X509(bio.get(), cert) != 1) {
    ERR_clear_error();
    return {};
  }
  return detail::bioBytes(bio.get());
}

std::unique_ptr<CkCert> certObject(X509* cert, const std::vector<ssl::X509Ptr>& companions,
                                   const std::shared_ptr<detail::CertPool>& vault) {
  auto out = std::make_unique<CkCert>();
  auto& d = out->data();
  d.cert = detail::upRef(cert);
  for (const auto& c : companions) {
    d.companions.push_back(detail::upRef(c.get()));
  }
  d.vault = vault;
  return out;
}

} // namespace

// ---- CkCert::Data --------------------------------------------------------------------

void CkCert::Data::reset(ssl::X509Ptr leaf, std::vector<ssl::X509Ptr> others) {
  cert = std::move(leaf);
  companions = std::move(others);
  key.reset();
  hasKey = false;
  keyExportable = false;
  selfSigned.reset();
  serverAuth.reset();
  verdict.reset();
  revocation.reset();
  subjectDN.reset();
  serial.reset();
  detail::rememberIfCa(cert.get());
  for (const auto& c : companions) {
    detail::rememberIfCa(c.get());
  }
}

const detail::ChainVerdict& CkCert::Data::chainVerdict(bool fetchIssuers,
                                                       detail::Clock::time_point deadline) const {
  const std::uint64_t generation = detail::poolGeneration();
  if (!verdict || chainGeneration != generation ||
      (fetchIssuers && !verdictFetched && !verdict->reachesRoot)) {
    verdict = detail::verifyChain(cert.get(), companions, vault.get(), fetchIssuers, deadline);
    verdictFetched = fetchIssuers;
    // Fetched issuers joined a pool meanwhile; the verdict already holds them.
    chainGeneration = detail::poolGeneration();
  }
  return *verdict;
}

std::vector<ssl::X509Ptr> CkCert::Data::buildChain() const {
  if (cert == nullptr) {
    return {};
  }
  const auto& path = chainVerdict().path;
  std::vector<ssl::X509Ptr> copy;
  copy.reserve(path.size());
  for (const auto& c : path) {
    copy.push_back(detail::upRef(c.get()));
  }
  return copy;
}

bool CkCert::Data::wantsRevocationCheck() const {
  return cert != nullptr && (X509_get_extension_flags(cert.get()) & EXFLAG_CA) == 0 &&
         X509_check_purpose(cert.get(), X509_PURPOSE_SSL_SERVER, 0) == 1 &&
         !detail::isExpiredNow(cert.get()) && !detail::isNotYetValidNow(cert.get());
}

std::unique_ptr<CkCert> CkCert::Data::clone() const {
  if (cert == nullptr) {
    return nullptr;
  }
  auto out = certObject(cert.get(), companions, vault);
  auto& d = out->data();
  d.key = detail::upRef(key.get());
  d.hasKey = hasKey;
  d.keyExportable = keyExportable;
  return out;
}

namespace {

// Splits what a loader read into the end-entity certificate and the rest.
bool takeCerts(CkCert::Data& d, std::vector<ssl::X509Ptr> certs) {
  if (certs.empty()) {
    return false;
  }
  const std::size_t leaf = endEntityIndex(certs);
  ssl::X509Ptr chosen = std::move(certs[leaf]);
  certs.erase(certs.begin() + static_cast<std::ptrdiff_t>(leaf));
  d.reset(std::move(chosen), std::move(certs));
  return true;
}

bool loadBytes(CkCert::Data& d, std::string_view bytes) {
  std::vector<ssl::X509Ptr> certs;
  if (!certsFromBytes(bytes, certs, d.lastError)) {
    return false;
  }
  return takeCerts(d, std::move(certs));
}

} // namespace

// ---- CkCert -----------------------------------------------------------------------------

CkCert::CkCert() : d_(std::make_unique<Data>()) {}
CkCert::~CkCert() = default;

namespace {

// The CRL files (".crl", DER or PEM) in the folder of a certificate file, read
// once per folder and process: revocation lists given with the certificates.
void rememberCrlsBeside(const std::string& path) {
  constexpr int kMaxCrlFiles = 64;
  static std::mutex mutex;
  static std::set<std::string> folders;
  std::error_code ec;
  const std::filesystem::path folder = std::filesystem::absolute(path, ec).parent_path();
  {
    std::lock_guard lock(mutex);
    if (ec || !folders.insert(folder.string()).second) {
      return;
    }
  }
  int read = 0;
  for (std::filesystem::directory_iterator it(folder, ec), end;
       !ec && it != end && read < kMaxCrlFiles; it.increment(ec)) {
    std::string ext = it->path().extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    std::string bytes;
    std::string error;
    if (ext != ".crl" || !detail::readInputFile(it->path().string(), bytes, error)) {
      continue;
    }
    ++read;
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    ssl::X509_CRLPtr crl(d2i_X509_CRL(nullptr, &p, static_cast<long>(bytes.size())));
    if (crl == nullptr) {
      ssl::BIOPtr bio = detail::readOnlyBio(bytes);
      crl.reset(bio ? PEM_read_bio_X509_CRL(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    }
    detail::addLocalCrl(crl.get());
    ERR_clear_error();
  }
}

} // namespace

namespace detail {
bool certsFromBytes(std::string_view bytes, std::vector<ssl::X509Ptr>& out, std::string& error) {
  return ck::certsFromBytes(bytes, out, error);
}
} // namespace detail

bool CkCert::LoadFromFile(const std::string& path) {
  std::string bytes;
  if (!detail::readInputFile(path, bytes, d_->lastError)) {
    return false;
  }
  rememberCrlsBeside(path);
  return loadBytes(*d_, bytes);
}

namespace {

// The iteration counts a PKCS#12 file asks for, checked before anything is
// derived from the password: the MAC's, the encrypted contents' and those of
// the shrouded key bags outside them (where exporters put the key).
bool plausiblePkcs12Iterations(const PKCS12* p12) {
  const ASN1_INTEGER* macIterations = nullptr;
  PKCS12_get0_mac(nullptr, nullptr, nullptr, &macIterations, p12);
  std::int64_t value = 1;
  if (macIterations != nullptr && (ASN1_INTEGER_get_int64(&value, macIterations) != 1 ||
                                   value <= 0 || value > detail::kMaxPbeIterations)) {
    return false;
  }
  using AuthSafesPtr = ssl::Ptr<STACK_OF(PKCS7), freePkcs7Stack>;
  const AuthSafesPtr safes(PKCS12_unpack_authsafes(p12));
  bool ok = true;
  for (int i = 0; ok && i < sk_PKCS7_num(safes.get()); ++i) {
    PKCS7* p7 = sk_PKCS7_value(safes.get(), i);
    const int type = OBJ_obj2nid(p7->type);
    if (type == NID_pkcs7_encrypted && p7->d.encrypted != nullptr &&
        p7->d.encrypted->enc_data != nullptr) {
      ok = detail::plausiblePbe(p7->d.encrypted->enc_data->algorithm);
    } else if (type == NID_pkcs7_data) {
      using BagsPtr = ssl::Ptr<STACK_OF(PKCS12_SAFEBAG), freeBagStack>;
      const BagsPtr bags(PKCS12_unpack_p7data(p7));
      for (int j = 0; ok && j < sk_PKCS12_SAFEBAG_num(bags.get()); ++j) {
        const X509_SIG* shrouded =
            PKCS12_SAFEBAG_get0_pkcs8(sk_PKCS12_SAFEBAG_value(bags.get(), j));
        const X509_ALGOR* alg = nullptr;
        if (shrouded != nullptr) {
          X509_SIG_get0(shrouded, &alg, nullptr);
          ok = alg == nullptr || detail::plausiblePbe(alg);
        }
      }
    }
  }
  ERR_clear_error();
  return ok;
}

bool parsePkcs12(PKCS12* p12, const std::string& password, ssl::EVP_PKEYPtr& key,
                 ssl::X509Ptr& cert, ssl::X509StackPtr& ca) {
  EVP_PKEY* k = nullptr;
  X509* c = nullptr;
  STACK_OF(X509)* more = nullptr;
  const int ok = PKCS12_parse(p12, password.c_str(), &k, &c, &more);
  key.reset(k);
  cert.reset(c);
  ca.reset(more);
  return ok == 1;
}

} // namespace

bool CkCert::LoadPfxFile(const std::string& path, const std::string& password) {
  const auto fail = [this](CkPfxFailure aWhy) {
    d_->pfxFailure = aWhy;
    return false;
  };
  d_->pfxFailure = CkPfxFailure::None;
  std::string bytes;
  if (!detail::readInputFile(path, bytes, d_->lastError)) {
    return fail(CkPfxFailure::Unreadable);
  }
  rememberCrlsBeside(path);
  ssl::BIOPtr bio = detail::readOnlyBio(bytes);
  ssl::PKCS12Ptr p12(bio ? d2i_PKCS12_bio(bio.get(), nullptr) : nullptr);
  if (p12 == nullptr) {
    d_->lastError = takeSslErrors("not a PKCS#12 file");
    return fail(CkPfxFailure::NotPkcs12);
  }
  if (!plausiblePkcs12Iterations(p12.get())) {
    d_->lastError = "the PKCS#12 file asks for an implausible number of key iterations";
    return fail(CkPfxFailure::Unreadable);
  }
  // The MAC tells a wrong password apart from a cipher the default provider
  // lacks. PKCS12_parse tries an absent password both as "" and as none.
  const bool hasMac = PKCS12_mac_present(p12.get()) == 1;
  if (hasMac &&
      PKCS12_verify_mac(p12.get(), password.c_str(), static_cast<int>(password.size())) != 1 &&
      !(password.empty() && PKCS12_verify_mac(p12.get(), nullptr, 0) == 1)) {
    d_->lastError = takeSslErrors("wrong password for the PKCS#12 file");
    return fail(CkPfxFailure::WrongPassword);
  }
  ssl::EVP_PKEYPtr key;
  ssl::X509Ptr cert;
  ssl::X509StackPtr ca;
  if (!parsePkcs12(p12.get(), password, key, cert, ca)) {
    // Files exported by older systems use RC2-40 or similar legacy ciphers.
    ERR_clear_error();
    if (!detail::ensureLegacyProvider() || !parsePkcs12(p12.get(), password, key, cert, ca)) {
      d_->lastError = takeSslErrors("reading the PKCS#12 file");
      // Without a MAC only the decryption can tell a wrong password.
      return fail(hasMac ? CkPfxFailure::Unreadable : CkPfxFailure::WrongPassword);
    }
  }
  std::vector<ssl::X509Ptr> certs;
  if (cert != nullptr) {
    certs.push_back(std::move(cert));
  }
  for (int i = 0; i < sk_X509_num(ca.get()); ++i) {
    certs.push_back(detail::upRef(sk_X509_value(ca.get(), i)));
  }
  if (certs.empty()) {
    d_->lastError = "the PKCS#12 file holds no certificate";
    return fail(CkPfxFailure::NoCertificate);
  }
  // With a key, its certificate is the one that pairs with it.
  std::size_t leaf = endEntityIndex(certs);
  if (key != nullptr) {
    for (std::size_t i = 0; i < certs.size(); ++i) {
      if (X509_check_private_key(certs[i].get(), key.get()) == 1) {
        leaf = i;
        break;
      }
    }
    ERR_clear_error();
  }
  ssl::X509Ptr chosen = std::move(certs[leaf]);
  certs.erase(certs.begin() + static_cast<std::ptrdiff_t>(leaf));
  d_->reset(std::move(chosen), std::move(certs));
  if (key != nullptr && X509_check_private_key(d_->cert.get(), key.get()) == 1) {
    d_->key = std::move(key);
    d_->hasKey = true;
    d_->keyExportable = true;
  }
  ERR_clear_error();
  return true;
}

namespace {

// Pasted text often carries indentation or trailing blanks on its lines,
// which the PEM reader does not accept around the BEGIN and END lines.
std::string trimLines(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  while (!text.empty()) {
    const auto end = std::min(text.find('\n'), text.size());
    std::string_view line = text.substr(0, end);
    while (!line.empty() && static_cast<unsigned char>(line.front()) <= ' ') {
      line.remove_prefix(1);
    }
    while (!line.empty() && static_cast<unsigned char>(line.back()) <= ' ') {
      line.remove_suffix(1);
    }
    out.append(line);
    out.push_back('\n');
    text.remove_prefix(std::min(end + 1, text.size()));
  }
  return out;
}

} // namespace

bool CkCert::LoadFromBase64(const std::string& text) {
  if (text.find("-----BEGIN ") != std::string::npos) {
    if (text.size() > detail::kMaxInputFileSize) {
      d_->lastError = "text too large for a certificate";
      return false;
    }
    return loadBytes(*d_, trimLines(text));
  }
  std::string der;
  if (text.size() > detail::kMaxInputFileSize || !detail::base64Decode(text, der) || der.empty()) {
    d_->lastError = "neither a PEM block nor base64 text";
    return false;
  }
  std::vector<ssl::X509Ptr> certs;
  if (!certsFromDer(der, certs, d_->lastError)) {
    return false;
  }
  return takeCerts(*d_, std::move(certs));
}

bool CkCert::LoadFromDer(const std::string& der) {
  ssl::X509Ptr cert = detail::parseCertificate(reinterpret_cast<const unsigned char*>(der.data()),
                                               static_cast<long>(der.size()));
  if (cert == nullptr) {
    d_->lastError = takeSslErrors("not a DER certificate");
    return false;
  }
  d_->reset(std::move(cert), {});
  return true;
}

void CkCert::AttachPrivateKey(std::unique_ptr<CkPrivateKey> key, bool exportable) {
  d_->key = key ? std::move(key->data().key) : nullptr;
  d_->hasKey = true;
  d_->keyExportable = exportable && d_->key != nullptr;
}

bool CkCert::HasPrivateKey() const {
  return d_->hasKey;
}
bool CkCert::getPrivateKeyExportable() const {
  return d_->hasKey && d_->keyExportable;
}

bool CkCert::getExpired() const {
  return d_->cert != nullptr && detail::isExpiredNow(d_->cert.get());
}

bool CkCert::getNotYetValid() const {
  return d_->cert != nullptr && detail::isNotYetValidNow(d_->cert.get());
}

bool CkCert::getIsCA() const {
  return d_->cert != nullptr && (X509_get_extension_flags(d_->cert.get()) & EXFLAG_CA) != 0;
}

bool CkCert::getSelfSigned() const {
  if (!d_->selfSigned) {
    d_->selfSigned = detail::isSelfSigned(d_->cert.get());
  }
  return *d_->selfSigned;
}

bool CkCert::getIsRoot() const {
  return getSelfSigned() && X509_check_ca(d_->cert.get()) > 0;
}

bool CkCert::getForServerAuthentication() const {
  if (!d_->serverAuth) {
    d_->serverAuth =
        d_->cert != nullptr && X509_check_purpose(d_->cert.get(), X509_PURPOSE_SSL_SERVER, 0) == 1;
    ERR_clear_error();
  }
  return *d_->serverAuth;
}

// The verified path ends at a certificate of the system's trust store.
bool CkCert::getTrustedRoot() const {
  return d_->cert != nullptr && d_->chainVerdict().trusted;
}

namespace {

// Runs work(i) for every i below count on up to kWorkers threads. The calling
// thread waits in short slices and runs whileWaiting between them; work ends by
// the deadline it was given, so the wait does too.
void runConcurrently(std::size_t count, const std::function<void(std::size_t)>& work,
                     const std::function<void()>& whileWaiting) {
  constexpr std::size_t kWorkers = 8;
  constexpr auto kSlice = std::chrono::milliseconds(40);
  std::atomic<std::size_t> next{0};
  std::mutex mutex;
  std::condition_variable done;
  std::size_t finished = 0;
  auto worker = [&] {
    for (std::size_t i; (i = next.fetch_add(1)) < count;) {
      work(i);
      ERR_clear_error();
      std::lock_guard lock(mutex);
      ++finished;
      done.notify_all();
    }
  };
  std::vector<std::thread> threads;
  try {
    while (threads.size() < std::min(kWorkers, count)) {
      threads.emplace_back(worker);
    }
  } catch (const std::system_error&) {
    // Fewer threads: the calling thread works as well.
  }
  if (threads.empty()) {
    worker();
  }
  std::unique_lock lock(mutex);
  while (finished < count) {
    done.wait_for(lock, kSlice, [&] { return finished == count; });
    if (finished < count && whileWaiting) {
      lock.unlock();
      whileWaiting();
      lock.lock();
    }
  }
  lock.unlock();
  for (auto& thread : threads) {
    thread.join();
  }
}

} // namespace

// Every member of the verified path but the anchor that ends it; a member
// whose issuer is missing cannot be answered for, which counts as unknown when
// it names somebody to ask.
CkCert::Data::Revocation CkCert::Data::checkRevocation(detail::Clock::time_point deadline) const {
  Revocation outcome;
  const auto& v = chainVerdict(true, deadline); // the issuers must be known to ask about them
  const std::size_t members = v.reachesRoot ? v.path.size() - 1 : v.path.size();
  for (std::size_t i = 0; i < members && !outcome.revoked; ++i) {
    X509* member = v.path[i].get();
    X509* issuer = i + 1 < v.path.size() ? v.path[i + 1].get() : nullptr;
    switch (detail::revocationStatus(member, issuer, deadline)) {
    case detail::RevocationStatus::Revoked:
      outcome.revoked = true;
      break;
    case detail::RevocationStatus::Unknown:
      outcome.unknown = true;
      break;
    case detail::RevocationStatus::NotChecked:
    case detail::RevocationStatus::Good:
      break;
    }
  }
  outcome.unknown = outcome.unknown && !outcome.revoked;
  return outcome;
}

// A complete path whose members name nobody to ask is answered at once, on
// the calling thread: the common case of a folder without revocation servers
// costs no thread.
bool CkCert::Data::mayNeedNetwork() const {
  const auto& v = chainVerdict();
  if (!v.reachesRoot) {
    return true; // an issuer may have to be fetched
  }
  return std::any_of(v.path.begin(), v.path.end() - 1,
                     [](const auto& member) { return detail::hasRevocationSource(member.get()); });
}

void CkCert::CheckRevocation(const std::vector<const CkCert*>& certs,
                             const std::function<void()>& whileWaiting) {
  const auto deadline = detail::Clock::now() + detail::kRevocationTimeout;
  std::vector<const Data*> pending;
  std::set<const CkCert*> seen;
  for (const CkCert* cert : certs) {
    if (cert == nullptr || cert->d_->revocation || !seen.insert(cert).second) {
      continue;
    }
    if (!cert->d_->wantsRevocationCheck() || !cert->d_->mayNeedNetwork()) {
      cert->d_->revocation = Data::Revocation{};
      continue;
    }
    pending.push_back(cert->d_.get());
  }
  std::vector<Data::Revocation> outcomes(pending.size());
  runConcurrently(
      pending.size(),
      [&](std::size_t i) {
        try {
          outcomes[i] = pending[i]->checkRevocation(deadline);
        } catch (...) {
          outcomes[i] = Data::Revocation{false, true};
        }
      },
      whileWaiting);
  for (std::size_t i = 0; i < pending.size(); ++i) {
    pending[i]->revocation = outcomes[i];
  }
}

bool CkCert::getRevoked() const {
  CheckRevocation({this}, {});
  return d_->revocation && d_->revocation->revoked;
}

bool CkCert::getRevocationUnknown() const {
  CheckRevocation({this}, {});
  return d_->revocation && d_->revocation->unknown;
}

bool CkCert::getNamesThisComputer() const {
  return d_->cert == nullptr || detail::namesThisComputer(d_->cert.get());
}

void CkCert::FetchMissingIssuers() const {
  if (d_->cert != nullptr) {
    (void)d_->chainVerdict(true, detail::Clock::now() + detail::kIssuerFetchTimeout);
  }
}

std::vector<std::unique_ptr<CkCert>> CkCert::GetStaleChainCerts() const {
  std::vector<std::unique_ptr<CkCert>> out;
  if (d_->cert != nullptr) {
    for (const auto& c : d_->chainVerdict().staleSupplied) {
      out.push_back(certObject(c.get(), d_->companions, d_->vault));
    }
  }
  return out;
}

std::string CkCert::_subjectCN() const {
  return d_->cert ? nameEntry(X509_get_subject_name(d_->cert.get()), NID_commonName) : "";
}

std::string CkCert::_subjectDN() const {
  if (!d_->subjectDN) {
    d_->subjectDN = d_->cert ? distinguishedName(X509_get_subject_name(d_->cert.get())) : "";
  }
  return *d_->subjectDN;
}

std::string CkCert::_subjectC() const {
  return d_->cert ? nameEntry(X509_get_subject_name(d_->cert.get()), NID_countryName) : "";
}

std::string CkCert::_issuerO() const {
  return d_->cert ? nameEntry(X509_get_issuer_name(d_->cert.get()), NID_organizationName) : "";
}

std::string CkCert::_rfc822Name() const {
  if (d_->cert == nullptr) {
    return {};
  }
  ssl::GENERAL_NAMESPtr names(static_cast<GENERAL_NAMES*>(
      X509_get_ext_d2i(d_->cert.get(), NID_subject_alt_name, nullptr, nullptr)));
  for (int i = 0; i < sk_GENERAL_NAME_num(names.get()); ++i) {
    const GENERAL_NAME* name = sk_GENERAL_NAME_value(names.get(), i);
    if (name->type == GEN_EMAIL) {
      return asn1Utf8(name->d.rfc822Name);
    }
  }
  return nameEntry(X509_get_subject_name(d_->cert.get()), NID_pkcs9_emailAddress);
}

// There is no cryptographic service provider here; a key that is attached is
// named after the OpenSSL provider that holds it.
std::string CkCert::_cspName() const {
  if (d_->key == nullptr) {
    return {};
  }
  const OSSL_PROVIDER* provider = EVP_PKEY_get0_provider(d_->key.get());
  return provider != nullptr ? OSSL_PROVIDER_get0_name(provider) : "";
}

std::string CkCert::_serialNumber() const {
  if (!d_->serial) {
    std::string hex;
    if (d_->cert != nullptr) {
      ssl::BIGNUMPtr bn(ASN1_INTEGER_to_BN(X509_get0_serialNumber(d_->cert.get()), nullptr));
      ssl::OpensslString text(bn ? BN_bn2hex(bn.get()) : nullptr);
      if (text != nullptr) {
        hex = text.get();
      }
      ERR_clear_error();
    }
    d_->serial = hex;
  }
  return *d_->serial;
}

std::string CkCert::_validToStr() const {
  return d_->cert ? rfc1123(X509_get0_notAfter(d_->cert.get())) : "";
}

std::string CkCert::_exportCertPem() const {
  return d_->cert ? certPemText(d_->cert.get()) : "";
}

bool CkCert::ExportCertPemFile(const std::string& path) const {
  const std::string pem = _exportCertPem();
  if (pem.empty()) {
    d_->lastError = "no certificate loaded";
    return false;
  }
  return detail::writeFileReplacing(path, pem, detail::FileKind::Public, d_->lastError);
}

bool CkCert::ExportToPfxFile(const std::string& path, const std::string& password,
                             bool includeChain) const {
  if (d_->cert == nullptr) {
    d_->lastError = "no certificate loaded";
    return false;
  }
  ssl::X509StackRefPtr ca(sk_X509_new_null());
  const auto chain = includeChain ? d_->buildChain() : std::vector<ssl::X509Ptr>{};
  for (std::size_t i = 1; i < chain.size() && ca != nullptr; ++i) {
    if (sk_X509_push(ca.get(), chain[i].get()) <= 0) {
      ca.reset();
    }
  }
  if (ca == nullptr) {
    d_->lastError = takeSslErrors("building the PKCS#12 file");
    return false;
  }
  EVP_PKEY* key = d_->keyExportable ? d_->key.get() : nullptr;
  ssl::PKCS12Ptr p12(
      PKCS12_create(password.c_str(), nullptr, key, d_->cert.get(), ca.get(), 0, 0, 0, 0, 0));
  ssl::BIOPtr bio(BIO_new(BIO_s_mem()));
  if (p12 == nullptr || bio == nullptr || i2d_PKCS12_bio(bio.get(), p12.get()) != 1) {
    d_->lastError = takeSslErrors("building the PKCS#12 file");
    return false;
  }
  return detail::writeFileReplacing(
      path, detail::bioBytes(bio.get()),
      key != nullptr ? detail::FileKind::PrivateKey : detail::FileKind::Public, d_->lastError);
}

void CkCert::UseCertVault(const CkXmlCertVault& vault) {
  d_->vault = vault.data().pool;
  d_->verdict.reset();
}

std::unique_ptr<CkCertChain> CkCert::GetCertChain() const {
  if (d_->cert == nullptr) {
    d_->lastError = "no certificate loaded";
    return nullptr;
  }
  auto chain = std::make_unique<CkCertChain>();
  auto& c = chain->data();
  c.certs = d_->buildChain();
  const auto& verdict = d_->chainVerdict();
  c.reachesRoot = verdict.reachesRoot;
  c.signaturesOk = verdict.signaturesOk;
  c.otherFaults = verdict.otherFaults;
  for (const auto& other : d_->companions) {
    c.companions.push_back(detail::upRef(other.get()));
  }
  c.vault = d_->vault;
  return chain;
}

std::unique_ptr<CkPrivateKey> CkCert::ExportPrivateKey() const {
  if (!d_->hasKey || !d_->keyExportable || d_->key == nullptr) {
    d_->lastError = "the certificate has no exportable private key";
    return nullptr;
  }
  auto key = std::make_unique<CkPrivateKey>();
  key->data().key = detail::upRef(d_->key.get());
  return key;
}

std::unique_ptr<CkPublicKey> CkCert::ExportPublicKey() const {
  if (d_->cert == nullptr) {
    d_->lastError = "no certificate loaded";
    return nullptr;
  }
  ssl::EVP_PKEYPtr key(X509_get_pubkey(d_->cert.get()));
  if (key == nullptr) {
    d_->lastError = takeSslErrors("reading the public key");
    return nullptr;
  }
  auto out = std::make_unique<CkPublicKey>();
  out->data().key = std::move(key);
  return out;
}

CkPfxFailure CkCert::getPfxFailure() const {
  return d_->pfxFailure;
}

std::string CkCert::_publicKeyType() const {
  if (d_->cert == nullptr) {
    return {};
  }
  if (const EVP_PKEY* key = X509_get0_pubkey(d_->cert.get()); key != nullptr) {
    return detail::keyTypeName(key);
  }
  ERR_clear_error();
  // OpenSSL has no decoder for this algorithm (GOST without its engine, a
  // post-quantum scheme...): name it by its object identifier.
  ASN1_OBJECT* algorithm = nullptr;
  const X509_PUBKEY* publicKey = X509_get_X509_PUBKEY(d_->cert.get());
  if (publicKey == nullptr ||
      X509_PUBKEY_get0_param(&algorithm, nullptr, nullptr, nullptr, publicKey) != 1 ||
      algorithm == nullptr) {
    return "unknown";
  }
  char name[128] = {};
  const int nid = OBJ_obj2nid(algorithm);
  if (nid != NID_undef) {
    return OBJ_nid2ln(nid);
  }
  OBJ_obj2txt(name, sizeof name, algorithm, 1);
  return name[0] != '\0' ? std::string(name) : std::string("unknown");
}

// The signature verifies with the issuer's key (found as for the chain), or
// with the certificate's own key when it is self-signed.
bool CkCert::VerifySignature() const {
  if (d_->cert == nullptr) {
    d_->lastError = "no certificate loaded";
    return false;
  }
  if (getSelfSigned()) {
    return true;
  }
  const auto chain = d_->buildChain();
  if (chain.size() < 2) {
    d_->lastError = "the issuer's certificate was not found, or its signature does not verify";
    return false;
  }
  return detail::signedBy(chain[0].get(), chain[1].get());
}

std::string CkCert::_lastErrorText() const {
  return d_->lastError;
}

// ---- CkCertChain ------------------------------------------------------------------------

CkCertChain::CkCertChain() : d_(std::make_unique<Data>()) {}
CkCertChain::~CkCertChain() = default;

int CkCertChain::getNumCerts() const {
  return static_cast<int>(d_->certs.size());
}

std::unique_ptr<CkCert> CkCertChain::GetCert(int index) const {
  if (index < 0 || index >= getNumCerts()) {
    return nullptr;
  }
  return certObject(d_->certs[static_cast<size_t>(index)].get(), d_->companions, d_->vault);
}

bool CkCertChain::getReachesRoot() const {
  return !d_->certs.empty() && d_->reachesRoot;
}

bool CkCertChain::VerifyCertSignatures() const {
  return !d_->certs.empty() && d_->signaturesOk;
}

int CkCertChain::getNumExpiredCerts() const {
  int n = 0;
  for (const auto& c : d_->certs) {
    n += detail::isExpiredNow(c.get()) ? 1 : 0;
  }
  return n;
}

std::vector<std::string> CkCertChain::_verifyFaults() const {
  return d_->otherFaults;
}

// ---- CkCertStore ------------------------------------------------------------------------

CkCertStore::CkCertStore() : d_(std::make_unique<Data>()) {}
CkCertStore::~CkCertStore() = default;

bool CkCertStore::CreateMemoryStore() {
  d_->certs.clear();
  return true;
}

bool CkCertStore::OpenLocalSystemStore() {
  d_->certs.clear();
  return ReadMachineStore(d_->certs);
}

bool CkCertStore::OpenCurrentUserStore() {
  d_->certs.clear();
  return ReadCurrentUserStore(d_->certs);
}

int CkCertStore::getNumCertificates() const {
  return static_cast<int>(d_->certs.size());
}

std::unique_ptr<CkCert> CkCertStore::GetCertificate(int index) const {
  if (index < 0 || index >= getNumCertificates()) {
    return nullptr;
  }
  const auto& cert = d_->certs[static_cast<size_t>(index)];
  return cert ? cert->data().clone() : nullptr;
}

// ---- CkXmlCertVault ---------------------------------------------------------------------

CkXmlCertVault::CkXmlCertVault() : d_(std::make_unique<Data>()) {}
CkXmlCertVault::~CkXmlCertVault() = default;

bool CkXmlCertVault::AddCert(const CkCert& cert) {
  X509* x = cert.data().cert.get();
  if (x == nullptr) {
    return false;
  }
  d_->pool->add(x);
  return true;
}

bool CkXmlCertVault::AddCertChain(const CkCertChain& chain) {
  for (const auto& c : chain.data().certs) {
    d_->pool->add(c.get());
  }
  return !chain.data().certs.empty();
}

} // namespace orvo::ck
