// The page of step 3: its layout, the input locks around the checks, the
// backup rule for the target folder, and the status pictures.
#include "support/ScriptedModalUi.h"
#include "ui/FrmVerifyCertificate.h"
#include "ui/Pictures.h"
#include "ui/UiTestSupport.h"

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <ostream>

namespace orvo::ui {
namespace {

class VerifyFrameTest : public ::testing::Test {
protected:
  // What the wizard does on a machine with a server installation.
  void EnterCoreInstallation(const QString& certFolder) {
    frame.EdtDir->setText(certFolder);
    frame.SetIsCoreInstallation(true);
    frame.SetOrvoCorePath(certFolder);
    frame.EdtDirChange();
  }
  void Type(const QString& text) {
    frame.EdtDir->clear();
    QTest::keyClicks(frame.EdtDir, text);
  }

  test::ScriptedModalUi modal;
  TFrmVerifyCertificate frame{modal};
};

TEST_F(VerifyFrameTest, LayoutAtDesignSize) {
  test::ExpectNamedControls(frame, {"PnlFrmSelectkey", "StaticText3", "lblCertInfo", "ImgverifyKey",
                                    "StaticText1", "ImgconnectLocal", "StaticText2", "TxtCert",
                                    "Label1", "EdtDir", "BtnDir", "CbBackup", "CBEncrypt"});
  EXPECT_EQ(frame.EdtDir->geometry(), QRect(182, 190, 522, 25));
  EXPECT_EQ(frame.BtnDir->geometry(), QRect(704, 189, 25, 27));
  EXPECT_EQ(frame.ImgverifyKey->geometry(), QRect(33, 72, 17, 17));
  EXPECT_EQ(frame.ImgconnectLocal->geometry(), QRect(33, 113, 17, 17));
  EXPECT_EQ(frame.StaticText1->text(),
            "Verifying that certificate public key and private key are a keypair...");
  EXPECT_EQ(frame.StaticText2->text(), "Testing certificate with an SSL connection...");
  EXPECT_EQ(frame.TxtCert->text(), "Certificate");
  EXPECT_EQ(frame.lblCertInfo->text(), "Certificate");
  EXPECT_TRUE(frame.CbBackup->isChecked());
  EXPECT_EQ(frame.CbBackup->text(), "Backup the previous certificate files into a subdirectory");
  EXPECT_TRUE(frame.CBEncrypt->isHidden());
  EXPECT_FALSE(frame.CBEncrypt->isChecked());
  EXPECT_FALSE(frame.IsCoreInstallation());
  EXPECT_EQ(frame.EdtDir->nextInFocusChain(), frame.BtnDir);
}

TEST_F(VerifyFrameTest, LockAndUnlockInput) {
  frame.CBEncrypt->setChecked(true);
  frame.CbBackup->setChecked(false);
  frame.LockInput();
  for (QWidget* input :
       {static_cast<QWidget*>(frame.EdtDir), static_cast<QWidget*>(frame.BtnDir),
        static_cast<QWidget*>(frame.CBEncrypt), static_cast<QWidget*>(frame.CbBackup)}) {
    EXPECT_FALSE(input->isEnabled()) << input->objectName().toStdString();
  }
  frame.UnlockInput();
  EXPECT_TRUE(frame.EdtDir->isEnabled());
  EXPECT_TRUE(frame.BtnDir->isEnabled());
  EXPECT_FALSE(frame.CBEncrypt->isEnabled());
  EXPECT_FALSE(frame.CBEncrypt->isChecked());
  EXPECT_FALSE(frame.CbBackup->isEnabled()); // unchanged by UnlockInput
  EXPECT_FALSE(frame.CbBackup->isChecked());
}

// Linux tells letter case apart: /Opt/Orvo/Cert/ and /opt/orvo/cert/ are two
// folders, and only the server's own one forces a backup. The same folder
// reached without its delimiter, or through a link, is the server's folder.
TEST_F(VerifyFrameTest, OnlyTheServersOwnFolderForcesABackup) {
  const QTemporaryDir root;
  ASSERT_TRUE(root.isValid());
  const QString server = root.path() + QStringLiteral("/Orvo/Cert/");
  ASSERT_TRUE(QDir().mkpath(server));
  ASSERT_TRUE(QFile::link(server, root.path() + QStringLiteral("/link")));
  frame.show();
  frame.SetIsCoreInstallation(true);
  frame.SetOrvoCorePath(server);
  frame.CbBackup->setChecked(false);

  Type(root.path() + QStringLiteral("/orvo/cert"));
  EXPECT_TRUE(frame.CbBackup->isEnabled());
  EXPECT_FALSE(frame.CbBackup->isChecked());

  Type(root.path() + QStringLiteral("/Orvo/Cert"));
  EXPECT_TRUE(frame.CbBackup->isChecked());
  EXPECT_FALSE(frame.CbBackup->isEnabled());

  frame.CbBackup->setEnabled(true);
  frame.CbBackup->setChecked(false);
  Type(root.path() + QStringLiteral("/link/"));
  EXPECT_TRUE(frame.CbBackup->isChecked());
  EXPECT_FALSE(frame.CbBackup->isEnabled());
}

TEST_F(VerifyFrameTest, UncheckedElsewhereThenBackToTheServerFolder) {
  frame.show();
  EnterCoreInstallation(QStringLiteral("/opt/orvo/cert/"));
  EXPECT_TRUE(frame.CbBackup->isChecked());
  EXPECT_FALSE(frame.CbBackup->isEnabled());

  Type(QStringLiteral("/srv/other/"));
  ASSERT_TRUE(frame.CbBackup->isEnabled());
  frame.CbBackup->click();
  EXPECT_FALSE(frame.CbBackup->isChecked());
  Type(QStringLiteral("/srv/other2")); // elsewhere again: the user's choice stays
  EXPECT_FALSE(frame.CbBackup->isChecked());

  Type(QStringLiteral("/opt/orvo/cert/"));
  EXPECT_TRUE(frame.CbBackup->isChecked());
  EXPECT_FALSE(frame.CbBackup->isEnabled());
}

TEST_F(VerifyFrameTest, WithoutAServerInstallationTheFolderNeverChangesTheBackup) {
  frame.show();
  frame.LockInput();
  frame.UnlockInput();
  Type(QStringLiteral("/opt/orvo/cert/"));
  Type(QStringLiteral("/tmp"));
  frame.EdtDirChange();
  EXPECT_TRUE(frame.CbBackup->isChecked());
  EXPECT_FALSE(frame.CbBackup->isEnabled());

  frame.CbBackup->setEnabled(true);
  frame.CbBackup->setChecked(false);
  frame.SetOrvoCorePath(QStringLiteral("/tmp/"));
  Type(QStringLiteral("/tmp"));
  EXPECT_FALSE(frame.CbBackup->isChecked());
  EXPECT_TRUE(frame.CbBackup->isEnabled());
}

TEST_F(VerifyFrameTest, APickedFolderReplacesTheFieldAndAppliesTheRuleAtOnce) {
  EnterCoreInstallation(QStringLiteral("/opt/orvo/cert/"));
  modal.folderAnswers.push_back(QStringLiteral("/srv/target"));
  frame.BtnDir->click();
  EXPECT_EQ(frame.EdtDir->text(), "/srv/target");
  EXPECT_TRUE(frame.CbBackup->isEnabled());
  const auto calls = modal.CallsOf(test::ModalCall::What::Folder);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].text, "Select a directory that contains certificate file(s).");
  EXPECT_EQ(calls[0].startFolder, "/opt/orvo/cert/");

  frame.CbBackup->setChecked(false);
  modal.folderAnswers.push_back(QStringLiteral("/opt/orvo/cert"));
  frame.BtnDirClick();
  EXPECT_TRUE(frame.CbBackup->isChecked());
  EXPECT_FALSE(frame.CbBackup->isEnabled());

  modal.folderAnswers.push_back(std::nullopt);
  frame.BtnDirClick();
  EXPECT_EQ(frame.EdtDir->text(), "/opt/orvo/cert");
}

TEST_F(VerifyFrameTest, TheStatusLineIsBlackOrPureRed) {
  frame.SetStatusLine(QStringLiteral("Verification of certificate NOT successful: the public key "
                                     "of the certificate and the provided private key are not a "
                                     "pair."),
                      true);
  EXPECT_EQ(frame.TxtCert->palette().color(QPalette::WindowText), QColor(255, 0, 0));
  EXPECT_GE(frame.TxtCert->width(),
            frame.TxtCert->fontMetrics().horizontalAdvance(frame.TxtCert->text()));
  frame.SetStatusLine(QStringLiteral("Verification of certificate successful"), false);
  EXPECT_EQ(frame.TxtCert->palette().color(QPalette::WindowText), QColor(0, 0, 0));
  EXPECT_EQ(frame.TxtCert->text(), "Verification of certificate successful");
}

TEST_F(VerifyFrameTest, ResizingKeepsTheBrowseButtonAtTheEndOfTheEdit) {
  frame.show();
  frame.resize(848, 335);
  EXPECT_EQ(frame.EdtDir->width(), 522 + 82);
  EXPECT_EQ(frame.BtnDir->x(), frame.EdtDir->x() + frame.EdtDir->width());
}

struct PictureCase {
  const char* name;
  int index;
  QRgb colour; // of the square's body
};

// Names the row in test output and ctest names.
void PrintTo(const PictureCase& row, std::ostream* os) {
  *os << row.name;
}

class StatusPictureTest : public ::testing::TestWithParam<PictureCase> {};

// The squares' colours tell the states apart: grey pending, green passed,
// red failed; each carries a white symbol.
TEST_P(StatusPictureTest, HasItsColourAndAWhiteSymbol) {
  const PictureCase& row = GetParam();
  test::ScriptedModalUi modal;
  TFrmVerifyCertificate frame(modal);
  const QImage image =
      frame.ImageList1[static_cast<std::size_t>(row.index)].toImage().convertToFormat(
          QImage::Format_ARGB32);
  ASSERT_EQ(image.size(), QSize(16, 16));
  const QColor body = image.pixelColor(1, 7);
  const QColor expected = QColor::fromRgb(row.colour);
  EXPECT_LT(std::abs(body.red() - expected.red()) + std::abs(body.green() - expected.green()) +
                std::abs(body.blue() - expected.blue()),
            60)
      << body.name().toStdString();
  int white = 0;
  for (int y = 0; y < 16; ++y) {
    for (int x = 0; x < 16; ++x) {
      white += image.pixelColor(x, y).lightness() > 230 ? 1 : 0;
    }
  }
  EXPECT_GT(white, 8);

  frame.ShowStatus(frame.ImgverifyKey, row.index);
  EXPECT_EQ(frame.ImgverifyKey->accessibleDescription(), QString::fromLatin1(row.name).toLower());
  EXPECT_EQ(frame.ImgverifyKey->pixmap().toImage(),
            frame.ImageList1[static_cast<std::size_t>(row.index)].toImage());
}

INSTANTIATE_TEST_SUITE_P(Rows, StatusPictureTest,
                         ::testing::Values(PictureCase{"Pending", SpPending, qRgb(128, 128, 128)},
                                           PictureCase{"Passed", SpPassed, qRgb(30, 158, 46)},
                                           PictureCase{"Failed", SpFailed, qRgb(216, 30, 30)}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace orvo::ui
