#pragma once
// Revocation of a certificate, asked of its OCSP responder (authority
// information access) and else of its CRL distribution point, over HTTP.
// Internal to src/certs.

#include <openssl/x509.h>

#include <chrono>

namespace orvo::ck::detail {

// The whole check, OCSP and CRL together, ends within this time.
inline constexpr std::chrono::milliseconds kRevocationTimeout{3000};

// True only on a definite "revoked" answer signed for issuer: by the issuer
// itself or by a responder the issuer delegated OCSP signing to, or a CRL the
// issuer signed. No answer, an unsigned or wrongly signed answer, "unknown" or
// any error count as not revoked. Answers are cached per process by issuer and
// serial number; a responder or CRL address that did not answer is not asked
// again in this process, and a fetched CRL serves every certificate it covers.
bool isRevoked(X509* cert, X509* issuer);

// Tests: forget every cached answer, address and CRL.
void clearRevocationCache();

} // namespace orvo::ck::detail
