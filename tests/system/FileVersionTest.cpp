#include "system/CertFileVersion.h"

#include "system/ScratchDir.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#ifndef ORVO_EXPECTED_VERSION_TEXT
#error "the build passes the version text this test executable carries"
#endif

namespace orvo {
namespace {

using test::ScratchDir;
using test::WriteFile;

// This executable carries the project's version note, as the importer does.
TEST(VersionLabel, ShowsTheVersionOfTheRunningExecutable) {
  EXPECT_EQ(VersionLabelText(), "Version " ORVO_EXPECTED_VERSION_TEXT);
  EXPECT_EQ(GetFileVersionText(RunningExecutablePath()), ORVO_EXPECTED_VERSION_TEXT);
}

// A minimal ELF image: header, one note area, and either a section header or
// a program header naming it.
struct ElfSpec {
  bool wide = true;
  bool bigEndian = false;
  bool viaSegments = false; // no section headers, as in a stripped file
  std::uint32_t align = 4;
};

class ElfBuilder {
public:
  explicit ElfBuilder(ElfSpec aLayout) : spec_(aLayout) {}

  ElfBuilder& Note(std::string_view name, std::uint32_t type, std::vector<std::uint32_t> desc) {
    Put(notes_, static_cast<std::uint32_t>(name.size()), 4);
    Put(notes_, static_cast<std::uint32_t>(desc.size() * 4), 4);
    Put(notes_, type, 4);
    notes_ += name;
    Pad(notes_);
    for (auto n : desc) {
      Put(notes_, n, 4);
    }
    Pad(notes_);
    return *this;
  }
  ElfBuilder& Raw(std::string_view bytes) {
    notes_ += bytes;
    return *this;
  }

  std::string Build() const {
    const bool w = spec_.wide;
    const std::size_t ehsize = w ? 64 : 52;
    const std::size_t notesAt = ehsize;
    const std::size_t tableAt = notesAt + notes_.size();
    std::string out = "\x7F"
                      "ELF";
    out += static_cast<char>(w ? 2 : 1);
    out += static_cast<char>(spec_.bigEndian ? 2 : 1);
    out += '\x01';
    out.resize(16, '\0');
    Put(out, 2, 2); // ET_EXEC
    Put(out, 62, 2);
    Put(out, 1, 4);
    Put(out, 0, w ? 8 : 4); // entry
    Put(out, spec_.viaSegments ? tableAt : 0, w ? 8 : 4);
    Put(out, spec_.viaSegments ? 0 : tableAt, w ? 8 : 4);
    Put(out, 0, 4); // flags
    Put(out, ehsize, 2);
    Put(out, w ? 56 : 32, 2);
    Put(out, spec_.viaSegments ? 1 : 0, 2);
    Put(out, w ? 64 : 40, 2);
    Put(out, spec_.viaSegments ? 0 : 1, 2);
    Put(out, 0, 2);
    out += notes_;
    if (spec_.viaSegments) {
      Put(out, 4, 4); // PT_NOTE
      if (w) {
        Put(out, 4, 4);
      }
      Put(out, notesAt, w ? 8 : 4);
      Put(out, 0, w ? 8 : 4);
      Put(out, 0, w ? 8 : 4);
      Put(out, notes_.size(), w ? 8 : 4);
      Put(out, notes_.size(), w ? 8 : 4);
      if (!w) {
        Put(out, 4, 4);
      }
      Put(out, spec_.align, w ? 8 : 4);
    } else {
      Put(out, 0, 4);
      Put(out, 7, 4); // SHT_NOTE
      Put(out, 2, w ? 8 : 4);
      Put(out, 0, w ? 8 : 4);
      Put(out, notesAt, w ? 8 : 4);
      Put(out, notes_.size(), w ? 8 : 4);
      Put(out, 0, 4);
      Put(out, 0, 4);
      Put(out, spec_.align, w ? 8 : 4);
      Put(out, 0, w ? 8 : 4);
    }
    return out;
  }

private:
  void Put(std::string& out, std::uint64_t value, int width) const {
    for (int i = 0; i < width; ++i) {
      const int shift = spec_.bigEndian ? (width - 1 - i) * 8 : i * 8;
      out += static_cast<char>((value >> shift) & 0xFF);
    }
  }
  void Pad(std::string& out) const {
    while (out.size() % spec_.align != 0) {
      out += '\0';
    }
  }

  ElfSpec spec_;
  std::string notes_;
};

const std::string kName{"Tornvale\0", 9};

struct VersionFileCase {
  const char* name;
  std::string bytes;
  std::string text;
};

class VersionFileTest : public ::testing::TestWithParam<VersionFileCase> {};

TEST_P(VersionFileTest, ReadsTheNoteOrNothing) {
  ScratchDir dir;
  const auto file = dir / "program";
  WriteFile(file, GetParam().bytes);
  EXPECT_EQ(GetFileVersionText(file.string()), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Files, VersionFileTest,
    ::testing::Values(
        VersionFileCase{"Elf64", ElfBuilder({}).Note(kName, 1, {1, 0, 0, 17}).Build(),
                        "v1.0.0 build 17"},
        VersionFileCase{"NoLeadingZeros",
                        ElfBuilder({}).Note(kName, 1, {10, 0, 7, 4294967295u}).Build(),
                        "v10.0.7 build 4294967295"},
        VersionFileCase{
            "Elf32BigEndian",
            ElfBuilder({.wide = false, .bigEndian = true}).Note(kName, 1, {2, 3, 4, 5}).Build(),
            "v2.3.4 build 5"},
        VersionFileCase{"AfterOtherNotes",
                        ElfBuilder({.align = 8})
                            .Note(std::string("GNU\0", 4), 3, {0xdeadbeef, 1, 2, 3, 4})
                            .Note(std::string("Tornvale2\0", 10), 1, {9, 9, 9, 9})
                            .Note(kName, 2, {9, 9, 9, 9})
                            .Note(kName, 1, {3, 1, 4, 1})
                            .Build(),
                        "v3.1.4 build 1"},
        VersionFileCase{"SegmentsOnly",
                        ElfBuilder({.viaSegments = true}).Note(kName, 1, {1, 2, 3, 4}).Build(),
                        "v1.2.3 build 4"},
        VersionFileCase{
            "Elf32SegmentsOnly",
            ElfBuilder({.wide = false, .viaSegments = true}).Note(kName, 1, {4, 3, 2, 1}).Build(),
            "v4.3.2 build 1"},
        VersionFileCase{"NoVersionNote",
                        ElfBuilder({}).Note(std::string("GNU\0", 4), 3, {1, 2}).Build(), ""},
        VersionFileCase{"ShortDescriptor", ElfBuilder({}).Note(kName, 1, {1, 2, 3}).Build(), ""},
        VersionFileCase{
            "NoteRunsPastItsArea",
            ElfBuilder({})
                .Raw(std::string("\x09\0\0\0\xff\xff\0\0\x01\0\0\0", 12) + "Tornvale\0\0\0\0")
                .Build(),
            ""},
        VersionFileCase{"TruncatedFile",
                        ElfBuilder({}).Note(kName, 1, {1, 0, 0, 1}).Build().substr(0, 70), ""},
        VersionFileCase{"NotElf", "#!/bin/sh\necho hello\n", ""}, VersionFileCase{"Empty", "", ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(VersionFile, MissingFileOrFolderHasNoVersion) {
  ScratchDir dir;
  EXPECT_EQ(GetFileVersionText((dir / "missing").string()), "");
  EXPECT_EQ(GetFileVersionText(dir.path().string()), "");
  EXPECT_EQ(GetFileVersionText(""), "");
}

} // namespace
} // namespace orvo
