// After the files went into the server's own certificate folder: restart the
// server's core service (or start it when it is stopped), wait for it, and
// tell the user when the new certificate expires. A service that does not
// come up with the new files can be brought back to the previous ones.
#include "core/CertImportCore.h"

#include "certs/OrvoCertificate.h"
#include "core/CoreText.h"
#include "files/FolderIdentity.h"
#include "system/ServiceManager.h"
#include "system/WaitClock.h"

namespace orvo::core {

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

// A start that has ended without the service running: stopped (systemd:
// inactive or failed) with nothing left to do. Waiting longer cannot help.
bool StartHasFailed(TServiceInfo& aInfo) {
  return aInfo.State() == TServiceState::ssStopped && !aInfo.WorkPending();
}

const QString kRestoreQuestion =
    QStringLiteral("The Orvo server did not start with the new certificate. Do you want to "
                   "restore the previous certificate files and start the server again?");

} // namespace

struct TCertImportCore::RestartWait {
  TServiceManager& manager;
  TServiceInfo* info = nullptr;
  std::uint32_t slept = 0;
  bool timedOut = false;
  bool reached = false; // the last wait ended in the wanted state
};

void TCertImportCore::SleepAndRepaint(std::uint32_t aMilliseconds) {
  fEnv.clock->Sleep(aMilliseconds);
  // The window is repainted while the service is waited for, so that it never
  // looks hung; the user's input waits until the service has answered.
  fInteraction.KeepPainted();
}

bool TCertImportCore::OfferCoreServiceRestart(const QString& aFolder, bool aAnyTarget) {
  // The same folder as the file system sees it, not the same text.
  if (!aAnyTarget && !files::SameFolder(ToStd(fOrvoCoreCertPath), ToStd(aFolder))) {
    return false;
  }
  ActiveManager manager(fEnv.makeServiceManager());
  TServiceInfo* info = LookUpCoreService(*manager);
  if (info == nullptr) {
    fInstall.service = ServiceOutcome::NotFound;
    return false;
  }
  fInstall.service = ServiceOutcome::Declined;
  if (info->State() == TServiceState::ssRunning) {
    if (fInteraction.Ask({Topic::RestartService, MsgKind::Confirmation,
                          QStringLiteral("Success. Do you want to restart the Orvo server now to "
                                         "use the new certificate?"),
                          MbYes | MbNo}) == MbYes) {
      RestartCoreService();
    }
  } else if (fInteraction.Ask({Topic::StartService, MsgKind::Confirmation,
                               QStringLiteral("Success. Do you want to start the Orvo webserver "
                                              "now?"),
                               MbYes | MbNo}) == MbYes) {
    fInstall.service = StartAndWait(*manager, info);
    if (fInstall.service == ServiceOutcome::TimedOut) {
      fInteraction.Tell(
          {MsgKind::Error,
           QStringLiteral("Waiting for the service start timed out. Please check Service.")});
    }
  }
  if (fInstall.service == ServiceOutcome::NotRunning && OfferRestore(aFolder)) {
    return true; // the new certificate is gone again: its expiry is of no interest
  }
  ShowExpiryMessage(QStringLiteral("The certificate will expire at :"));
  return true;
}

ServiceOutcome TCertImportCore::StartAndWait(TServiceManager& aManager, TServiceInfo* aInfo) {
  const BusyScope busy(fInteraction);
  std::uint32_t slept = 0;
  aInfo->ServiceStart(false);
  bool looked = false; // the entry of before the request says nothing about its outcome
  for (;;) {
    if (aInfo != nullptr && aInfo->State() == TServiceState::ssRunning) {
      return ServiceOutcome::Running;
    }
    if (looked && aInfo != nullptr && StartHasFailed(*aInfo)) {
      return ServiceOutcome::NotRunning;
    }
    SleepAndRepaint(kPollInterval);
    slept += kPollInterval;
    if (slept > kStartOnlyBudget) {
      return ServiceOutcome::TimedOut;
    }
    aInfo = LookUpCoreService(aManager);
    looked = true;
  }
}

bool TCertImportCore::OfferRestore(const QString& aFolder) {
  if (fInstall.backupName.isEmpty()) {
    return false; // nothing was there before: nothing to go back to
  }
  if (fInteraction.Ask({Topic::RestoreBackup, MsgKind::Warning, kRestoreQuestion, MbYes | MbNo}) !=
      MbYes) {
    fInteraction.Tell({MsgKind::Information,
                       QStringLiteral("The new certificate files stay in %1. The previous files "
                                      "are in the backup folder %2.")
                           .arg(aFolder, fInstall.backupFolder)});
    return false;
  }
  if (!RestorePreviousFiles(aFolder)) {
    return true;
  }
  ActiveManager manager(fEnv.makeServiceManager());
  TServiceInfo* info = LookUpCoreService(*manager);
  const ServiceOutcome outcome =
      info == nullptr ? ServiceOutcome::NotFound : StartAndWait(*manager, info);
  fInstall.service = outcome;
  if (outcome == ServiceOutcome::Running) {
    fInteraction.Tell({MsgKind::Information,
                       QStringLiteral("The previous certificate files are back in place and the "
                                      "Orvo server is running again.")});
  } else {
    fInteraction.Tell(
        {MsgKind::Error, QStringLiteral("The previous certificate files are back in place, but the "
                                        "Orvo server did not start. Please check Service.")});
  }
  return true;
}

void TCertImportCore::RestartCoreService() {
  ActiveManager manager(fEnv.makeServiceManager());
  RestartWait wait{*manager, LookUpCoreService(*manager)};
  if (wait.info == nullptr) {
    fInstall.service = ServiceOutcome::NotRunning;
    return;
  }
  {
    const BusyScope busy(fInteraction);
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
  fInstall.service = wait.timedOut  ? ServiceOutcome::TimedOut
                     : wait.reached ? ServiceOutcome::Running
                                    : ServiceOutcome::NotRunning;
  if (wait.timedOut) {
    fInteraction.Tell(
        {MsgKind::Error,
         QStringLiteral("Waiting for the service to react timed out. Please check Service.")});
  }
}

void TCertImportCore::WaitForCoreServiceState(RestartWait& aWait, TServiceState aWanted) {
  aWait.info = LookUpCoreService(aWait.manager);
  while (!aWait.timedOut) {
    // A service no longer listed has no state to wait for.
    aWait.reached = false;
    if (aWait.info == nullptr) {
      return;
    }
    if (aWait.info->State() == aWanted) {
      aWait.reached = true;
      return;
    }
    if (aWanted == TServiceState::ssRunning && StartHasFailed(*aWait.info)) {
      return; // the start has ended without the service: not reached
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

} // namespace orvo::core
