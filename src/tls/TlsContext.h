#pragma once
// One OpenSSL context (SSL_CTX) built from a TLSOptions record, and the
// owning pointer types of the run-time-loaded library. Deleters call through
// the binding's entry-point table, so a context must not outlive
// UnloadOpenSSL().

#include "tls/OpenSSLBinding.h"
#include "tls/TlsOptions.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

namespace orvo {

struct TSslDeleter {
  const TOpenSSLEntryPoints* api;
  void operator()(SSL* aSsl) const { api->SSL_free(aSsl); }
};
using TSslPtr = std::unique_ptr<SSL, TSslDeleter>;

// The passphrase events of a TLS layer. The extended one (told whether the
// key is being written) is asked first; the plain one when that gave "".
struct TPassphraseEvents {
  std::function<std::string(bool aWriting)> OnGetPasswordEx;
  std::function<std::string()> OnGetPassword;
};

// OpenSSL's error text for the first error in this thread's queue (which is
// then cleared), or aFallback when the queue is empty.
[[nodiscard]] std::string TakeOpenSSLErrorText(const TOpenSSLEntryPoints& aApi,
                                               const std::string& aFallback);

class TTLSContext {
public:
  // Builds the context; aDefaultMode replaces sslmUnassigned (sslmServer for
  // the listener, sslmClient for the client). aProgramFolder locates the
  // optional "cert/dh.pem". Throws ETLSError with the failure's message.
  TTLSContext(TOpenSSLBinding& aBinding, const TLSOptions& aOptions, TSSLMode aDefaultMode,
              TPassphraseEvents aEvents, const std::filesystem::path& aProgramFolder);
  ~TTLSContext();
  TTLSContext(const TTLSContext&) = delete;
  TTLSContext& operator=(const TTLSContext&) = delete;

  [[nodiscard]] SSL_CTX* Handle() const { return fContext.get(); }
  [[nodiscard]] const TOpenSSLEntryPoints& Api() const { return *fApi; }
  // A new session on this context; throws ETLSError(aFailure) when it cannot be made.
  [[nodiscard]] TSslPtr NewSession(const std::string& aFailure) const;

  // Path of the DH parameter file for a program folder: "cert/dh.pem" below
  // it, or below its parent when the path contains "64 bit".
  [[nodiscard]] static std::filesystem::path
  DhParameterFile(const std::filesystem::path& aProgramFolder);

private:
  struct TContextDeleter {
    const TOpenSSLEntryPoints* api;
    void operator()(SSL_CTX* aContext) const { api->SSL_CTX_free(aContext); }
  };

  static int PassphraseCallback(char* aBuffer, int aSize, int aWriting, void* aUserData);
  [[nodiscard]] const SSL_METHOD* ChooseMethod(TSSLVersion aMethod, TSSLMode aMode) const;
  void SetProtocolOptions(TSSLVersions aVersions) const;
  void SetDhParameters(const std::filesystem::path& aProgramFolder) const;
  void SetEcdhCurve() const;
  void LoadRootCertificates(const TLSOptions& aOptions) const;
  void LoadCertificate(const std::string& aFile) const;
  void LoadKey(const std::string& aFile) const;
  void SetCipherList(const std::string& aCipherList) const;
  [[noreturn]] void Fail(const std::string& aMessage, const std::string& aFallback) const;

  TOpenSSLBinding& fBinding;
  const TOpenSSLEntryPoints* fApi;
  TPassphraseEvents fEvents;
  std::unique_ptr<SSL_CTX, TContextDeleter> fContext;
};

} // namespace orvo
