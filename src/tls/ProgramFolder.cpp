#include "tls/ProgramFolder.h"

#include <system_error>

namespace orvo {

std::filesystem::path RunningProgramFolderForTls() {
  std::error_code error;
  const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) {
    return std::filesystem::current_path(error);
  }
  return exe.parent_path();
}

} // namespace orvo
