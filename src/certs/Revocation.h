#pragma once
// Revocation of a certificate: a CRL the user supplied with the certificates,
// its OCSP responder (authority information access) and its CRL distribution
// point, over HTTP. Also the small HTTP client that fetches issuers named by
// authority information access. Internal to src/certs.

#include <openssl/x509.h>

#include <chrono>
#include <optional>
#include <string>

namespace orvo::ck::detail {

using Clock = std::chrono::steady_clock;

// The whole check of one batch of certificates, OCSP and CRL together, ends
// within this time.
inline constexpr std::chrono::milliseconds kRevocationTimeout{3000};

enum class RevocationStatus {
  NotChecked, // nobody to ask: no responder, distribution point or local CRL
  Good,
  Revoked,
  Unknown, // somebody to ask, but no valid answer in time
};

// The status of cert, issued by issuer, decided before deadline. Answers count
// only when signed for issuer and current: an OCSP answer of the issuer or of
// a responder it delegated to, within thisUpdate and nextUpdate; a CRL the
// issuer signed whose thisUpdate has passed and whose nextUpdate has not. A
// current local CRL of the issuer answers without the network. Definite
// answers are cached per process by issuer and serial number; a responder or
// CRL address that did not answer is not asked again in this process, and a
// fetched CRL serves every certificate it covers.
RevocationStatus revocationStatus(X509* cert, X509* issuer, Clock::time_point deadline);

// Whether anybody could be asked about cert (responder, distribution point or
// a local CRL of its issuer's name).
bool hasRevocationSource(X509* cert);

// True only on a definite "revoked" answer (revocationStatus with its own
// deadline of kRevocationTimeout).
bool isRevoked(X509* cert, X509* issuer);

// A CRL found with the certificates (a .crl file beside them, a CRL block in
// their file); it is used only when its issuer signed it.
void addLocalCrl(X509_CRL* crl);

// The body of an HTTP 200 answer to a GET of url (http:// only, no redirects),
// or nothing when the deadline passes first or anything fails.
std::optional<std::string> httpGet(const std::string& url, Clock::time_point deadline);

// Tests: forget every cached answer, address, local CRL and fetched CRL.
void clearRevocationCache();

} // namespace orvo::ck::detail
