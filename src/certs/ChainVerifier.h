#pragma once
// Certification paths by OpenSSL's verifier. Internal to src/certs.
//
// Note to maintainers: the path is built by X509_verify_cert over a store of
// trust anchors (the system's trust store and the self-signed roots the user
// supplied) with every other certificate that could be an issuer as
// untrusted, so that cross-signed and re-issued intermediates find the path a
// TLS client finds. Only the last stage of the verifier is our own: the
// signature check of each link is remembered per pair of certificates
// (detail::signedBy), because a folder scan verifies a thousand leaves through
// the same intermediate, and validity is judged here, per member, so that an
// expired and a not yet valid member can be told apart. The anchors and
// untrusted certificates handed to the verifier are gathered by following
// issuer names from the leaf, never the whole pools.
//
// When the path stops short at a certificate that names its issuer's address
// (authority information access, caIssuers, http only), the issuer is
// fetched, at most four hops and kIssuerFetchTimeout in all; fetched issuers
// join a pool of their own for the rest of the process.

#include "certs/CertPool.h"
#include "certs/OpenSslPtr.h"

#include <chrono>
#include <string>
#include <vector>

namespace orvo::ck::detail {

inline constexpr std::chrono::milliseconds kIssuerFetchTimeout{3000};
inline constexpr int kMaxIssuerFetches = 4;

struct ChainVerdict {
  // The verified path: the certificate first, then each issuer.
  std::vector<ssl::X509Ptr> path;
  // The path ends at a trust anchor: a certificate of the system's trust store
  // or a self-signed root the user supplied.
  bool reachesRoot = false;
  // The path ends at a certificate of the system's trust store.
  bool trusted = false;
  bool signaturesOk = true;
  // The verifier's texts for faults that have no reason of their own (a CA
  // without the CA flag, a path too long, a name constraint).
  std::vector<std::string> otherFaults;
  // Certificates the user supplied (the file's others, the vault) that could
  // have served in the path, are not in it, and are expired or not yet valid.
  std::vector<ssl::X509Ptr> staleSupplied;
};

// With fetchIssuers, a path that stops short is completed over authority
// information access where it can be.
ChainVerdict verifyChain(X509* leaf, const std::vector<ssl::X509Ptr>& companions,
                         const CertPool* vault, bool fetchIssuers,
                         std::chrono::steady_clock::time_point deadline);

// Validity of one certificate; an unreadable time counts as outside it.
bool isExpiredNow(const X509* cert);
bool isNotYetValidNow(const X509* cert);

// Issuers fetched over authority information access in this process.
CertPool& fetchedIssuerPool();

// Certificates, CRLs aside, of a DER, PEM or PKCS#7 text (CkCert.cpp).
bool certsFromBytes(std::string_view bytes, std::vector<ssl::X509Ptr>& out, std::string& error);

} // namespace orvo::ck::detail
