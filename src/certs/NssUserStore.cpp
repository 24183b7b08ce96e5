#include "certs/StoreSources.h"

namespace orvo::ck {

// Until the user's NSS database is read, opening the store fails and
// nothing is read from it.
bool ReadCurrentUserStore(CertList& /*out*/) {
  return false;
}

} // namespace orvo::ck
