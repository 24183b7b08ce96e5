#pragma once
// Run-time binding of OpenSSL for the TLS self-test.
//
// Note to maintainers: this program does not link libssl. The self-test
// loads "libcrypto.so.3" and then "libssl.so.3" (second name "libssl.so")
// with dlopen and calls them only through the entry-point table below, so
// that the copy of OpenSSL chosen at start-up (see CryptoPreload.h) is the
// one in use and a missing or incomplete library is reported by name instead
// of stopping the program at start. The names looked up come from the
// mapping table in OpenSSLNames.h. OpenSSL headers are included for their
// types and constants only.

#include "tls/OpenSSLNames.h"

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>

#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace orvo {

// Opens libraries and looks up symbols; the binding's only contact with the
// dynamic loader. Tests replace it to hide libraries or entry points.
class TDynamicLibraries {
public:
  virtual ~TDynamicLibraries() = default;
  // Returns a handle, or null when the library cannot be loaded.
  [[nodiscard]] virtual void* Open(const std::string& aFileName) = 0;
  // Returns the entry point, or null when the library lacks it.
  [[nodiscard]] virtual void* Symbol(void* aLibrary, const char* aName) = 0;
  virtual void Close(void* aLibrary) = 0;
};

// dlopen/dlsym/dlclose. With an empty aFolder libraries are loaded by bare
// file name (the loader's search order; a library already in the process is
// reused); otherwise by full path in aFolder.
[[nodiscard]] std::unique_ptr<TDynamicLibraries>
SystemLibraries(const std::filesystem::path& aFolder = {});

using TSslMethodFn = const SSL_METHOD* (*)();

// One function pointer per entry point that this program calls, under its
// OpenSSL 3 name. Null until loaded; optional ones may stay null.
struct TOpenSSLEntryPoints {
  // TLS library.
  decltype(&::OPENSSL_init_ssl) OPENSSL_init_ssl = nullptr;
  TSslMethodFn TLS_method = nullptr;
  TSslMethodFn TLS_server_method = nullptr;
  TSslMethodFn TLS_client_method = nullptr;
  TSslMethodFn TLSv1_method = nullptr;
  TSslMethodFn TLSv1_server_method = nullptr;
  TSslMethodFn TLSv1_client_method = nullptr;
  TSslMethodFn TLSv1_1_method = nullptr;
  TSslMethodFn TLSv1_1_server_method = nullptr;
  TSslMethodFn TLSv1_1_client_method = nullptr;
  TSslMethodFn TLSv1_2_method = nullptr;
  TSslMethodFn TLSv1_2_server_method = nullptr;
  TSslMethodFn TLSv1_2_client_method = nullptr;
  decltype(&::SSL_CTX_new) SSL_CTX_new = nullptr;
  decltype(&::SSL_CTX_free) SSL_CTX_free = nullptr;
  decltype(&::SSL_CTX_set_options) SSL_CTX_set_options = nullptr;
  decltype(&::SSL_CTX_ctrl) SSL_CTX_ctrl = nullptr;
  decltype(&::SSL_CTX_set_default_passwd_cb) SSL_CTX_set_default_passwd_cb = nullptr;
  decltype(&::SSL_CTX_set_default_passwd_cb_userdata) SSL_CTX_set_default_passwd_cb_userdata =
      nullptr;
  decltype(&::SSL_CTX_set_default_verify_dir) SSL_CTX_set_default_verify_dir = nullptr;
  decltype(&::SSL_CTX_load_verify_locations) SSL_CTX_load_verify_locations = nullptr;
  decltype(&::SSL_CTX_use_certificate) SSL_CTX_use_certificate = nullptr;
  decltype(&::SSL_CTX_use_PrivateKey) SSL_CTX_use_PrivateKey = nullptr;
  decltype(&::SSL_CTX_check_private_key) SSL_CTX_check_private_key = nullptr;
  decltype(&::SSL_CTX_set_cipher_list) SSL_CTX_set_cipher_list = nullptr;
  decltype(&::SSL_CTX_set_verify) SSL_CTX_set_verify = nullptr;
  decltype(&::SSL_CTX_set_verify_depth) SSL_CTX_set_verify_depth = nullptr;
  decltype(&::SSL_CTX_set_session_id_context) SSL_CTX_set_session_id_context = nullptr;
  decltype(&::SSL_load_client_CA_file) SSL_load_client_CA_file = nullptr;
  decltype(&::SSL_CTX_set_client_CA_list) SSL_CTX_set_client_CA_list = nullptr;
  decltype(&::SSL_new) SSL_new = nullptr;
  decltype(&::SSL_free) SSL_free = nullptr;
  decltype(&::SSL_set_fd) SSL_set_fd = nullptr;
  decltype(&::SSL_accept) SSL_accept = nullptr;
  decltype(&::SSL_connect) SSL_connect = nullptr;
  decltype(&::SSL_read) SSL_read = nullptr;
  decltype(&::SSL_shutdown) SSL_shutdown = nullptr;
  decltype(&::SSL_get_error) SSL_get_error = nullptr;

  // Crypto library.
  decltype(&::OPENSSL_init_crypto) OPENSSL_init_crypto = nullptr;
  decltype(&::OpenSSL_version_num) OpenSSL_version_num = nullptr;
  decltype(&::BIO_new_mem_buf) BIO_new_mem_buf = nullptr;
  decltype(&::BIO_free) BIO_free = nullptr;
  decltype(&::PEM_read_bio_X509) PEM_read_bio_X509 = nullptr;             // optional
  decltype(&::PEM_read_bio_PrivateKey) PEM_read_bio_PrivateKey = nullptr; // optional
  decltype(&::X509_free) X509_free = nullptr;
  decltype(&::EVP_PKEY_free) EVP_PKEY_free = nullptr;
  decltype(&::OBJ_sn2nid) OBJ_sn2nid = nullptr;
  decltype(&::ERR_get_error) ERR_get_error = nullptr;
  decltype(&::ERR_peek_error) ERR_peek_error = nullptr;
  decltype(&::ERR_error_string_n) ERR_error_string_n = nullptr;
  decltype(&::ERR_clear_error) ERR_clear_error = nullptr;
  // Deprecated in OpenSSL 3 but still exported; typed by hand so that the
  // deprecated declarations are not referenced.
  DH* (*PEM_read_bio_DHparams)(BIO*, DH**, pem_password_cb*, void*) = nullptr; // optional
  void (*DH_free)(DH*) = nullptr;
  EC_KEY* (*EC_KEY_new_by_curve_name)(int) = nullptr;
  void (*EC_KEY_free)(EC_KEY*) = nullptr;
  void (*ERR_remove_thread_state)(void*) = nullptr;  // optional
  void (*ERR_remove_state)(unsigned long) = nullptr; // only without ERR_remove_thread_state
};

// Process-wide state of the binding: the two library handles, the entry-point
// table, the missing names, the loaded flag and the callback locks.
// Thread-safe; one instance serves the whole process (OpenSSLBinding()),
// tests make their own with their own TDynamicLibraries.
class TOpenSSLBinding {
public:
  static constexpr const char* kCryptoLibrary = "libcrypto.so.3";
  static constexpr const char* kTlsLibrary = "libssl.so.3";
  static constexpr const char* kTlsLibrarySecondName = "libssl.so";

  explicit TOpenSSLBinding(std::unique_ptr<TDynamicLibraries> aLibraries = SystemLibraries());
  // Releases the library references only; call UnloadOpenSSL() first to
  // free what OpenSSL holds for this binding.
  ~TOpenSSLBinding();
  TOpenSSLBinding(const TOpenSSLBinding&) = delete;
  TOpenSSLBinding& operator=(const TOpenSSLBinding&) = delete;

  // Loads and initialises OpenSSL once; true when it is ready. Runs entirely
  // under the loaded flag's lock, so concurrent callers initialise once.
  // False, with nothing initialised, when a required entry point is missing
  // (see MissingEntryPoints()); a later call tries again.
  [[nodiscard]] bool EnsureOpenSSLLoaded();
  // Names of the required entry points the last load attempt did not find,
  // in load order.
  [[nodiscard]] std::vector<std::string> MissingEntryPoints() const;
  // Releases both libraries and the callback locks; only after a successful
  // EnsureOpenSSLLoaded. Call it when no TLS object is alive any more.
  void UnloadOpenSSL();

  // The entry-point table. Valid to call through after EnsureOpenSSLLoaded()
  // returned true and until UnloadOpenSSL().
  [[nodiscard]] const TOpenSSLEntryPoints& EntryPoints() const { return fEntryPoints; }
  // Serialises the passphrase callback of every TLS context of this binding.
  [[nodiscard]] std::mutex& PassphraseLock() { return *fPassphraseLock; }
  // The DH parameters shared by every context of this binding: read from
  // aFile the first time it exists and parses (errors are ignored), freed by
  // UnloadOpenSSL. Null while none are held.
  [[nodiscard]] DH* DhParameters(const std::filesystem::path& aFile);
  // Number of completed initialisations (once per process, unless unloaded).
  [[nodiscard]] int InitialisationCount() const;

private:
  [[nodiscard]] bool LoadOpenSSLEntryPoints();
  [[nodiscard]] bool InitialiseLibraries();
  void OpenLibraries();
  void ResolveEntryPoints();
  void BindEntryPoints();
  void* Resolve(TOpenSSLLibrary aLibrary, std::string_view aName);

  std::unique_ptr<TDynamicLibraries> fLibraries;
  mutable std::mutex fLoadedLock;
  bool fLoaded = false;
  int fInitialisations = 0;
  void* fCryptoLibrary = nullptr;
  void* fTlsLibrary = nullptr;
  std::vector<std::pair<std::string, void*>> fResolved;
  std::vector<std::string> fMissingEntryPoints;
  TOpenSSLEntryPoints fEntryPoints;
  // The callback locks, created by a successful initialisation. The info and
  // peer-verification callbacks are not registered by this program's
  // contexts; their locks are kept for contexts that enable them.
  std::unique_ptr<std::mutex> fInfoLock;
  std::unique_ptr<std::mutex> fPassphraseLock;
  std::unique_ptr<std::mutex> fVerifyLock;
  std::mutex fDhLock;
  DH* fDhParameters = nullptr;
};

// The process-wide binding (system libraries by bare name).
[[nodiscard]] TOpenSSLBinding& OpenSSLBinding();
[[nodiscard]] bool EnsureOpenSSLLoaded();
[[nodiscard]] std::vector<std::string> MissingEntryPoints();
// Called once at process end by main(), before it returns and when no TLS
// object is alive any more (OpenSSL's own exit handler runs after main).
void UnloadOpenSSL();

} // namespace orvo
