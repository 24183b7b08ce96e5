#pragma once
// An owned file descriptor, closed when the object goes.

#include <unistd.h>

#include <utility>

namespace orvo::files {

class UniqueFd {
public:
  UniqueFd() = default;
  explicit UniqueFd(int aFd) : fFd(aFd) {}
  ~UniqueFd() { Reset(); }
  UniqueFd(UniqueFd&& aOther) noexcept : fFd(std::exchange(aOther.fFd, -1)) {}
  UniqueFd& operator=(UniqueFd&& aOther) noexcept {
    if (this != &aOther) {
      Reset();
      fFd = std::exchange(aOther.fFd, -1);
    }
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  [[nodiscard]] int Get() const { return fFd; }
  [[nodiscard]] bool Valid() const { return fFd >= 0; }
  // Closes now and reports the result: a failed close may lose written data.
  [[nodiscard]] bool Close() {
    const int fd = std::exchange(fFd, -1);
    return fd < 0 || ::close(fd) == 0;
  }
  void Reset() {
    if (fFd >= 0) {
      ::close(fFd);
    }
    fFd = -1;
  }

private:
  int fFd = -1;
};

} // namespace orvo::files
