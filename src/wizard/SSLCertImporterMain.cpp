#include "wizard/SSLCertImporterMain.h"

#include "files/DataFolder.h"
#include "ui/ModalUi.h"
#include "wizard/UnhandledError.h"
#include "wizard/WizardSteps.h"

#include <QCoreApplication>
#include <QDir>
#include <QLabel>
#include <QPushButton>

namespace orvo {

QString DataPathFor(const QString& aExeFolder) {
  QString folder = QDir::fromNativeSeparators(aExeFolder);
  if (!folder.endsWith(QLatin1Char('/'))) {
    folder += QLatin1Char('/');
  }
  return folder + QStringLiteral("Data/");
}

TCertImportWizardMain::TCertImportWizardMain(WizardSteps& aSteps, ui::ModalUi& aModal,
                                             const QString& aExeFolder, QWidget* aParent)
    : ui::MainWindowForm(aParent), fSteps(aSteps), fModal(aModal) {
  ConnectHandlers();
  FormCreate(aExeFolder.isEmpty() ? QCoreApplication::applicationDirPath() : aExeFolder);
}

TCertImportWizardMain::~TCertImportWizardMain() {
  try {
    fSteps.FormDestroy(*this);
  } catch (...) {
    // A destructor must not throw; the run is over anyway.
  }
}

void TCertImportWizardMain::ConnectHandlers() {
  connect(BtnNext, &QPushButton::clicked, this,
          [this] { RunGuarded(fModal, [this] { ButtonNextClick(); }); });
  connect(BtnBack, &QPushButton::clicked, this,
          [this] { RunGuarded(fModal, [this] { BtnBackClick(); }); });
}

void TCertImportWizardMain::FormCreate(const QString& aExeFolder) {
  fDataPath = DataPathFor(aExeFolder);
  // The data folder receives scratch copies of the private key: it is made
  // private, or the run ends before a key is read. A folder that cannot be
  // created is not reported here; the writes into it fail and say so.
  const files::DataFolderResult data = files::PrepareDataFolder(fDataPath.toStdString());
  InitWizard();
  if (!data.safe) {
    fModal.messageBox(
        ui::MsgKind::Error,
        QString::fromStdString(files::DataFolderMessage(fDataPath.toStdString(), data.reason)),
        ui::MbOk);
    RequestTermination();
    return;
  }
  if (!fSteps.StartupCheck(*this)) {
    return;
  }
  fActiveStep = 0;
  fSteps.ShowStepSelectCertificate(*this);
}

void TCertImportWizardMain::InitWizard() {
  fSteps.InitVersionLabel(*this);
  fFrameSelectKey = nullptr;
  fSteps.InitStepPages(*this);
  fSteps.InitValidator(*this);
  // The error dialog is created with the modal seam that the window is given.
}

bool TCertImportWizardMain::CheckActiveStep() {
  switch (fActiveStep) {
  case 1:
    return fSteps.CheckCertificateSource(*this);
  case 2:
    return fSteps.CheckPrivateKeySource(*this);
  case 3:
    return fSteps.InstallCertificateFiles(*this);
  default:
    return false;
  }
}

bool TCertImportWizardMain::KeyCameWithCertificate() const {
  return fCertHasPrivateKey && fProvidedKey != nullptr;
}

void TCertImportWizardMain::ButtonNextClick() {
  if (!CheckActiveStep()) {
    return;
  }
  switch (fActiveStep) {
  case 1:
    ReturnHostedPage();
    if (KeyCameWithCertificate()) {
      fSteps.ShowStepVerifyCertificate(*this);
    } else {
      fSteps.ShowStepSelectPrivateKey(*this);
    }
    break;
  case 2:
    ReturnHostedPage();
    fSteps.ShowStepVerifyCertificate(*this);
    break;
  case 3:
    close();
    break;
  default:
    break;
  }
}

void TCertImportWizardMain::BtnBackClick() {
  if (fActiveStep == 3 && KeyCameWithCertificate()) {
    ReturnHostedPage();
    fSteps.ShowStepSelectCertificate(*this);
    return;
  }
  switch (fActiveStep) {
  case 2:
    ReturnHostedPage();
    fSteps.ShowStepSelectCertificate(*this);
    break;
  case 3:
    ReturnHostedPage();
    fSteps.ShowStepSelectPrivateKey(*this);
    break;
  default:
    break;
  }
}

void TCertImportWizardMain::ShowStepPage(int aStep, QWidget* aPage, const QString& aTitle) {
  BtnBack->setVisible(aStep > 1);
  BtnNext->setText(aStep == 3 ? QStringLiteral("Finish") : QStringLiteral("Next Step >"));
  BtnNext->setAccessibleName(BtnNext->text());
  BtnNext->setEnabled(aStep != 3);
  HostPage(aPage);
  txtstepinfo->setText(aTitle);
  txtstepinfo->adjustSize();
  fActiveStep = aStep;
}

void TCertImportWizardMain::ReturnHostedPage() {
  ReturnPage(HostedPage());
}

void TCertImportWizardMain::RequestTermination() {
  fTerminationRequested = true;
  QCoreApplication::exit(1);
}

} // namespace orvo
