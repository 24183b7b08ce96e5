// The product's modal seam: message boxes of the four kinds, and the
// settings it gives the folder picker and the file-open dialog.
#include "ui/QtModalUi.h"
#include "ui/UiTestSupport.h"

#include <QDir>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <ostream>

namespace orvo::ui {
namespace {

using test::WhenModalShown;

struct BoxCase {
  const char* name;
  MsgKind kind;
  MsgButtons buttons;
  const char* title;
  QMessageBox::Icon icon;
  QMessageBox::StandardButtons shown;
  MsgButton onClose;
};

// Names the row in test output and ctest names.
void PrintTo(const BoxCase& row, std::ostream* os) {
  *os << row.name;
}

class MessageBoxTest : public ::testing::TestWithParam<BoxCase> {};

TEST_P(MessageBoxTest, ShowsTheKindsTitleAndButtonsAndClosingAnswersAsAgreed) {
  const BoxCase& row = GetParam();
  test::ModalGuard guard;
  QtModalUi modal;
  QString title;
  QString text;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  QMessageBox::StandardButtons shown;
  WhenModalShown([&](QWidget* dialog) {
    auto* box = qobject_cast<QMessageBox*>(dialog);
    ASSERT_NE(box, nullptr);
    title = box->windowTitle();
    text = box->text();
    icon = box->icon();
    shown = box->standardButtons();
    box->close(); // the close box
  });
  const MsgButton answer =
      modal.messageBox(row.kind, QStringLiteral("Do you want to proceed?"), row.buttons);
  EXPECT_EQ(title, QString::fromLatin1(row.title));
  EXPECT_EQ(text, "Do you want to proceed?");
  EXPECT_EQ(icon, row.icon);
  EXPECT_EQ(shown, row.shown);
  EXPECT_EQ(answer, row.onClose);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, MessageBoxTest,
    ::testing::Values(BoxCase{"ErrorOk", MsgKind::Error, MbOk, "Error", QMessageBox::Critical,
                              QMessageBox::Ok, MbOk},
                      BoxCase{"WarningYesCancel", MsgKind::Warning, MbYes | MbCancel, "Warning",
                              QMessageBox::Warning, QMessageBox::Yes | QMessageBox::Cancel,
                              MbCancel},
                      BoxCase{"InformationOk", MsgKind::Information, MbOk, "Information",
                              QMessageBox::Information, QMessageBox::Ok, MbOk},
                      BoxCase{"ConfirmYesNo", MsgKind::Confirmation, MbYes | MbNo, "Confirm",
                              QMessageBox::Question, QMessageBox::Yes | QMessageBox::No, MbNo},
                      BoxCase{"ConfirmYesNoCancel", MsgKind::Confirmation, MbYes | MbNo | MbCancel,
                              "Confirm", QMessageBox::Question,
                              QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel, MbCancel}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(MessageBoxButtonsTest, APressedButtonIsAnsweredAndAGivenTitleShown) {
  test::ModalGuard guard;
  QtModalUi modal;
  QString title;
  WhenModalShown([&](QWidget* dialog) {
    auto* box = qobject_cast<QMessageBox*>(dialog);
    ASSERT_NE(box, nullptr);
    title = box->windowTitle();
    box->button(QMessageBox::Yes)->click();
  });
  EXPECT_EQ(modal.messageBox(MsgKind::Warning, QStringLiteral("<b>x</b>"), MbYes | MbCancel,
                             QStringLiteral("Restart")),
            MbYes);
  EXPECT_EQ(title, "Restart");
}

TEST(MessageBoxButtonsTest, ClosingAnswer) {
  EXPECT_EQ(ClosingAnswer(MbOk), MbOk);
  EXPECT_EQ(ClosingAnswer(MbOk | MbCancel), MbCancel);
  EXPECT_EQ(ClosingAnswer(MbYes | MbNo), MbNo);
  EXPECT_EQ(ClosingAnswer(MbRetry | MbCancel), MbCancel);
  EXPECT_EQ(ClosingAnswer(MbAbort | MbRetry | MbIgnore), MbAbort);
}

TEST(PickerSettingsTest, TheFolderPickerStartsInAnExistingFolderOnly) {
  QTemporaryDir existing;
  ASSERT_TRUE(existing.isValid());
  QFileDialog dialog;
  ConfigureFolderDialog(dialog, {QStringLiteral("Pick"), existing.path(), nullptr});
  EXPECT_EQ(dialog.windowTitle(), "Pick");
  EXPECT_EQ(dialog.fileMode(), QFileDialog::Directory);
  EXPECT_FALSE(dialog.testOption(QFileDialog::ShowDirsOnly)); // files are listed too
  EXPECT_EQ(QDir(dialog.directory()).canonicalPath(), QDir(existing.path()).canonicalPath());

  QFileDialog fresh;
  const QString before = fresh.directory().absolutePath();
  ConfigureFolderDialog(fresh, {QStringLiteral("Pick"), existing.path() + "/missing", nullptr});
  EXPECT_EQ(fresh.directory().absolutePath(), before);
}

TEST(PickerSettingsTest, TheFileDialogWantsAnExistingFileAndKeepsTheTypeOrder) {
  QTemporaryDir existing;
  ASSERT_TRUE(existing.isValid());
  FileDialogRequest request;
  request.title = QStringLiteral("Open");
  request.fileNameLabel = QStringLiteral("X.509 Private Key");
  request.nameFilters = {QStringLiteral(".* (*)"), QStringLiteral(".key (*.key)"),
                         QStringLiteral(".txt (*.txt)")};
  request.startFolder = existing.path();
  QFileDialog dialog;
  dialog.setOption(QFileDialog::DontUseNativeDialog);
  ConfigureFileDialog(dialog, request);
  EXPECT_EQ(dialog.fileMode(), QFileDialog::ExistingFile);
  EXPECT_EQ(dialog.acceptMode(), QFileDialog::AcceptOpen);
  EXPECT_EQ(dialog.nameFilters(), request.nameFilters);
  EXPECT_EQ(dialog.selectedNameFilter(), ".* (*)");
  EXPECT_EQ(dialog.labelText(QFileDialog::FileName), "X.509 Private Key");
  EXPECT_EQ(QDir(dialog.directory()).canonicalPath(), QDir(existing.path()).canonicalPath());
}

TEST(PickerSeamTest, ACancelledPickerAnswersNothingAndAnAcceptedOneItsFolder) {
  test::ModalGuard guard;
  QTemporaryDir existing;
  ASSERT_TRUE(existing.isValid());
  QtModalUi modal;
  WhenModalShown([](QWidget* dialog) {
    ASSERT_NE(qobject_cast<QFileDialog*>(dialog), nullptr);
    dialog->close();
  });
  EXPECT_EQ(modal.browseForFolder({QStringLiteral("Pick"), existing.path(), nullptr}),
            std::nullopt);

  WhenModalShown([](QWidget* dialog) {
    auto* picker = qobject_cast<QFileDialog*>(dialog);
    ASSERT_NE(picker, nullptr);
    static_cast<QDialog*>(picker)->accept(); // as "Choose" does
  });
  const std::optional<QString> chosen =
      modal.browseForFolder({QStringLiteral("Pick"), existing.path(), nullptr});
  ASSERT_TRUE(chosen.has_value());
  EXPECT_EQ(QDir(*chosen).canonicalPath(), QDir(existing.path()).canonicalPath());
}

} // namespace
} // namespace orvo::ui
