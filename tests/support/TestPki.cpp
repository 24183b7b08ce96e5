#include "support/TestPki.h"

#include "certs/OpenSslPtr.h"

#include <openssl/dsa.h>
#include <openssl/err.h>
#include <openssl/pkcs12.h>
#include <openssl/provider.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <tuple>
#include <utility>

namespace orvo::test {

using namespace orvo::ssl;

namespace {

[[noreturn]] void fail(const std::string& what) {
  std::string text = "test PKI: " + what;
  unsigned long code = 0;
  while ((code = ERR_get_error()) != 0) {
    char buf[256];
    ERR_error_string_n(code, buf, sizeof buf);
    text += "; ";
    text += buf;
  }
  throw std::runtime_error(text);
}

void check(bool ok, const char* what) {
  if (!ok) {
    fail(what);
  }
}

std::shared_ptr<X509> shareCert(X509Ptr p) {
  return {p.release(), X509_free};
}
std::shared_ptr<EVP_PKEY> shareKey(EVP_PKEYPtr p) {
  return {p.release(), EVP_PKEY_free};
}

std::string bioText(BIO* bio) {
  char* data = nullptr;
  const long len = BIO_get_mem_data(bio, &data);
  return len > 0 ? std::string(data, static_cast<size_t>(len)) : std::string();
}

BIOPtr memBio() {
  BIOPtr bio(BIO_new(BIO_s_mem()));
  check(bio != nullptr, "BIO_new");
  return bio;
}

std::string readFile(const Path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

Path keyCacheDir() {
  if (const char* dir = std::getenv("ORVO_TESTPKI_CACHE"); dir != nullptr && *dir != '\0') {
    return dir;
  }
  return std::filesystem::temp_directory_path() / ("orvo-testpki-" + std::to_string(getuid()));
}

EVP_PKEYPtr loadCachedKey(const Path& file) {
  const std::string pem = readFile(file);
  if (pem.empty()) {
    return nullptr;
  }
  BIOPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  check(bio != nullptr, "BIO_new_mem_buf");
  EVP_PKEYPtr key(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
  ERR_clear_error(); // a damaged cache file is simply regenerated
  return key;
}

// Writes the key next to its final name and renames it, so that parallel
// test processes never read a half-written cache file.
void storeCachedKey(const Path& file, EVP_PKEY* key) {
  std::error_code ec;
  std::filesystem::create_directories(file.parent_path(), ec);
  const Path tmp = file.string() + ".tmp" + std::to_string(getpid());
  try {
    writeFile(tmp, keyText(key, KeyFormat::PemPkcs8));
  } catch (const std::runtime_error&) {
    return; // the cache is only an optimisation
  }
  std::filesystem::rename(tmp, file, ec);
  if (ec) {
    std::filesystem::remove(tmp, ec);
  }
}

std::string joinNames(const CertSpec& certSpec) {
  std::vector<std::string> names;
  auto dns = certSpec.dnsNames;
  const bool server = certSpec.usage == Usage::Server || certSpec.usage == Usage::ServerClient;
  if (dns.empty() && certSpec.emails.empty() && server && !certSpec.commonName.empty()) {
    dns.push_back(certSpec.commonName);
    if (certSpec.commonName != kTestHostName) {
      dns.emplace_back(kTestHostName);
    }
  }
  for (const auto& n : dns) {
    names.push_back("DNS:" + n);
  }
  for (const auto& e : certSpec.emails) {
    names.push_back("email:" + e);
  }
  std::string out;
  for (const auto& n : names) {
    out += (out.empty() ? "" : ",") + n;
  }
  return out;
}

void addExt(X509* cert, X509V3_CTX* ctx, int nid, const std::string& value) {
  if (value.empty()) {
    return;
  }
  X509_EXTENSIONPtr ext(X509V3_EXT_conf_nid(nullptr, ctx, nid, value.c_str()));
  check(ext != nullptr, "X509V3_EXT_conf_nid");
  check(X509_add_ext(cert, ext.get(), -1) == 1, "X509_add_ext");
}

// RSA keys encipher the TLS 1.2 RSA key exchange; other keys only sign.
bool isRsa(EVP_PKEY* key) {
  return EVP_PKEY_get_base_id(key) == EVP_PKEY_RSA;
}

void addUsageExts(X509* cert, X509V3_CTX* ctx, Usage usage, bool rsa) {
  switch (usage) {
  case Usage::Server:
    addExt(cert, ctx, NID_basic_constraints, "CA:FALSE");
    addExt(cert, ctx, NID_key_usage,
           rsa ? "critical,digitalSignature,keyEncipherment" : "critical,digitalSignature");
    addExt(cert, ctx, NID_ext_key_usage, "serverAuth");
    break;
  case Usage::ServerClient:
    addExt(cert, ctx, NID_basic_constraints, "CA:FALSE");
    addExt(cert, ctx, NID_key_usage, "critical,digitalSignature,keyEncipherment");
    addExt(cert, ctx, NID_ext_key_usage, "serverAuth,clientAuth");
    break;
  case Usage::Client:
    addExt(cert, ctx, NID_basic_constraints, "CA:FALSE");
    addExt(cert, ctx, NID_key_usage, "critical,digitalSignature");
    addExt(cert, ctx, NID_ext_key_usage, "clientAuth");
    break;
  case Usage::CodeSigning:
    addExt(cert, ctx, NID_basic_constraints, "CA:FALSE");
    addExt(cert, ctx, NID_key_usage, "critical,digitalSignature");
    addExt(cert, ctx, NID_ext_key_usage, "codeSigning");
    break;
  case Usage::OcspSigning:
    addExt(cert, ctx, NID_basic_constraints, "CA:FALSE");
    addExt(cert, ctx, NID_key_usage, "critical,digitalSignature");
    addExt(cert, ctx, NID_ext_key_usage, "OCSPSigning");
    break;
  case Usage::Ca:
    addExt(cert, ctx, NID_basic_constraints, "critical,CA:TRUE");
    addExt(cert, ctx, NID_key_usage, "critical,keyCertSign,cRLSign");
    break;
  case Usage::CaServer:
    addExt(cert, ctx, NID_basic_constraints, "critical,CA:TRUE");
    addExt(cert, ctx, NID_key_usage, "critical,digitalSignature,keyCertSign,cRLSign");
    addExt(cert, ctx, NID_ext_key_usage, "serverAuth,clientAuth");
    break;
  case Usage::Unrestricted:
    break;
  }
}

X509_NAMEPtr makeName(const CertSpec& certSpec) {
  X509_NAMEPtr name(X509_NAME_new());
  check(name != nullptr, "X509_NAME_new");
  auto add = [&](const char* field, const std::string& value) {
    if (!value.empty()) {
      check(X509_NAME_add_entry_by_txt(name.get(), field, MBSTRING_UTF8,
                                       reinterpret_cast<const unsigned char*>(value.c_str()), -1,
                                       -1, 0) == 1,
            "X509_NAME_add_entry_by_txt");
    }
  };
  add("C", certSpec.country);
  add("O", certSpec.organization);
  add("CN", certSpec.commonName);
  return name;
}

std::uint64_t nextSerial() {
  static std::atomic<std::uint64_t> counter = [] {
    std::uint64_t start = 0;
    if (RAND_bytes(reinterpret_cast<unsigned char*>(&start), sizeof start) != 1) {
      start = static_cast<std::uint64_t>(getpid());
    }
    return ((start & 0x0000FFFFFFFFFFFFULL) << 8) | 0x0100000000000000ULL;
  }();
  return counter.fetch_add(1);
}

// Builds and signs one certificate. issuerCert == nullptr: self-signed.
TestCert build(const CertSpec& certSpec, std::shared_ptr<EVP_PKEY> key, const TestCert* issuer) {
  X509Ptr cert(X509_new());
  check(cert != nullptr, "X509_new");
  check(X509_set_version(cert.get(), X509_VERSION_3) == 1, "X509_set_version");
  const std::uint64_t serial = certSpec.serial != 0 ? certSpec.serial : nextSerial();
  check(ASN1_INTEGER_set_uint64(X509_get_serialNumber(cert.get()), serial) == 1, "serial");
  check(X509_gmtime_adj(X509_getm_notBefore(cert.get()), certSpec.notBefore.count()) != nullptr,
        "notBefore");
  check(X509_gmtime_adj(X509_getm_notAfter(cert.get()), certSpec.notAfter.count()) != nullptr,
        "notAfter");
  const X509_NAMEPtr subject = makeName(certSpec);
  check(X509_set_subject_name(cert.get(), subject.get()) == 1, "X509_set_subject_name");
  X509* issuerX509 = issuer != nullptr ? issuer->x509() : cert.get();
  check(X509_set_issuer_name(cert.get(), X509_get_subject_name(issuerX509)) == 1,
        "X509_set_issuer_name");
  check(X509_set_pubkey(cert.get(), key.get()) == 1, "X509_set_pubkey");

  X509V3_CTX ctx;
  X509V3_set_ctx(&ctx, issuerX509, cert.get(), nullptr, nullptr, 0);
  addUsageExts(cert.get(), &ctx, certSpec.usage, isRsa(key.get()));
  addExt(cert.get(), &ctx, NID_subject_key_identifier, "hash");
  if (issuer != nullptr) {
    addExt(cert.get(), &ctx, NID_authority_key_identifier, "keyid:always");
  }
  addExt(cert.get(), &ctx, NID_subject_alt_name, joinNames(certSpec));
  std::string access;
  if (!certSpec.ocspUrl.empty()) {
    access = "OCSP;URI:" + certSpec.ocspUrl;
  }
  if (!certSpec.caIssuersUrl.empty()) {
    access += (access.empty() ? "" : ",") + std::string("caIssuers;URI:") + certSpec.caIssuersUrl;
  }
  if (!access.empty()) {
    addExt(cert.get(), &ctx, NID_info_access, access);
  }
  if (!certSpec.crlUrl.empty()) {
    addExt(cert.get(), &ctx, NID_crl_distribution_points, "URI:" + certSpec.crlUrl);
  }
  EVP_PKEY* signer = issuer != nullptr ? issuer->pkey() : key.get();
  // Ed25519 and Ed448 sign the message itself: no digest.
  const int signerType = EVP_PKEY_get_base_id(signer);
  const EVP_MD* digest =
      signerType == EVP_PKEY_ED25519 || signerType == EVP_PKEY_ED448 ? nullptr : EVP_sha256();
  check(X509_sign(cert.get(), signer, digest) > 0, "X509_sign");
  return TestCert{shareCert(std::move(cert)), std::move(key)};
}

// A library context with the legacy provider, for the old PKCS#12 and PVK
// ciphers (RC2, RC4) that the default provider no longer offers. Kept apart from
// the default context so that the code under test must load the legacy provider
// itself. It lives until the process ends: freeing a context that holds the
// legacy provider leaks the provider's child context in OpenSSL 3.0.
OSSL_LIB_CTX* legacyContext() {
  static OSSL_LIB_CTX* const ctx = [] {
    OSSL_LIB_CTX* made = OSSL_LIB_CTX_new();
    check(made != nullptr, "OSSL_LIB_CTX_new");
    check(OSSL_PROVIDER_load(made, "default") != nullptr, "load default provider");
    check(OSSL_PROVIDER_load(made, "legacy") != nullptr, "load legacy provider");
    return made;
  }();
  return ctx;
}

int passwordCallback(char* buf, int size, int /*rwflag*/, void* user) {
  const auto* password = static_cast<const std::string*>(user);
  const int len = static_cast<int>(password->size());
  if (len > size) {
    return -1;
  }
  std::copy(password->begin(), password->end(), buf);
  return len;
}

} // namespace

// ---- TestCert ---------------------------------------------------------------

std::string TestCert::serialHex() const {
  BIGNUMPtr bn(ASN1_INTEGER_to_BN(X509_get0_serialNumber(x509()), nullptr));
  check(bn != nullptr, "ASN1_INTEGER_to_BN");
  OpensslString hex(BN_bn2hex(bn.get()));
  check(hex != nullptr, "BN_bn2hex");
  return hex.get();
}

// ---- TestPki ----------------------------------------------------------------

struct TestPki::Impl {
  std::map<std::tuple<KeyType, int, int>, std::shared_ptr<EVP_PKEY>> keys;
  TestCert root;
  TestCert intermediate;
};

TestPki::TestPki() : impl_(std::make_unique<Impl>()) {}

namespace {
// Names this computer as the test certificates do (see kTestHostName).
[[maybe_unused]] const bool kNamedTestHost = ::setenv("ORVO_HOST_NAMES", kTestHostName, 0) == 0;
} // namespace
TestPki::~TestPki() = default;

TestPki& TestPki::instance() {
  static TestPki pki;
  return pki;
}

std::shared_ptr<EVP_PKEY> TestPki::rsaKey(int bits, int slot) {
  return key(KeyType::Rsa, bits, slot);
}

namespace {

EVP_PKEYPtr generateDsa(int bits) {
  EVP_PKEY_CTXPtr paramCtx(EVP_PKEY_CTX_new_from_name(nullptr, "DSA", nullptr));
  EVP_PKEY* params = nullptr;
  check(paramCtx != nullptr && EVP_PKEY_paramgen_init(paramCtx.get()) == 1 &&
            EVP_PKEY_CTX_set_dsa_paramgen_bits(paramCtx.get(), bits) == 1 &&
            EVP_PKEY_paramgen(paramCtx.get(), &params) == 1,
        "DSA parameters");
  const EVP_PKEYPtr ownedParams(params);
  EVP_PKEY_CTXPtr keyCtx(EVP_PKEY_CTX_new_from_pkey(nullptr, params, nullptr));
  EVP_PKEY* key = nullptr;
  check(keyCtx != nullptr && EVP_PKEY_keygen_init(keyCtx.get()) == 1 &&
            EVP_PKEY_keygen(keyCtx.get(), &key) == 1,
        "DSA key");
  return EVP_PKEYPtr(key);
}

EVP_PKEYPtr generateKey(KeyType type, int bits) {
  switch (type) {
  case KeyType::Rsa:
    return EVP_PKEYPtr(EVP_RSA_gen(static_cast<unsigned>(bits)));
  case KeyType::RsaPss: {
    EVP_PKEY_CTXPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA-PSS", nullptr));
    EVP_PKEY* key = nullptr;
    check(ctx != nullptr && EVP_PKEY_keygen_init(ctx.get()) == 1 &&
              EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), bits) == 1 &&
              EVP_PKEY_keygen(ctx.get(), &key) == 1,
          "RSA-PSS key");
    return EVP_PKEYPtr(key);
  }
  case KeyType::EcP256:
    return EVP_PKEYPtr(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
  case KeyType::EcP384:
    return EVP_PKEYPtr(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-384"));
  case KeyType::EcP521:
    return EVP_PKEYPtr(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-521"));
  case KeyType::EcSecp256k1:
    return EVP_PKEYPtr(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "secp256k1"));
  case KeyType::Ed25519:
    return EVP_PKEYPtr(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
  case KeyType::Ed448:
    return EVP_PKEYPtr(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED448"));
  case KeyType::Dsa:
    return generateDsa(bits);
  }
  return nullptr;
}

// The slow key types are kept on disk; the name says type and size.
const char* cacheName(KeyType type) {
  switch (type) {
  case KeyType::Rsa:
    return "rsa";
  case KeyType::RsaPss:
    return "rsapss";
  case KeyType::Dsa:
    return "dsa";
  default:
    return nullptr;
  }
}

} // namespace

std::shared_ptr<EVP_PKEY> TestPki::key(KeyType type, int bits, int slot) {
  const char* cache = cacheName(type);
  if (cache == nullptr) {
    bits = 0; // the curve decides
  }
  std::lock_guard lock(mutex_);
  auto& key = impl_->keys[{type, bits, slot}];
  if (key) {
    return key;
  }
  EVP_PKEYPtr fresh;
  Path file;
  if (cache != nullptr) {
    file = keyCacheDir() /
           (std::string(cache) + "-" + std::to_string(bits) + "-" + std::to_string(slot) + ".pem");
    fresh = loadCachedKey(file);
    if (fresh != nullptr && EVP_PKEY_get_bits(fresh.get()) != bits) {
      fresh.reset();
    }
  }
  if (fresh == nullptr) {
    fresh = generateKey(type, bits);
    check(fresh != nullptr, "generating a key");
    if (cache != nullptr) {
      storeCachedKey(file, fresh.get());
    }
  }
  key = shareKey(std::move(fresh));
  return key;
}

const TestCert& TestPki::root() {
  auto key = rsaKey(2048, 0);
  std::lock_guard lock(mutex_);
  if (!impl_->root.cert) {
    CertSpec certSpec;
    certSpec.commonName = "Orvo Test Root CA";
    certSpec.usage = Usage::Ca;
    certSpec.notBefore = -days(30);
    certSpec.notAfter = days(3650);
    impl_->root = build(certSpec, key, nullptr);
  }
  return impl_->root;
}

const TestCert& TestPki::intermediate() {
  const TestCert& issuer = root();
  auto key = rsaKey(2048, 1);
  std::lock_guard lock(mutex_);
  if (!impl_->intermediate.cert) {
    CertSpec certSpec;
    certSpec.commonName = "Orvo Test Intermediate CA";
    certSpec.usage = Usage::Ca;
    certSpec.notBefore = -days(30);
    certSpec.notAfter = days(1825);
    impl_->intermediate = build(certSpec, key, &issuer);
  }
  return impl_->intermediate;
}

TestCert TestPki::issue(const CertSpec& certSpec) {
  return issue(certSpec, intermediate());
}

TestCert TestPki::issue(const CertSpec& certSpec, const TestCert& issuer) {
  auto key = this->key(certSpec.keyType, certSpec.keyBits, certSpec.keySlot);
  return build(certSpec, std::move(key), &issuer);
}

TestCert TestPki::selfSigned(const CertSpec& certSpec) {
  auto key = this->key(certSpec.keyType, certSpec.keyBits, certSpec.keySlot);
  return build(certSpec, std::move(key), nullptr);
}

TestCert TestPki::server(const std::string& commonName) {
  CertSpec certSpec;
  certSpec.commonName = commonName;
  return issue(certSpec);
}

std::shared_ptr<X509_CRL> TestPki::crl(const TestCert& issuer,
                                       const std::vector<TestCert>& revoked) {
  X509_CRLPtr crl(X509_CRL_new());
  check(crl != nullptr, "X509_CRL_new");
  check(X509_CRL_set_version(crl.get(), X509_CRL_VERSION_2) == 1, "X509_CRL_set_version");
  check(X509_CRL_set_issuer_name(crl.get(), X509_get_subject_name(issuer.x509())) == 1,
        "X509_CRL_set_issuer_name");
  ASN1_TIMEPtr last(X509_gmtime_adj(nullptr, -3600));
  ASN1_TIMEPtr next(X509_gmtime_adj(nullptr, days(7).count()));
  check(last && next, "X509_gmtime_adj");
  check(X509_CRL_set1_lastUpdate(crl.get(), last.get()) == 1, "lastUpdate");
  check(X509_CRL_set1_nextUpdate(crl.get(), next.get()) == 1, "nextUpdate");
  for (const auto& r : revoked) {
    X509_REVOKEDPtr entry(X509_REVOKED_new());
    check(entry != nullptr, "X509_REVOKED_new");
    check(X509_REVOKED_set_serialNumber(entry.get(), X509_get_serialNumber(r.x509())) == 1,
          "X509_REVOKED_set_serialNumber");
    check(X509_REVOKED_set_revocationDate(entry.get(), last.get()) == 1,
          "X509_REVOKED_set_revocationDate");
    check(X509_CRL_add0_revoked(crl.get(), entry.get()) == 1, "X509_CRL_add0_revoked");
    entry.release(); // now owned by the CRL
  }
  check(X509_CRL_sort(crl.get()) == 1, "X509_CRL_sort");
  check(X509_CRL_sign(crl.get(), issuer.pkey(), EVP_sha256()) > 0, "X509_CRL_sign");
  return {crl.release(), X509_CRL_free};
}

// ---- Texts ------------------------------------------------------------------

std::string certPem(const TestCert& c) {
  BIOPtr bio = memBio();
  check(PEM_write_bio_X509(bio.get(), c.x509()) == 1, "PEM_write_bio_X509");
  return bioText(bio.get());
}

std::string certDer(const TestCert& c) {
  BIOPtr bio = memBio();
  check(i2d_X509_bio(bio.get(), c.x509()) == 1, "i2d_X509_bio");
  return bioText(bio.get());
}

std::string certBase64Der(const TestCert& c) {
  const std::string der = certDer(c);
  std::string out(4 * ((der.size() + 2) / 3) + 1, '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                reinterpret_cast<const unsigned char*>(der.data()),
                                static_cast<int>(der.size()));
  check(n >= 0, "EVP_EncodeBlock");
  out.resize(static_cast<size_t>(n));
  return out;
}

std::string keyText(EVP_PKEY* key, KeyFormat format, const std::string& password) {
  BIOPtr bio = memBio();
  const auto* pass = reinterpret_cast<const unsigned char*>(password.c_str());
  const int passLen = static_cast<int>(password.size());
  bool ok = false;
  switch (format) {
  case KeyFormat::PemRsa:
  case KeyFormat::PemSec1:
    ok = PEM_write_bio_PrivateKey_traditional(bio.get(), key, nullptr, nullptr, 0, nullptr,
                                              nullptr) == 1;
    break;
  case KeyFormat::PemPkcs8:
    ok = PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
    break;
  case KeyFormat::DerPkcs8:
    ok = i2d_PKCS8PrivateKey_bio(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
    break;
  case KeyFormat::DerRsa:
  case KeyFormat::DerSec1:
    ok = i2d_PrivateKey_bio(bio.get(), key) == 1;
    break;
  case KeyFormat::PemRsaEncrypted:
    ok = PEM_write_bio_PrivateKey_traditional(bio.get(), key, EVP_aes_256_cbc(), pass, passLen,
                                              nullptr, nullptr) == 1;
    break;
  case KeyFormat::PemDes3Encrypted:
    ok = PEM_write_bio_PrivateKey_traditional(bio.get(), key, EVP_des_ede3_cbc(), pass, passLen,
                                              nullptr, nullptr) == 1;
    break;
  case KeyFormat::PemDesEncrypted: {
    // Single DES only the legacy provider has.
    const EVP_CIPHERPtr des(EVP_CIPHER_fetch(legacyContext(), "DES-CBC", nullptr));
    check(des != nullptr, "DES-CBC");
    ok = PEM_write_bio_PrivateKey_traditional(bio.get(), key, des.get(), pass, passLen, nullptr,
                                              nullptr) == 1;
    break;
  }
  case KeyFormat::PemPkcs8Pbes1: {
    const PKCS8_PRIV_KEY_INFOPtr info(EVP_PKEY2PKCS8(key));
    check(info != nullptr, "EVP_PKEY2PKCS8");
    const X509_SIGPtr sig(PKCS8_encrypt_ex(NID_pbeWithMD5AndDES_CBC, nullptr, password.c_str(),
                                           passLen, nullptr, 0, 2048, info.get(), legacyContext(),
                                           nullptr));
    ok = sig != nullptr && PEM_write_bio_PKCS8(bio.get(), sig.get()) == 1;
    break;
  }
  case KeyFormat::PemPkcs8Encrypted:
    ok = PEM_write_bio_PKCS8PrivateKey(bio.get(), key, EVP_aes_256_cbc(), password.c_str(), passLen,
                                       nullptr, nullptr) == 1;
    break;
  case KeyFormat::DerPkcs8Encrypted:
    ok = i2d_PKCS8PrivateKey_bio(bio.get(), key, EVP_aes_256_cbc(), password.c_str(), passLen,
                                 nullptr, nullptr) == 1;
    break;
  case KeyFormat::Pvk: {
    // PVK encryption is RC4, which only the legacy provider has.
    std::string copy = password;
    ok = i2b_PVK_bio_ex(bio.get(), key, password.empty() ? 0 : 2, passwordCallback, &copy,
                        legacyContext(), nullptr) > 0;
    break;
  }
  }
  check(ok, "writing the private key");
  return bioText(bio.get());
}

// ---- Files ------------------------------------------------------------------

void writeFile(const Path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) {
    throw std::runtime_error("test PKI: cannot write " + path.string());
  }
}

void writeCertPem(const Path& path, const TestCert& c) {
  writeFile(path, certPem(c));
}

void writeCertsPem(const Path& path, const std::vector<TestCert>& certs) {
  std::string text;
  for (const auto& c : certs) {
    text += certPem(c);
  }
  writeFile(path, text);
}

void writeCertDer(const Path& path, const TestCert& c) {
  writeFile(path, certDer(c));
}

void writePkcs7(const Path& path, const std::vector<TestCert>& certs, bool pem) {
  PKCS7Ptr p7(PKCS7_new());
  check(p7 != nullptr, "PKCS7_new");
  check(PKCS7_set_type(p7.get(), NID_pkcs7_signed) == 1, "PKCS7_set_type");
  check(PKCS7_content_new(p7.get(), NID_pkcs7_data) == 1, "PKCS7_content_new");
  for (const auto& c : certs) {
    check(PKCS7_add_certificate(p7.get(), c.x509()) == 1, "PKCS7_add_certificate");
  }
  BIOPtr bio = memBio();
  check((pem ? PEM_write_bio_PKCS7(bio.get(), p7.get()) : i2d_PKCS7_bio(bio.get(), p7.get())) == 1,
        "writing PKCS#7");
  writeFile(path, bioText(bio.get()));
}

void writePfx(const Path& path, const TestCert& c, const std::string& password,
              const PfxOptions& options) {
  X509StackRefPtr ca(sk_X509_new_null());
  check(ca != nullptr, "sk_X509_new_null");
  for (const auto& extra : options.chain) {
    check(sk_X509_push(ca.get(), extra.x509()) > 0, "sk_X509_push");
  }
  int keyNid = 0;
  int certNid = 0;
  int macIter = PKCS12_DEFAULT_ITER;
  switch (options.cipher) {
  case PfxCipher::Modern:
    break;
  case PfxCipher::LegacyRc2:
    keyNid = NID_pbe_WithSHA1And3_Key_TripleDES_CBC;
    certNid = NID_pbe_WithSHA1And40BitRC2_CBC;
    macIter = 1;
    break;
  case PfxCipher::Legacy3Des:
    keyNid = NID_pbe_WithSHA1And3_Key_TripleDES_CBC;
    certNid = NID_pbe_WithSHA1And3_Key_TripleDES_CBC;
    macIter = 1;
    break;
  }
  OSSL_LIB_CTX* ctx = options.cipher == PfxCipher::Modern ? nullptr : legacyContext();
  PKCS12Ptr p12(PKCS12_create_ex(
      password.c_str(), options.friendlyName.c_str(), options.withKey ? c.pkey() : nullptr,
      options.withCert ? c.x509() : nullptr, sk_X509_num(ca.get()) > 0 ? ca.get() : nullptr, keyNid,
      certNid, PKCS12_DEFAULT_ITER, macIter, 0, ctx, nullptr));
  check(p12 != nullptr, "PKCS12_create_ex");
  BIOPtr bio = memBio();
  check(i2d_PKCS12_bio(bio.get(), p12.get()) == 1, "i2d_PKCS12_bio");
  writeFile(path, bioText(bio.get()));
}

void writeKey(const Path& path, EVP_PKEY* key, KeyFormat format, const std::string& password) {
  writeFile(path, keyText(key, format, password));
}

void writeCrlPem(const Path& path, X509_CRL* crl) {
  BIOPtr bio = memBio();
  check(PEM_write_bio_X509_CRL(bio.get(), crl) == 1, "PEM_write_bio_X509_CRL");
  writeFile(path, bioText(bio.get()));
}

void writeCrlDer(const Path& path, X509_CRL* crl) {
  BIOPtr bio = memBio();
  check(i2d_X509_CRL_bio(bio.get(), crl) == 1, "i2d_X509_CRL_bio");
  writeFile(path, bioText(bio.get()));
}

// ---- TempDir ----------------------------------------------------------------

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "orvo-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("test PKI: mkdtemp failed");
  }
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  // Tests may leave read-only files or folders behind; make them removable.
  for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
  }
  std::filesystem::remove_all(path_, ec);
}

} // namespace orvo::test
