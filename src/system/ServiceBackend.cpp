#include "system/ServiceBackend.h"

namespace orvo {

std::size_t ServiceConfigSize(const ServiceConfig& aConfig) {
  // QUERY_SERVICE_CONFIGW on 64-bit Windows: four DWORDs and five string
  // pointers; the strings follow as UTF-16 with their terminators. Only two
  // strings are carried here; the three left out are counted as empty.
  constexpr std::size_t kFixedPart = 4 * 4 + 5 * 8;
  constexpr std::size_t kUnitSize = 2;
  const std::size_t strings =
      aConfig.lpBinaryPathName.size() + aConfig.lpServiceStartName.size() + 5;
  return kFixedPart + strings * kUnitSize;
}

} // namespace orvo
