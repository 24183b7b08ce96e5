// After the files went into the server's own certificate folder: restart the
// server's core service (or start it when it is stopped), wait for it, and
// tell the user when the new certificate expires.
#include "wizard/ProductSteps.h"

#include "certs/OrvoCertificate.h"
#include "files/FolderIdentity.h"
#include "system/ServiceManager.h"
#include "system/WaitClock.h"
#include "ui/BusyCursor.h"
#include "ui/ModalUi.h"
#include "wizard/SSLCertImporterMain.h"
#include "wizard/WizardText.h"

#include <QCoreApplication>

namespace orvo {

namespace {

constexpr const char* kCoreServiceName = "OrvoCoreService";
constexpr std::uint32_t kPollInterval = 100;
constexpr std::uint32_t kStartOnlyBudget = 5000;
constexpr std::uint32_t kRestartBudget = 180000;

// Activates a service manager for the scope of one operation and
// deactivates it whatever happens.
class ActiveManager {
public:
  explicit ActiveManager(std::unique_ptr<TServiceManager> aManager)
      : fManager(std::move(aManager)) {
    fManager->SetActive(true);
  }
  ~ActiveManager() {
    try {
      fManager->SetActive(false);
    } catch (...) {
      // Disconnecting cannot be reported from here; the manager is released.
    }
  }
  ActiveManager(const ActiveManager&) = delete;
  ActiveManager& operator=(const ActiveManager&) = delete;
  TServiceManager& operator*() const { return *fManager; }
  TServiceManager* operator->() const { return fManager.get(); }

private:
  std::unique_ptr<TServiceManager> fManager;
};

TServiceInfo* LookUpCoreService(TServiceManager& aManager) {
  aManager.RebuildServicesList();
  return aManager.GetServiceByName(kCoreServiceName);
}

} // namespace

struct ProductSteps::RestartWait {
  TServiceManager& manager;
  TServiceInfo* info = nullptr;
  std::uint32_t slept = 0;
  bool timedOut = false;
};

void ProductSteps::SleepAndRepaint(std::uint32_t aMilliseconds) {
  fEnv.clock->Sleep(aMilliseconds);
  // The window is repainted while the service is waited for, so that it never
  // looks hung; the user's input waits until the service has answered.
  QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

bool ProductSteps::OfferCoreServiceRestart(TCertImportWizardMain& w, const QString& aFolder) {
  // The same folder as the file system sees it, not the same text.
  if (!files::SameFolder(ToStd(w.fOrvoCoreCertPath), ToStd(aFolder))) {
    return false;
  }
  ActiveManager manager(fEnv.makeServiceManager());
  TServiceInfo* info = LookUpCoreService(*manager);
  if (info == nullptr) {
    return false;
  }
  if (info->State() == TServiceState::ssRunning) {
    if (w.Modal().messageBox(
            ui::MsgKind::Confirmation,
            QStringLiteral("Success. Do you want to restart the Orvo server now to "
                           "use the new certificate?"),
            ui::MbYes | ui::MbNo) == ui::MbYes) {
      RestartCoreService(w);
    }
  } else if (w.Modal().messageBox(ui::MsgKind::Confirmation,
                                  QStringLiteral("Success. Do you want to start the Orvo webserver "
                                                 "now?"),
                                  ui::MbYes | ui::MbNo) == ui::MbYes) {
    bool timedOut = false;
    {
      const ui::BusyCursor busy;
      std::uint32_t slept = 0;
      info->ServiceStart(false);
      while (info == nullptr || info->State() != TServiceState::ssRunning) {
        SleepAndRepaint(kPollInterval);
        slept += kPollInterval;
        if (slept > kStartOnlyBudget) {
          timedOut = true;
          break;
        }
        info = LookUpCoreService(*manager);
      }
    }
    if (timedOut) {
      w.Modal().messageBox(
          ui::MsgKind::Error,
          QStringLiteral("Waiting for the service start timed out. Please check Service."),
          ui::MbOk);
    }
  }
  ShowExpiryMessage(w, QStringLiteral("The certificate will expire at :"));
  return true;
}

void ProductSteps::RestartCoreService(TCertImportWizardMain& w) {
  ActiveManager manager(fEnv.makeServiceManager());
  RestartWait wait{*manager, LookUpCoreService(*manager)};
  if (wait.info == nullptr) {
    return;
  }
  {
    const ui::BusyCursor busy;
    try {
      wait.info->ServiceStop(false);
      WaitForCoreServiceState(wait, TServiceState::ssStopped);
    } catch (const std::exception&) {
      // A service that refuses to stop is started anyway. A failure inside the
      // wait may have rebuilt the list, so the entry is looked up afresh.
      wait.info = nullptr;
    }
    if (wait.info == nullptr) {
      wait.info = LookUpCoreService(*manager);
    }
    if (wait.info != nullptr) {
      wait.info->ServiceStart(false);
      WaitForCoreServiceState(wait, TServiceState::ssRunning);
    }
  }
  if (wait.timedOut) {
    w.Modal().messageBox(
        ui::MsgKind::Error,
        QStringLiteral("Waiting for the service to react timed out. Please check Service."),
        ui::MbOk);
  }
}

void ProductSteps::WaitForCoreServiceState(RestartWait& aWait, TServiceState aWanted) {
  aWait.info = LookUpCoreService(aWait.manager);
  while (!aWait.timedOut) {
    // A service no longer listed has no state to wait for.
    if (aWait.info == nullptr || aWait.info->State() == aWanted) {
      return;
    }
    SleepAndRepaint(kPollInterval);
    aWait.slept += kPollInterval;
    if (aWait.slept > kRestartBudget) {
      aWait.timedOut = true;
      return;
    }
    aWait.info = LookUpCoreService(aWait.manager);
  }
}

} // namespace orvo
