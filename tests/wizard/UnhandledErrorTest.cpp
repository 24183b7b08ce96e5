#include "wizard/UnhandledError.h"

#include <gtest/gtest.h>

namespace orvo {
namespace {

struct ErrorTextCase {
  const char* name;
  const char* message;
  const char* shown;
};

class ApplicationErrorTextTest : public ::testing::TestWithParam<ErrorTextCase> {};

TEST_P(ApplicationErrorTextTest, FullStopOnlyAfterCharactersAboveCode46) {
  EXPECT_EQ(ApplicationErrorText(QString::fromUtf8(GetParam().message)),
            QString::fromUtf8(GetParam().shown));
}

INSTANTIATE_TEST_SUITE_P(
    Messages, ApplicationErrorTextTest,
    ::testing::Values(ErrorTextCase{"Letter", "Access denied", "Access denied."},
                      ErrorTextCase{"Digit", "Error 5", "Error 5."},
                      ErrorTextCase{"Slash", "path a/", "path a/."},
                      ErrorTextCase{"FullStop", "Done.", "Done."},
                      ErrorTextCase{"Hyphen", "broken -", "broken -"},
                      ErrorTextCase{"Bang", "Failed!", "Failed!"},
                      ErrorTextCase{"Space", "trailing ", "trailing "},
                      ErrorTextCase{"Empty", "", ""}, ErrorTextCase{"NonAscii", "Größe", "Größe."}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace orvo
