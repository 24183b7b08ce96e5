#include "files/BoundedRead.h"

#include "files/Secret.h"
#include "files/UniqueFd.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace orvo::files {

namespace {

// What was read so far may be key text: it is wiped, not just dropped.
ReadResult Fail(ReadStatus aStatus, std::string aError, std::string& aOut) {
  Cleanse(aOut);
  return {aStatus, std::move(aError)};
}

int OpenFlags(const ReadOptions& aOptions) {
  // O_NONBLOCK: opening a FIFO without a writer, or a device, must not wait.
  int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
  if (aOptions.links == Links::Refuse) {
    flags |= O_NOFOLLOW;
  }
  return flags;
}

ReadResult OpenFailure(const std::string& aPath, std::string& aOut) {
  const int error = errno;
  if (error == ENOENT) {
    return Fail(ReadStatus::Missing, "the file " + aPath + " does not exist", aOut);
  }
  if (error == ELOOP) {
    return Fail(ReadStatus::NotRegular, "the file " + aPath + " is a link", aOut);
  }
  if (error == ENXIO || error == ENODEV || error == EISDIR) {
    return Fail(ReadStatus::NotRegular, "the file " + aPath + " is not a regular file", aOut);
  }
  return Fail(ReadStatus::Failed, "cannot open the file " + aPath + ": " + std::strerror(error),
              aOut);
}

} // namespace

ReadResult ReadOpenFile(int aFd, const std::string& aDisplayPath, std::string& aOut,
                        const ReadOptions& aOptions) {
  struct stat info {};
  if (::fstat(aFd, &info) != 0) {
    return Fail(ReadStatus::Failed,
                "cannot read the file " + aDisplayPath + ": " + std::strerror(errno), aOut);
  }
  if (!S_ISREG(info.st_mode)) {
    return Fail(ReadStatus::NotRegular, "the file " + aDisplayPath + " is not a regular file",
                aOut);
  }
  if (static_cast<unsigned long long>(info.st_size) > aOptions.maxSize) {
    return Fail(ReadStatus::TooLarge, "the file " + aDisplayPath + " is too large", aOut);
  }
  // Regular files never block; the flag only mattered for the open.
  const int flags = ::fcntl(aFd, F_GETFL);
  if (flags >= 0) {
    (void)::fcntl(aFd, F_SETFL, flags & ~O_NONBLOCK);
  }
  // One byte more than the cap tells a file that grew after the fstat.
  aOut.assign(static_cast<std::size_t>(info.st_size), '\0');
  std::size_t done = 0;
  for (;;) {
    if (done == aOut.size()) {
      if (aOut.size() > aOptions.maxSize) {
        return Fail(ReadStatus::TooLarge, "the file " + aDisplayPath + " is too large", aOut);
      }
      aOut.resize(std::min(aOut.size() + 4096, aOptions.maxSize + 1));
    }
    const ssize_t n = ::read(aFd, aOut.data() + done, aOut.size() - done);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0) {
      return Fail(ReadStatus::Failed,
                  "cannot read the file " + aDisplayPath + ": " + std::strerror(errno), aOut);
    }
    if (n == 0) {
      break;
    }
    done += static_cast<std::size_t>(n);
  }
  aOut.resize(done);
  return {ReadStatus::Read, {}};
}

ReadResult ReadRegularFile(const std::string& aPath, std::string& aOut,
                           const ReadOptions& aOptions) {
  const UniqueFd fd(::open(aPath.c_str(), OpenFlags(aOptions)));
  if (!fd.Valid()) {
    return OpenFailure(aPath, aOut);
  }
  return ReadOpenFile(fd.Get(), aPath, aOut, aOptions);
}

ReadResult ReadRegularFileAt(int aFolderFd, const std::string& aName,
                             const std::string& aDisplayPath, std::string& aOut,
                             const ReadOptions& aOptions) {
  const UniqueFd fd(::openat(aFolderFd, aName.c_str(), OpenFlags(aOptions)));
  if (!fd.Valid()) {
    return OpenFailure(aDisplayPath, aOut);
  }
  return ReadOpenFile(fd.Get(), aDisplayPath, aOut, aOptions);
}

} // namespace orvo::files
