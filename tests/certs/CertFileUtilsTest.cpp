// RemoveEmptyLines: blank lines go, CR LF everywhere, encodings kept, and a
// file that cannot be written stays as it was.
#include "certs/CertFileUtils.h"

#include "support/TestPki.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <sstream>

using orvo::RemoveEmptyLines;
using orvo::test::TempDir;

namespace {

std::string slurp(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

struct Case {
  const char* name;
  std::string input;
  std::string expected;
};

class RemoveEmptyLinesCases : public ::testing::TestWithParam<Case> {};

TEST_P(RemoveEmptyLinesCases, RewritesTheFile) {
  TempDir dir;
  const auto file = dir / "f.pem";
  orvo::test::writeFile(file, GetParam().input);
  ASSERT_TRUE(RemoveEmptyLines(file.string()));
  EXPECT_EQ(slurp(file), GetParam().expected);
}

std::string utf16le(const std::string& ascii) {
  std::string out;
  for (const char c : ascii) {
    out += c;
    out += '\0';
  }
  return out;
}

INSTANTIATE_TEST_SUITE_P(
    Texts, RemoveEmptyLinesCases,
    ::testing::Values(
        Case{"PemWithLfAndBlankLines",
             "-----BEGIN X-----\nAAA\n\n-----END X-----\n\n\n-----BEGIN "
             "Y-----\nBBB\n-----END Y-----\n",
             "-----BEGIN X-----\r\nAAA\r\n-----END X-----\r\n-----BEGIN Y-----\r\nBBB\r\n-----END "
             "Y-----\r\n"},
        Case{"SpacesAndTabsCountAsBlank", "a\n \t \n\x01\nb", "a\r\nb\r\n"},
        Case{"CrOnlyAndMixedLineEnds", "a\rb\r\n\r\nc\n", "a\r\nb\r\nc\r\n"},
        Case{"LinesKeepTheirOwnBlanks", "  a  \n", "  a  \r\n"},
        Case{"OnlyBlankLinesBecomeEmpty", "\n \r\n\t\n", ""}, Case{"EmptyStaysEmpty", "", ""},
        Case{"Utf8BomIsKept", "\xEF\xBB\xBFx\n\ny", "\xEF\xBB\xBFx\r\ny\r\n"},
        Case{"Utf16LeIsDecoded", "\xFF\xFE" + utf16le("x\n\n y\n"),
             "\xFF\xFE" + utf16le("x\r\n y\r\n")},
        Case{"Utf16BomAloneStays", "\xFF\xFE" + utf16le("\n\n"), "\xFF\xFE"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RemoveEmptyLines, ReadOnlyFileIsLeftAlone) {
  TempDir dir;
  const auto file = dir / "ro.pem";
  orvo::test::writeFile(file, "a\n\nb\n");
  ASSERT_EQ(chmod(file.c_str(), 0444), 0);
  EXPECT_FALSE(RemoveEmptyLines(file.string()));
  EXPECT_EQ(slurp(file), "a\n\nb\n");
}

TEST(RemoveEmptyLines, KeepsTheModeOfTheFile) {
  TempDir dir;
  const auto file = dir / "key.pem";
  orvo::test::writeFile(file, "a\n\nb\n");
  ASSERT_EQ(chmod(file.c_str(), 0600), 0);
  ASSERT_TRUE(RemoveEmptyLines(file.string()));
  struct stat st {};
  ASSERT_EQ(stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(RemoveEmptyLines, MissingFileRaises) {
  TempDir dir;
  EXPECT_THROW((void)RemoveEmptyLines((dir / "missing.pem").string()), orvo::EFileError);
}

} // namespace
