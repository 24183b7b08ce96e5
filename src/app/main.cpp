// orvo-cert-importer: with arguments, the command line runs under a
// QCoreApplication and ends before anything of the window exists (no display
// is needed). Without arguments the shared units start first, then the
// wizard's window runs until it is closed; the units shut down in reverse
// order at the end.
#include "cli/CommandLine.h"
#include "shared/SharedUnits.h"
#include "tls/OpenSSLBinding.h"
#include "ui/QtModalUi.h"
#include "wizard/ProductSteps.h"
#include "wizard/SSLCertImporterMain.h"
#include "wizard/UnhandledError.h"

#include <QApplication>

#include <cstdio>
#include <exception>

namespace {

// A last line of defence: handlers are already guarded, but no exception may
// cross Qt's event loop whatever object raised it.
class OrvoApplication : public QApplication {
public:
  OrvoApplication(int& argc, char** argv, orvo::ui::ModalUi*& aModal)
      : QApplication(argc, argv), fModal(aModal) {}

  bool notify(QObject* aReceiver, QEvent* aEvent) override {
    bool handled = false;
    auto deliver = [&] { handled = QApplication::notify(aReceiver, aEvent); };
    if (fModal != nullptr) {
      orvo::RunGuarded(*fModal, deliver);
    } else {
      try {
        deliver();
      } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
      }
    }
    return handled;
  }

private:
  orvo::ui::ModalUi*& fModal;
};

int RunWizard(orvo::ui::QtModalUi& aModal) {
  orvo::ProductSteps steps(orvo::StepEnvironment::Product());
  orvo::TCertImportWizardMain window(steps, aModal);
  aModal.SetMainWindow(&window);
  int result = 1;
  if (!window.TerminationRequested()) {
    window.show();
    result = QApplication::exec();
  }
  aModal.SetMainWindow(nullptr);
  return result;
}

} // namespace

int main(int argc, char** argv) {
  if (orvo::cli::WantsCommandLine(argc, argv)) {
    return orvo::cli::RunCommandLine(argc, argv);
  }
  orvo::ui::ModalUi* modalForErrors = nullptr;
  OrvoApplication app(argc, argv, modalForErrors);
  orvo::ui::QtModalUi modal;
  modalForErrors = &modal;
  int result = 1;
  try {
    // The shared units start before any window and stop after the last one.
    const orvo::SharedUnitsScope sharedUnits;
    result = RunWizard(modal);
  } catch (const std::exception& e) {
    // A unit that cannot start ends the run before the window is shown.
    const QString text = orvo::ApplicationErrorText(QString::fromUtf8(e.what()));
    std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
    modal.messageBox(orvo::ui::MsgKind::Error, text, orvo::ui::MbOk, orvo::ApplicationTitle());
  }
  modalForErrors = nullptr;
  orvo::UnloadOpenSSL();
  return result;
}
