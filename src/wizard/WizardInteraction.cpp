#include "wizard/WizardInteraction.h"

#include "core/CoreText.h"
#include "ui/BusyCursor.h"
#include "ui/FrmVerifyCertificate.h"
#include "ui/ModalUi.h"
#include "ui/Pictures.h"
#include "wizard/SSLCertImporterMain.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QLineEdit>
#include <QPushButton>

namespace orvo {

WizardInteraction::WizardInteraction(TCertImportWizardMain& aWizard) : fWizard(aWizard) {}

WizardInteraction::~WizardInteraction() = default;

core::PassphraseReply WizardInteraction::AskPassphrase(const std::string& aFileName,
                                                       bool aWasWrong) {
  const ui::PassphraseAnswer answer =
      fWizard.Modal().askPassphrase(ui::PassphraseRequest{ToQ(aFileName), aWasWrong});
  return {answer.passOk, answer.passOk ? ToStd(answer.password) : std::string()};
}

core::MsgButton WizardInteraction::Ask(const core::Question& aQuestion) {
  return fWizard.Modal().messageBox(aQuestion.kind, aQuestion.text, aQuestion.buttons);
}

void WizardInteraction::Tell(const core::Notice& aNotice) {
  fWizard.Modal().messageBox(aNotice.kind, aNotice.text, aNotice.buttons);
}

void WizardInteraction::ShowErrorDetail(const core::ErrorDetail& aDetail) {
  fWizard.Modal().showErrorDetail(aDetail.header, aDetail.errorText, aDetail.detailText);
}

std::optional<int> WizardInteraction::ChooseCertificate(const QStringList& aLines) {
  const ui::CertificateChoice choice = fWizard.Modal().chooseCertificate(aLines);
  if (!choice.selected) {
    return std::nullopt;
  }
  return choice.selectedIndex;
}

void WizardInteraction::SetBusy(bool aBusy) {
  if (aBusy) {
    fBusy.push_back(std::make_unique<ui::BusyCursor>());
  } else if (!fBusy.empty()) {
    fBusy.pop_back();
  }
}

void WizardInteraction::KeepPainted() {
  QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

void WizardInteraction::TargetPreset(const QString& aFolder) {
  auto& frame = *fWizard.fFrameVerifyCertificate;
  frame.EdtDir->setText(aFolder);
  frame.SetIsCoreInstallation(true);
  frame.SetOrvoCorePath(aFolder);
  frame.EdtDirChange();
  frame.CbBackup->setChecked(true);
  frame.CbBackup->setEnabled(false);
}

void WizardInteraction::ShowCheck(core::CheckStage aStage, core::CheckState aState) {
  auto& frame = *fWizard.fFrameVerifyCertificate;
  QLabel* image = aStage == core::CheckStage::KeyPair ? frame.ImgverifyKey : frame.ImgconnectLocal;
  const int picture = aState == core::CheckState::Pending  ? ui::SpPending
                      : aState == core::CheckState::Passed ? ui::SpPassed
                                                           : ui::SpFailed;
  frame.ShowStatus(image, picture);
}

void WizardInteraction::ShowVerdict(bool aPassed, const QString& aStatusLine) {
  if (fWizard.fFrameVerifyCertificate == nullptr) {
    return;
  }
  auto& frame = *fWizard.fFrameVerifyCertificate;
  frame.SetStatusLine(aStatusLine, !aPassed);
  if (aPassed) {
    frame.UnlockInput();
    fWizard.BtnNext->setEnabled(true);
  }
}

} // namespace orvo
