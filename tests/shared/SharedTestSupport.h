#pragma once
// Helpers of the shared units' tests: polling with a deadline, and whether
// this process holds a file open.

#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

namespace orvo::test {

inline bool Eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds timeout = std::chrono::milliseconds(3000)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// True while any descriptor of this process refers to the file.
inline bool IsOpenInThisProcess(const std::filesystem::path& file) {
  std::error_code ec;
  const auto wanted = std::filesystem::weakly_canonical(file, ec);
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
    std::error_code linkError;
    const auto target = std::filesystem::read_symlink(entry.path(), linkError);
    if (!linkError && target == wanted) {
      return true;
    }
  }
  return false;
}

} // namespace orvo::test
