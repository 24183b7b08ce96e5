#include "files/FileWriter.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace orvo::files {

bool FileWriter::Write(int aFd, std::string_view aBytes, std::string& aError) {
  while (!aBytes.empty()) {
    const ssize_t n = ::write(aFd, aBytes.data(), aBytes.size());
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      aError = n < 0 ? std::strerror(errno) : "nothing was written";
      return false;
    }
    aBytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

bool FileWriter::Sync(int aFd, std::string& aError) {
  if (::fsync(aFd) != 0) {
    aError = std::strerror(errno);
    return false;
  }
  return true;
}

FileWriter& SystemWriter() {
  static FileWriter writer;
  return writer;
}

} // namespace orvo::files
