#include "tls/TlsContext.h"

#include "tls/TlsError.h"

#include "files/BoundedRead.h"
#include "files/Secret.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <utility>

namespace orvo {

namespace {

constexpr const char* kDefaultCipherList = "AES:ALL:!aNULL:!SRP:!eNULL:+RC4:@STRENGTH";
constexpr const char* kEcdhCurve = "secp384r1";
// The groups each side names: secp384r1 first, so that the key exchange stays
// on it, then the other curves of ECDSA certificates. In TLS 1.2 a server may
// only use an ECDSA certificate whose curve the client names among its groups.
constexpr const char* kGroups = "secp384r1:prime256v1:secp521r1";

struct TBioDeleter {
  const TOpenSSLEntryPoints* api;
  void operator()(BIO* aBio) const { api->BIO_free(aBio); }
};
struct TX509Deleter {
  const TOpenSSLEntryPoints* api;
  void operator()(X509* aCertificate) const { api->X509_free(aCertificate); }
};
struct TPkeyDeleter {
  const TOpenSSLEntryPoints* api;
  void operator()(EVP_PKEY* aKey) const { api->EVP_PKEY_free(aKey); }
};
struct TEcKeyDeleter {
  const TOpenSSLEntryPoints* api;
  void operator()(EC_KEY* aKey) const { api->EC_KEY_free(aKey); }
};

// Reads a whole file; false when it cannot be opened or read.
bool ReadWholeFile(const std::string& aFile, std::string& aText) {
  return files::ReadRegularFile(aFile, aText).Ok();
}

std::string CannotRead(const std::string& aFile) {
  return "cannot read " + aFile + ": " + std::strerror(errno);
}

// The option that switches a protocol version off. SSL_OP_NO_SSLv2 is 0 in
// OpenSSL 3 (SSL 2.0 is gone); its 1.0 value now means something else.
struct TVersionOption {
  TSSLVersion version;
  std::uint64_t option;
};
constexpr TVersionOption kVersionOptions[] = {
    {TSSLVersion::sslvSSLv2, SSL_OP_NO_SSLv2},     {TSSLVersion::sslvSSLv3, SSL_OP_NO_SSLv3},
    {TSSLVersion::sslvTLSv1, SSL_OP_NO_TLSv1},     {TSSLVersion::sslvTLSv1_1, SSL_OP_NO_TLSv1_1},
    {TSSLVersion::sslvTLSv1_2, SSL_OP_NO_TLSv1_2}, {TSSLVersion::sslvTLSv1_3, SSL_OP_NO_TLSv1_3},
};

} // namespace

std::string TakeOpenSSLErrorText(const TOpenSSLEntryPoints& aApi, const std::string& aFallback) {
  const unsigned long error = aApi.ERR_get_error();
  if (error == 0) {
    return aFallback;
  }
  char text[256] = {};
  aApi.ERR_error_string_n(error, text, sizeof(text));
  aApi.ERR_clear_error();
  return text;
}

std::filesystem::path TTLSContext::DhParameterFile(const std::filesystem::path& aProgramFolder) {
  std::filesystem::path folder = aProgramFolder;
  if (aProgramFolder.string().find("64 bit") != std::string::npos) {
    folder /= "..";
  }
  return folder / "cert" / "dh.pem";
}

TTLSContext::TTLSContext(TOpenSSLBinding& aBinding, const TLSOptions& aOptions,
                         TSSLMode aDefaultMode, TPassphraseEvents aEvents,
                         const std::filesystem::path& aProgramFolder)
    : fBinding(aBinding), fApi(&aBinding.EntryPoints()), fEvents(std::move(aEvents)),
      fContext(nullptr, TContextDeleter{fApi}) {
  if (!fBinding.EnsureOpenSSLLoaded()) {
    throw ETLSError("Could not load SSL library.");
  }
  const TSSLMode mode = aOptions.Mode == TSSLMode::sslmUnassigned ? aDefaultMode : aOptions.Mode;
  fApi->ERR_clear_error(); // the texts below must describe this context only
  const SSL_METHOD* const method = ChooseMethod(aOptions.Method(), mode);
  fContext.reset(fApi->SSL_CTX_new(method));
  if (fContext == nullptr) {
    throw ETLSError("Error creating SSL context.");
  }
  SetProtocolOptions(aOptions.SSLVersions());
  SetDhParameters(aProgramFolder);
  SetEcdhCurve();
  fApi->SSL_CTX_ctrl(Handle(), SSL_CTRL_MODE, SSL_MODE_AUTO_RETRY, nullptr);
  fApi->SSL_CTX_set_default_passwd_cb(Handle(), &TTLSContext::PassphraseCallback);
  fApi->SSL_CTX_set_default_passwd_cb_userdata(Handle(), this);
  // The system's trust folder, looked up lazily when a certificate is needed.
  // The default bundle file is not parsed up front: that costs about 25 ms
  // per context, and these contexts verify no peer.
  if (fApi->SSL_CTX_set_default_verify_dir(Handle()) <= 0) {
    fApi->ERR_clear_error(); // only a help for chain building; carry on without
  }
  LoadRootCertificates(aOptions);
  if (!aOptions.CertFile.empty()) {
    LoadCertificate(aOptions.CertFile);
  }
  if (!aOptions.KeyFile.empty()) {
    LoadKey(aOptions.KeyFile);
  }
  SetCipherList(aOptions.CipherList);
  if (aOptions.VerifyMode != 0) {
    fApi->SSL_CTX_set_verify(Handle(), aOptions.VerifyMode, nullptr);
    fApi->SSL_CTX_set_verify_depth(Handle(), aOptions.VerifyDepth);
  }
  if (mode == TSSLMode::sslmServer) {
    const std::int32_t sessionIdContext = 1;
    if (fApi->SSL_CTX_set_session_id_context(
            Handle(), reinterpret_cast<const unsigned char*>(&sessionIdContext),
            sizeof(sessionIdContext)) <= 0) {
      throw ETLSError("Error creating SSL context.\r\n" + TakeOpenSSLErrorText(*fApi, ""));
    }
  }
  if (!aOptions.RootCertFile.empty()) {
    // Names of acceptable client-certificate issuers; an empty list is fine.
    fApi->SSL_CTX_set_client_CA_list(Handle(),
                                     fApi->SSL_load_client_CA_file(aOptions.RootCertFile.c_str()));
    fApi->ERR_clear_error();
  }
}

TTLSContext::~TTLSContext() = default;

TSslPtr TTLSContext::NewSession(const std::string& aFailure) const {
  TSslPtr session(fApi->SSL_new(Handle()), TSslDeleter{fApi});
  if (session == nullptr) {
    throw ETLSError(aFailure + "\r\n" + TakeOpenSSLErrorText(*fApi, "SSL_new failed"));
  }
  return session;
}

const SSL_METHOD* TTLSContext::ChooseMethod(TSSLVersion aMethod, TSSLMode aMode) const {
  if (aMode == TSSLMode::sslmUnassigned) {
    throw ETLSError("Mode has not been set.");
  }
  struct TMethods {
    TSslMethodFn general, server, client;
  };
  const TOpenSSLEntryPoints& a = *fApi;
  TMethods methods{};
  switch (aMethod) {
  case TSSLVersion::sslvSSLv23:
  case TSSLVersion::sslvTLSv1_3: // no method of its own: TLS_* limited by the options
    methods = {a.TLS_method, a.TLS_server_method, a.TLS_client_method};
    break;
  case TSSLVersion::sslvTLSv1:
    methods = {a.TLSv1_method, a.TLSv1_server_method, a.TLSv1_client_method};
    break;
  case TSSLVersion::sslvTLSv1_1:
    methods = {a.TLSv1_1_method, a.TLSv1_1_server_method, a.TLSv1_1_client_method};
    break;
  case TSSLVersion::sslvTLSv1_2:
    methods = {a.TLSv1_2_method, a.TLSv1_2_server_method, a.TLSv1_2_client_method};
    break;
  case TSSLVersion::sslvSSLv2: // not in OpenSSL 3
  case TSSLVersion::sslvSSLv3:
    break;
  }
  const TSslMethodFn chosen = aMode == TSSLMode::sslmClient   ? methods.client
                              : aMode == TSSLMode::sslmServer ? methods.server
                                                              : methods.general;
  const SSL_METHOD* const method = chosen != nullptr ? chosen() : nullptr;
  if (method == nullptr) {
    throw ETLSError("Error geting SSL method.");
  }
  return method;
}

void TTLSContext::SetProtocolOptions(TSSLVersions aVersions) const {
  std::uint64_t options = 0;
  for (const TVersionOption& entry : kVersionOptions) {
    if (!aVersions.Contains(entry.version)) {
      options |= entry.option;
    }
  }
  fApi->SSL_CTX_set_options(Handle(), options);
}

void TTLSContext::SetDhParameters(const std::filesystem::path& aProgramFolder) const {
  DH* const parameters = fBinding.DhParameters(DhParameterFile(aProgramFolder));
  if (parameters != nullptr &&
      fApi->SSL_CTX_ctrl(Handle(), SSL_CTRL_SET_TMP_DH, 0, parameters) <= 0) {
    // Parameters too weak for the security level: finite-field DH stays off,
    // the elliptic-curve exchange below still works.
    fApi->ERR_clear_error();
  }
}

void TTLSContext::SetEcdhCurve() const {
  const int curve = fApi->OBJ_sn2nid(kEcdhCurve);
  const std::unique_ptr<EC_KEY, TEcKeyDeleter> key(
      curve != NID_undef ? fApi->EC_KEY_new_by_curve_name(curve) : nullptr, TEcKeyDeleter{fApi});
  if (key == nullptr || fApi->SSL_CTX_ctrl(Handle(), SSL_CTRL_SET_TMP_ECDH, 0, key.get()) <= 0 ||
      fApi->SSL_CTX_ctrl(Handle(), SSL_CTRL_SET_GROUPS_LIST, 0, const_cast<char*>(kGroups)) <= 0) {
    throw ETLSError("Error creating SSL context.\r\n" +
                    TakeOpenSSLErrorText(*fApi, std::string("curve ") + kEcdhCurve));
  }
}

void TTLSContext::LoadRootCertificates(const TLSOptions& aOptions) const {
  if (aOptions.RootCertFile.empty() && aOptions.VerifyDirs.empty()) {
    return;
  }
  const char* const file = aOptions.RootCertFile.empty() ? nullptr : aOptions.RootCertFile.c_str();
  const char* const dirs = aOptions.VerifyDirs.empty() ? nullptr : aOptions.VerifyDirs.c_str();
  if (fApi->SSL_CTX_load_verify_locations(Handle(), file, dirs) <= 0) {
    Fail("Could not load root certificate.",
         file != nullptr ? CannotRead(aOptions.RootCertFile) : "");
  }
}

void TTLSContext::LoadCertificate(const std::string& aFile) const {
  const std::string failure = "Could not load certificate.";
  std::string text;
  if (!ReadWholeFile(aFile, text)) {
    Fail(failure, CannotRead(aFile));
  }
  const std::unique_ptr<BIO, TBioDeleter> bio(
      fApi->BIO_new_mem_buf(text.data(), static_cast<int>(text.size())), TBioDeleter{fApi});
  if (bio == nullptr || fApi->PEM_read_bio_X509 == nullptr) {
    Fail(failure, "no PEM reader");
  }
  const std::unique_ptr<X509, TX509Deleter> certificate(
      fApi->PEM_read_bio_X509(bio.get(), nullptr, &TTLSContext::PassphraseCallback,
                              const_cast<TTLSContext*>(this)),
      TX509Deleter{fApi});
  if (certificate == nullptr || fApi->SSL_CTX_use_certificate(Handle(), certificate.get()) <= 0) {
    Fail(failure, "no certificate in " + aFile);
  }
}

void TTLSContext::LoadKey(const std::string& aFile) const {
  const std::string failure = "Could not load key, check password.";
  files::SecretText secret; // the key's text is wiped when the context has it
  std::string& text = secret.Text();
  if (!ReadWholeFile(aFile, text)) {
    Fail(failure, CannotRead(aFile));
  }
  const std::unique_ptr<BIO, TBioDeleter> bio(
      fApi->BIO_new_mem_buf(text.data(), static_cast<int>(text.size())), TBioDeleter{fApi});
  if (bio == nullptr || fApi->PEM_read_bio_PrivateKey == nullptr) {
    Fail(failure, "no PEM reader");
  }
  const std::unique_ptr<EVP_PKEY, TPkeyDeleter> key(
      fApi->PEM_read_bio_PrivateKey(bio.get(), nullptr, &TTLSContext::PassphraseCallback,
                                    const_cast<TTLSContext*>(this)),
      TPkeyDeleter{fApi});
  if (key == nullptr || fApi->SSL_CTX_use_PrivateKey(Handle(), key.get()) <= 0 ||
      fApi->SSL_CTX_check_private_key(Handle()) <= 0) {
    Fail(failure, "no usable key in " + aFile);
  }
}

void TTLSContext::SetCipherList(const std::string& aCipherList) const {
  const std::string list = aCipherList.empty() ? kDefaultCipherList : aCipherList;
  if (fApi->SSL_CTX_set_cipher_list(Handle(), list.c_str()) <= 0) {
    Fail("SetCipher failed.", "no cipher matches " + list);
  }
}

void TTLSContext::Fail(const std::string& aMessage, const std::string& aFallback) const {
  throw ETLSError(aMessage + "\r\n" + TakeOpenSSLErrorText(*fApi, aFallback));
}

int TTLSContext::PassphraseCallback(char* aBuffer, int aSize, int aWriting, void* aUserData) {
  const int savedErrno = errno; // the socket error code survives the callback
  const auto* const self = static_cast<const TTLSContext*>(aUserData);
  if (self == nullptr || aBuffer == nullptr || aSize <= 0) {
    errno = savedErrno;
    return 0;
  }
  std::string passphrase;
  {
    const std::lock_guard lock(self->fBinding.PassphraseLock());
    // No exception may cross OpenSSL's C frames.
    try {
      if (self->fEvents.OnGetPasswordEx) {
        passphrase = self->fEvents.OnGetPasswordEx(aWriting != 0);
      }
      if (passphrase.empty() && self->fEvents.OnGetPassword) {
        passphrase = self->fEvents.OnGetPassword();
      }
    } catch (...) {
      passphrase.clear();
    }
  }
  std::memset(aBuffer, 0, static_cast<std::size_t>(aSize));
  // At most aSize - 1 bytes, so that the terminating zero stays and the
  // length returned never exceeds what OpenSSL may read from the buffer.
  const std::size_t length = std::min(passphrase.size(), static_cast<std::size_t>(aSize - 1));
  std::memcpy(aBuffer, passphrase.data(), length);
  errno = savedErrno;
  return static_cast<int>(length);
}

} // namespace orvo
