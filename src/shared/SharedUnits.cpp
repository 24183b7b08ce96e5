#include "shared/SharedUnits.h"

namespace orvo {

void InitSharedUnits(const SharedUnitsConfig& /*config*/) {}

void FinalizeSharedUnits() noexcept {}

} // namespace orvo
