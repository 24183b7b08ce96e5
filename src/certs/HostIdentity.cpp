#include "certs/HostIdentity.h"

#include "certs/CkToolkit.h"

#include <openssl/err.h>
#include <openssl/x509v3.h>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

namespace orvo::ck::detail {

namespace {

void addOnce(std::vector<std::string>& list, std::string value) {
  if (!value.empty() && std::find(list.begin(), list.end(), value) == list.end()) {
    list.push_back(std::move(value));
  }
}

// The canonical name of host as the resolver gives it. The resolver has no
// time-out of its own, so it runs on a helper thread that is left behind
// after a second.
std::string fullyQualified(const std::string& host) {
  struct Lookup {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    std::string name;
  };
  auto lookup = std::make_shared<Lookup>();
  try {
    std::thread([lookup, host] {
      addrinfo hints{};
      hints.ai_flags = AI_CANONNAME;
      addrinfo* found = nullptr;
      std::string name;
      if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) == 0) {
        if (found != nullptr && found->ai_canonname != nullptr) {
          name = found->ai_canonname;
        }
        ::freeaddrinfo(found);
      }
      std::lock_guard lock(lookup->mutex);
      lookup->name = std::move(name);
      lookup->finished = true;
      lookup->done.notify_all();
    }).detach();
  } catch (const std::system_error&) {
    return {};
  }
  std::unique_lock lock(lookup->mutex);
  if (!lookup->done.wait_for(lock, std::chrono::seconds(1), [&] { return lookup->finished; })) {
    return {};
  }
  return lookup->name;
}

bool isLoopback(const sockaddr* addr) {
  if (addr->sa_family == AF_INET) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(addr);
    return (ntohl(in->sin_addr.s_addr) >> 24) == 127;
  }
  const auto* in6 = reinterpret_cast<const sockaddr_in6*>(addr);
  return IN6_IS_ADDR_LOOPBACK(&in6->sin6_addr) || IN6_IS_ADDR_LINKLOCAL(&in6->sin6_addr);
}

std::vector<std::string> machineAddresses() {
  std::vector<std::string> out;
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) {
    return out;
  }
  for (const ifaddrs* it = list; it != nullptr; it = it->ifa_next) {
    const sockaddr* addr = it->ifa_addr;
    if (addr == nullptr || (addr->sa_family != AF_INET && addr->sa_family != AF_INET6) ||
        isLoopback(addr)) {
      continue;
    }
    char text[INET6_ADDRSTRLEN] = {};
    const void* raw =
        addr->sa_family == AF_INET
            ? static_cast<const void*>(&reinterpret_cast<const sockaddr_in*>(addr)->sin_addr)
            : static_cast<const void*>(&reinterpret_cast<const sockaddr_in6*>(addr)->sin6_addr);
    if (::inet_ntop(addr->sa_family, raw, text, sizeof text) != nullptr) {
      addOnce(out, text);
    }
  }
  ::freeifaddrs(list);
  return out;
}

bool isAddress(const std::string& text) {
  unsigned char buf[sizeof(in6_addr)];
  return ::inet_pton(AF_INET, text.c_str(), buf) == 1 ||
         ::inet_pton(AF_INET6, text.c_str(), buf) == 1;
}

HostIdentity fromList(const std::string& list) {
  HostIdentity id;
  std::string::size_type start = 0;
  while (start <= list.size()) {
    const auto end = std::min(list.find(',', start), list.size());
    std::string item = list.substr(start, end - start);
    item.erase(0, item.find_first_not_of(" \t"));
    item.erase(item.find_last_not_of(" \t") + 1);
    if (!item.empty()) {
      if (id.hostName.empty()) {
        id.hostName = item;
      }
      addOnce(isAddress(item) ? id.addresses : id.names, item);
    }
    start = end + 1;
  }
  return id;
}

HostIdentity readMachine() {
  if (const char* list = std::getenv("ORVO_HOST_NAMES"); list != nullptr && *list != '\0') {
    return fromList(list);
  }
  HostIdentity id;
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) == 0) {
    id.hostName = name;
    addOnce(id.names, name);
    addOnce(id.names, fullyQualified(name));
  }
  id.addresses = machineAddresses();
  return id;
}

} // namespace

const HostIdentity& hostIdentity() {
  static const HostIdentity id = readMachine();
  return id;
}

bool namesThisComputer(X509* cert) {
  const HostIdentity& id = hostIdentity();
  constexpr unsigned int flags = X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS;
  const bool named =
      std::any_of(id.names.begin(), id.names.end(),
                  [&](const std::string& n) {
                    return X509_check_host(cert, n.c_str(), n.size(), flags, nullptr) == 1;
                  }) ||
      std::any_of(id.addresses.begin(), id.addresses.end(),
                  [&](const std::string& a) { return X509_check_ip_asc(cert, a.c_str(), 0) == 1; });
  ERR_clear_error();
  return named;
}

} // namespace orvo::ck::detail

namespace orvo::ck {

std::string HostNameOfThisComputer() {
  return detail::hostIdentity().hostName;
}

} // namespace orvo::ck
