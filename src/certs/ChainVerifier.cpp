#include "certs/ChainVerifier.h"

#include "certs/Revocation.h"
#include "certs/SslSupport.h"

#include <openssl/err.h>
#include <openssl/x509_vfy.h>

#include <algorithm>
#include <mutex>
#include <set>

namespace orvo::ck::detail {

namespace {

enum class Source { Supplied, Pool, System };

struct Candidate {
  ssl::X509Ptr cert;
  Source source;
};

void addNamed(const X509_NAME* name, const std::vector<ssl::X509Ptr>& from, Source source,
              std::vector<Candidate>& out) {
  for (const auto& c : from) {
    if (X509_NAME_cmp(X509_get_subject_name(c.get()), name) == 0) {
      out.push_back({upRef(c.get()), source});
    }
  }
}

void addFromPool(const X509_NAME* name, const CertPool* pool, Source source,
                 std::vector<Candidate>& out) {
  if (pool == nullptr) {
    return;
  }
  std::vector<ssl::X509Ptr> found;
  pool->findBySubject(name, found);
  for (auto& c : found) {
    out.push_back({std::move(c), source});
  }
}

// Every certificate that could have issued cert, from every source, supplied
// ones first.
std::vector<Candidate> issuersOf(const X509* cert, const std::vector<ssl::X509Ptr>& companions,
                                 const CertPool* vault) {
  const X509_NAME* name = X509_get_issuer_name(cert);
  std::vector<Candidate> out;
  addNamed(name, companions, Source::Supplied, out);
  addFromPool(name, vault, Source::Supplied, out);
  addFromPool(name, &loadedCaPool(), Source::Pool, out);
  addFromPool(name, &fetchedIssuerPool(), Source::Pool, out);
  std::vector<ssl::X509Ptr> system;
  TrustStore::instance().findBySubject(name, system);
  for (auto& c : system) {
    out.push_back({std::move(c), Source::System});
  }
  return out;
}

// What the verifier is given: trust anchors, and the certificates that may
// form the path between them and the leaf.
struct Gathered {
  ssl::X509StackPtr anchors{sk_X509_new_null()};
  ssl::X509StackPtr untrusted{sk_X509_new_null()};
  std::set<Fingerprint> systemAnchors;
  std::vector<ssl::X509Ptr> supplied;
};

bool push(const ssl::X509StackPtr& stack, X509* cert) {
  ssl::X509Ptr ref = upRef(cert);
  if (stack == nullptr || sk_X509_push(stack.get(), ref.get()) <= 0) {
    return false;
  }
  (void)ref.release(); // owned by the stack now
  return true;
}

// Follows issuer names from the leaf through every source; bounded, since a
// pool may hold thousands of certificates.
Gathered gather(X509* leaf, const std::vector<ssl::X509Ptr>& companions, const CertPool* vault) {
  constexpr std::size_t kMaxCertificates = 64;
  Gathered g;
  std::set<Fingerprint> seen{fingerprint(leaf)};
  if (isSelfSigned(leaf)) {
    push(g.anchors, leaf);
    if (TrustStore::instance().isAnchor(leaf)) {
      g.systemAnchors.insert(fingerprint(leaf));
    }
    return g;
  }
  std::vector<ssl::X509Ptr> frontier;
  frontier.push_back(upRef(leaf));
  for (std::size_t i = 0; i < frontier.size() && seen.size() < kMaxCertificates; ++i) {
    for (auto& candidate : issuersOf(frontier[i].get(), companions, vault)) {
      X509* c = candidate.cert.get();
      const Fingerprint fp = fingerprint(c);
      if (!seen.insert(fp).second) {
        continue;
      }
      if (candidate.source == Source::Supplied) {
        g.supplied.push_back(upRef(c));
      }
      if (candidate.source == Source::System || TrustStore::instance().isAnchor(c)) {
        g.systemAnchors.insert(fp);
        push(g.anchors, c);
      } else if (isSelfSigned(c)) {
        push(g.anchors, c); // a root the user supplied
      } else {
        push(g.untrusted, c);
        frontier.push_back(std::move(candidate.cert));
      }
    }
  }
  return g;
}

struct VerifyState {
  bool stopsShort = false;
  bool signaturesOk = true;
  std::vector<std::string> otherFaults;
  const std::set<Fingerprint>* systemAnchors = nullptr;
};

VerifyState* stateOf(X509_STORE_CTX* ctx) {
  return static_cast<VerifyState*>(X509_STORE_CTX_get_app_data(ctx));
}

// Records each fault and lets the verifier go on, so that the whole path is
// built and every fault is known.
int recordFault(int ok, X509_STORE_CTX* ctx) {
  if (ok != 0) {
    return 1;
  }
  VerifyState& state = *stateOf(ctx);
  const int error = X509_STORE_CTX_get_error(ctx);
  switch (error) {
  case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
  case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
  case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
  case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
  case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
  case X509_V_ERR_CERT_UNTRUSTED:
    state.stopsShort = true;
    break;
  case X509_V_ERR_CERT_SIGNATURE_FAILURE:
  case X509_V_ERR_UNABLE_TO_DECRYPT_CERT_SIGNATURE:
  case X509_V_ERR_UNABLE_TO_DECODE_ISSUER_PUBLIC_KEY:
    state.signaturesOk = false;
    break;
  case X509_V_ERR_CERT_HAS_EXPIRED:
  case X509_V_ERR_CERT_NOT_YET_VALID:
  case X509_V_ERR_ERROR_IN_CERT_NOT_BEFORE_FIELD:
  case X509_V_ERR_ERROR_IN_CERT_NOT_AFTER_FIELD:
    break; // validity is judged per member, below
  default:
    if (const std::string text = X509_verify_cert_error_string(error);
        std::find(state.otherFaults.begin(), state.otherFaults.end(), text) ==
        state.otherFaults.end()) {
      state.otherFaults.push_back(text);
    }
  }
  return 1;
}

// The verifier's last stage: each link's signature, remembered per pair. The
// self-signature of a trust-store anchor is not checked, as OpenSSL's own
// stage does not check it; a root the user supplied passed isSelfSigned.
int judgeLinks(X509_STORE_CTX* ctx) {
  VerifyState& state = *stateOf(ctx);
  STACK_OF(X509)* chain = X509_STORE_CTX_get0_chain(ctx);
  const int n = sk_X509_num(chain);
  for (int i = 0; i + 1 < n; ++i) {
    if (!signedBy(sk_X509_value(chain, i), sk_X509_value(chain, i + 1))) {
      state.signaturesOk = false;
    }
  }
  if (n > 0) {
    X509* last = sk_X509_value(chain, n - 1);
    const bool selfIssued =
        X509_NAME_cmp(X509_get_subject_name(last), X509_get_issuer_name(last)) == 0;
    if (selfIssued && state.systemAnchors->count(fingerprint(last)) == 0 && !signedBy(last, last)) {
      state.signaturesOk = false;
    }
  }
  return 1;
}

ChainVerdict verifyOnce(X509* leaf, const std::vector<ssl::X509Ptr>& companions,
                        const CertPool* vault) {
  ChainVerdict verdict;
  Gathered g = gather(leaf, companions, vault);
  VerifyState state;
  state.systemAnchors = &g.systemAnchors;
  ssl::X509_STOREPtr store(X509_STORE_new());
  ssl::X509_STORE_CTXPtr ctx(X509_STORE_CTX_new());
  bool ready = store != nullptr && ctx != nullptr && g.anchors != nullptr && g.untrusted != nullptr;
  for (int i = 0; ready && i < sk_X509_num(g.anchors.get()); ++i) {
    ready = X509_STORE_add_cert(store.get(), sk_X509_value(g.anchors.get(), i)) == 1;
  }
  ready = ready && X509_STORE_CTX_init(ctx.get(), store.get(), leaf, g.untrusted.get()) == 1;
  if (ready) {
    // Any anchor ends the path, also one that is not self-signed.
    X509_STORE_CTX_set_flags(ctx.get(), X509_V_FLAG_PARTIAL_CHAIN);
    X509_STORE_CTX_set_app_data(ctx.get(), &state);
    X509_STORE_CTX_set_verify_cb(ctx.get(), &recordFault);
    X509_STORE_CTX_set_verify(ctx.get(), &judgeLinks);
    (void)X509_verify_cert(ctx.get());
  }
  if (const ssl::X509StackPtr chain(ready ? X509_STORE_CTX_get1_chain(ctx.get()) : nullptr);
      chain != nullptr) {
    for (int i = 0; i < sk_X509_num(chain.get()); ++i) {
      verdict.path.push_back(upRef(sk_X509_value(chain.get(), i)));
    }
  }
  ERR_clear_error();
  if (verdict.path.empty()) {
    verdict.path.push_back(upRef(leaf));
    state.stopsShort = true;
  }
  const X509* last = verdict.path.back().get();
  verdict.reachesRoot = !state.stopsShort;
  verdict.trusted = verdict.reachesRoot && state.otherFaults.empty() &&
                    g.systemAnchors.count(fingerprint(last)) != 0;
  verdict.signaturesOk = state.signaturesOk;
  verdict.otherFaults = std::move(state.otherFaults);
  for (auto& s : g.supplied) {
    const bool inPath = std::any_of(verdict.path.begin(), verdict.path.end(), [&](const auto& p) {
      return fingerprint(p.get()) == fingerprint(s.get());
    });
    if (!inPath && (isExpiredNow(s.get()) || isNotYetValidNow(s.get()))) {
      verdict.staleSupplied.push_back(std::move(s));
    }
  }
  return verdict;
}

// ---- Issuers named by authority information access --------------------------------

struct FailedFetches {
  std::mutex mutex;
  std::set<std::string> urls;
};

FailedFetches& failedFetches() {
  static FailedFetches f;
  return f;
}

std::vector<std::string> caIssuerUrls(X509* cert) {
  std::vector<std::string> urls;
  ssl::AUTHORITY_INFO_ACCESSPtr info(static_cast<AUTHORITY_INFO_ACCESS*>(
      X509_get_ext_d2i(cert, NID_info_access, nullptr, nullptr)));
  for (int i = 0; i < sk_ACCESS_DESCRIPTION_num(info.get()); ++i) {
    const ACCESS_DESCRIPTION* ad = sk_ACCESS_DESCRIPTION_value(info.get(), i);
    if (OBJ_obj2nid(ad->method) != NID_ad_ca_issuers || ad->location->type != GEN_URI) {
      continue;
    }
    const ASN1_IA5STRING* uri = ad->location->d.uniformResourceIdentifier;
    std::string url(reinterpret_cast<const char*>(ASN1_STRING_get0_data(uri)),
                    static_cast<size_t>(ASN1_STRING_length(uri)));
    if (url.rfind("http://", 0) == 0 || url.rfind("HTTP://", 0) == 0) {
      urls.push_back(std::move(url)); // other schemes (ldap, https) are never fetched
    }
  }
  ERR_clear_error();
  return urls;
}

// Fetches the issuer of cert; true when one joined the fetched pool.
bool fetchIssuerOf(X509* cert, int& fetches, Clock::time_point deadline) {
  bool added = false;
  for (const auto& url : caIssuerUrls(cert)) {
    if (fetches >= kMaxIssuerFetches || Clock::now() >= deadline) {
      break;
    }
    {
      std::lock_guard lock(failedFetches().mutex);
      if (failedFetches().urls.count(url) != 0) {
        continue;
      }
    }
    ++fetches;
    const auto body = httpGet(url, deadline);
    std::vector<ssl::X509Ptr> certs;
    std::string error;
    if (body && certsFromBytes(*body, certs, error)) {
      for (const auto& c : certs) {
        if (X509_check_issued(c.get(), cert) == X509_V_OK) {
          fetchedIssuerPool().add(c.get());
          added = true;
        }
      }
    }
    ERR_clear_error();
    if (added) {
      break;
    }
    std::lock_guard lock(failedFetches().mutex);
    failedFetches().urls.insert(url);
  }
  return added;
}

} // namespace

bool isExpiredNow(const X509* cert) {
  // -1: before now; 0: unreadable.
  return X509_cmp_current_time(X509_get0_notAfter(cert)) != 1;
}

bool isNotYetValidNow(const X509* cert) {
  return X509_cmp_current_time(X509_get0_notBefore(cert)) != -1;
}

CertPool& fetchedIssuerPool() {
  static CertPool pool;
  return pool;
}

ChainVerdict verifyChain(X509* leaf, const std::vector<ssl::X509Ptr>& companions,
                         const CertPool* vault, bool fetchIssuers, Clock::time_point deadline) {
  int fetches = 0;
  while (true) {
    ChainVerdict verdict = verifyOnce(leaf, companions, vault);
    if (!fetchIssuers || verdict.reachesRoot || fetches >= kMaxIssuerFetches ||
        !fetchIssuerOf(verdict.path.back().get(), fetches, deadline)) {
      return verdict;
    }
  }
}

} // namespace orvo::ck::detail
