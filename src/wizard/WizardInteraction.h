#pragma once
// The window's side of the import core's interaction: questions, notices, the
// error detail, the passphrase and the certificate list go through the
// window's modal seam; progress becomes the busy cursor, a repaint, and the
// status pictures and fields of the verification page.

#include "core/Interaction.h"

#include <memory>
#include <vector>

namespace orvo {

class TCertImportWizardMain;

namespace ui {
class BusyCursor;
}

class WizardInteraction : public core::Interaction {
public:
  // aWizard must outlive the interaction.
  explicit WizardInteraction(TCertImportWizardMain& aWizard);
  ~WizardInteraction() override;

  core::PassphraseReply AskPassphrase(const std::string& aFileName, bool aWasWrong) override;
  core::MsgButton Ask(const core::Question& aQuestion) override;
  void Tell(const core::Notice& aNotice) override;
  void ShowErrorDetail(const core::ErrorDetail& aDetail) override;
  std::optional<int> ChooseCertificate(const QStringList& aLines) override;

  void SetBusy(bool aBusy) override;
  void KeepPainted() override;
  void TargetPreset(const QString& aFolder) override;
  void ShowCheck(core::CheckStage aStage, core::CheckState aState) override;
  void ShowVerdict(bool aPassed, const QString& aStatusLine) override;

private:
  TCertImportWizardMain& fWizard;
  std::vector<std::unique_ptr<ui::BusyCursor>> fBusy;
};

} // namespace orvo
