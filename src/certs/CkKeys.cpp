// Private keys, public keys and RSA objects over libcrypto.
//
// The XML key form is the XML-signature RSAKeyValue (RFC 3275 4.4.2.2) with
// the private parts that .NET adds: Modulus, Exponent, P, Q, DP, DQ,
// InverseQ, D, each a base64 big-endian number.
#include "certs/CkData.h"
#include "certs/SslSupport.h"
#include "files/Secret.h"

#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/param_build.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace orvo::ck {

using detail::takeSslErrors;

namespace {

// ---- Reading keys -------------------------------------------------------------------------

// Never lets OpenSSL prompt on a terminal: without a passphrase an encrypted
// key simply fails.
int noPassword(char* /*buf*/, int /*size*/, int /*rwflag*/, void* /*user*/) {
  return -1;
}

bool isPem(std::string_view bytes) {
  return bytes.find("-----BEGIN ") != std::string_view::npos;
}

bool plausibleEncryptedPkcs8(const unsigned char* der, long len) {
  const unsigned char* p = der;
  const ssl::X509_SIGPtr sig(d2i_X509_SIG(nullptr, &p, len));
  if (sig == nullptr) {
    return true; // not an encrypted PKCS#8 key; its reader decides
  }
  const X509_ALGOR* alg = nullptr;
  X509_SIG_get0(sig.get(), &alg, nullptr);
  return alg == nullptr || detail::plausiblePbe(alg);
}

// Checks the encrypted PKCS#8 blocks of a PEM text or a DER key before anything
// is decrypted.
bool plausibleKeyIterations(std::string_view bytes) {
  bool ok = true;
  if (!isPem(bytes)) {
    ok = plausibleEncryptedPkcs8(reinterpret_cast<const unsigned char*>(bytes.data()),
                                 static_cast<long>(bytes.size()));
  } else {
    const ssl::BIOPtr bio = detail::readOnlyBio(bytes);
    detail::forEachPemBlock(bio.get(), [&](const detail::PemBlock& block) {
      if (block.name == PEM_STRING_PKCS8) {
        ok = plausibleEncryptedPkcs8(block.data, block.len);
      }
      return ok;
    });
  }
  ERR_clear_error();
  return ok;
}

ssl::EVP_PKEYPtr pemKey(std::string_view text, const std::string* password) {
  if (password != nullptr && !plausibleKeyIterations(text)) {
    ERR_raise_data(ERR_LIB_EVP, ERR_R_PASSED_INVALID_ARGUMENT, "implausible iteration count");
    return nullptr;
  }
  ssl::BIOPtr bio = detail::readOnlyBio(text);
  if (bio == nullptr) {
    return nullptr;
  }
  pem_password_cb* cb = password != nullptr ? detail::passwordCallback : noPassword;
  ssl::EVP_PKEYPtr key(
      PEM_read_bio_PrivateKey(bio.get(), nullptr, cb, const_cast<std::string*>(password)));
  if (key == nullptr && password != nullptr && detail::loadLegacyProviderNow()) {
    // Keys encrypted with DES or a PKCS#5 v1 scheme need the legacy ciphers.
    ERR_clear_error();
    return pemKey(text, password);
  }
  return key;
}

ssl::EVP_PKEYPtr pkcs8DerKey(std::string_view der) {
  const auto* p = reinterpret_cast<const unsigned char*>(der.data());
  ssl::PKCS8_PRIV_KEY_INFOPtr info(
      d2i_PKCS8_PRIV_KEY_INFO(nullptr, &p, static_cast<long>(der.size())));
  return ssl::EVP_PKEYPtr(info ? EVP_PKCS82PKEY(info.get()) : nullptr);
}

ssl::EVP_PKEYPtr encryptedPkcs8DerKey(std::string_view der, const std::string& password) {
  if (!plausibleKeyIterations(der)) {
    ERR_raise_data(ERR_LIB_EVP, ERR_R_PASSED_INVALID_ARGUMENT, "implausible iteration count");
    return nullptr;
  }
  ssl::BIOPtr bio = detail::readOnlyBio(der);
  if (bio == nullptr) {
    return nullptr;
  }
  ssl::EVP_PKEYPtr key(d2i_PKCS8PrivateKey_bio(bio.get(), nullptr, detail::passwordCallback,
                                               const_cast<std::string*>(&password)));
  if (key == nullptr && detail::loadLegacyProviderNow()) {
    ERR_clear_error();
    return encryptedPkcs8DerKey(der, password);
  }
  return key;
}

ssl::EVP_PKEYPtr rsaDerKey(std::string_view der) {
  const auto* p = reinterpret_cast<const unsigned char*>(der.data());
  return ssl::EVP_PKEYPtr(d2i_PrivateKey(EVP_PKEY_RSA, nullptr, &p, static_cast<long>(der.size())));
}

ssl::EVP_PKEYPtr anyDerKey(std::string_view der) {
  const auto* p = reinterpret_cast<const unsigned char*>(der.data());
  return ssl::EVP_PKEYPtr(d2i_AutoPrivateKey(nullptr, &p, static_cast<long>(der.size())));
}

ssl::EVP_PKEYPtr pvkKey(std::string_view bytes, const std::string& password) {
  auto attempt = [&] {
    ssl::BIOPtr bio = detail::readOnlyBio(bytes);
    return ssl::EVP_PKEYPtr(
        bio ? b2i_PVK_bio(bio.get(), detail::passwordCallback, const_cast<std::string*>(&password))
            : nullptr);
  };
  ssl::EVP_PKEYPtr key = attempt();
  if (key == nullptr && detail::ensureLegacyProvider()) {
    ERR_clear_error();
    key = attempt(); // encrypted PVK files use RC4, a legacy cipher
  }
  return key;
}

// ---- Signatures for the pair proof ---------------------------------------------------------

// The digest OpenSSL names for the key (SHA-256 for EC, the restricted one
// for RSA-PSS); none for keys that sign the message itself (Ed25519, Ed448).
std::optional<std::string> digestFor(EVP_PKEY* key) {
  char name[80] = {};
  if (EVP_PKEY_get_default_digest_name(key, name, sizeof name) <= 0) {
    ERR_clear_error();
    return std::string("SHA256");
  }
  if (std::string_view(name) == "UNDEF") {
    return std::nullopt;
  }
  return std::string(name);
}

std::string signBytes(EVP_PKEY* key, const std::string& data) {
  if (key == nullptr) {
    return {};
  }
  const std::optional<std::string> digest = digestFor(key);
  ssl::EVP_MD_CTXPtr ctx(EVP_MD_CTX_new());
  const auto* in = reinterpret_cast<const unsigned char*>(data.data());
  size_t len = 0;
  std::string signature;
  if (ctx != nullptr &&
      EVP_DigestSignInit_ex(ctx.get(), nullptr, digest ? digest->c_str() : nullptr, nullptr,
                            nullptr, key, nullptr) == 1 &&
      EVP_DigestSign(ctx.get(), nullptr, &len, in, data.size()) == 1) {
    signature.resize(len);
    if (EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char*>(signature.data()), &len, in,
                       data.size()) == 1) {
      signature.resize(len);
      ERR_clear_error();
      return signature;
    }
  }
  ERR_clear_error();
  return {};
}

bool verifyBytes(EVP_PKEY* key, const std::string& data, const std::string& signature) {
  if (key == nullptr || signature.empty()) {
    return false;
  }
  const std::optional<std::string> digest = digestFor(key);
  ssl::EVP_MD_CTXPtr ctx(EVP_MD_CTX_new());
  const bool ok =
      ctx != nullptr &&
      EVP_DigestVerifyInit_ex(ctx.get(), nullptr, digest ? digest->c_str() : nullptr, nullptr,
                              nullptr, key, nullptr) == 1 &&
      EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char*>(signature.data()),
                       signature.size(), reinterpret_cast<const unsigned char*>(data.data()),
                       data.size()) == 1;
  ERR_clear_error();
  return ok;
}

// Keeps a successfully read key, or records why there is none.
bool takeKey(CkPrivateKey::Data& d, ssl::EVP_PKEYPtr key, std::string_view what) {
  if (key == nullptr) {
    d.lastError = takeSslErrors(what);
    return false;
  }
  ERR_clear_error();
  d.key = std::move(key);
  return true;
}

template <typename Reader>
bool loadFile(CkPrivateKey::Data& d, const std::string& path, Reader read, std::string_view what) {
  files::SecretText bytes; // key text, wiped once parsed
  if (!detail::readInputFile(path, bytes.Text(), d.lastError)) {
    return false;
  }
  return takeKey(d, read(std::string_view(bytes.Text())), what);
}

// ---- RSA numbers and XML ------------------------------------------------------------------

struct RsaPart {
  const char* tag;
  const char* param;
  bool half; // padded to half the modulus length (as .NET expects)
};

constexpr std::array<RsaPart, 8> kRsaParts{{
    {"Modulus", OSSL_PKEY_PARAM_RSA_N, false},
    {"Exponent", OSSL_PKEY_PARAM_RSA_E, false},
    {"P", OSSL_PKEY_PARAM_RSA_FACTOR1, true},
    {"Q", OSSL_PKEY_PARAM_RSA_FACTOR2, true},
    {"DP", OSSL_PKEY_PARAM_RSA_EXPONENT1, true},
    {"DQ", OSSL_PKEY_PARAM_RSA_EXPONENT2, true},
    {"InverseQ", OSSL_PKEY_PARAM_RSA_COEFFICIENT1, true},
    {"D", OSSL_PKEY_PARAM_RSA_D, false},
}};

std::string bnBytes(const BIGNUM* bn, int padTo) {
  const int natural = BN_num_bytes(bn);
  const int size = std::max(natural, padTo);
  std::string out(static_cast<size_t>(size), '\0');
  if (BN_bn2binpad(bn, reinterpret_cast<unsigned char*>(out.data()), size) != size) {
    return {};
  }
  return out;
}

// The RSAKeyValue of key; with the private parts when withPrivate. Empty when
// the key is no RSA key or a part is missing.
std::string rsaXml(EVP_PKEY* key, bool withPrivate) {
  if (key == nullptr || EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA) {
    return {};
  }
  const int modulusBytes = (EVP_PKEY_get_bits(key) + 7) / 8;
  std::string xml = "<RSAKeyValue>";
  for (const auto& part : kRsaParts) {
    const bool isPublic =
        std::string_view(part.tag) == "Modulus" || std::string_view(part.tag) == "Exponent";
    if (!isPublic && !withPrivate) {
      continue;
    }
    BIGNUM* raw = nullptr;
    if (EVP_PKEY_get_bn_param(key, part.param, &raw) != 1) {
      ERR_clear_error();
      return {};
    }
    const ssl::BIGNUMPtr bn(raw);
    const int pad =
        part.half ? (modulusBytes + 1) / 2 : (std::string_view(part.tag) == "D" ? modulusBytes : 0);
    xml += "<" + std::string(part.tag) + ">" + detail::base64Encode(bnBytes(bn.get(), pad)) + "</" +
           part.tag + ">";
  }
  return xml + "</RSAKeyValue>";
}

// The text between <tag> and </tag>, or nothing.
std::optional<std::string> xmlElement(std::string_view xml, const std::string& tag) {
  const std::string open = "<" + tag + ">";
  const std::string close = "</" + tag + ">";
  const auto start = xml.find(open);
  if (start == std::string_view::npos) {
    return std::nullopt;
  }
  const auto from = start + open.size();
  const auto end = xml.find(close, from);
  if (end == std::string_view::npos) {
    return std::nullopt;
  }
  return std::string(xml.substr(from, end - from));
}

// Builds an RSA key from its XML form; the public parts are required, the
// private ones when withPrivate (D at least; the CRT parts when present).
ssl::EVP_PKEYPtr keyFromXml(std::string_view xml, bool withPrivate) {
  std::vector<ssl::BIGNUMPtr> numbers;
  using BldPtr = ssl::Ptr<OSSL_PARAM_BLD, OSSL_PARAM_BLD_free>;
  BldPtr bld(OSSL_PARAM_BLD_new());
  if (bld == nullptr) {
    return nullptr;
  }
  bool havePrivate = false;
  for (const auto& part : kRsaParts) {
    const std::string_view tag(part.tag);
    const bool isPublic = tag == "Modulus" || tag == "Exponent";
    if (!isPublic && !withPrivate) {
      continue;
    }
    const auto text = xmlElement(xml, part.tag);
    std::string bytes;
    if (!text || !detail::base64Decode(*text, bytes) || bytes.empty()) {
      if (isPublic || tag == "D") {
        return nullptr;
      }
      continue; // CRT parts are optional
    }
    ssl::BIGNUMPtr bn(BN_bin2bn(reinterpret_cast<const unsigned char*>(bytes.data()),
                                static_cast<int>(bytes.size()), nullptr));
    if (bn == nullptr || OSSL_PARAM_BLD_push_BN(bld.get(), part.param, bn.get()) != 1) {
      return nullptr;
    }
    havePrivate = havePrivate || tag == "D";
    numbers.push_back(std::move(bn));
  }
  using ParamPtr = ssl::Ptr<OSSL_PARAM, OSSL_PARAM_free>;
  ParamPtr params(OSSL_PARAM_BLD_to_param(bld.get()));
  ssl::EVP_PKEY_CTXPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
  EVP_PKEY* key = nullptr;
  if (params == nullptr || ctx == nullptr || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
      EVP_PKEY_fromdata(ctx.get(), &key, havePrivate ? EVP_PKEY_KEYPAIR : EVP_PKEY_PUBLIC_KEY,
                        params.get()) != 1) {
    return nullptr;
  }
  return ssl::EVP_PKEYPtr(key);
}

std::string hexEncode(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (const char c : bytes) {
    const auto u = static_cast<unsigned char>(c);
    out.push_back(kDigits[u >> 4]);
    out.push_back(kDigits[u & 15]);
  }
  return out;
}

std::optional<std::string> hexDecode(std::string_view text) {
  auto value = [](char c) -> int {
    if (c >= '0' && c <= '9') {
      return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
      return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
      return c - 'A' + 10;
    }
    return -1;
  };
  if (text.size() % 2 != 0) {
    return std::nullopt;
  }
  std::string out;
  out.reserve(text.size() / 2);
  for (size_t i = 0; i < text.size(); i += 2) {
    const int hi = value(text[i]);
    const int lo = value(text[i + 1]);
    if (hi < 0 || lo < 0) {
      return std::nullopt;
    }
    out.push_back(static_cast<char>(hi * 16 + lo));
  }
  return out;
}

} // namespace

// ---- CkPrivateKey ---------------------------------------------------------------------------

CkPrivateKey::CkPrivateKey() : d_(std::make_unique<Data>()) {}
CkPrivateKey::~CkPrivateKey() = default;

bool CkPrivateKey::LoadPemFile(const std::string& path) {
  return loadFile(
      *d_, path, [](std::string_view b) { return pemKey(b, nullptr); }, "reading the PEM key");
}

bool CkPrivateKey::LoadPkcs8File(const std::string& path) {
  return loadFile(
      *d_, path, [](std::string_view b) { return isPem(b) ? pemKey(b, nullptr) : pkcs8DerKey(b); },
      "reading the PKCS#8 key");
}

bool CkPrivateKey::LoadRsaDerFile(const std::string& path) {
  return loadFile(*d_, path, rsaDerKey, "reading the RSA DER key");
}

bool CkPrivateKey::LoadDerFile(const std::string& path) {
  return loadFile(
      *d_, path, [](std::string_view b) { return isPem(b) ? nullptr : anyDerKey(b); },
      "reading the DER key");
}

bool CkPrivateKey::LoadEncryptedPemFile(const std::string& path, const std::string& password) {
  return loadFile(
      *d_, path, [&](std::string_view b) { return pemKey(b, &password); },
      "reading the encrypted PEM key");
}

bool CkPrivateKey::LoadPkcs8EncryptedFile(const std::string& path, const std::string& password) {
  return loadFile(
      *d_, path,
      [&](std::string_view b) {
        return isPem(b) ? pemKey(b, &password) : encryptedPkcs8DerKey(b, password);
      },
      "reading the encrypted PKCS#8 key");
}

bool CkPrivateKey::LoadPvkFile(const std::string& path, const std::string& password) {
  return loadFile(
      *d_, path, [&](std::string_view b) { return pvkKey(b, password); }, "reading the PVK key");
}

bool CkPrivateKey::LoadPem(const std::string& text) {
  return takeKey(*d_, pemKey(text, nullptr), "reading the PEM key");
}

bool CkPrivateKey::LoadEncryptedPem(const std::string& text, const std::string& password) {
  return takeKey(*d_, pemKey(text, &password), "reading the encrypted PEM key");
}

namespace {

bool saveKey(std::string& error, const std::string& path, std::string text) {
  const files::SecretText secret(std::move(text)); // wiped once written
  if (secret.Text().empty()) {
    return false;
  }
  return detail::writeFileReplacing(path, secret.Text(), detail::FileKind::PrivateKey, error);
}

} // namespace

bool CkPrivateKey::SaveRsaPemFile(const std::string& path) const {
  return saveKey(d_->lastError, path, _getRsaPem());
}

bool CkPrivateKey::SavePkcs8EncryptedFile(const std::string& password,
                                          const std::string& path) const {
  if (d_->key == nullptr) {
    d_->lastError = "no key loaded";
    return false;
  }
  // PKCS#8 with PBES2: PBKDF2 (HMAC-SHA256) and AES-256-CBC.
  ssl::BIOPtr bio(BIO_new(BIO_s_mem()));
  std::string pass = password;
  if (bio == nullptr ||
      PEM_write_bio_PKCS8PrivateKey(bio.get(), d_->key.get(), EVP_aes_256_cbc(), nullptr, 0,
                                    detail::passwordCallback, &pass) != 1) {
    d_->lastError = takeSslErrors("writing the encrypted PKCS#8 key");
    return false;
  }
  return saveKey(d_->lastError, path, detail::bioBytes(bio.get()));
}

bool CkPrivateKey::SavePkcs8PemFile(const std::string& path) const {
  return saveKey(d_->lastError, path, _getPkcs8Pem());
}

std::string CkPrivateKey::_getPkcs8Pem() const {
  if (d_->key == nullptr) {
    d_->lastError = "no key loaded";
    return {};
  }
  ssl::BIOPtr bio(BIO_new(BIO_s_mem()));
  if (bio == nullptr || PEM_write_bio_PrivateKey(bio.get(), d_->key.get(), nullptr, nullptr, 0,
                                                 nullptr, nullptr) != 1) {
    d_->lastError = takeSslErrors("writing the PKCS#8 key");
    return {};
  }
  return detail::bioBytes(bio.get());
}

std::string CkPrivateKey::_keyType() const {
  return detail::keyTypeName(d_->key.get());
}

std::string CkPrivateKey::_publicKeyDer() const {
  return detail::publicKeyDer(d_->key.get());
}

std::string CkPrivateKey::_signBytes(const std::string& data) const {
  return signBytes(d_->key.get(), data);
}

std::string CkPrivateKey::_getRsaPem() const {
  if (d_->key == nullptr || EVP_PKEY_get_base_id(d_->key.get()) != EVP_PKEY_RSA) {
    d_->lastError = "no RSA key loaded";
    return {};
  }
  ssl::BIOPtr bio(BIO_new(BIO_s_mem()));
  if (bio == nullptr || PEM_write_bio_PrivateKey_traditional(bio.get(), d_->key.get(), nullptr,
                                                             nullptr, 0, nullptr, nullptr) != 1) {
    d_->lastError = takeSslErrors("writing the RSA key");
    return {};
  }
  return detail::bioBytes(bio.get());
}

std::string CkPrivateKey::_getXml() const {
  return rsaXml(d_->key.get(), true);
}

// ---- CkPublicKey ----------------------------------------------------------------------------

CkPublicKey::CkPublicKey() : d_(std::make_unique<Data>()) {}
CkPublicKey::~CkPublicKey() = default;

std::string CkPublicKey::_getXml() const {
  return rsaXml(d_->key.get(), false);
}

std::string CkPublicKey::_keyType() const {
  return detail::keyTypeName(d_->key.get());
}

std::string CkPublicKey::_getDer() const {
  return detail::publicKeyDer(d_->key.get());
}

int CkPublicKey::getNumBits() const {
  return d_->key ? EVP_PKEY_get_bits(d_->key.get()) : 0;
}

bool CkPublicKey::VerifyBytes(const std::string& data, const std::string& signature) const {
  return verifyBytes(d_->key.get(), data, signature);
}

// ---- CkRsa ----------------------------------------------------------------------------------

CkRsa::CkRsa() : d_(std::make_unique<Data>()) {}
CkRsa::~CkRsa() = default;

void CkRsa::putEncodingMode(const std::string& mode) {
  d_->encoding = mode;
}

bool CkRsa::ImportPublicKey(const std::string& xml) {
  ssl::EVP_PKEYPtr key = keyFromXml(xml, false);
  ERR_clear_error();
  if (key == nullptr) {
    return false;
  }
  d_->key = std::move(key);
  d_->isPrivate = false;
  return true;
}

bool CkRsa::ImportPrivateKey(const std::string& xml) {
  ssl::EVP_PKEYPtr key = keyFromXml(xml, true);
  ERR_clear_error();
  if (key == nullptr) {
    return false;
  }
  d_->key = std::move(key);
  d_->isPrivate = true;
  return true;
}

namespace {

std::string encodeOut(const std::string& mode, std::string_view bytes) {
  return mode == "base64" ? detail::base64Encode(bytes) : hexEncode(bytes);
}

std::optional<std::string> decodeIn(const std::string& mode, std::string_view text) {
  if (mode == "base64") {
    std::string out;
    return detail::base64Decode(text, out) ? std::optional<std::string>(out) : std::nullopt;
  }
  return hexDecode(text);
}

// One RSA operation with PKCS#1 v1.5 padding: encrypt or decrypt with the
// public key, or their private-key counterparts (sign and recover raw).
enum class RsaOp { PublicEncrypt, PrivateDecrypt, PrivateEncrypt, PublicDecrypt };

std::optional<std::string> rsaApply(EVP_PKEY* key, RsaOp op, std::string_view in) {
  ssl::EVP_PKEY_CTXPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
  if (ctx == nullptr) {
    return std::nullopt;
  }
  int ok = 0;
  switch (op) {
  case RsaOp::PublicEncrypt:
    ok = EVP_PKEY_encrypt_init(ctx.get());
    break;
  case RsaOp::PrivateDecrypt:
    ok = EVP_PKEY_decrypt_init(ctx.get());
    break;
  case RsaOp::PrivateEncrypt:
    ok = EVP_PKEY_sign_init(ctx.get());
    break;
  case RsaOp::PublicDecrypt:
    ok = EVP_PKEY_verify_recover_init(ctx.get());
    break;
  }
  if (ok != 1 || EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1) {
    return std::nullopt;
  }
  const auto* src = reinterpret_cast<const unsigned char*>(in.data());
  size_t outLen = static_cast<size_t>(EVP_PKEY_get_size(key));
  std::string out(outLen, '\0');
  auto* dst = reinterpret_cast<unsigned char*>(out.data());
  switch (op) {
  case RsaOp::PublicEncrypt:
    ok = EVP_PKEY_encrypt(ctx.get(), dst, &outLen, src, in.size());
    break;
  case RsaOp::PrivateDecrypt:
    ok = EVP_PKEY_decrypt(ctx.get(), dst, &outLen, src, in.size());
    break;
  case RsaOp::PrivateEncrypt:
    ok = EVP_PKEY_sign(ctx.get(), dst, &outLen, src, in.size());
    break;
  case RsaOp::PublicDecrypt:
    ok = EVP_PKEY_verify_recover(ctx.get(), dst, &outLen, src, in.size());
    break;
  }
  if (ok != 1) {
    return std::nullopt;
  }
  out.resize(outLen);
  return out;
}

} // namespace

std::string CkRsa::_encryptStringENC(const std::string& text, bool usePrivateKey) {
  if (d_->key == nullptr || (usePrivateKey && !d_->isPrivate)) {
    return {};
  }
  const auto out =
      rsaApply(d_->key.get(), usePrivateKey ? RsaOp::PrivateEncrypt : RsaOp::PublicEncrypt, text);
  ERR_clear_error();
  return out ? encodeOut(d_->encoding, *out) : std::string();
}

std::string CkRsa::_decryptStringENC(const std::string& cipherText, bool usePrivateKey) {
  if (d_->key == nullptr || (usePrivateKey && !d_->isPrivate)) {
    return {};
  }
  const auto in = decodeIn(d_->encoding, cipherText);
  if (!in) {
    return {};
  }
  const auto out =
      rsaApply(d_->key.get(), usePrivateKey ? RsaOp::PrivateDecrypt : RsaOp::PublicDecrypt, *in);
  ERR_clear_error();
  return out ? *out : std::string();
}

int CkRsa::getNumBits() const {
  return d_->key ? EVP_PKEY_get_bits(d_->key.get()) : 0;
}

} // namespace orvo::ck

namespace orvo::ck {

namespace {

CkKeyContent pemBlockContent(std::string_view name, std::string_view header) {
  if (name == "OPENSSH PRIVATE KEY") {
    return CkKeyContent::OpenSshKey;
  }
  if (name == PEM_STRING_PKCS8 ||
      (name.ends_with("PRIVATE KEY") && header.find("ENCRYPTED") != std::string_view::npos)) {
    return CkKeyContent::EncryptedPrivateKey;
  }
  if (name.ends_with("PRIVATE KEY")) {
    return CkKeyContent::PrivateKey;
  }
  if (name.ends_with("PUBLIC KEY")) {
    return CkKeyContent::PublicKey;
  }
  if (name.ends_with("CERTIFICATE REQUEST")) {
    return CkKeyContent::CertificateRequest;
  }
  if (name.ends_with("CERTIFICATE") || name == "PKCS7") {
    return CkKeyContent::Certificate;
  }
  if (name.ends_with("PARAMETERS")) {
    return CkKeyContent::Parameters;
  }
  return CkKeyContent::Unknown;
}

// The most telling block of a PEM text: a key above everything else, then
// what else a key file might be mistaken for.
CkKeyContent pemContent(std::string_view text) {
  CkKeyContent best = CkKeyContent::Unknown;
  const ssl::BIOPtr bio = detail::readOnlyBio(text);
  detail::forEachPemBlock(bio.get(), [&](const detail::PemBlock& block) {
    // The enumerators are ordered from the most to the least telling.
    best = std::min(best, pemBlockContent(block.name, block.header));
    return true;
  });
  ERR_clear_error();
  return best;
}

CkKeyContent derContent(std::string_view der) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(der.data());
  const auto len = static_cast<long>(der.size());
  const unsigned char* p = bytes;
  CkKeyContent content = CkKeyContent::Unknown;
  if (ssl::EVP_PKEYPtr(d2i_AutoPrivateKey(nullptr, &p, len)) != nullptr) {
    content = CkKeyContent::PrivateKey;
  } else if (p = bytes; ssl::X509_SIGPtr(d2i_X509_SIG(nullptr, &p, len)) != nullptr) {
    content = CkKeyContent::EncryptedPrivateKey;
  } else if (p = bytes; ssl::PKCS12Ptr(d2i_PKCS12(nullptr, &p, len)) != nullptr) {
    content = CkKeyContent::Pkcs12;
  } else if (p = bytes; ssl::EVP_PKEYPtr(d2i_PUBKEY(nullptr, &p, len)) != nullptr) {
    content = CkKeyContent::PublicKey;
  } else if (p = bytes; ssl::X509Ptr(d2i_X509(nullptr, &p, len)) != nullptr) {
    content = CkKeyContent::Certificate;
  }
  ERR_clear_error();
  return content;
}

bool isOpenSshPublicLine(std::string_view text) {
  const auto start = text.find_first_not_of(" \t\r\n");
  if (start == std::string_view::npos) {
    return false;
  }
  const std::string_view rest = text.substr(start);
  return rest.starts_with("ssh-") || rest.starts_with("ecdsa-sha2-") ||
         rest.starts_with("sk-ssh-") || rest.starts_with("sk-ecdsa-");
}

} // namespace

CkKeyContent InspectKeyContent(const std::string& bytes) {
  if (isPem(bytes)) {
    return pemContent(bytes);
  }
  if (isOpenSshPublicLine(bytes)) {
    return CkKeyContent::OpenSshKey;
  }
  return derContent(bytes);
}

CkKeyContent InspectKeyFile(const std::string& path) {
  files::SecretText bytes; // may be key text
  std::string error;
  return detail::readInputFile(path, bytes.Text(), error) ? InspectKeyContent(bytes.Text())
                                                          : CkKeyContent::Unknown;
}

std::string RandomBytes(std::size_t count) {
  std::string out(count, '\0');
  if (RAND_bytes(reinterpret_cast<unsigned char*>(out.data()), static_cast<int>(count)) != 1) {
    ERR_clear_error();
    return {};
  }
  return out;
}

} // namespace orvo::ck
