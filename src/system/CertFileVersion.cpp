#include "system/CertFileVersion.h"

#include <array>
#include <fstream>
#include <string_view>
#include <vector>

namespace orvo {

namespace {

constexpr std::string_view kNoteName{"Tornvale\0", 9};
constexpr std::uint32_t kShtNote = 7;
constexpr std::uint32_t kPtNote = 4;
// Notes are small; a larger note area is not read.
constexpr std::uint64_t kMaxNoteArea = 1 << 20;
constexpr std::size_t kMaxHeaders = 4096;

// Bounded reads of an ELF file in its own byte order and word size.
class ElfFile {
public:
  explicit ElfFile(const std::filesystem::path& file) : in_(file, std::ios::binary) {
    if (in_) {
      in_.seekg(0, std::ios::end);
      const auto end = in_.tellg();
      size_ = end < 0 ? 0 : static_cast<std::uint64_t>(end);
    }
  }

  bool ReadIdent() {
    const auto ident = Read(0, 16);
    if (!ident || ident->substr(0, 4) != "\x7F"
                                         "ELF") {
      return false;
    }
    const auto cls = (*ident)[4];
    const auto data = (*ident)[5];
    if ((cls != 1 && cls != 2) || (data != 1 && data != 2)) {
      return false;
    }
    wide_ = cls == 2;
    bigEndian_ = data == 2;
    return true;
  }

  bool wide() const { return wide_; }

  std::optional<std::string> Read(std::uint64_t offset, std::uint64_t size) {
    if (offset > size_ || size > size_ - offset) {
      return std::nullopt;
    }
    std::string bytes(static_cast<std::size_t>(size), '\0');
    in_.clear();
    in_.seekg(static_cast<std::streamoff>(offset));
    if (!in_.read(bytes.data(), static_cast<std::streamsize>(size))) {
      return std::nullopt;
    }
    return bytes;
  }

  std::uint64_t Number(std::string_view bytes, std::size_t at, std::size_t width) const {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < width; ++i) {
      const auto byte = static_cast<unsigned char>(bytes[at + (bigEndian_ ? i : width - 1 - i)]);
      value = (value << 8) | byte;
    }
    return value;
  }

private:
  std::ifstream in_;
  std::uint64_t size_ = 0;
  bool wide_ = false;
  bool bigEndian_ = false;
};

std::uint64_t AlignUp(std::uint64_t value, std::uint64_t align) {
  return (value + align - 1) / align * align;
}

// Looks for the version note in one note area.
std::optional<FileVersion> FindVersionNote(const ElfFile& elf, std::string_view area,
                                           std::uint64_t alignment) {
  const std::uint64_t align = alignment == 8 ? 8 : 4;
  std::uint64_t pos = 0;
  while (pos + 12 <= area.size()) {
    const auto nameSize = elf.Number(area, pos, 4);
    const auto descSize = elf.Number(area, pos + 4, 4);
    const auto type = elf.Number(area, pos + 8, 4);
    const auto nameAt = pos + 12;
    // Padding aligns offsets within the area (as glibc reads 8-byte notes).
    const auto descAt = AlignUp(nameAt + nameSize, align);
    if (descAt > area.size() || descSize > area.size() - descAt) {
      return std::nullopt;
    }
    if (type == kVersionNoteType && descSize == 16 && area.substr(nameAt, nameSize) == kNoteName) {
      const auto desc = static_cast<std::size_t>(descAt);
      return FileVersion{static_cast<std::uint32_t>(elf.Number(area, desc, 4)),
                         static_cast<std::uint32_t>(elf.Number(area, desc + 4, 4)),
                         static_cast<std::uint32_t>(elf.Number(area, desc + 8, 4)),
                         static_cast<std::uint32_t>(elf.Number(area, desc + 12, 4))};
    }
    pos = AlignUp(descAt + descSize, align);
  }
  return std::nullopt;
}

struct NoteArea {
  std::uint64_t offset;
  std::uint64_t size;
  std::uint64_t align;
};

// Note areas named by the section headers, else by the program headers (a
// file whose section headers were stripped still has its PT_NOTE segments).
std::vector<NoteArea> NoteAreas(ElfFile& elf) {
  const bool w = elf.wide();
  const auto header = elf.Read(0, w ? 64 : 52);
  if (!header) {
    return {};
  }
  std::vector<NoteArea> areas;
  const auto shoff = elf.Number(*header, w ? 40 : 32, w ? 8 : 4);
  const auto shentsize = elf.Number(*header, w ? 58 : 46, 2);
  const auto shnum = elf.Number(*header, w ? 60 : 48, 2);
  if (shoff != 0 && shentsize >= (w ? 64u : 40u)) {
    for (std::uint64_t i = 0; i < shnum && i < kMaxHeaders; ++i) {
      const auto sh = elf.Read(shoff + i * shentsize, shentsize);
      if (!sh) {
        break;
      }
      if (elf.Number(*sh, 4, 4) == kShtNote) {
        areas.push_back({elf.Number(*sh, w ? 24 : 16, w ? 8 : 4),
                         elf.Number(*sh, w ? 32 : 20, w ? 8 : 4),
                         elf.Number(*sh, w ? 48 : 32, w ? 8 : 4)});
      }
    }
  }
  if (!areas.empty()) {
    return areas;
  }
  const auto phoff = elf.Number(*header, w ? 32 : 28, w ? 8 : 4);
  const auto phentsize = elf.Number(*header, w ? 54 : 42, 2);
  const auto phnum = elf.Number(*header, w ? 56 : 44, 2);
  if (phoff == 0 || phentsize < (w ? 56u : 32u)) {
    return areas;
  }
  for (std::uint64_t i = 0; i < phnum && i < kMaxHeaders; ++i) {
    const auto ph = elf.Read(phoff + i * phentsize, phentsize);
    if (!ph) {
      break;
    }
    if (elf.Number(*ph, 0, 4) == kPtNote) {
      areas.push_back({elf.Number(*ph, w ? 8 : 4, w ? 8 : 4),
                       elf.Number(*ph, w ? 32 : 16, w ? 8 : 4),
                       elf.Number(*ph, w ? 48 : 28, w ? 8 : 4)});
    }
  }
  return areas;
}

std::optional<FileVersion> ReadVersionNote(const std::filesystem::path& file) {
  ElfFile elf(file);
  if (!elf.ReadIdent()) {
    return std::nullopt;
  }
  for (const auto& area : NoteAreas(elf)) {
    if (area.size > kMaxNoteArea) {
      continue;
    }
    const auto bytes = elf.Read(area.offset, area.size);
    if (!bytes) {
      continue;
    }
    if (auto version = FindVersionNote(elf, *bytes, area.align)) {
      return version;
    }
  }
  return std::nullopt;
}

} // namespace

std::optional<FileVersion> ReadFileVersion(const std::filesystem::path& file) noexcept {
  try {
    return ReadVersionNote(file);
  } catch (const std::exception&) {
    return std::nullopt; // out of memory or a stream failure: no version
  }
}

std::string GetFileVersionText(const std::string& fileName) noexcept {
  const auto version = ReadFileVersion(fileName);
  if (!version) {
    return {};
  }
  try {
    return "v" + std::to_string(version->major) + "." + std::to_string(version->minor) + "." +
           std::to_string(version->release) + " build " + std::to_string(version->build);
  } catch (const std::exception&) {
    return {};
  }
}

std::string RunningExecutablePath() noexcept {
  std::error_code ec;
  auto path = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) {
    return {};
  }
  try {
    return path.string();
  } catch (const std::exception&) {
    return {};
  }
}

std::string VersionLabelText() noexcept {
  try {
    // The link reads the running image even when its file was replaced or
    // deleted since the start.
    return "Version " + GetFileVersionText("/proc/self/exe");
  } catch (const std::exception&) {
    return "Version ";
  }
}

} // namespace orvo
