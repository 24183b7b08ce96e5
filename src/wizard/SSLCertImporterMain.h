#pragma once
// The wizard's main window and its step machine: one step page at a time in
// the client panel, Next runs the current step's check and moves on only when
// it succeeds, Back runs no check. The steps themselves are supplied through
// WizardSteps; every modal thing goes through ui::ModalUi.

#include "ui/MainWindowForm.h"

#include <QString>

#include <memory>

namespace orvo {

class TOrvoCertStore;
class TOrvoStoreCertificate;
class TOrvoSSLPrivateKey;
class TOrvoSSLCertificateValidator;
class WizardSteps;

namespace ui {
class ModalUi;
class TFrmSelectCertificate;
class TFrmSelectPrivateKey;
class TFrmVerifyCertificate;
} // namespace ui

class TCertImportWizardMain : public ui::MainWindowForm {
  Q_OBJECT
public:
  // aExeFolder: the folder of the running executable; empty means the real
  // one. The window runs FormCreate before the constructor returns.
  TCertImportWizardMain(WizardSteps& aSteps, ui::ModalUi& aModal, const QString& aExeFolder = {},
                        QWidget* aParent = nullptr);
  ~TCertImportWizardMain() override;

  void ButtonNextClick();
  void BtnBackClick();

  // For the steps: sets the buttons of the step, hosts its page, sets the
  // step title and fActiveStep.
  void ShowStepPage(int aStep, QWidget* aPage, const QString& aTitle);
  // Gives the hosted page, if any, back to its frame.
  void ReturnHostedPage();

  ui::ModalUi& Modal() const { return fModal; }

  // Set by a failed start-up check: the window is never used and the
  // application ends.
  void RequestTermination();
  bool TerminationRequested() const { return fTerminationRequested; }

  // State shared by the steps. The step pages belong to the window; the
  // store, the validator and the chosen certificate and key are the import
  // core's (held by the steps), mirrored here after each step because the
  // machine and the pages read them.
  std::shared_ptr<TOrvoCertStore> fStore;
  TOrvoStoreCertificate* fProvidedCert = nullptr;
  std::shared_ptr<TOrvoSSLPrivateKey> fProvidedKey;
  ui::TFrmSelectCertificate* fFrameSelectCert = nullptr;
  ui::TFrmSelectPrivateKey* fFrameSelectKey = nullptr;
  ui::TFrmVerifyCertificate* fFrameVerifyCertificate = nullptr;
  std::shared_ptr<TOrvoSSLCertificateValidator> fCertValidator;
  int fActiveStep = 0;
  QString fDataPath;
  bool fCertHasPrivateKey = false;
  bool fIsOrvoCoreInstallation = false;
  QString fOrvoCoreCertPath;

private:
  void FormCreate(const QString& aExeFolder);
  void InitWizard();
  bool CheckActiveStep();
  bool KeyCameWithCertificate() const;
  void ConnectHandlers();

  WizardSteps& fSteps;
  ui::ModalUi& fModal;
  bool fTerminationRequested = false;
};

// The data folder of an executable folder: "<folder>/Data/".
QString DataPathFor(const QString& aExeFolder);

} // namespace orvo
