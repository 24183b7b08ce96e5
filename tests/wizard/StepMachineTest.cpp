// The step machine of the main window, driven through doubles of the steps.
#include "support/ScriptedModalUi.h"
#include "wizard/SSLCertImporterMain.h"
#include "wizard/WizardSteps.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>

#include <gmock/gmock.h>

#include <filesystem>
#include <stdexcept>

namespace orvo {
namespace {

using test::ModalCall;
using test::ScriptedModalUi;
using ::testing::ElementsAre;

// A non-null key handle for the machine, which only tests it for null.
std::shared_ptr<TOrvoSSLPrivateKey> SomeKey() {
  static int token = 0;
  return std::shared_ptr<TOrvoSSLPrivateKey>(std::shared_ptr<void>(),
                                             reinterpret_cast<TOrvoSSLPrivateKey*>(&token));
}

class FakeSteps : public WizardSteps {
public:
  FakeSteps() {
    for (auto& frame : frames) {
      frame = std::make_unique<QWidget>();
    }
    for (int i = 0; i < 3; ++i) {
      pages[i] = new QWidget(frames[i].get());
    }
  }

  void InitVersionLabel(TCertImportWizardMain&) override { log << "version"; }
  void InitStepPages(TCertImportWizardMain&) override { log << "pages"; }
  void InitValidator(TCertImportWizardMain&) override { log << "validator"; }
  bool StartupCheck(TCertImportWizardMain& w) override {
    log << "startup";
    if (!startupOk) {
      w.RequestTermination();
    }
    return startupOk;
  }
  bool ShowStepSelectCertificate(TCertImportWizardMain& w) override {
    return Show(w, 1, showOk[0], "Step 1: Select Certificate");
  }
  bool ShowStepSelectPrivateKey(TCertImportWizardMain& w) override {
    return Show(w, 2, showOk[1], "Step 2: Provide the Private Key for the Certificate");
  }
  bool ShowStepVerifyCertificate(TCertImportWizardMain& w) override {
    Show(w, 3, true, "Step 3: Verifying Certificate... ");
    w.BtnNext->setEnabled(verifyOk);
    return verifyOk;
  }
  bool CheckCertificateSource(TCertImportWizardMain& w) override {
    log << "check1";
    if (throwInCheck) {
      throw std::runtime_error("Access denied");
    }
    if (checkOk[0] && keyWithCert) {
      w.fCertHasPrivateKey = true;
      w.fProvidedKey = SomeKey();
    }
    return checkOk[0];
  }
  bool CheckPrivateKeySource(TCertImportWizardMain&) override {
    log << "check2";
    return checkOk[1];
  }
  bool InstallCertificateFiles(TCertImportWizardMain&) override {
    log << "install";
    return checkOk[2];
  }
  void FormDestroy(TCertImportWizardMain&) override { ++destroyed; }

  bool Show(TCertImportWizardMain& w, int step, bool ok, const char* title) {
    log << QStringLiteral("show%1").arg(step);
    if (!ok) {
      return false;
    }
    w.ShowStepPage(step, pages[step - 1], QString::fromLatin1(title));
    return true;
  }

  bool startupOk = true;
  bool showOk[2] = {true, true};
  bool checkOk[3] = {true, true, true};
  bool verifyOk = true;
  bool keyWithCert = false;
  bool throwInCheck = false;
  int destroyed = 0;
  QStringList log;
  std::unique_ptr<QWidget> frames[3];
  QWidget* pages[3] = {};
};

class StepMachineTest : public ::testing::Test {
protected:
  std::unique_ptr<TCertImportWizardMain> Start() {
    auto w = std::make_unique<TCertImportWizardMain>(steps, modal, exeDir.path());
    w->show();
    return w;
  }

  // The step pages currently inside the client panel.
  int HostedCount(TCertImportWizardMain& w) const {
    int count = 0;
    for (QWidget* page : steps.pages) {
      count += page->parentWidget() == w.PnlClient ? 1 : 0;
    }
    return count;
  }

  QTemporaryDir exeDir;
  FakeSteps steps;
  ScriptedModalUi modal;
};

TEST_F(StepMachineTest, StartRunsInitInOrderAndShowsStepOne) {
  auto w = Start();
  EXPECT_THAT(steps.log, ElementsAre("version", "pages", "validator", "startup", "show1"));
  EXPECT_EQ(w->fActiveStep, 1);
  EXPECT_EQ(w->HostedPage(), steps.pages[0]);
  EXPECT_FALSE(w->BtnBack->isVisible());
  EXPECT_EQ(w->BtnNext->text(), "Next Step >");
  EXPECT_TRUE(w->BtnNext->isEnabled());
  EXPECT_EQ(w->txtstepinfo->text(), "Step 1: Select Certificate");
}

TEST_F(StepMachineTest, DataFolderIsCreatedWithParentsForItsOwnerOnly) {
  const QString exe = exeDir.path() + "/a/b";
  TCertImportWizardMain w(steps, modal, exe);
  EXPECT_EQ(w.fDataPath, exe + "/Data/");
  ASSERT_TRUE(QDir(w.fDataPath).exists());
  const auto perms = std::filesystem::status(w.fDataPath.toStdString()).permissions();
  EXPECT_EQ(perms & std::filesystem::perms::all, std::filesystem::perms::owner_all);
}

TEST_F(StepMachineTest, FailedStartupCheckShowsNoStep) {
  steps.startupOk = false;
  auto w = Start();
  EXPECT_TRUE(w->TerminationRequested());
  EXPECT_EQ(w->fActiveStep, 0);
  EXPECT_EQ(w->HostedPage(), nullptr);
  EXPECT_FALSE(steps.log.contains("show1"));
}

TEST_F(StepMachineTest, FailedFirstShowLeavesStateZeroWhereNextDoesNothing) {
  steps.showOk[0] = false;
  auto w = Start();
  EXPECT_EQ(w->fActiveStep, 0);
  steps.log.clear();
  w->BtnNext->click();
  w->BtnBack->click();
  EXPECT_TRUE(steps.log.isEmpty());
  EXPECT_EQ(w->fActiveStep, 0);
}

TEST_F(StepMachineTest, FailedCheckKeepsTheStepAndItsPage) {
  steps.checkOk[0] = false;
  auto w = Start();
  w->BtnNext->click();
  EXPECT_EQ(w->fActiveStep, 1);
  EXPECT_EQ(w->HostedPage(), steps.pages[0]);
  EXPECT_EQ(steps.log.last(), "check1");
}

TEST_F(StepMachineTest, NextAndBackWalkThroughAllThreeSteps) {
  auto w = Start();
  w->BtnNext->click();
  EXPECT_EQ(w->fActiveStep, 2);
  EXPECT_TRUE(w->BtnBack->isVisible());
  EXPECT_EQ(w->HostedPage(), steps.pages[1]);
  EXPECT_EQ(steps.pages[0]->parentWidget(), steps.frames[0].get());

  w->BtnNext->click();
  EXPECT_EQ(w->fActiveStep, 3);
  EXPECT_EQ(w->BtnNext->text(), "Finish");
  EXPECT_EQ(w->HostedPage(), steps.pages[2]);
  EXPECT_EQ(HostedCount(*w), 1);

  w->BtnBack->click();
  EXPECT_EQ(w->fActiveStep, 2);
  w->BtnBack->click();
  EXPECT_EQ(w->fActiveStep, 1);
  EXPECT_FALSE(w->BtnBack->isVisible());
  EXPECT_EQ(HostedCount(*w), 1);
  // Back runs no check; going forward again re-runs the step-1 check.
  EXPECT_EQ(steps.log.filter("check").size(), 2);
  w->BtnNext->click();
  EXPECT_EQ(steps.log.filter("check1").size(), 2);
}

TEST_F(StepMachineTest, KeyCarriedByTheCertificateSkipsStepTwoBothWays) {
  steps.keyWithCert = true;
  steps.verifyOk = false;
  auto w = Start();
  w->BtnNext->click();
  EXPECT_EQ(w->fActiveStep, 3);
  EXPECT_FALSE(w->BtnNext->isEnabled());
  w->BtnBack->click();
  EXPECT_EQ(w->fActiveStep, 1);
  EXPECT_TRUE(w->BtnNext->isEnabled());
  EXPECT_FALSE(steps.log.contains("show2"));
  EXPECT_EQ(steps.pages[2]->parentWidget(), steps.frames[2].get());
}

TEST_F(StepMachineTest, KeyFlagWithoutKeyStillAsksForTheKey) {
  auto w = Start();
  w->fCertHasPrivateKey = true; // flag set, but no key was exported
  w->BtnNext->click();
  EXPECT_EQ(w->fActiveStep, 2);
}

TEST_F(StepMachineTest, FinishClosesTheWindowOnlyWhenInstallationSucceeds) {
  steps.checkOk[2] = false;
  auto w = Start();
  w->BtnNext->click();
  w->BtnNext->click();
  ASSERT_EQ(w->fActiveStep, 3);
  w->BtnNext->click();
  EXPECT_TRUE(w->isVisible());
  EXPECT_EQ(w->fActiveStep, 3);
  EXPECT_EQ(w->HostedPage(), steps.pages[2]);

  steps.checkOk[2] = true;
  w->BtnNext->click();
  EXPECT_FALSE(w->isVisible());
}

TEST_F(StepMachineTest, ErrorEscapingAHandlerIsShownAndTheWindowStaysUsable) {
  steps.throwInCheck = true;
  auto w = Start();
  w->BtnNext->click();
  const auto boxes = modal.CallsOf(ModalCall::What::MessageBox);
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].kind, ui::MsgKind::Error);
  EXPECT_EQ(boxes[0].text, "Access denied.");
  EXPECT_EQ(boxes[0].title, QFileInfo(QCoreApplication::applicationFilePath()).fileName());
  EXPECT_EQ(w->fActiveStep, 1);

  steps.throwInCheck = false;
  w->BtnNext->click();
  EXPECT_EQ(w->fActiveStep, 2);
}

TEST_F(StepMachineTest, DestroyingTheWindowRunsTheStepsCleanUp) {
  Start().reset();
  EXPECT_EQ(steps.destroyed, 1);
}

} // namespace
} // namespace orvo
