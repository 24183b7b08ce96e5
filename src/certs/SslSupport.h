#pragma once
// Helpers shared by the files of the certificate layer: OpenSSL's error queue
// as text, bounded file reading, safe file writing, fingerprints, the legacy
// provider and the passphrase callback. Internal to src/certs.

#include "certs/OpenSslPtr.h"

#include <sys/types.h>

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace orvo::ck::detail {

// Files larger than this are no certificate or key; they are refused before
// they are read, so that a stray huge file costs nothing.
inline constexpr std::size_t kMaxInputFileSize = 16u * 1024u * 1024u;

// Takes every entry off OpenSSL's error queue and returns them as one line,
// prefixed with what, e.g. "reading the PKCS#12 file: error:...".
std::string takeSslErrors(std::string_view what);

// Reads a whole file of at most kMaxInputFileSize bytes. False, with a reason
// in error, when it is missing, unreadable, not a plain file or too large.
[[nodiscard]] bool readInputFile(const std::string& path, std::string& out, std::string& error);

// How a written file is protected.
enum class FileKind {
  Public,     // certificates: mode 0644 before umask
  PrivateKey, // holds a private key: created 0600
};

// Writes bytes to path through a temporary file in the same folder and a
// rename, so that the path holds either the old or the complete new content,
// never a half-written file. A file that is replaced keeps its owner, group
// and mode; a new one gets the mode of its kind. False, with a reason in
// error, when anything fails; the old file is then left as it was.
[[nodiscard]] bool writeFileReplacing(const std::string& path, std::string_view bytes,
                                      FileKind kind, std::string& error);

// A memory BIO over text; the text must outlive the BIO.
ssl::BIOPtr readOnlyBio(std::string_view bytes);
// One block of a PEM text, valid only while the visitor runs.
struct PemBlock {
  std::string_view name;   // the label after "BEGIN ", e.g. "CERTIFICATE"
  std::string_view header; // the encryption headers, "" when none
  const unsigned char* data = nullptr;
  long len = 0;
};
// Hands each PEM block read from bio to visit, in order, until visit returns
// false or no block is left. False when reading stopped at a broken block
// rather than at the end; OpenSSL's error queue then holds why. A null bio
// has no blocks.
bool forEachPemBlock(BIO* bio, const std::function<bool(const PemBlock&)>& visit);
// The bytes written into a memory BIO so far.
std::string bioBytes(BIO* bio);

using Fingerprint = std::array<unsigned char, 20>;
// SHA-1 over the DER; OpenSSL keeps it with the parsed certificate, so this is
// cheap after the first call.
Fingerprint fingerprint(const X509* cert);

// Makes OpenSSL's legacy provider (RC2, RC4, DES...) available in the default
// library context, together with the default provider. Loaded once, on first
// need: the old PKCS#12 and PVK ciphers. False when it cannot be loaded.
bool ensureLegacyProvider();
// Loads the legacy provider as ensureLegacyProvider does; true only for the
// call that loaded it, so that a failed read is retried once with the legacy
// ciphers and never again.
bool loadLegacyProviderNow();

// The key type as people name it ("RSA", "EC P-256", "Ed25519"...), see
// CkPrivateKey::_keyType; empty for nullptr.
std::string keyTypeName(const EVP_PKEY* key);
// The public half as SubjectPublicKeyInfo DER; empty for nullptr.
std::string publicKeyDer(const EVP_PKEY* key);

// The pem_password_cb for a known passphrase (user data: const std::string*).
// Never prompts on a terminal; a null user pointer means "no passphrase".
int passwordCallback(char* buf, int size, int rwflag, void* user);

// A new reference to cert.
ssl::X509Ptr upRef(X509* cert);
ssl::EVP_PKEYPtr upRef(EVP_PKEY* key);

std::string base64Encode(std::string_view bytes);
// Decodes base64 text; whitespace is skipped. False on any other bad character.
[[nodiscard]] bool base64Decode(std::string_view text, std::string& out);

// Whether a password-based encryption algorithm (PKCS#5 v1, PBES2 with
// PBKDF2, PKCS#12 PBE) asks for a plausible number of iterations: real files
// use some thousand to some million; a file that asks for billions would hold
// the wizard for hours. Other algorithms pass.
inline constexpr std::int64_t kMaxPbeIterations = 10'000'000;
bool plausiblePbe(const X509_ALGOR* alg);

} // namespace orvo::ck::detail
