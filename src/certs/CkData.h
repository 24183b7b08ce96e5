#pragma once
// The inner state of the toolkit objects, shared by the layer's own files.
// Internal to src/certs.

#include "certs/CertPool.h"
#include "certs/ChainVerifier.h"
#include "certs/CkToolkit.h"
#include "certs/OpenSslPtr.h"
#include "certs/Revocation.h"
#include "files/Secret.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace orvo::ck {

struct CkPrivateKey::Data {
  // No core dump or ptrace of the process while a private key object lives.
  files::KeyHeldScope keyHeld;
  ssl::EVP_PKEYPtr key;
  std::string lastError;
};

struct CkPublicKey::Data {
  ssl::EVP_PKEYPtr key;
};

struct CkXmlCertVault::Data {
  // Shared with the certificates that use the vault, so that they see what is
  // added later and never outlive it.
  std::shared_ptr<detail::CertPool> pool = std::make_shared<detail::CertPool>();
};

struct CkCert::Data {
  ssl::X509Ptr cert;
  // The other certificates of the same file; they take part in chain building.
  std::vector<ssl::X509Ptr> companions;
  std::shared_ptr<detail::CertPool> vault;
  // Private key as a PKCS#12 file or a store reader gave it.
  ssl::EVP_PKEYPtr key;
  bool hasKey = false;
  bool keyExportable = false;
  mutable std::string lastError;
  CkPfxFailure pfxFailure = CkPfxFailure::None;

  // Facts computed on first use; a certificate never changes once loaded.
  mutable std::optional<bool> selfSigned;
  mutable std::optional<bool> serverAuth;
  // The verified path rests on the pools; it is kept while no certificate has
  // joined any pool since (detail::poolGeneration()).
  mutable std::optional<detail::ChainVerdict> verdict;
  mutable bool verdictFetched = false; // missing issuers were fetched for it
  mutable std::uint64_t chainGeneration = 0;
  // Revocation of the path's members, asked once.
  struct Revocation {
    bool revoked = false;
    bool unknown = false;
  };
  mutable std::optional<Revocation> revocation;
  mutable std::optional<std::string> subjectDN;
  mutable std::optional<std::string> serial;

  // Takes a freshly loaded certificate and the rest of its file; clears
  // everything known about a previous one.
  void reset(ssl::X509Ptr leaf, std::vector<ssl::X509Ptr> others);
  // The verified path toward the root: this certificate first, then each issuer.
  std::vector<ssl::X509Ptr> buildChain() const;
  // Issuers are fetched over authority information access only when asked
  // (fetchIssuers): while a folder is being read, its other files may still
  // hold them.
  const detail::ChainVerdict&
  chainVerdict(bool fetchIssuers = false,
               detail::Clock::time_point deadline = detail::Clock::now()) const;
  // The revocation question for the members of the verified path.
  Revocation checkRevocation(detail::Clock::time_point deadline) const;
  // Whether the revocation question is asked at all: only for certificates
  // that could otherwise serve (the others are refused anyway).
  bool wantsRevocationCheck() const;
  // A copy with the certificate, its file's certificates, vault and key.
  std::unique_ptr<CkCert> clone() const;
};

struct CkCertChain::Data {
  std::vector<ssl::X509Ptr> certs;
  bool reachesRoot = false;
  bool signaturesOk = false;
  std::vector<std::string> otherFaults;
  // Handed on to the certificates GetCert yields, so their chains build alike.
  std::vector<ssl::X509Ptr> companions;
  std::shared_ptr<detail::CertPool> vault;
};

struct CkCertStore::Data {
  std::vector<std::unique_ptr<CkCert>> certs;
};

struct CkRsa::Data {
  ssl::EVP_PKEYPtr key;
  bool isPrivate = false;
  std::string encoding = "hex";
};

} // namespace orvo::ck
