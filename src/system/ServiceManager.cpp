#include "system/ServiceManager.h"

#include "system/ServiceErrors.h"

#include <exception>

namespace orvo {

namespace {

constexpr const char* kSourceName = "ServiceManager";
// Lines of the two configuration checks, as the assertion messages name them.
constexpr int kConfigProbeLine = 709;
constexpr int kConfigTypeLine = 722;

// Pause of a wait when the service announces no wait hint.
constexpr std::uint32_t kDefaultWaitPause = 5000;
// Services installed between sizing the enumeration and reading it make the
// read ask for more room; it is tried again this many times in all.
constexpr int kEnumAttempts = 3;

std::string AsciiUpper(std::string_view aText) {
  std::string upper(aText);
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') {
      c = static_cast<char>(c - 'a' + 'A');
    }
  }
  return upper;
}

TServiceState StateFromWindows(std::uint32_t aState) {
  switch (aState) {
  case win::SERVICE_STOPPED:
    return TServiceState::ssStopped;
  case win::SERVICE_START_PENDING:
    return TServiceState::ssStartPending;
  case win::SERVICE_STOP_PENDING:
    return TServiceState::ssStopPending;
  case win::SERVICE_RUNNING:
    return TServiceState::ssRunning;
  case win::SERVICE_CONTINUE_PENDING:
    return TServiceState::ssContinuePending;
  case win::SERVICE_PAUSE_PENDING:
    return TServiceState::ssPausePending;
  case win::SERVICE_PAUSED:
    return TServiceState::ssPaused;
  default:
    throw EServiceError("Service State unknown");
  }
}

std::uint32_t StartTypeToWindows(TServiceStartup aStartType) {
  switch (aStartType) {
  case TServiceStartup::ssAutomatic:
    return win::SERVICE_AUTO_START;
  case TServiceStartup::ssManual:
    return win::SERVICE_DEMAND_START;
  case TServiceStartup::ssDisabled:
    break;
  }
  return win::SERVICE_DISABLED;
}

TServiceStartup StartTypeFromWindows(std::uint32_t aStartType) {
  switch (aStartType) {
  case win::SERVICE_AUTO_START:
    return TServiceStartup::ssAutomatic;
  case win::SERVICE_DEMAND_START:
    return TServiceStartup::ssManual;
  case win::SERVICE_DISABLED:
    return TServiceStartup::ssDisabled;
  default:
    throw EServiceError("Service Start Type unknown");
  }
}

void CheckIndex(int aIndex, std::size_t aCount) {
  if (aIndex < 0 || static_cast<std::size_t>(aIndex) >= aCount) {
    throw EServiceError("Index out of bounds");
  }
}

} // namespace

// Closes the entry's service handle when a public operation ends, whether it
// returns or raises.
class TServiceInfo::HandleScope {
public:
  explicit HandleScope(TServiceInfo& aInfo) : fInfo(aInfo) {}
  ~HandleScope() { fInfo.ReleaseHandle(); }
  HandleScope(const HandleScope&) = delete;
  HandleScope& operator=(const HandleScope&) = delete;

private:
  TServiceInfo& fInfo;
};

// ---------------------------------------------------------------------------
// TServiceManager

TServiceManager::TServiceManager() : TServiceManager(SystemServiceBackend(), SystemWaitClock()) {}

TServiceManager::TServiceManager(ServiceBackend& aBackend, WaitClock& aClock)
    : fBackend(aBackend), fClock(aClock) {}

TServiceManager::~TServiceManager() {
  try {
    SetActive(false);
  } catch (...) {
    // A destructor must not raise; the handle is closed either way.
  }
}

void TServiceManager::RaiseLastOSError() const {
  throw EOSError(fBackend.GetLastError());
}

void TServiceManager::SetActive(bool aValue) {
  if (aValue) {
    Activate();
  } else {
    Deactivate();
  }
}

void TServiceManager::Activate() {
  if (Active()) {
    return;
  }
  std::uint32_t platformId = 0;
  if (!fBackend.GetVersionEx(platformId)) {
    RaiseLastOSError();
  }
  if (platformId != win::VER_PLATFORM_WIN32_NT) {
    throw EServiceError("This program only works on Windows NT, 2000 or XP");
  }
  std::uint32_t access = win::SC_MANAGER_CONNECT | win::SC_MANAGER_ENUMERATE_SERVICE;
  if (FAllowLocking) {
    access |= win::SC_MANAGER_LOCK;
  }
  const ScHandle manager = fBackend.OpenSCManager(FMachineName, access);
  if (manager == 0) {
    RaiseLastOSError();
  }
  FManager = manager;
  RebuildServicesList();
}

void TServiceManager::Deactivate() {
  if (!Active()) {
    return;
  }
  ClearServices();
  // The connection is closed even when a left-over lock cannot be released;
  // the unlock's error is raised afterwards.
  std::exception_ptr unlockFailure;
  try {
    UnlockDatabase();
  } catch (...) {
    unlockFailure = std::current_exception();
  }
  fBackend.CloseServiceHandle(FManager);
  FManager = 0;
  if (unlockFailure) {
    std::rethrow_exception(unlockFailure);
  }
}

void TServiceManager::SetMachineName(const std::string& aValue) {
  if (Active()) {
    throw EServiceError("Cannot change machine name while active");
  }
  FMachineName = aValue;
}

void TServiceManager::SetAllowLocking(bool aValue) {
  if (Active()) {
    throw EServiceError("Cannot change allow locking while active");
  }
  FAllowLocking = aValue;
}

void TServiceManager::ClearServices() {
  FServices.clear();
}

void TServiceManager::RebuildServicesList() {
  if (!Active()) {
    throw EServiceError("BuildServicesList only works when active");
  }
  ClearServices();
  std::vector<EnumServiceStatus> records;
  std::size_t needed = 0;
  // The probing call with no room succeeds only when there are no services.
  if (fBackend.EnumServicesStatus(FManager, win::SERVICE_WIN32, win::SERVICE_STATE_ALL, 0, records,
                                  needed)) {
    return;
  }
  if (fBackend.GetLastError() != win::ERROR_MORE_DATA) {
    RaiseLastOSError();
  }
  for (int attempt = 1;; ++attempt) {
    records.clear();
    if (fBackend.EnumServicesStatus(FManager, win::SERVICE_WIN32, win::SERVICE_STATE_ALL, needed,
                                    records, needed)) {
      break;
    }
    // A failed read is raised rather than passed off as an empty list, which
    // would tell the caller that no service is installed.
    if (fBackend.GetLastError() != win::ERROR_MORE_DATA || attempt == kEnumAttempts) {
      RaiseLastOSError();
    }
  }
  FServices.reserve(records.size());
  for (std::size_t i = 0; i < records.size(); ++i) {
    FServices.push_back(std::make_unique<TServiceInfo>(TServiceInfo::PassKey{}, *this,
                                                       static_cast<int>(i), records[i]));
  }
}

TServiceInfo& TServiceManager::GetService(int aIndex) const {
  CheckIndex(aIndex, FServices.size());
  return *FServices[static_cast<std::size_t>(aIndex)];
}

TServiceInfo* TServiceManager::GetServiceByName(std::string_view aName) const {
  const std::string wanted = AsciiUpper(aName);
  for (const auto& service : FServices) {
    if (AsciiUpper(service->ServiceName()) == wanted) {
      return service.get();
    }
  }
  return nullptr;
}

void TServiceManager::DeleteService(int /*aIndex*/) {
  throw EServiceError("Not implemented");
}

void TServiceManager::LockDatabase() {
  if (!FAllowLocking) {
    throw EServiceError("Locking of the service manager not allowed!");
  }
  FLock = fBackend.LockServiceDatabase(FManager);
  if (FLock == 0) {
    RaiseLastOSError();
  }
}

void TServiceManager::UnlockDatabase() {
  if (FLock == 0) {
    return;
  }
  // A lock that cannot be released is of no further use: it is forgotten
  // either way.
  const ScLock lock = FLock;
  FLock = 0;
  if (!fBackend.UnlockServiceDatabase(lock)) {
    RaiseLastOSError();
  }
}

// ---------------------------------------------------------------------------
// TServiceInfo

TServiceInfo::TServiceInfo(PassKey, TServiceManager& aOwner, int aIndex,
                           const EnumServiceStatus& aRecord)
    : FIndex(aIndex), FServiceManager(aOwner), FServiceStatus(aRecord.ServiceStatus),
      FServiceName(aRecord.lpServiceName), FDisplayName(aRecord.lpDisplayName) {}

TServiceInfo::~TServiceInfo() {
  ReleaseHandle();
}

ServiceBackend& TServiceInfo::Backend() const {
  return FServiceManager.fBackend;
}

void TServiceInfo::RaiseLastOSError() const {
  throw EOSError(Backend().GetLastError());
}

void TServiceInfo::AcquireHandle(std::uint32_t aAccess) {
  // An open handle is used as it is, whatever rights it was opened with.
  if (FHandle != 0) {
    return;
  }
  const ScHandle handle = Backend().OpenService(FServiceManager.FManager, FServiceName, aAccess);
  if (handle == 0) {
    RaiseLastOSError();
  }
  FHandle = handle;
}

void TServiceInfo::ReleaseHandle() noexcept {
  if (FHandle != 0) {
    Backend().CloseServiceHandle(FHandle);
    FHandle = 0;
  }
}

void TServiceInfo::QueryStatus() {
  if (FHandle != 0) {
    SERVICE_STATUS status;
    if (!Backend().QueryServiceStatus(FHandle, status)) {
      RaiseLastOSError();
    }
    FServiceStatus = status;
    return;
  }
  HandleScope scope(*this);
  AcquireHandle(win::SERVICE_QUERY_STATUS);
  QueryStatus();
}

TServiceState TServiceInfo::State() {
  if (FLive) {
    QueryStatus();
  }
  return StateFromWindows(FServiceStatus.dwCurrentState);
}

TServiceAccepts TServiceInfo::Accepts() {
  if (FLive) {
    QueryStatus();
  }
  TServiceAccepts accepts;
  const std::uint32_t bits = FServiceStatus.dwControlsAccepted;
  if ((bits & win::SERVICE_ACCEPT_PAUSE_CONTINUE) != 0) {
    accepts.Include(TServiceAccept::saPauseContinue);
  }
  if ((bits & win::SERVICE_ACCEPT_STOP) != 0) {
    accepts.Include(TServiceAccept::saStop);
  }
  if ((bits & win::SERVICE_ACCEPT_SHUTDOWN) != 0) {
    accepts.Include(TServiceAccept::saShutdown);
  }
  return accepts;
}

void TServiceInfo::WaitForState(std::uint32_t aTarget) {
  QueryStatus();
  while (FServiceStatus.dwCurrentState != aTarget) {
    // The service announces how long the next step may take (its wait hint)
    // and shows progress by advancing its checkpoint; no progress within
    // the announced time means it is stuck. There is no overall limit.
    const std::uint32_t checkPoint = FServiceStatus.dwCheckPoint;
    const std::uint32_t pause =
        FServiceStatus.dwWaitHint != 0 ? FServiceStatus.dwWaitHint : kDefaultWaitPause;
    FServiceManager.fClock.Sleep(pause);
    QueryStatus();
    if (FServiceStatus.dwCurrentState == aTarget) {
      return;
    }
    if (FServiceStatus.dwCheckPoint == checkPoint) {
      throw EServiceError("Service did not react within timeframe given");
    }
  }
}

void TServiceInfo::RequestControl(std::uint32_t aAccess, const TServiceAccept* aPrecondition,
                                  const char* aRefusal, std::uint32_t aControl,
                                  std::uint32_t aTarget, bool aWait) {
  HandleScope scope(*this);
  AcquireHandle(aAccess);
  // For an entry that is not live this reads the snapshot: a service that
  // was stopped at the last enumeration accepts no controls.
  if (aPrecondition != nullptr && !Accepts().Contains(*aPrecondition)) {
    throw EServiceError(aRefusal);
  }
  const bool sent =
      aControl == 0 ? Backend().StartService(FHandle) : Backend().ControlService(FHandle, aControl);
  if (!sent) {
    RaiseLastOSError();
  }
  if (aWait) {
    WaitForState(aTarget);
  }
}

void TServiceInfo::ServiceStart(bool aWait) {
  RequestControl(win::SERVICE_START | win::SERVICE_QUERY_STATUS, nullptr, nullptr, 0,
                 win::SERVICE_RUNNING, aWait);
}

void TServiceInfo::ServiceStop(bool aWait) {
  constexpr TServiceAccept precondition = TServiceAccept::saStop;
  RequestControl(win::SERVICE_STOP | win::SERVICE_QUERY_STATUS, &precondition,
                 "Service cannot be Stopped", win::SERVICE_CONTROL_STOP, win::SERVICE_STOPPED,
                 aWait);
}

void TServiceInfo::ServicePause(bool aWait) {
  constexpr TServiceAccept precondition = TServiceAccept::saPauseContinue;
  RequestControl(win::SERVICE_PAUSE_CONTINUE | win::SERVICE_QUERY_STATUS, &precondition,
                 "Service cannot be paused", win::SERVICE_CONTROL_PAUSE, win::SERVICE_PAUSED,
                 aWait);
}

void TServiceInfo::ServiceContinue(bool aWait) {
  constexpr TServiceAccept precondition = TServiceAccept::saPauseContinue;
  RequestControl(win::SERVICE_PAUSE_CONTINUE | win::SERVICE_QUERY_STATUS, &precondition,
                 "Service cannot be continued", win::SERVICE_CONTROL_CONTINUE, win::SERVICE_RUNNING,
                 aWait);
}

void TServiceInfo::SetState(TServiceState aValue) {
  if (!FLive) {
    QueryStatus();
  }
  // A pending state settles first.
  switch (State()) {
  case TServiceState::ssStartPending:
  case TServiceState::ssContinuePending:
    WaitForState(win::SERVICE_RUNNING);
    break;
  case TServiceState::ssStopPending:
    WaitForState(win::SERVICE_STOPPED);
    break;
  case TServiceState::ssPausePending:
    WaitForState(win::SERVICE_PAUSED);
    break;
  default:
    break;
  }
  const TServiceState current = State();
  switch (aValue) {
  case TServiceState::ssStopped:
    if (current != TServiceState::ssStopped) {
      ServiceStop(true);
    }
    break;
  case TServiceState::ssRunning:
    if (current == TServiceState::ssStopped) {
      ServiceStart(true);
    } else if (current == TServiceState::ssPaused) {
      ServiceContinue(true);
    }
    break;
  case TServiceState::ssPaused:
    if (current == TServiceState::ssStopped) {
      ServiceStart(true);
      try {
        ServicePause(true);
      } catch (...) {
        // A service that cannot be paused is not left running in its place.
        ServiceStop(true);
        throw;
      }
    } else if (current == TServiceState::ssRunning) {
      ServicePause(true);
    }
    break;
  default:
    throw EServiceError("Cannot set a transitional state in TServiceInfo.");
  }
}

void TServiceInfo::SearchDependents() {
  if (FDependentsSearched) {
    return;
  }
  FDependents.clear();
  HandleScope scope(*this);
  AcquireHandle(win::SERVICE_ENUMERATE_DEPENDENTS);
  std::vector<EnumServiceStatus> records;
  std::size_t needed = 0;
  // The probing call with no room succeeds only when there are no dependents.
  if (!Backend().EnumDependentServices(FHandle, win::SERVICE_STATE_ALL, 0, records, needed)) {
    if (Backend().GetLastError() != win::ERROR_MORE_DATA) {
      RaiseLastOSError();
    }
    records.clear();
    if (!Backend().EnumDependentServices(FHandle, win::SERVICE_STATE_ALL, needed, records,
                                         needed)) {
      RaiseLastOSError();
    }
    FDependents.reserve(records.size());
    for (const EnumServiceStatus& record : records) {
      FDependents.push_back(FServiceManager.GetServiceByName(record.lpServiceName));
    }
  }
  FDependentsSearched = true;
}

int TServiceInfo::DependentCount() {
  SearchDependents();
  return static_cast<int>(FDependents.size());
}

TServiceInfo* TServiceInfo::GetDependent(int aIndex) {
  SearchDependents();
  CheckIndex(aIndex, FDependents.size());
  return FDependents[static_cast<std::size_t>(aIndex)];
}

void TServiceInfo::QueryConfig() {
  HandleScope scope(*this);
  AcquireHandle(win::SERVICE_QUERY_CONFIG);
  ServiceConfig config;
  std::size_t needed = 0;
  if (Backend().QueryServiceConfig(FHandle, config, 0, needed)) {
    throw EAssertionFailed(kSourceName, kConfigProbeLine);
  }
  if (Backend().GetLastError() != win::ERROR_INSUFFICIENT_BUFFER) {
    RaiseLastOSError();
  }
  if (!Backend().QueryServiceConfig(FHandle, config, needed, needed)) {
    RaiseLastOSError();
  }
  if ((config.dwServiceType & win::SERVICE_WIN32) == 0) {
    throw EAssertionFailed(kSourceName, kConfigTypeLine);
  }
  FOwnProcess = (config.dwServiceType & win::SERVICE_WIN32) == win::SERVICE_WIN32_OWN_PROCESS;
  FInteractive = (config.dwServiceType & win::SERVICE_INTERACTIVE_PROCESS) != 0;
  FStartType = StartTypeFromWindows(config.dwStartType);
  FBinaryPath = config.lpBinaryPathName;
  FUserName = config.lpServiceStartName;
  FConfigQueried = true;
}

bool TServiceInfo::OwnProcess() {
  if (FLive || !FConfigQueried) {
    QueryConfig();
  }
  return FOwnProcess;
}

bool TServiceInfo::Interactive() {
  if (FLive || !FConfigQueried) {
    QueryConfig();
  }
  return FInteractive;
}

TServiceStartup TServiceInfo::StartType() {
  if (FLive || !FConfigQueried) {
    QueryConfig();
  }
  return FStartType;
}

std::string TServiceInfo::BinaryPath() {
  if (FLive || !FConfigQueried) {
    QueryConfig();
  }
  return FBinaryPath;
}

void TServiceInfo::SetStartType(TServiceStartup aValue) {
  QueryConfig();
  if (aValue == FStartType) {
    return;
  }
  FServiceManager.LockDatabase();
  // Handle first, then the lock, are released in every case; the change's
  // own error wins over one from the unlock.
  std::exception_ptr failure;
  try {
    AcquireHandle(win::SERVICE_CHANGE_CONFIG);
    if (!Backend().ChangeServiceConfig(FHandle, win::SERVICE_NO_CHANGE, StartTypeToWindows(aValue),
                                       win::SERVICE_NO_CHANGE)) {
      RaiseLastOSError();
    }
    FStartType = aValue;
  } catch (...) {
    failure = std::current_exception();
  }
  ReleaseHandle();
  if (failure) {
    try {
      FServiceManager.UnlockDatabase();
    } catch (...) {
      // The change's error is the one to report.
    }
    std::rethrow_exception(failure);
  }
  FServiceManager.UnlockDatabase();
}

} // namespace orvo
