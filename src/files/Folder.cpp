#include "files/Folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

namespace orvo::files {

std::string WithSlash(std::string aPath) {
  if (aPath.empty() || aPath.back() != '/') {
    aPath += '/';
  }
  return aPath;
}

std::string RandomName(const std::string& aPrefix) {
  static constexpr char kLetters[] =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  std::array<unsigned char, 12> bytes{};
  if (::getrandom(bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size())) {
    // Uniqueness, not secrecy, is what counts: exclusive creation catches a clash.
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      bytes[i] = static_cast<unsigned char>((::getpid() >> i) ^ (i * 37U));
    }
  }
  std::string name = aPrefix;
  for (const unsigned char b : bytes) {
    name += kLetters[b % (sizeof kLetters - 1)];
  }
  return name;
}

std::optional<Folder> Folder::Open(const std::string& aPath, std::string& aError) {
  UniqueFd fd(::open(aPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.Valid()) {
    aError = "cannot open the folder " + aPath + ": " + std::strerror(errno);
    return std::nullopt;
  }
  return Folder(std::move(fd), WithSlash(aPath));
}

std::optional<Folder> Folder::OpenChild(const std::string& aName, std::string& aError) const {
  UniqueFd fd(::openat(Fd(), aName.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.Valid()) {
    aError = "cannot open the folder " + PathOf(aName) + ": " + std::strerror(errno);
    return std::nullopt;
  }
  return Folder(std::move(fd), WithSlash(PathOf(aName)));
}

std::string Folder::PinnedPath() const {
  return "/proc/self/fd/" + std::to_string(Fd()) + "/";
}

EntryKind Folder::Kind(const std::string& aName, struct stat* aInfo) const {
  struct stat info {};
  if (::fstatat(Fd(), aName.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
    return errno == ENOENT ? EntryKind::Missing : EntryKind::Other;
  }
  if (aInfo != nullptr) {
    *aInfo = info;
  }
  return S_ISREG(info.st_mode) ? EntryKind::Regular : EntryKind::Other;
}

std::vector<std::string> Folder::EntryNames() const {
  std::vector<std::string> names;
  const int copy = ::openat(Fd(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (copy < 0) {
    return names;
  }
  DIR* const dir = ::fdopendir(copy);
  if (dir == nullptr) {
    ::close(copy);
    return names;
  }
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") {
      names.push_back(name);
    }
  }
  ::closedir(dir);
  return names;
}

bool Folder::MakeChild(const std::string& aName, mode_t aMode, std::string& aError) const {
  if (::mkdirat(Fd(), aName.c_str(), aMode) != 0) {
    aError = "cannot create the folder " + PathOf(aName) + ": " + std::strerror(errno);
    return false;
  }
  // The umask may have taken bits away; the mode asked for is the mode wanted.
  std::string ignored;
  if (auto child = OpenChild(aName, ignored); child && ::fchmod(child->Fd(), aMode) != 0) {
    aError = "cannot set the mode of " + PathOf(aName) + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

std::optional<Folder> Folder::MakeScratchChild(const std::string& aPrefix,
                                               std::string& aError) const {
  for (int attempt = 0; attempt < 16; ++attempt) {
    const std::string name = RandomName(aPrefix);
    if (::mkdirat(Fd(), name.c_str(), 0700) == 0) {
      return OpenChild(name, aError);
    }
    if (errno != EEXIST) {
      aError = "cannot create a folder in " + fPath + ": " + std::strerror(errno);
      return std::nullopt;
    }
  }
  aError = "cannot create a folder in " + fPath;
  return std::nullopt;
}

UniqueFd Folder::CreateFile(const std::string& aName, mode_t aMode, std::string& aError) const {
  UniqueFd fd(
      ::openat(Fd(), aName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, aMode));
  if (!fd.Valid()) {
    aError = "cannot create the file " + PathOf(aName) + ": " + std::strerror(errno);
  } else if (::fchmod(fd.Get(), aMode) != 0) {
    aError = "cannot set the mode of " + PathOf(aName) + ": " + std::strerror(errno);
    fd.Reset();
  }
  return fd;
}

UniqueFd Folder::OpenRegular(const std::string& aName, std::string& aError) const {
  UniqueFd fd(
      ::openat(Fd(), aName.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat info {};
  if (!fd.Valid()) {
    aError = "cannot open the file " + PathOf(aName) + ": " + std::strerror(errno);
  } else if (::fstat(fd.Get(), &info) != 0 || !S_ISREG(info.st_mode)) {
    aError = "the file " + PathOf(aName) + " is not a regular file";
    fd.Reset();
  }
  return fd;
}

bool Folder::Remove(const std::string& aName) const {
  return ::unlinkat(Fd(), aName.c_str(), 0) == 0 || errno == ENOENT;
}

bool Folder::RemoveChildTree(const std::string& aName) const {
  std::string ignored;
  if (auto child = OpenChild(aName, ignored)) {
    for (const std::string& name : child->EntryNames()) {
      if (::unlinkat(child->Fd(), name.c_str(), 0) != 0) {
        (void)::unlinkat(child->Fd(), name.c_str(), AT_REMOVEDIR);
      }
    }
  }
  return ::unlinkat(Fd(), aName.c_str(), AT_REMOVEDIR) == 0;
}

bool Folder::Sync(std::string& aError) const {
  if (::fsync(Fd()) != 0) {
    aError = "cannot sync the folder " + fPath + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

bool Folder::Stat(struct stat& aInfo) const {
  return ::fstat(Fd(), &aInfo) == 0;
}

} // namespace orvo::files
