#pragma once
// A file writer that writes through the system's writer until a number of
// bytes have gone out, then fails as a full disk would (ENOSPC). Without a
// limit it writes everything.

#include "files/FileWriter.h"

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

namespace orvo::test {

class FailingWriter final : public files::FileWriter {
public:
  FailingWriter() = default;
  explicit FailingWriter(std::size_t aLimit) : limit(aLimit) {}

  bool Write(int aFd, std::string_view aBytes, std::string& aError) override {
    const std::size_t room =
        !limit ? aBytes.size() : (*limit > written ? *limit - written : std::size_t{0});
    const std::string_view part = aBytes.substr(0, room);
    if (!files::FileWriter::Write(aFd, part, aError)) {
      return false;
    }
    written += part.size();
    if (part.size() < aBytes.size()) {
      aError = std::strerror(ENOSPC);
      return false;
    }
    return true;
  }

  // Bytes allowed in all; none set: no limit.
  std::optional<std::size_t> limit;
  std::size_t written = 0;
};

} // namespace orvo::test
