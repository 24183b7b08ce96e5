#include "files/FolderIdentity.h"

#include <sys/stat.h>

#include <filesystem>

namespace orvo::files {

namespace {

std::string CanonicalText(const std::string& aPath) {
  std::error_code ec;
  std::filesystem::path path = std::filesystem::weakly_canonical(aPath, ec);
  if (ec) {
    path = std::filesystem::absolute(aPath, ec).lexically_normal();
  }
  std::string text = path.string();
  while (text.size() > 1 && text.back() == '/') {
    text.pop_back();
  }
  return text;
}

} // namespace

bool SameFolder(const std::string& aFirst, const std::string& aSecond) {
  if (aFirst.empty() || aSecond.empty()) {
    return false;
  }
  struct stat first {};
  struct stat second {};
  const bool firstExists = ::stat(aFirst.c_str(), &first) == 0;
  const bool secondExists = ::stat(aSecond.c_str(), &second) == 0;
  if (firstExists && secondExists) {
    return first.st_dev == second.st_dev && first.st_ino == second.st_ino;
  }
  if (firstExists != secondExists) {
    return false;
  }
  return CanonicalText(aFirst) == CanonicalText(aSecond);
}

} // namespace orvo::files
