#pragma once
// Whether two folder paths name the same folder, decided as the file system
// decides it: the same device and inode when both exist, otherwise the same
// canonical path (links resolved as far as the path exists). Letter case
// counts, as it does on Linux file systems.

#include <string>

namespace orvo::files {

[[nodiscard]] bool SameFolder(const std::string& aFirst, const std::string& aSecond);

} // namespace orvo::files
