#pragma once
// The system's certificate stores as CkCertStore reads them. Each reader
// appends the certificates of its store, in the store's order, with their
// private keys attached where the store holds them.

#include "certs/CkToolkit.h"

#include <memory>
#include <vector>

namespace orvo::ck {

using CertList = std::vector<std::unique_ptr<CkCert>>;

// The local machine's server certificates: the system's certificate folders
// (ORVO_MACHINE_STORE replaces the default list). False when no folder could
// be read at all.
[[nodiscard]] bool ReadMachineStore(CertList& out);

// The current user's NSS database ($HOME/.pki/nssdb or ORVO_USER_NSSDB).
// False when it cannot be opened; nothing is appended then.
[[nodiscard]] bool ReadCurrentUserStore(CertList& out);

} // namespace orvo::ck
