#include "certs/StoreSources.h"

namespace orvo::ck {

bool ReadMachineStore(CertList& /*out*/) {
  return false;
}

} // namespace orvo::ck
