// The list dialog's outcomes, the passphrase dialog's texts and outputs, and
// the error dialog's properties, each driven from inside its modal loop.
#include "ui/FrmErrorDetailDialog.h"
#include "ui/FrmPassword.h"
#include "ui/FrmSelectCertificateFromList.h"
#include "ui/QtModalUi.h"
#include "ui/UiTestSupport.h"

#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QStyle>
#include <QTest>
#include <QTextBlock>

#include <gtest/gtest.h>

#include <ostream>

namespace orvo::ui {
namespace {

using test::WhenModalShown;

// ---- Certificate list dialog ----

class ListDialogTest : public ::testing::Test {
protected:
  void Fill(const QStringList& lines) { dialog.LBCerts->addItems(lines); }
  test::ModalGuard guard;
  TdFrmSelectCertificateFromList dialog;
};

TEST_F(ListDialogTest, LayoutAndStartState) {
  test::ExpectNamedControls(dialog,
                            {"Panel1", "TxtStepInfo", "LBCerts", "Panel2", "Button2", "Button1"});
  EXPECT_EQ(dialog.windowTitle(), "Select Certificate");
  EXPECT_EQ(dialog.size(), QSize(761, 192));
  EXPECT_EQ(dialog.Panel2->height(), 33);
  EXPECT_EQ(dialog.LBCerts->geometry(), QRect(24, 48, 713, 105));
  EXPECT_EQ(dialog.Button2->text(), "Select >");
  EXPECT_TRUE(dialog.Button2->isDefault());
  EXPECT_EQ(dialog.Button1->text(), "Cancel");
  EXPECT_EQ(test::NextTabStop(dialog.LBCerts), dialog.Button1);
  EXPECT_EQ(test::NextTabStop(dialog.Button1), dialog.Button2);
  EXPECT_FALSE(dialog.Selected());
  EXPECT_EQ(dialog.SelectedCertIndex(), -1);
}

TEST_F(ListDialogTest, CancelAfterHighlightingChoosesNothing) {
  Fill({"A", "B"});
  WhenModalShown([this](QWidget*) {
    dialog.LBCerts->setCurrentRow(1);
    dialog.Button1->click();
  });
  dialog.exec();
  EXPECT_FALSE(dialog.Selected());
  EXPECT_EQ(dialog.SelectedCertIndex(), -1);
}

TEST_F(ListDialogTest, EnterWithAHighlightedLineSelectsIt) {
  Fill({"A", "B", "C"});
  WhenModalShown([this](QWidget*) {
    dialog.LBCerts->setFocus();
    dialog.LBCerts->setCurrentRow(2);
    QTest::keyClick(dialog.LBCerts, Qt::Key_Return);
  });
  dialog.exec();
  EXPECT_TRUE(dialog.Selected());
  EXPECT_EQ(dialog.SelectedCertIndex(), 2);
}

TEST_F(ListDialogTest, EqualLinesAreToldApartByPosition) {
  Fill({"CN=server", "CN=server"});
  WhenModalShown([this](QWidget*) {
    QTest::mouseClick(dialog.LBCerts->viewport(), Qt::LeftButton, {},
                      dialog.LBCerts->visualItemRect(dialog.LBCerts->item(1)).center());
    dialog.Button2->click();
  });
  dialog.exec();
  EXPECT_TRUE(dialog.Selected());
  EXPECT_EQ(dialog.SelectedCertIndex(), 1);
}

TEST_F(ListDialogTest, SelectWithNothingHighlightedIsRefused) {
  Fill({"A", "B"});
  bool stillOpen = false;
  bool selectUsable = true;
  WhenModalShown([&](QWidget* modal) {
    selectUsable = dialog.Button2->isEnabled();
    dialog.Button2->click();
    QTest::keyClick(dialog.LBCerts, Qt::Key_Return);
    dialog.Button2Click(); // even called directly
    stillOpen = modal == &dialog && dialog.isVisible();
    dialog.close(); // the close box: same as Cancel
  });
  dialog.exec();
  EXPECT_FALSE(selectUsable);
  EXPECT_TRUE(stillOpen);
  EXPECT_FALSE(dialog.Selected());
  EXPECT_EQ(dialog.SelectedCertIndex(), -1);
}

TEST_F(ListDialogTest, ShowingAgainResetsTheOutcome) {
  Fill({"A"});
  WhenModalShown([this](QWidget*) {
    dialog.LBCerts->setCurrentRow(0);
    dialog.Button2->click();
  });
  dialog.exec();
  ASSERT_TRUE(dialog.Selected());
  WhenModalShown([this](QWidget*) {
    EXPECT_TRUE(dialog.LBCerts->selectedItems().isEmpty());
    dialog.close();
  });
  dialog.exec();
  EXPECT_FALSE(dialog.Selected());
  EXPECT_EQ(dialog.SelectedCertIndex(), -1);
}

TEST(ListDialogSeamTest, TheProductSeamReturnsTheChosenLine) {
  test::ModalGuard guard;
  QtModalUi modal;
  WhenModalShown([](QWidget* shown) {
    auto* dialog = qobject_cast<TdFrmSelectCertificateFromList*>(shown);
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(dialog->LBCerts->count(), 2);
    dialog->LBCerts->setCurrentRow(1);
    dialog->Button2->click();
  });
  const CertificateChoice choice = modal.chooseCertificate({"same", "same"});
  EXPECT_TRUE(choice.selected);
  EXPECT_EQ(choice.selectedIndex, 1);
}

// ---- Passphrase dialog ----

struct MessageCase {
  const char* name;
  const char* fileName;
  bool wasWrong;
  const char* message;
};

// Names the row in test output and ctest names.
void PrintTo(const MessageCase& row, std::ostream* os) {
  *os << row.name;
}

class PassphraseMessageTest : public ::testing::TestWithParam<MessageCase> {};

TEST_P(PassphraseMessageTest, ShowsTheMessageAndAnEmptyField) {
  const MessageCase& row = GetParam();
  TFrmPassword dialog;
  dialog.setFilename(QString::fromUtf8(row.fileName));
  dialog.setWasWrongPW(row.wasWrong);
  dialog.EdtPassword->setText(QStringLiteral("left over"));
  dialog.show();
  EXPECT_EQ(dialog.txtMessage->text(), QString::fromUtf8(row.message));
  EXPECT_TRUE(dialog.EdtPassword->text().isEmpty());
  EXPECT_FALSE(dialog.PassOk());
  EXPECT_GE(dialog.txtMessage->width(),
            dialog.txtMessage->fontMetrics().horizontalAdvance(dialog.txtMessage->text()));
}

INSTANTIATE_TEST_SUITE_P(
    Rows, PassphraseMessageTest,
    ::testing::Values(
        MessageCase{"PastedText", "", false, "Enter the passphrase for the private key"},
        MessageCase{"BlankName", " \t\r\n", false, "Enter the passphrase for the private key"},
        MessageCase{"File", "server.pfx", false,
                    "Enter the passphrase for the private key in the file server.pfx"},
        MessageCase{"FileNameUntrimmed", " key.pem ", false,
                    "Enter the passphrase for the private key in the file  key.pem "},
        MessageCase{"WrongForFile", "key.pem", true,
                    "Wrong passphrase. Enter the passphrase for the private key in the file "
                    "key.pem"},
        MessageCase{"WrongForPastedText", "", true,
                    "Wrong passphrase. Enter the passphrase for the private key"}),
    [](const auto& info) { return std::string(info.param.name); });

class PassphraseDialogTest : public ::testing::Test {
protected:
  test::ModalGuard guard;
  TFrmPassword dialog;
};

TEST_F(PassphraseDialogTest, Layout) {
  test::ExpectNamedControls(
      dialog, {"Panel1", "txtMessage", "EdtPassword", "Panel2", "BtnOK", "BtnCancel"});
  EXPECT_EQ(dialog.windowTitle(), "Passphrase for private key");
  EXPECT_EQ(dialog.size(), QSize(681, 122));
  EXPECT_EQ(dialog.minimumSize(), dialog.maximumSize()); // not resizable
  EXPECT_EQ(dialog.EdtPassword->geometry(), QRect(24, 47, 625, 21));
  EXPECT_EQ(dialog.EdtPassword->echoMode(), QLineEdit::Password);
  EXPECT_EQ(dialog.EdtPassword->style()->styleHint(QStyle::SH_LineEdit_PasswordCharacter, nullptr,
                                                   dialog.EdtPassword),
            '*');
  EXPECT_EQ(dialog.EdtPassword->placeholderText(), "Enter passphrase for the private key");
  EXPECT_TRUE(dialog.BtnOK->isDefault());
  EXPECT_EQ(test::NextTabStop(dialog.EdtPassword), dialog.BtnOK);
  EXPECT_EQ(test::NextTabStop(dialog.BtnOK), dialog.BtnCancel);
}

TEST_F(PassphraseDialogTest, EnterWithAnEmptyFieldConfirmsAnEmptyPassphrase) {
  WhenModalShown([this](QWidget*) { QTest::keyClick(dialog.EdtPassword, Qt::Key_Return); });
  dialog.exec();
  EXPECT_TRUE(dialog.PassOk());
  EXPECT_EQ(dialog.Password(), "");
}

TEST_F(PassphraseDialogTest, OkTakesThePassphraseAsTyped) {
  WhenModalShown([this](QWidget*) {
    QTest::keyClicks(dialog.EdtPassword, QStringLiteral(" s3cret "));
    dialog.BtnOK->click();
  });
  dialog.exec();
  EXPECT_TRUE(dialog.PassOk());
  EXPECT_EQ(dialog.Password(), " s3cret ");
}

TEST_F(PassphraseDialogTest, TheCloseBoxCancelsAndEscapeDoesNothing) {
  bool openAfterEscape = false;
  WhenModalShown([&](QWidget*) {
    QTest::keyClicks(dialog.EdtPassword, QStringLiteral("typed"));
    QTest::keyClick(dialog.EdtPassword, Qt::Key_Escape);
    openAfterEscape = dialog.isVisible();
    dialog.close();
  });
  dialog.exec();
  EXPECT_TRUE(openAfterEscape);
  EXPECT_FALSE(dialog.PassOk());
  EXPECT_EQ(dialog.Password(), "");
}

TEST(PassphraseSeamTest, TheProductSeamAsksWithTheRequestAndReturnsTheAnswer) {
  test::ModalGuard guard;
  QtModalUi modal;
  WhenModalShown([](QWidget* shown) {
    auto* dialog = qobject_cast<TFrmPassword*>(shown);
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(dialog->txtMessage->text(),
              "Wrong passphrase. Enter the passphrase for the private key in the file a.pfx");
    QTest::keyClicks(dialog->EdtPassword, QStringLiteral("pw"));
    dialog->BtnOK->click();
  });
  const PassphraseAnswer answer = modal.askPassphrase({QStringLiteral("a.pfx"), true});
  EXPECT_TRUE(answer.passOk);
  EXPECT_EQ(answer.password, "pw");

  WhenModalShown([](QWidget* shown) {
    auto* dialog = qobject_cast<TFrmPassword*>(shown);
    ASSERT_NE(dialog, nullptr);
    QTest::keyClicks(dialog->EdtPassword, QStringLiteral("typed"));
    dialog->BtnCancel->click();
  });
  const PassphraseAnswer cancelled = modal.askPassphrase({});
  EXPECT_FALSE(cancelled.passOk);
  EXPECT_EQ(cancelled.password, "");
}

// ---- Error detail dialog ----

TEST(ErrorDialogTest, Layout) {
  TFrmErrorDetailDialog dialog;
  test::ExpectNamedControls(dialog,
                            {"Image1", "Label1", "LblErrortext", "Button1", "Panel1", "Memo1"});
  EXPECT_EQ(dialog.windowTitle(), "Error");
  EXPECT_EQ(dialog.size(), QSize(425, 432));
  EXPECT_EQ(dialog.minimumSize(), dialog.maximumSize());
  EXPECT_EQ(dialog.Header(), "LblHeader");
  EXPECT_EQ(dialog.ErrorText(), "LblErrortext");
  EXPECT_EQ(dialog.detailtext(), "detailed error text\r\n");
  EXPECT_TRUE(dialog.Label1->font().bold());
  EXPECT_TRUE(dialog.Button1->isDefault());
  EXPECT_EQ(dialog.Image1->geometry(), QRect(8, 8, 49, 49));
  EXPECT_EQ(dialog.Image1->pixmap().size(), QSize(150, 149));
  EXPECT_EQ(dialog.Panel1->geometry(), QRect(8, 168, 409, 256));
  EXPECT_EQ(dialog.Memo1->geometry(), QRect(1, 1, 407, 254));
}

TEST(ErrorDialogTest, ThePropertiesReadWhatWasWritten) {
  TFrmErrorDetailDialog dialog;
  dialog.SetHeader(QStringLiteral("Verification Error"));
  dialog.SetErrorText(QStringLiteral("Verification of certificate NOT successful"));
  EXPECT_EQ(dialog.Header(), "Verification Error");
  EXPECT_EQ(dialog.ErrorText(), "Verification of certificate NOT successful");
  EXPECT_GE(dialog.Label1->width(),
            dialog.Label1->fontMetrics().horizontalAdvance(dialog.Header()));
}

TEST(ErrorDialogTest, TheDetailTextShowsOneLinePerReason) {
  TFrmErrorDetailDialog dialog;
  const QString reasons =
      QStringLiteral("Reason(s):--> CN=server\r\n   the certificate has expired\r\n"
                     "    the key is shorter than 2048 bits\r\n");
  dialog.Setdetailtext(reasons);
  EXPECT_EQ(dialog.Memo1->blockCount(), 3);
  EXPECT_EQ(dialog.Memo1->document()->findBlockByNumber(1).text(),
            "   the certificate has expired");
  EXPECT_EQ(dialog.detailtext(), reasons);

  dialog.Setdetailtext(QStringLiteral("one\ntwo\rthree"));
  EXPECT_EQ(dialog.detailtext(), "one\r\ntwo\r\nthree\r\n");
  dialog.Setdetailtext({});
  EXPECT_EQ(dialog.detailtext(), "");
}

TEST(ErrorDialogTest, ALongErrorTextStaysOnOneLine) {
  TFrmErrorDetailDialog dialog;
  const int oneLine = dialog.LblErrortext->height();
  dialog.SetErrorText(QString(200, QLatin1Char('x')));
  EXPECT_EQ(dialog.LblErrortext->height(), oneLine);
  EXPECT_GT(dialog.LblErrortext->geometry().right(), dialog.width());
  dialog.SetErrorText(QStringLiteral("first\r\nsecond"));
  EXPECT_GT(dialog.LblErrortext->height(), oneLine);
}

TEST(ErrorDialogTest, ManyReasonsScroll) {
  TFrmErrorDetailDialog dialog;
  QStringList lines;
  for (int i = 0; i < 60; ++i) {
    lines << QStringLiteral("   reason %1").arg(i);
  }
  dialog.Setdetailtext(lines.join(QStringLiteral("\r\n")));
  dialog.show();
  EXPECT_GT(dialog.Memo1->verticalScrollBar()->maximum(), 0);
}

TEST(ErrorDialogSeamTest, OneDialogServesEveryShowingAndShowsTheLatestTexts) {
  test::ModalGuard guard;
  QWidget mainWindow;
  mainWindow.setGeometry(100, 100, 848, 488);
  mainWindow.show();
  QtModalUi modal(&mainWindow);
  std::vector<QWidget*> shown;
  std::vector<QString> headers;
  const auto closeAndRecord = [&](QWidget* dialog) {
    shown.push_back(dialog);
    auto* errorDialog = qobject_cast<TFrmErrorDetailDialog*>(dialog);
    ASSERT_NE(errorDialog, nullptr);
    headers.push_back(errorDialog->Header());
    const QPoint offCentre = errorDialog->geometry().center() - mainWindow.geometry().center();
    EXPECT_LE(offCentre.manhattanLength(), 2);
    errorDialog->Button1->click();
  };
  WhenModalShown(closeAndRecord);
  modal.showErrorDetail(QStringLiteral("First"), QStringLiteral("e1"), QStringLiteral("d1"));
  WhenModalShown(closeAndRecord);
  modal.showErrorDetail(QStringLiteral("Second"), QStringLiteral("e2"), QStringLiteral("d2"));
  ASSERT_EQ(shown.size(), 2u);
  EXPECT_EQ(shown[0], shown[1]);
  EXPECT_EQ(shown[0], &modal.ErrorDialog());
  EXPECT_EQ(headers, (std::vector<QString>{"First", "Second"}));
  EXPECT_EQ(modal.ErrorDialog().ErrorText(), "e2");
  EXPECT_EQ(modal.ErrorDialog().detailtext(), "d2\r\n");
  EXPECT_EQ(modal.ErrorDialog().parentWidget(), &mainWindow);
}

TEST(ErrorDialogSeamTest, TheDialogMovesToTheMainWindowGivenLater) {
  QtModalUi modal;
  TFrmErrorDetailDialog* dialog = &modal.ErrorDialog();
  EXPECT_EQ(dialog->parentWidget(), nullptr);
  {
    QWidget mainWindow;
    modal.SetMainWindow(&mainWindow);
    EXPECT_EQ(modal.ErrorDialog().parentWidget(), &mainWindow);
    EXPECT_EQ(&modal.ErrorDialog(), dialog);
    EXPECT_TRUE(modal.ErrorDialog().isWindow());
  } // the window takes the dialog with it; the next one is made without a window
  EXPECT_EQ(modal.ErrorDialog().parentWidget(), nullptr);
}

} // namespace
} // namespace orvo::ui
