#include "files/DataFolder.h"

#include "files/Folder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

namespace orvo::files {

namespace {

std::string WithoutSlash(std::string aPath) {
  while (aPath.size() > 1 && aPath.back() == '/') {
    aPath.pop_back();
  }
  return aPath;
}

// A scratch file, or the temporary name a writer used for one
// (".orvo.key.XXXXXX").
bool IsScratchName(const std::string& aName) {
  return std::ranges::any_of(kScratchFileNames, [&](const std::string& scratch) {
    return aName == scratch || aName.starts_with("." + scratch + ".");
  });
}

} // namespace

std::string DataFolderMessage(const std::string& aPath, const std::string& aReason) {
  return "The data folder " + aPath + " is not safe to use: " + aReason;
}

DataFolderResult PrepareDataFolder(const std::string& aPath) {
  const std::string path = WithoutSlash(aPath);
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) {
    if (errno != ENOENT) {
      return {false, std::string("it cannot be examined (") + std::strerror(errno) + ")", false};
    }
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
      return {true, {}, true};
    }
  }
  const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.Valid()) {
    if (errno == ELOOP || (::lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode))) {
      return {false, "it is a link", false};
    }
    if (errno == ENOTDIR) {
      return {false, "it is not a folder", false};
    }
    return {false, std::string("it cannot be opened (") + std::strerror(errno) + ")", false};
  }
  if (::fstat(fd.Get(), &info) != 0) {
    return {false, std::string("it cannot be examined (") + std::strerror(errno) + ")", false};
  }
  if (info.st_uid != ::geteuid()) {
    return {false, "it belongs to another user", false};
  }
  if ((info.st_mode & 07777) != 0700 && ::fchmod(fd.Get(), 0700) != 0) {
    return {false, std::string("its mode cannot be set to 0700 (") + std::strerror(errno) + ")",
            false};
  }
  std::string ignored;
  const auto folder = Folder::Open("/proc/self/fd/" + std::to_string(fd.Get()), ignored);
  if (folder) {
    for (const std::string& name : folder->EntryNames()) {
      if (IsScratchName(name) && !folder->Remove(name)) {
        return {false, "the leftover file " + aPath + name + " cannot be removed", false};
      }
    }
  }
  return {true, {}, false};
}

} // namespace orvo::files
