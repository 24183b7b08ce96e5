#include "tls/OpenSSLBinding.h"

#include "tls/OpenSSLNames.h"

#include "files/BoundedRead.h"

#include <dlfcn.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <utility>

namespace orvo {

namespace {

class TSystemLibraries final : public TDynamicLibraries {
public:
  explicit TSystemLibraries(std::filesystem::path aFolder) : fFolder(std::move(aFolder)) {}

  void* Open(const std::string& aFileName) override {
    const std::string path = fFolder.empty() ? aFileName : (fFolder / aFileName).string();
    return ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  }
  void* Symbol(void* aLibrary, const char* aName) override { return ::dlsym(aLibrary, aName); }
  void Close(void* aLibrary) override { ::dlclose(aLibrary); }

private:
  std::filesystem::path fFolder;
};

template <class TFunction> void Bind(TFunction& aSlot, void* aAddress) {
  aSlot = reinterpret_cast<TFunction>(aAddress);
}

} // namespace

std::unique_ptr<TDynamicLibraries> SystemLibraries(const std::filesystem::path& aFolder) {
  return std::make_unique<TSystemLibraries>(aFolder);
}

TOpenSSLBinding::TOpenSSLBinding(std::unique_ptr<TDynamicLibraries> aLibraries)
    : fLibraries(std::move(aLibraries)) {}

TOpenSSLBinding::~TOpenSSLBinding() {
  // Only the library references are given back here, without calling into
  // OpenSSL: the process-wide binding dies during exit, possibly after
  // OpenSSL's own exit handler has torn the library down, so DH_free and
  // the error-state calls of UnloadOpenSSL() are not safe any more. main()
  // calls UnloadOpenSSL() before it returns.
  if (fTlsLibrary != nullptr) {
    fLibraries->Close(fTlsLibrary);
  }
  if (fCryptoLibrary != nullptr) {
    fLibraries->Close(fCryptoLibrary);
  }
}

bool TOpenSSLBinding::EnsureOpenSSLLoaded() {
  const std::lock_guard lock(fLoadedLock);
  if (fLoaded) {
    return true;
  }
  if (!LoadOpenSSLEntryPoints() || !InitialiseLibraries()) {
    return false;
  }
  // The locking callbacks of OpenSSL 1.0 (CRYPTO_set_locking_callback with a
  // list of CRYPTO_num_locks() locks) are gone: OpenSSL locks itself since
  // 1.1.0. Neither is the processor-capability vector reachable any more.
  fInfoLock = std::make_unique<std::mutex>();
  fPassphraseLock = std::make_unique<std::mutex>();
  fVerifyLock = std::make_unique<std::mutex>();
  fLoaded = true;
  ++fInitialisations;
  return true;
}

bool TOpenSSLBinding::InitialiseLibraries() {
  const TOpenSSLEntryPoints& api = fEntryPoints;
  // OpenSSL_add_all_ciphers, OpenSSL_add_all_digests, SSL_load_error_strings
  // and SSL_library_init of the 1.0 API, in that order.
  if (api.OPENSSL_init_crypto(OPENSSL_INIT_ADD_ALL_CIPHERS, nullptr) <= 0 ||
      api.OPENSSL_init_crypto(OPENSSL_INIT_ADD_ALL_DIGESTS, nullptr) <= 0) {
    return false;
  }
  // The system's configuration (openssl.cnf, OPENSSL_CONF) with its security
  // level, as the server reads it, so that the loopback test accepts and
  // refuses what the server will.
  if (api.OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS |
                               OPENSSL_INIT_LOAD_CONFIG,
                           nullptr) <= 0) {
    return false;
  }
  return api.OPENSSL_init_ssl(0, nullptr) > 0;
}

bool TOpenSSLBinding::LoadOpenSSLEntryPoints() {
  fMissingEntryPoints.clear();
  OpenLibraries();
  ResolveEntryPoints();
  BindEntryPoints();
  return fMissingEntryPoints.empty();
}

void TOpenSSLBinding::OpenLibraries() {
  if (fCryptoLibrary == nullptr) {
    fCryptoLibrary = fLibraries->Open(kCryptoLibrary);
  }
  if (fTlsLibrary == nullptr) {
    fTlsLibrary = fLibraries->Open(kTlsLibrary);
  }
  if (fTlsLibrary == nullptr) {
    fTlsLibrary = fLibraries->Open(kTlsLibrarySecondName);
  }
}

void* TOpenSSLBinding::Resolve(TOpenSSLLibrary aLibrary, std::string_view aName) {
  void* const library = aLibrary == TOpenSSLLibrary::Tls ? fTlsLibrary : fCryptoLibrary;
  if (library == nullptr) {
    return nullptr;
  }
  return fLibraries->Symbol(library, std::string(aName).c_str());
}

void TOpenSSLBinding::ResolveEntryPoints() {
  fResolved.clear();
  const auto isMissing = [this](std::string_view aName) {
    return std::ranges::find(fMissingEntryPoints, aName) != fMissingEntryPoints.end();
  };
  const auto resolved = [this](std::string_view aName) -> const std::pair<std::string, void*>* {
    const auto it = std::ranges::find(fResolved, aName, &std::pair<std::string, void*>::first);
    return it == fResolved.end() ? nullptr : &*it;
  };
  for (const TEntryPointName& row : EntryPointNames()) {
    if (row.currentName.empty() || resolved(row.currentName) != nullptr) {
      continue; // dropped, or already looked up for another 1.0 name
    }
    if (row.need == TEntryPointNeed::RequiredWithoutRemoveThreadState) {
      const auto* newer = resolved("ERR_remove_thread_state");
      if (newer != nullptr && newer->second != nullptr) {
        continue;
      }
    }
    void* const address = Resolve(row.library, row.currentName);
    if (address == nullptr && row.need != TEntryPointNeed::Optional) {
      if (!isMissing(row.currentName)) {
        fMissingEntryPoints.emplace_back(row.currentName);
      }
      continue;
    }
    fResolved.emplace_back(row.currentName, address);
  }
}

void TOpenSSLBinding::BindEntryPoints() {
  const auto address = [this](std::string_view aName) -> void* {
    const auto it = std::ranges::find(fResolved, aName, &std::pair<std::string, void*>::first);
    return it == fResolved.end() ? nullptr : it->second;
  };
  TOpenSSLEntryPoints& t = fEntryPoints;
#define ORVO_BIND(name) Bind(t.name, address(#name))
  ORVO_BIND(OPENSSL_init_ssl);
  ORVO_BIND(TLS_method);
  ORVO_BIND(TLS_server_method);
  ORVO_BIND(TLS_client_method);
  ORVO_BIND(TLSv1_method);
  ORVO_BIND(TLSv1_server_method);
  ORVO_BIND(TLSv1_client_method);
  ORVO_BIND(TLSv1_1_method);
  ORVO_BIND(TLSv1_1_server_method);
  ORVO_BIND(TLSv1_1_client_method);
  ORVO_BIND(TLSv1_2_method);
  ORVO_BIND(TLSv1_2_server_method);
  ORVO_BIND(TLSv1_2_client_method);
  ORVO_BIND(SSL_CTX_new);
  ORVO_BIND(SSL_CTX_free);
  ORVO_BIND(SSL_CTX_set_options);
  ORVO_BIND(SSL_CTX_ctrl);
  ORVO_BIND(SSL_CTX_set_default_passwd_cb);
  ORVO_BIND(SSL_CTX_set_default_passwd_cb_userdata);
  ORVO_BIND(SSL_CTX_set_default_verify_dir);
  ORVO_BIND(SSL_CTX_load_verify_locations);
  ORVO_BIND(SSL_CTX_use_certificate);
  ORVO_BIND(SSL_CTX_use_PrivateKey);
  ORVO_BIND(SSL_CTX_check_private_key);
  ORVO_BIND(SSL_CTX_set_cipher_list);
  ORVO_BIND(SSL_CTX_set_verify);
  ORVO_BIND(SSL_CTX_set_verify_depth);
  ORVO_BIND(SSL_CTX_set_session_id_context);
  ORVO_BIND(SSL_load_client_CA_file);
  ORVO_BIND(SSL_CTX_set_client_CA_list);
  ORVO_BIND(SSL_new);
  ORVO_BIND(SSL_free);
  ORVO_BIND(SSL_set_fd);
  ORVO_BIND(SSL_accept);
  ORVO_BIND(SSL_connect);
  ORVO_BIND(SSL_read);
  ORVO_BIND(SSL_shutdown);
  ORVO_BIND(SSL_get_error);
  ORVO_BIND(OPENSSL_init_crypto);
  ORVO_BIND(OpenSSL_version_num);
  ORVO_BIND(BIO_new_mem_buf);
  ORVO_BIND(BIO_free);
  ORVO_BIND(PEM_read_bio_X509);
  ORVO_BIND(PEM_read_bio_PrivateKey);
  ORVO_BIND(X509_free);
  ORVO_BIND(EVP_PKEY_free);
  ORVO_BIND(OBJ_sn2nid);
  ORVO_BIND(ERR_get_error);
  ORVO_BIND(ERR_peek_error);
  ORVO_BIND(ERR_error_string_n);
  ORVO_BIND(ERR_clear_error);
  ORVO_BIND(PEM_read_bio_DHparams);
  ORVO_BIND(DH_free);
  ORVO_BIND(EC_KEY_new_by_curve_name);
  ORVO_BIND(EC_KEY_free);
  ORVO_BIND(ERR_remove_thread_state);
  ORVO_BIND(ERR_remove_state);
#undef ORVO_BIND
}

std::vector<std::string> TOpenSSLBinding::MissingEntryPoints() const {
  const std::lock_guard lock(fLoadedLock);
  return fMissingEntryPoints;
}

int TOpenSSLBinding::InitialisationCount() const {
  const std::lock_guard lock(fLoadedLock);
  return fInitialisations;
}

DH* TOpenSSLBinding::DhParameters(const std::filesystem::path& aFile) {
  const std::lock_guard lock(fDhLock);
  std::error_code error;
  if (fDhParameters != nullptr || fEntryPoints.PEM_read_bio_DHparams == nullptr ||
      !std::filesystem::exists(aFile, error)) {
    return fDhParameters;
  }
  std::string text;
  if (!files::ReadRegularFile(aFile, text).Ok()) {
    return fDhParameters; // a FIFO, a device or a huge file is no parameter file
  }
  BIO* const bio = fEntryPoints.BIO_new_mem_buf(text.data(), static_cast<int>(text.size()));
  if (bio != nullptr) {
    // DH parameters are never encrypted: refuse any passphrase request.
    auto* const noPassphrase = +[](char*, int, int, void*) { return 0; };
    fDhParameters = fEntryPoints.PEM_read_bio_DHparams(bio, nullptr, noPassphrase, nullptr);
    fEntryPoints.BIO_free(bio);
  }
  if (fDhParameters == nullptr) {
    fEntryPoints.ERR_clear_error(); // an unusable file is ignored
  }
  return fDhParameters;
}

void TOpenSSLBinding::UnloadOpenSSL() {
  {
    const std::lock_guard dhLock(fDhLock);
    if (fDhParameters != nullptr) {
      fEntryPoints.DH_free(fDhParameters);
      fDhParameters = nullptr;
    }
  }
  const std::lock_guard lock(fLoadedLock);
  if (fPassphraseLock == nullptr) {
    return;
  }
  // CRYPTO_cleanup_all_ex_data, ERR_free_strings and EVP_cleanup are no-ops
  // since OpenSSL 1.1.0 (its exit handler does that work); the per-thread
  // error state is still released here.
  if (fEntryPoints.ERR_remove_thread_state != nullptr) {
    fEntryPoints.ERR_remove_thread_state(nullptr);
  } else if (fEntryPoints.ERR_remove_state != nullptr) {
    fEntryPoints.ERR_remove_state(0);
  }
  // Releasing our references does not unmap OpenSSL 3, which pins itself
  // in the process; it only balances the dlopen calls.
  if (fTlsLibrary != nullptr) {
    fLibraries->Close(fTlsLibrary);
  }
  if (fCryptoLibrary != nullptr) {
    fLibraries->Close(fCryptoLibrary);
  }
  fTlsLibrary = nullptr;
  fCryptoLibrary = nullptr;
  fEntryPoints = {};
  fResolved.clear();
  fInfoLock.reset();
  fPassphraseLock.reset();
  fVerifyLock.reset();
  fLoaded = false;
}

TOpenSSLBinding& OpenSSLBinding() {
  static TOpenSSLBinding binding;
  return binding;
}

bool EnsureOpenSSLLoaded() {
  return OpenSSLBinding().EnsureOpenSSLLoaded();
}

std::vector<std::string> MissingEntryPoints() {
  return OpenSSLBinding().MissingEntryPoints();
}

void UnloadOpenSSL() {
  OpenSSLBinding().UnloadOpenSSL();
}

} // namespace orvo
