#pragma once
// A fresh folder for one test, removed with its contents, and small helpers
// to plant and look at files.

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

namespace orvo::test {

namespace fs = std::filesystem;

class TempFolder {
public:
  TempFolder() {
    std::string pattern = (fs::temp_directory_path() / "orvo-files-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      throw std::runtime_error("mkdtemp failed");
    }
    fPath = pattern;
  }
  ~TempFolder() {
    std::error_code ignored;
    // Read-only files and folders of a test must not stop the clean-up.
    for (auto it = fs::recursive_directory_iterator(fPath, ignored);
         it != fs::recursive_directory_iterator(); it.increment(ignored)) {
      if (!it->is_symlink(ignored)) {
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
      }
    }
    fs::remove_all(fPath, ignored);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  [[nodiscard]] const fs::path& Path() const { return fPath; }
  [[nodiscard]] std::string Slashed() const { return fPath.string() + "/"; }
  fs::path operator/(const std::string& aName) const { return fPath / aName; }

private:
  fs::path fPath;
};

inline void Write(const fs::path& aFile, const std::string& aBytes) {
  std::ofstream out(aFile, std::ios::binary | std::ios::trunc);
  out << aBytes;
  if (!out) {
    throw std::runtime_error("cannot write " + aFile.string());
  }
}

inline std::string Read(const fs::path& aFile) {
  std::ifstream in(aFile, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline mode_t ModeOf(const fs::path& aFile) {
  struct stat info {};
  return ::lstat(aFile.c_str(), &info) == 0 ? (info.st_mode & 07777) : 0;
}

inline uid_t OwnerOf(const fs::path& aFile) {
  struct stat info {};
  return ::lstat(aFile.c_str(), &info) == 0 ? info.st_uid : uid_t(-1);
}

// A user that is neither root nor us; tests that need one run as root.
inline constexpr uid_t kStranger = 65534;

} // namespace orvo::test
