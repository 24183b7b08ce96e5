#include "files/LibraryTrust.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace orvo::files {

namespace {

// aPath itself (a link's own bits mean nothing: its target is checked on its
// own). A folder that others may write is still safe when it is sticky and
// belongs to root or us: there only the owner of an entry (already checked)
// may rename or remove it, as in /tmp.
bool TrustedEntry(const std::filesystem::path& aPath, bool aIsFile, std::string& aReason) {
  struct stat info {};
  const int rc = ::lstat(aPath.c_str(), &info);
  if (rc != 0) {
    aReason = aPath.string() + " cannot be examined: " + std::strerror(errno);
    return false;
  }
  if (S_ISLNK(info.st_mode)) {
    return true;
  }
  if (info.st_uid != 0 && info.st_uid != ::geteuid()) {
    aReason = aPath.string() + " belongs to another user";
    return false;
  }
  const bool stickyFolder = !aIsFile && S_ISDIR(info.st_mode) && (info.st_mode & S_ISVTX) != 0;
  if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0 && !stickyFolder) {
    aReason = aPath.string() + " is writable by others";
    return false;
  }
  return true;
}

// The entry and every folder above it.
bool TrustedChain(const std::filesystem::path& aPath, std::string& aReason) {
  std::filesystem::path at = aPath;
  for (bool isFile = true;; isFile = false) {
    if (!TrustedEntry(at, isFile, aReason)) {
      return false;
    }
    if (at == at.root_path() || !at.has_parent_path() || at.parent_path() == at) {
      return true;
    }
    at = at.parent_path();
  }
}

} // namespace

bool IsTrustedLibrary(const std::string& aPath, std::string& aReason) {
  std::error_code ec;
  const std::filesystem::path named = std::filesystem::absolute(aPath, ec).lexically_normal();
  if (ec) {
    aReason = aPath + " cannot be examined: " + ec.message();
    return false;
  }
  const std::filesystem::path resolved = std::filesystem::canonical(named, ec);
  if (ec) {
    aReason = aPath + " cannot be examined: " + ec.message();
    return false;
  }
  return TrustedChain(named, aReason) && TrustedChain(resolved, aReason);
}

} // namespace orvo::files
