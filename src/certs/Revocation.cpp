// Revocation checks: a local CRL, then OCSP, then the CRL over HTTP, within one
// deadline.
//
// Note to maintainers: the HTTP client here is deliberately tiny (HTTP/1.0,
// http:// only, no redirects, no proxy) because OCSP responders and CRL
// distribution points are plain HTTP by design (RFC 5280 4.2.1.13, RFC 6960
// A.1), and because the whole check must end within kRevocationTimeout, which
// needs millisecond control over connect and read. A wizard that lists a
// thousand certificates must not wait on the network more than once per
// issuer and address; hence the caches.
#include "certs/Revocation.h"

#include "certs/OpenSslPtr.h"
#include "certs/SslSupport.h"

#include <openssl/err.h>
#include <openssl/ocsp.h>

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace orvo::ck::detail {

namespace {

constexpr std::size_t kMaxResponseSize = 8u * 1024u * 1024u;

struct Url {
  std::string host;
  std::string port = "80";
  std::string path = "/";
};

std::optional<Url> parseHttpUrl(const std::string& text) {
  constexpr std::string_view scheme = "http://";
  if (text.size() <= scheme.size() ||
      strncasecmp(text.c_str(), scheme.data(), scheme.size()) != 0) {
    return std::nullopt;
  }
  Url url;
  const std::string rest = text.substr(scheme.size());
  const auto slash = rest.find('/');
  std::string authority = rest.substr(0, slash);
  if (slash != std::string::npos) {
    url.path = rest.substr(slash);
  }
  if (!authority.empty() && authority.front() == '[') { // [IPv6]:port
    const auto close = authority.find(']');
    if (close == std::string::npos) {
      return std::nullopt;
    }
    url.host = authority.substr(1, close - 1);
    if (close + 1 < authority.size() && authority[close + 1] == ':') {
      url.port = authority.substr(close + 2);
    }
  } else if (const auto colon = authority.rfind(':'); colon != std::string::npos) {
    url.host = authority.substr(0, colon);
    url.port = authority.substr(colon + 1);
  } else {
    url.host = authority;
  }
  if (url.host.empty() || url.port.empty()) {
    return std::nullopt;
  }
  return url;
}

int millisLeft(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

class Socket {
public:
  explicit Socket(int fd) : fd_(fd) {}
  ~Socket() {
    if (fd_ >= 0) {
      ::close(fd_);
    }
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  int get() const { return fd_; }

private:
  int fd_;
};

bool waitFor(int fd, short events, Clock::time_point deadline) {
  pollfd p{fd, events, 0};
  while (true) {
    const int left = millisLeft(deadline);
    if (left == 0) {
      return false;
    }
    const int n = ::poll(&p, 1, left);
    if (n > 0) {
      return true;
    }
    if (n == 0 || errno != EINTR) {
      return false;
    }
  }
}

using AddrList = std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)>;

// Name resolution has no time-out of its own, so a name is resolved on a
// helper thread that is left behind when the deadline passes; an address in
// numeric form needs no lookup.
AddrList resolveBefore(const Url& url, Clock::time_point deadline) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST;
  addrinfo* found = nullptr;
  if (::getaddrinfo(url.host.c_str(), url.port.c_str(), &hints, &found) == 0) {
    return AddrList(found, ::freeaddrinfo);
  }
  struct Lookup {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    addrinfo* result = nullptr;
    ~Lookup() {
      if (result != nullptr) {
        ::freeaddrinfo(result);
      }
    }
  };
  auto lookup = std::make_shared<Lookup>();
  hints.ai_flags = 0;
  try {
    std::thread([lookup, hints, host = url.host, port = url.port] {
      addrinfo* result = nullptr;
      if (::getaddrinfo(host.c_str(), port.c_str(), &hints, &result) != 0) {
        result = nullptr;
      }
      std::lock_guard lock(lookup->mutex);
      lookup->result = result;
      lookup->finished = true;
      lookup->done.notify_all();
    }).detach();
  } catch (const std::system_error&) {
    return AddrList(nullptr, ::freeaddrinfo);
  }
  std::unique_lock lock(lookup->mutex);
  if (!lookup->done.wait_until(lock, deadline, [&] { return lookup->finished; })) {
    return AddrList(nullptr, ::freeaddrinfo);
  }
  return AddrList(std::exchange(lookup->result, nullptr), ::freeaddrinfo);
}

int connectBefore(const Url& url, Clock::time_point deadline) {
  const AddrList list = resolveBefore(url, deadline);
  const addrinfo* found = list.get();
  for (const addrinfo* ai = found; ai != nullptr && millisLeft(deadline) > 0; ai = ai->ai_next) {
    const int fd =
        ::socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
    if (fd < 0) {
      continue;
    }
    if (::connect(fd, ai->ai_addr, ai->ai_addrlen) == 0) {
      return fd;
    }
    int error = errno;
    if (error == EINPROGRESS && waitFor(fd, POLLOUT, deadline)) {
      socklen_t len = sizeof error;
      if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) == 0 && error == 0) {
        return fd;
      }
    }
    ::close(fd);
  }
  return -1;
}

// The size of the whole answer (head and body) once the head is complete and
// names a Content-Length.
std::optional<std::size_t> contentLength(const std::string& answer) {
  const auto headEnd = answer.find("\r\n\r\n");
  if (headEnd == std::string::npos) {
    return std::nullopt;
  }
  std::string head = answer.substr(0, headEnd);
  for (auto& c : head) {
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  const auto at = head.find("\r\ncontent-length:");
  if (at == std::string::npos) {
    return std::nullopt;
  }
  char* end = nullptr;
  const unsigned long long length = std::strtoull(head.c_str() + at + 17, &end, 10);
  if (end == head.c_str() + at + 17 || length > kMaxResponseSize) {
    return std::nullopt;
  }
  return headEnd + 4 + static_cast<std::size_t>(length);
}

// One HTTP/1.0 exchange; the body of a 200 answer, or nothing.
std::optional<std::string> httpExchange(const Url& url, const std::string& request,
                                        Clock::time_point deadline) {
  Socket sock(connectBefore(url, deadline));
  if (sock.get() < 0) {
    return std::nullopt;
  }
  std::string_view out = request;
  while (!out.empty()) {
    if (!waitFor(sock.get(), POLLOUT, deadline)) {
      return std::nullopt;
    }
    const ssize_t n = ::send(sock.get(), out.data(), out.size(), MSG_NOSIGNAL);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
      continue;
    }
    if (n <= 0) {
      return std::nullopt;
    }
    out.remove_prefix(static_cast<size_t>(n));
  }
  std::string answer;
  char buf[16384];
  while (true) {
    if (!waitFor(sock.get(), POLLIN, deadline)) {
      return std::nullopt;
    }
    const ssize_t n = ::recv(sock.get(), buf, sizeof buf, 0);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
      continue;
    }
    if (n < 0) {
      return std::nullopt;
    }
    if (n == 0) {
      break;
    }
    answer.append(buf, static_cast<size_t>(n));
    if (answer.size() > kMaxResponseSize) {
      return std::nullopt;
    }
    // Some servers keep the connection open after the answer; a complete
    // body by its Content-Length ends the exchange as well as the peer's close.
    if (const auto length = contentLength(answer); length && answer.size() >= *length) {
      break;
    }
  }
  // "HTTP/1.x 200 ..."; the body follows the first empty line.
  const auto space = answer.find(' ');
  const auto bodyAt = answer.find("\r\n\r\n");
  if (answer.compare(0, 5, "HTTP/") != 0 || space == std::string::npos ||
      answer.compare(space + 1, 3, "200") != 0 || bodyAt == std::string::npos) {
    return std::nullopt;
  }
  return answer.substr(bodyAt + 4);
}

std::string requestHead(const char* method, const Url& url) {
  const bool v6 = url.host.find(':') != std::string::npos;
  return std::string(method) + " " + url.path + " HTTP/1.0\r\nHost: " + (v6 ? "[" : "") + url.host +
         (v6 ? "]" : "") + ":" + url.port + "\r\nConnection: close\r\n";
}

// ---- Caches ------------------------------------------------------------------------------

struct Caches {
  std::mutex mutex;
  std::map<std::string, bool> answers;          // issuer fingerprint + serial
  std::set<std::string> silentUrls;             // no answer in this process
  std::map<std::string, ssl::X509_CRLPtr> crls; // by address
  std::vector<ssl::X509_CRLPtr> localCrls;      // found with the certificates
  std::map<std::string, std::shared_ptr<std::timed_mutex>> fetchLocks;
};

Caches& caches() {
  static Caches c;
  return c;
}

bool isSilent(const std::string& url) {
  std::lock_guard lock(caches().mutex);
  return caches().silentUrls.count(url) != 0;
}

void markSilent(const std::string& url) {
  std::lock_guard lock(caches().mutex);
  caches().silentUrls.insert(url);
}

std::string answerKey(X509* cert, X509* issuer) {
  const Fingerprint fp = fingerprint(issuer);
  std::string key(reinterpret_cast<const char*>(fp.data()), fp.size());
  const ASN1_INTEGER* serial = X509_get0_serialNumber(cert);
  key.append(reinterpret_cast<const char*>(ASN1_STRING_get0_data(serial)),
             static_cast<size_t>(ASN1_STRING_length(serial)));
  return key;
}

// ---- OCSP ----------------------------------------------------------------------------------

std::vector<std::string> ocspUrls(X509* cert) {
  std::vector<std::string> urls;
  STACK_OF(OPENSSL_STRING)* list = X509_get1_ocsp(cert);
  for (int i = 0; i < sk_OPENSSL_STRING_num(list); ++i) {
    urls.emplace_back(sk_OPENSSL_STRING_value(list, i));
  }
  X509_email_free(list);
  return urls;
}

// The responder's verdict when it gave a valid answer signed for issuer:
// true revoked, false good; nothing for any other outcome.
std::optional<bool> judgeOcsp(const std::string& body, OCSP_REQUEST* request, OCSP_CERTID* id,
                              X509* issuer) {
  const auto* p = reinterpret_cast<const unsigned char*>(body.data());
  ssl::OCSP_RESPONSEPtr response(d2i_OCSP_RESPONSE(nullptr, &p, static_cast<long>(body.size())));
  if (response == nullptr ||
      OCSP_response_status(response.get()) != OCSP_RESPONSE_STATUS_SUCCESSFUL) {
    return std::nullopt;
  }
  ssl::OCSP_BASICRESPPtr basic(OCSP_response_get1_basic(response.get()));
  if (basic == nullptr || OCSP_check_nonce(request, basic.get()) == 0) {
    return std::nullopt;
  }
  // The issuer is the only trust anchor: the answer is signed by the issuer
  // itself or by a responder certificate that the issuer delegated to.
  ssl::X509_STOREPtr store(X509_STORE_new());
  ssl::X509StackRefPtr issuers(sk_X509_new_null());
  if (store == nullptr || issuers == nullptr || X509_STORE_add_cert(store.get(), issuer) != 1 ||
      X509_STORE_set_flags(store.get(), X509_V_FLAG_PARTIAL_CHAIN) != 1 ||
      sk_X509_push(issuers.get(), issuer) <= 0 ||
      OCSP_basic_verify(basic.get(), issuers.get(), store.get(), 0) != 1) {
    return std::nullopt;
  }
  int status = 0;
  int reason = 0;
  ASN1_GENERALIZEDTIME* revokedAt = nullptr;
  ASN1_GENERALIZEDTIME* thisUpdate = nullptr;
  ASN1_GENERALIZEDTIME* nextUpdate = nullptr;
  if (OCSP_resp_find_status(basic.get(), id, &status, &reason, &revokedAt, &thisUpdate,
                            &nextUpdate) != 1 ||
      OCSP_check_validity(thisUpdate, nextUpdate, 300, -1) != 1) {
    return std::nullopt;
  }
  if (status == V_OCSP_CERTSTATUS_REVOKED) {
    return true;
  }
  if (status == V_OCSP_CERTSTATUS_GOOD) {
    return false;
  }
  return std::nullopt;
}

std::optional<bool> askOcsp(X509* cert, X509* issuer, Clock::time_point deadline) {
  for (const auto& address : ocspUrls(cert)) {
    const auto url = parseHttpUrl(address);
    if (!url || isSilent(address) || millisLeft(deadline) == 0) {
      continue;
    }
    ssl::OCSP_REQUESTPtr request(OCSP_REQUEST_new());
    ssl::OCSP_CERTIDPtr id(OCSP_cert_to_id(nullptr, cert, issuer));
    ssl::OCSP_CERTIDPtr idForRequest(id ? OCSP_CERTID_dup(id.get()) : nullptr);
    if (request == nullptr || idForRequest == nullptr ||
        OCSP_request_add0_id(request.get(), idForRequest.get()) == nullptr) {
      return std::nullopt;
    }
    (void)idForRequest.release(); // owned by the request now
    if (OCSP_request_add1_nonce(request.get(), nullptr, -1) != 1) {
      return std::nullopt;
    }
    unsigned char* der = nullptr;
    const int len = i2d_OCSP_REQUEST(request.get(), &der);
    if (len <= 0) {
      return std::nullopt;
    }
    const ssl::OpensslBytes ownedDer(der);
    const std::string message =
        requestHead("POST", *url) +
        "Content-Type: application/ocsp-request\r\nContent-Length: " + std::to_string(len) +
        "\r\n\r\n" + std::string(reinterpret_cast<const char*>(der), static_cast<size_t>(len));
    const auto body = httpExchange(*url, message, deadline);
    if (!body) {
      markSilent(address);
      continue;
    }
    if (const auto verdict = judgeOcsp(*body, request.get(), id.get(), issuer)) {
      return verdict;
    }
  }
  return std::nullopt;
}

// ---- CRL -------------------------------------------------------------------------------------

std::vector<std::string> crlUrls(X509* cert) {
  std::vector<std::string> urls;
  ssl::CRL_DIST_POINTSPtr points(static_cast<CRL_DIST_POINTS*>(
      X509_get_ext_d2i(cert, NID_crl_distribution_points, nullptr, nullptr)));
  for (int i = 0; i < sk_DIST_POINT_num(points.get()); ++i) {
    const DIST_POINT* point = sk_DIST_POINT_value(points.get(), i);
    if (point->distpoint == nullptr || point->distpoint->type != 0) {
      continue; // only full names
    }
    const GENERAL_NAMES* names = point->distpoint->name.fullname;
    for (int j = 0; j < sk_GENERAL_NAME_num(names); ++j) {
      const GENERAL_NAME* name = sk_GENERAL_NAME_value(names, j);
      if (name->type == GEN_URI) {
        const ASN1_IA5STRING* uri = name->d.uniformResourceIdentifier;
        urls.emplace_back(reinterpret_cast<const char*>(ASN1_STRING_get0_data(uri)),
                          static_cast<size_t>(ASN1_STRING_length(uri)));
      }
    }
  }
  return urls;
}

ssl::X509_CRLPtr parseCrl(const std::string& body) {
  const auto* p = reinterpret_cast<const unsigned char*>(body.data());
  ssl::X509_CRLPtr crl(d2i_X509_CRL(nullptr, &p, static_cast<long>(body.size())));
  if (crl == nullptr) {
    ssl::BIOPtr bio = readOnlyBio(body);
    crl.reset(bio ? PEM_read_bio_X509_CRL(bio.get(), nullptr, nullptr, nullptr) : nullptr);
  }
  return crl;
}

ssl::X509_CRLPtr cachedCrl(const std::string& address) {
  std::lock_guard lock(caches().mutex);
  if (const auto it = caches().crls.find(address); it != caches().crls.end()) {
    const ASN1_TIME* next = X509_CRL_get0_nextUpdate(it->second.get());
    if (next == nullptr || X509_cmp_current_time(next) > 0) {
      X509_CRL_up_ref(it->second.get());
      return ssl::X509_CRLPtr(it->second.get());
    }
  }
  return nullptr;
}

// One lock per address, so that certificates checked at the same time that
// share a distribution point wait for one fetch instead of each fetching.
std::shared_ptr<std::timed_mutex> fetchLock(const std::string& address) {
  std::lock_guard lock(caches().mutex);
  auto& entry = caches().fetchLocks[address];
  if (entry == nullptr) {
    entry = std::make_shared<std::timed_mutex>();
  }
  return entry;
}

// The CRL behind an address: from the cache while it is current, else fetched.
ssl::X509_CRLPtr fetchCrl(const std::string& address, const Url& url, Clock::time_point deadline) {
  if (ssl::X509_CRLPtr crl = cachedCrl(address)) {
    return crl;
  }
  const auto addressLock = fetchLock(address);
  std::unique_lock fetching(*addressLock, std::defer_lock);
  if (!fetching.try_lock_until(deadline)) {
    return nullptr;
  }
  if (ssl::X509_CRLPtr crl = cachedCrl(address)) {
    return crl; // fetched by another check meanwhile
  }
  if (isSilent(address)) {
    return nullptr;
  }
  const auto body = httpExchange(url, requestHead("GET", url) + "\r\n", deadline);
  if (!body) {
    markSilent(address);
    return nullptr;
  }
  ssl::X509_CRLPtr crl = parseCrl(*body);
  if (crl != nullptr) {
    std::lock_guard lock(caches().mutex);
    X509_CRL_up_ref(crl.get());
    caches().crls[address] = ssl::X509_CRLPtr(crl.get());
  }
  return crl;
}

// A CRL that issuer signed and that is current: thisUpdate has passed (with
// five minutes of leeway for clocks) and nextUpdate, when given, has not.
bool crlSpeaksFor(X509_CRL* crl, X509* issuer) {
  EVP_PKEY* issuerKey = X509_get0_pubkey(issuer);
  if (crl == nullptr || issuerKey == nullptr ||
      X509_NAME_cmp(X509_CRL_get_issuer(crl), X509_get_subject_name(issuer)) != 0 ||
      X509_CRL_verify(crl, issuerKey) != 1) {
    return false;
  }
  const ASN1_TIME* thisUpdate = X509_CRL_get0_lastUpdate(crl);
  const ASN1_TIME* nextUpdate = X509_CRL_get0_nextUpdate(crl);
  std::time_t soon = std::time(nullptr) + 300;
  if (thisUpdate == nullptr || X509_cmp_time(thisUpdate, &soon) != -1) {
    return false; // unreadable or not yet in force
  }
  return nextUpdate == nullptr || X509_cmp_current_time(nextUpdate) == 1;
}

bool listedIn(X509_CRL* crl, X509* cert) {
  X509_REVOKED* entry = nullptr;
  // 1: listed; 2: listed as removeFromCRL, i.e. no longer revoked.
  return X509_CRL_get0_by_cert(crl, &entry, cert) == 1;
}

std::optional<bool> askLocalCrl(X509* cert, X509* issuer) {
  std::vector<ssl::X509_CRLPtr> crls;
  {
    std::lock_guard lock(caches().mutex);
    for (const auto& crl : caches().localCrls) {
      X509_CRL_up_ref(crl.get());
      crls.emplace_back(crl.get());
    }
  }
  for (const auto& crl : crls) {
    if (crlSpeaksFor(crl.get(), issuer)) {
      return listedIn(crl.get(), cert);
    }
  }
  return std::nullopt;
}

std::optional<bool> askCrl(X509* cert, X509* issuer, Clock::time_point deadline) {
  for (const auto& address : crlUrls(cert)) {
    const auto url = parseHttpUrl(address);
    if (!url || isSilent(address) || millisLeft(deadline) == 0) {
      continue;
    }
    ssl::X509_CRLPtr crl = fetchCrl(address, *url, deadline);
    if (!crlSpeaksFor(crl.get(), issuer)) {
      continue; // not the issuer's list, or out of date
    }
    return listedIn(crl.get(), cert);
  }
  return std::nullopt;
}

bool hasLocalCrlNamed(const X509_NAME* issuerName) {
  std::lock_guard lock(caches().mutex);
  return std::any_of(caches().localCrls.begin(), caches().localCrls.end(), [&](const auto& crl) {
    return X509_NAME_cmp(X509_CRL_get_issuer(crl.get()), issuerName) == 0;
  });
}

} // namespace

bool hasRevocationSource(X509* cert) {
  if (cert == nullptr) {
    return false;
  }
  return !ocspUrls(cert).empty() || !crlUrls(cert).empty() ||
         hasLocalCrlNamed(X509_get_issuer_name(cert));
}

RevocationStatus revocationStatus(X509* cert, X509* issuer, Clock::time_point deadline) {
  if (cert == nullptr || !hasRevocationSource(cert)) {
    return RevocationStatus::NotChecked;
  }
  if (issuer == nullptr) {
    return RevocationStatus::Unknown; // nobody can vouch for an answer
  }
  const std::string key = answerKey(cert, issuer);
  {
    std::lock_guard lock(caches().mutex);
    if (const auto it = caches().answers.find(key); it != caches().answers.end()) {
      return it->second ? RevocationStatus::Revoked : RevocationStatus::Good;
    }
  }
  auto verdict = askLocalCrl(cert, issuer);
  if (!verdict) {
    verdict = askOcsp(cert, issuer, deadline);
  }
  if (!verdict) {
    verdict = askCrl(cert, issuer, deadline);
  }
  ERR_clear_error();
  if (!verdict) {
    return RevocationStatus::Unknown;
  }
  std::lock_guard lock(caches().mutex);
  caches().answers[key] = *verdict;
  return *verdict ? RevocationStatus::Revoked : RevocationStatus::Good;
}

bool isRevoked(X509* cert, X509* issuer) {
  return revocationStatus(cert, issuer, Clock::now() + kRevocationTimeout) ==
         RevocationStatus::Revoked;
}

void addLocalCrl(X509_CRL* crl) {
  if (crl == nullptr) {
    return;
  }
  std::lock_guard lock(caches().mutex);
  auto& local = caches().localCrls;
  const bool known = std::any_of(local.begin(), local.end(), [crl](const auto& other) {
    return X509_CRL_cmp(other.get(), crl) == 0 &&
           ASN1_TIME_compare(X509_CRL_get0_lastUpdate(other.get()),
                             X509_CRL_get0_lastUpdate(crl)) == 0;
  });
  if (!known && local.size() < 1024) {
    X509_CRL_up_ref(crl);
    local.emplace_back(crl);
    caches().answers.clear(); // a new list may overrule what was answered
  }
}

std::optional<std::string> httpGet(const std::string& address, Clock::time_point deadline) {
  const auto url = parseHttpUrl(address);
  if (!url) {
    return std::nullopt;
  }
  return httpExchange(*url, requestHead("GET", *url) + "\r\n", deadline);
}

void clearRevocationCache() {
  std::lock_guard lock(caches().mutex);
  caches().answers.clear();
  caches().silentUrls.clear();
  caches().crls.clear();
  caches().localCrls.clear();
}

} // namespace orvo::ck::detail
