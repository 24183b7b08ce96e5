#pragma once
// The version of an executable, as the build writes it: an ELF note named
// "Tornvale" whose descriptor holds four 32-bit numbers (major, minor,
// release, build) in the file's byte order. cmake/OrvoVersionNote.cmake adds
// the note to a target. A file without the note has no version.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace orvo {

struct FileVersion {
  std::uint32_t major = 0;
  std::uint32_t minor = 0;
  std::uint32_t release = 0;
  std::uint32_t build = 0;
  friend bool operator==(const FileVersion&, const FileVersion&) = default;
};

inline constexpr std::uint32_t kVersionNoteType = 1;

// The version note of an ELF file; nothing for a missing, unreadable or
// malformed file or one without the note. Never throws.
std::optional<FileVersion> ReadFileVersion(const std::filesystem::path& file) noexcept;

// "v<major>.<minor>.<release> build <build>", or "" when the file has no
// version. Never throws.
std::string GetFileVersionText(const std::string& fileName) noexcept;

// Full path of the running executable (/proc/self/exe resolved); "" when it
// cannot be found.
std::string RunningExecutablePath() noexcept;

// The main window's version label: "Version " followed by the version text of
// the running executable ("Version " alone without a version note).
std::string VersionLabelText() noexcept;

} // namespace orvo
