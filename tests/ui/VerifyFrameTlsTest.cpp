// The verification page hosts the loopback TLS test: it passes the data
// folder on and hands back the reasons as lines. Binds 127.0.0.1:51203
// (ctest RESOURCE_LOCK port51203).
#include "support/ScriptedModalUi.h"
#include "support/TestPki.h"
#include "tls/LoopbackFiles.h"
#include "tls/OpenSSLBinding.h"
#include "ui/FrmVerifyCertificate.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace orvo::ui {
namespace {

class VerifyFrameTlsTest : public ::testing::Test {
protected:
  void SetUp() override { ASSERT_TRUE(EnsureOpenSSLLoaded()); }
  QString DataPath() const { return QString::fromStdString(fData.path().string() + "/"); }
  bool AnyStagedFileLeft() const {
    return std::filesystem::exists(fData.path() / "orvo.crt") ||
           std::filesystem::exists(fData.path() / "root.pem") ||
           std::filesystem::exists(fData.path() / "orvo.key");
  }

  test::TempDir fData;
  test::TempDir fProgram; // no cert/dh.pem
  test::ScriptedModalUi fModal;
  TFrmVerifyCertificate fFrame{fModal, nullptr, fProgram.path()};
};

TEST_F(VerifyFrameTlsTest, AMatchingSetConnectsAndTheScratchFilesAreGone) {
  test::TLoopbackFiles::Write(DataPath().toStdString(), test::TestPki::instance().server());
  QStringList reasons{QStringLiteral("kept")};
  EXPECT_TRUE(fFrame.VerifySSLConnectionIsPossible(DataPath(), reasons));
  EXPECT_EQ(reasons, QStringList{QStringLiteral("kept")});
  EXPECT_FALSE(AnyStagedFileLeft());
}

TEST_F(VerifyFrameTlsTest, MissingFilesFailWithReasonsAppended) {
  QStringList reasons{QStringLiteral("kept")};
  EXPECT_FALSE(fFrame.VerifySSLConnectionIsPossible(DataPath(), reasons));
  ASSERT_GE(reasons.size(), 2);
  EXPECT_EQ(reasons.first(), "kept");
  EXPECT_TRUE(reasons.at(1).startsWith(QStringLiteral("Error starting Server: ")))
      << reasons.at(1).toStdString();

  // The same page runs the test again (after Back and Next).
  test::TLoopbackFiles::Write(DataPath().toStdString(), test::TestPki::instance().server());
  QStringList again;
  EXPECT_TRUE(fFrame.VerifySSLConnectionIsPossible(DataPath(), again))
      << again.join('\n').toStdString();
}

} // namespace
} // namespace orvo::ui
