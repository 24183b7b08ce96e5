#pragma once
// One owning pointer type per OpenSSL type, used by the whole certificate layer
// and its tests. Each deleter is the OpenSSL free function of its type, so a
// pointer released on any path (early return, exception) frees its object.
//
// Stacks come in two kinds: an owning stack frees its elements with it
// (X509StackPtr: sk_X509_pop_free), a borrowing stack frees only itself
// (X509StackRefPtr: sk_X509_free) and must not outlive the elements it lists.

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/ocsp.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <memory>

namespace orvo::ssl {

template <typename T, void (*Free)(T*)> struct Deleter {
  void operator()(T* p) const noexcept {
    if (p != nullptr) {
      Free(p);
    }
  }
};

template <typename T, void (*Free)(T*)> using Ptr = std::unique_ptr<T, Deleter<T, Free>>;

using X509Ptr = Ptr<X509, X509_free>;
using X509_CRLPtr = Ptr<X509_CRL, X509_CRL_free>;
using X509_NAMEPtr = Ptr<X509_NAME, X509_NAME_free>;
using X509_EXTENSIONPtr = Ptr<X509_EXTENSION, X509_EXTENSION_free>;
using X509_STOREPtr = Ptr<X509_STORE, X509_STORE_free>;
using X509_STORE_CTXPtr = Ptr<X509_STORE_CTX, X509_STORE_CTX_free>;
using X509_REVOKEDPtr = Ptr<X509_REVOKED, X509_REVOKED_free>;
using EVP_PKEYPtr = Ptr<EVP_PKEY, EVP_PKEY_free>;
using EVP_PKEY_CTXPtr = Ptr<EVP_PKEY_CTX, EVP_PKEY_CTX_free>;
using EVP_MD_CTXPtr = Ptr<EVP_MD_CTX, EVP_MD_CTX_free>;
using EVP_CIPHERPtr = Ptr<EVP_CIPHER, EVP_CIPHER_free>;
using BIOPtr = Ptr<BIO, BIO_free_all>;
using BIGNUMPtr = Ptr<BIGNUM, BN_free>;
using ASN1_INTEGERPtr = Ptr<ASN1_INTEGER, ASN1_INTEGER_free>;
using ASN1_TIMEPtr = Ptr<ASN1_TIME, ASN1_TIME_free>;
using ASN1_OCTET_STRINGPtr = Ptr<ASN1_OCTET_STRING, ASN1_OCTET_STRING_free>;
using GENERAL_NAMESPtr = Ptr<GENERAL_NAMES, GENERAL_NAMES_free>;
using AUTHORITY_INFO_ACCESSPtr = Ptr<AUTHORITY_INFO_ACCESS, AUTHORITY_INFO_ACCESS_free>;
using CRL_DIST_POINTSPtr = Ptr<CRL_DIST_POINTS, CRL_DIST_POINTS_free>;
using PKCS7Ptr = Ptr<PKCS7, PKCS7_free>;
using PKCS8_PRIV_KEY_INFOPtr = Ptr<PKCS8_PRIV_KEY_INFO, PKCS8_PRIV_KEY_INFO_free>;
using X509_SIGPtr = Ptr<X509_SIG, X509_SIG_free>;
using PKCS12Ptr = Ptr<PKCS12, PKCS12_free>;
using OCSP_REQUESTPtr = Ptr<OCSP_REQUEST, OCSP_REQUEST_free>;
using OCSP_RESPONSEPtr = Ptr<OCSP_RESPONSE, OCSP_RESPONSE_free>;
using OCSP_BASICRESPPtr = Ptr<OCSP_BASICRESP, OCSP_BASICRESP_free>;
using OCSP_CERTIDPtr = Ptr<OCSP_CERTID, OCSP_CERTID_free>;
using OSSL_LIB_CTXPtr = Ptr<OSSL_LIB_CTX, OSSL_LIB_CTX_free>;

namespace detail {
inline void freeX509Stack(STACK_OF(X509) * s) {
  sk_X509_pop_free(s, X509_free);
}
inline void freeX509StackOnly(STACK_OF(X509) * s) {
  sk_X509_free(s);
}
inline void freeCrlStack(STACK_OF(X509_CRL) * s) {
  sk_X509_CRL_pop_free(s, X509_CRL_free);
}
inline void freeInfoStack(STACK_OF(X509_INFO) * s) {
  sk_X509_INFO_pop_free(s, X509_INFO_free);
}
inline void freeOpensslString(char* s) {
  OPENSSL_free(s);
}
inline void freeOpensslBytes(unsigned char* s) {
  OPENSSL_free(s);
}
} // namespace detail

// Owns the stack and every certificate in it.
using X509StackPtr = Ptr<STACK_OF(X509), detail::freeX509Stack>;
// Owns only the stack; the certificates belong to someone else.
using X509StackRefPtr = Ptr<STACK_OF(X509), detail::freeX509StackOnly>;
using X509_CRLStackPtr = Ptr<STACK_OF(X509_CRL), detail::freeCrlStack>;
using X509_INFOStackPtr = Ptr<STACK_OF(X509_INFO), detail::freeInfoStack>;
// Text and bytes that OpenSSL allocated for the caller (OPENSSL_free).
using OpensslString = Ptr<char, detail::freeOpensslString>;
using OpensslBytes = Ptr<unsigned char, detail::freeOpensslBytes>;

} // namespace orvo::ssl
