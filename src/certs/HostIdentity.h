#pragma once
// The names and addresses under which clients reach this computer, and
// whether a certificate names one of them. Internal to src/certs.

#include <openssl/x509.h>

#include <string>
#include <vector>

namespace orvo::ck::detail {

struct HostIdentity {
  std::string hostName;               // shown in the warning
  std::vector<std::string> names;     // the host name and the fully qualified name
  std::vector<std::string> addresses; // every address of the machine but loopback
};

// Read once per process. ORVO_HOST_NAMES (names and addresses separated by
// commas, the first shown as the host name) replaces what the machine says,
// for a server that is reached under other names and for tests.
const HostIdentity& hostIdentity();

// A DNS name of the subject alternative names (the common name when there are
// none) matches a name, wildcards as RFC 6125 has them (only a whole left-most
// label), or an IP address entry matches an address.
bool namesThisComputer(X509* cert);

} // namespace orvo::ck::detail
