#pragma once
// Control of the machine's services: TServiceManager holds one connection to
// the service control manager and a snapshot list of the services installed
// there; each entry, a TServiceInfo, reads one service's status and
// configuration and starts, stops, pauses and continues it.
//
// All calls to the system go through a ServiceBackend (ServiceBackend.h),
// and every wait sleeps through a WaitClock (WaitClock.h); both are given to
// the manager, so tests script the services and run waits instantly. The
// classes know nothing of any particular service.
//
// Errors are raised, never returned: EOSError when the system refuses a
// call, EServiceError with a fixed message for the wrapper's own checks,
// EAssertionFailed when the system answers what it never should
// (ServiceErrors.h). After any error the objects stay usable.
//
// Lifetime: the manager owns every TServiceInfo. An entry obtained from it,
// and every entry of Dependents, is valid only until the list is rebuilt,
// the manager is deactivated or it is destroyed; callers look entries up
// again after a rebuild. Not safe for use from several threads.

#include "system/ServiceBackend.h"
#include "system/WaitClock.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace orvo {

// Declared in this order; the order is the ordinal value.
enum class TServiceState {
  ssStopped,         // SERVICE_STOPPED (1)
  ssStartPending,    // SERVICE_START_PENDING (2)
  ssStopPending,     // SERVICE_STOP_PENDING (3)
  ssRunning,         // SERVICE_RUNNING (4)
  ssContinuePending, // SERVICE_CONTINUE_PENDING (5)
  ssPausePending,    // SERVICE_PAUSE_PENDING (6)
  ssPaused,          // SERVICE_PAUSED (7)
};

enum class TServiceAccept {
  saStop,          // SERVICE_ACCEPT_STOP (1)
  saPauseContinue, // SERVICE_ACCEPT_PAUSE_CONTINUE (2)
  saShutdown,      // SERVICE_ACCEPT_SHUTDOWN (4)
};

// A set of TServiceAccept.
class TServiceAccepts {
public:
  TServiceAccepts() = default;
  bool Contains(TServiceAccept aAccept) const { return (fBits & Bit(aAccept)) != 0; }
  void Include(TServiceAccept aAccept) { fBits |= Bit(aAccept); }
  bool Empty() const { return fBits == 0; }
  bool operator==(const TServiceAccepts&) const = default;

private:
  static unsigned Bit(TServiceAccept aAccept) { return 1u << static_cast<unsigned>(aAccept); }
  unsigned fBits = 0;
};

enum class TServiceStartup {
  ssAutomatic, // SERVICE_AUTO_START (2)
  ssManual,    // SERVICE_DEMAND_START (3)
  ssDisabled,  // SERVICE_DISABLED (4)
};

class TServiceManager;

class TServiceInfo {
  friend class TServiceManager;

  // Only the manager creates entries.
  class PassKey {
    friend class TServiceManager;
    PassKey() = default;
  };

public:
  TServiceInfo(PassKey, TServiceManager& aOwner, int aIndex, const EnumServiceStatus& aRecord);
  // Closes the service handle if one is open.
  ~TServiceInfo();
  TServiceInfo(const TServiceInfo&) = delete;
  TServiceInfo& operator=(const TServiceInfo&) = delete;

  const std::string& ServiceName() const { return FServiceName; }
  const std::string& DisplayName() const { return FDisplayName; }
  int Index() const { return FIndex; }

  // The state of the last snapshot (the enumeration, or the last status
  // query); asks the system first when Live is set.
  TServiceState State();
  // Whether the last snapshot shows the service busy with a request (a
  // checkpoint or a wait hint): a stopped service that is not busy has ended
  // where it is, for example after a start that failed.
  [[nodiscard]] bool WorkPending() const {
    return FServiceStatus.dwCheckPoint != 0 || FServiceStatus.dwWaitHint != 0;
  }
  // Brings the service into a settled state: stopped, running or paused.
  void SetState(TServiceState aValue);

  // When set, every read of state, accepted controls and configuration asks
  // the system again.
  bool Live() const { return FLive; }
  void SetLive(bool aValue) { FLive = aValue; }

  TServiceAccepts Accepts();

  // From the service's configuration, read on first use (on every use when
  // Live).
  bool OwnProcess();
  bool Interactive();
  TServiceStartup StartType();
  // Needs a manager with AllowLocking set (unless aValue is the current
  // start type).
  void SetStartType(TServiceStartup aValue);
  std::string BinaryPath();

  // The services that depend on this one, searched once. An entry is null
  // when the dependent is not in the manager's list (not a Win32 service).
  int DependentCount();
  TServiceInfo* GetDependent(int aIndex);

  // Control requests. Each raises when the service does not accept the
  // control or the system refuses the request; with aWait it blocks until
  // the target state is reached, sleeping for the service's wait hint
  // between two status queries.
  void ServiceStart(bool aWait);
  void ServiceStop(bool aWait);
  void ServicePause(bool aWait);
  void ServiceContinue(bool aWait);

private:
  class HandleScope;

  ServiceBackend& Backend() const;
  [[noreturn]] void RaiseLastOSError() const;
  void AcquireHandle(std::uint32_t aAccess);
  void ReleaseHandle() noexcept;
  void QueryStatus();
  void WaitForState(std::uint32_t aTarget);
  void SearchDependents();
  void QueryConfig();
  void RequestControl(std::uint32_t aAccess, const TServiceAccept* aPrecondition,
                      const char* aRefusal, std::uint32_t aControl, std::uint32_t aTarget,
                      bool aWait);

  int FIndex;
  TServiceManager& FServiceManager;
  ScHandle FHandle = 0;
  SERVICE_STATUS FServiceStatus;
  std::string FServiceName;
  std::string FDisplayName;
  bool FDependentsSearched = false;
  std::vector<TServiceInfo*> FDependents;
  bool FLive = false;
  bool FConfigQueried = false;
  bool FOwnProcess = false;
  bool FInteractive = false;
  TServiceStartup FStartType = TServiceStartup::ssManual;
  std::string FBinaryPath;
  std::string FUserName;
};

class TServiceManager {
public:
  // Inactive, with an empty list, over the platform's backend and the real
  // clock.
  TServiceManager();
  // Over the given backend and clock, which must outlive the manager.
  TServiceManager(ServiceBackend& aBackend, WaitClock& aClock);
  // Deactivates; errors on the way are dropped.
  ~TServiceManager();
  TServiceManager(const TServiceManager&) = delete;
  TServiceManager& operator=(const TServiceManager&) = delete;

  // Activation connects and fills the list (once: activating an active
  // manager does nothing); deactivation frees the list and disconnects.
  bool Active() const { return FManager != 0; }
  void SetActive(bool aValue);

  // Empty for the local machine. Changeable only while inactive.
  const std::string& MachineName() const { return FMachineName; }
  void SetMachineName(const std::string& aValue);

  // Whether start type changes may lock the service database; decides the
  // rights asked for at activation. Changeable only while inactive.
  bool AllowLocking() const { return FAllowLocking; }
  void SetAllowLocking(bool aValue);

  // Replaces the list by a fresh enumeration. Every entry obtained before is
  // gone afterwards.
  void RebuildServicesList();

  int ServiceCount() const { return static_cast<int>(FServices.size()); }
  TServiceInfo& GetService(int aIndex) const;
  // The first entry whose name equals aName when ASCII letters are compared
  // without regard to case; null when there is none.
  [[nodiscard]] TServiceInfo* GetServiceByName(std::string_view aName) const;
  // Not supported: always raises "Not implemented".
  [[noreturn]] void DeleteService(int aIndex);

  ServiceBackend& Backend() const { return fBackend; }
  WaitClock& Clock() const { return fClock; }

private:
  friend class TServiceInfo;

  void Activate();
  void Deactivate();
  void ClearServices();
  void LockDatabase();
  void UnlockDatabase();
  [[noreturn]] void RaiseLastOSError() const;

  ServiceBackend& fBackend;
  WaitClock& fClock;
  ScHandle FManager = 0;
  ScLock FLock = 0;
  std::string FMachineName;
  std::vector<std::unique_ptr<TServiceInfo>> FServices;
  bool FAllowLocking = false;
};

} // namespace orvo
