#pragma once
// Hands fuzz data to loaders that take a path: the bytes go into an anonymous
// in-memory file, reachable as /proc/self/fd/N for as long as the object lives.

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace orvo::fuzz {

class MemoryFile {
public:
  MemoryFile(const std::uint8_t* data, std::size_t size)
      : fd_(::memfd_create("fuzz", MFD_CLOEXEC)) {
    std::size_t done = 0;
    while (fd_ >= 0 && done < size) {
      const ssize_t n = ::write(fd_, data + done, size - done);
      if (n <= 0) {
        break;
      }
      done += static_cast<std::size_t>(n);
    }
  }
  ~MemoryFile() {
    if (fd_ >= 0) {
      ::close(fd_);
    }
  }
  MemoryFile(const MemoryFile&) = delete;
  MemoryFile& operator=(const MemoryFile&) = delete;
  std::string path() const { return "/proc/self/fd/" + std::to_string(fd_); }

private:
  int fd_;
};

} // namespace orvo::fuzz
