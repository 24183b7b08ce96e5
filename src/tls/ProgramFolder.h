#pragma once

#include <filesystem>

namespace orvo {

// Folder of the running executable (from /proc/self/exe), or the current
// folder when that link cannot be read.
[[nodiscard]] std::filesystem::path RunningProgramFolderForTls();

} // namespace orvo
