#pragma once
// An in-memory service control manager for tests. A test installs services
// with their status and configuration, scripts how requests change them,
// which requests the system refuses and which calls fail, and afterwards
// reads the record of every call the code under test made.
//
// Services behave as Windows services do unless scripted otherwise: a start
// of a service that is not stopped is refused with
// ERROR_SERVICE_ALREADY_RUNNING, a stop of a stopped one with
// ERROR_SERVICE_NOT_ACTIVE, a control the service does not accept with
// ERROR_INVALID_SERVICE_CONTROL; an accepted request settles the service in
// its target state at once. Every call checks the rights of the handle it is
// given (ERROR_ACCESS_DENIED), so a test also sees that the rights asked for
// are enough.
//
// A "look" at a service is a status query of it or its listing in an
// enumeration that returns records. Each look first moves the service on to
// the next status of its Upcoming queue, if any; so a test scripts progress
// (pending states, checkpoints) one look at a time.

#include "system/ServiceBackend.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace orvo {

class ScriptedServiceBackend final : public ServiceBackend {
public:
  enum class Request { Start, Stop, Pause, Continue };

  struct Service {
    std::string Name;
    std::string DisplayName;
    // What the next look shows, unless Upcoming has a status.
    SERVICE_STATUS Status;
    // Statuses of the next looks, one per look; the last one stays.
    std::deque<SERVICE_STATUS> Upcoming;
    ServiceConfig Config;
    // Key names of the services that depend on this one; names that are not
    // installed here stand for drivers.
    std::vector<std::string> Dependents;
    // Controls accepted once a start or continue has made the service run.
    std::uint32_t RunningAccepts = win::SERVICE_ACCEPT_STOP;
    // Statuses an accepted request leads to: the first at once, the others
    // one per later look (they replace whatever Upcoming held). Without an
    // entry the service is at once in the request's target state.
    std::map<Request, std::vector<SERVICE_STATUS>> Transitions;
    // Error code with which the system refuses a request.
    std::map<Request, std::uint32_t> Refusals;
    // Makes the probing configuration query (no buffer) succeed, which no
    // real system does.
    bool ConfigProbeSucceeds = false;

    // Appends aLooks looks that show aStatus.
    Service& Then(const SERVICE_STATUS& aStatus, int aLooks = 1);
  };

  static SERVICE_STATUS MakeStatus(std::uint32_t aState, std::uint32_t aAccepts = 0,
                                   std::uint32_t aCheckPoint = 0, std::uint32_t aWaitHint = 0);

  // Installs a Win32 service of its own process, started on demand, in
  // aState; a running or paused service accepts stop (and no other control).
  // Enumerations list services in the order they were added. The reference
  // stays valid for the backend's life.
  Service& AddService(const std::string& aName, const std::string& aDisplayName,
                      std::uint32_t aState = win::SERVICE_STOPPED);
  // The installed service of that exact key name; throws std::out_of_range
  // when there is none.
  Service& Find(std::string_view aName);
  // Uninstalls a service (open handles to it then fail).
  void RemoveService(std::string_view aName);

  // Lets aSkip calls of the named operation (e.g. "EnumServicesStatusW")
  // pass, then makes the next aTimes of them fail with aErrorCode.
  void FailCall(const std::string& aCall, std::uint32_t aErrorCode, int aSkip = 0, int aTimes = 1);

  // The platform GetVersionEx reports.
  std::uint32_t PlatformId = win::VER_PLATFORM_WIN32_NT;

  // Every call, e.g. "OpenServiceW(OrvoCoreService, 0x24)",
  // "ControlService(OrvoCoreService, 1)", "CloseServiceHandle(OrvoCoreService)".
  const std::vector<std::string>& Calls() const { return fCalls; }
  // Calls whose record starts with aPrefix.
  int CountCalls(std::string_view aPrefix) const;
  void ClearCalls() { fCalls.clear(); }
  // Handles opened and not yet closed.
  int OpenHandleCount() const { return static_cast<int>(fHandles.size()); }
  bool DatabaseLocked() const { return fLock != 0; }

  // ServiceBackend
  std::uint32_t GetLastError() const override { return fLastError; }
  bool GetVersionEx(std::uint32_t& aPlatformId) override;
  ScHandle OpenSCManager(const std::string& aMachineName, std::uint32_t aAccess) override;
  bool CloseServiceHandle(ScHandle aHandle) override;
  bool EnumServicesStatus(ScHandle aManager, std::uint32_t aServiceType,
                          std::uint32_t aServiceState, std::size_t aCapacity,
                          std::vector<EnumServiceStatus>& aRecords, std::size_t& aNeeded) override;
  ScLock LockServiceDatabase(ScHandle aManager) override;
  bool UnlockServiceDatabase(ScLock aLock) override;
  ScHandle OpenService(ScHandle aManager, const std::string& aServiceName,
                       std::uint32_t aAccess) override;
  bool QueryServiceStatus(ScHandle aService, SERVICE_STATUS& aStatus) override;
  bool ControlService(ScHandle aService, std::uint32_t aControl) override;
  bool StartService(ScHandle aService) override;
  bool EnumDependentServices(ScHandle aService, std::uint32_t aServiceState, std::size_t aCapacity,
                             std::vector<EnumServiceStatus>& aRecords,
                             std::size_t& aNeeded) override;
  bool QueryServiceConfig(ScHandle aService, ServiceConfig& aConfig, std::size_t aBufSize,
                          std::size_t& aBytesNeeded) override;
  bool ChangeServiceConfig(ScHandle aService, std::uint32_t aServiceType, std::uint32_t aStartType,
                           std::uint32_t aErrorControl) override;

private:
  struct Handle {
    bool isManager = false;
    std::string serviceName; // services only
    std::uint32_t access = 0;
  };
  struct Fault {
    std::string call;
    std::uint32_t code = 0;
    int skip = 0;
    int times = 0;
  };

  // Records the call and applies a scripted fault; false when it fails.
  bool Enter(const std::string& aCall, const std::string& aRecord);
  bool Fail(std::uint32_t aErrorCode);
  // What the call record names a handle by: the service's key name, or
  // "manager".
  std::string NameOf(ScHandle aHandle) const;
  // The open handle with all of aAccess, or null (last error set).
  const Handle* CheckHandle(ScHandle aHandle, bool aManager, std::uint32_t aAccess);
  Service* FindService(std::string_view aName);
  const SERVICE_STATUS& Look(Service& aService);
  bool SendRequest(ScHandle aService, Request aRequest, std::uint32_t aAccess, const char* aCall,
                   const std::string& aRecord);

  std::deque<Service> fServices;
  std::map<ScHandle, Handle> fHandles;
  ScHandle fNextHandle = 1;
  ScLock fLock = 0;
  ScLock fNextLock = 1;
  std::uint32_t fLastError = 0;
  std::vector<std::string> fCalls;
  std::vector<Fault> fFaults;
};

} // namespace orvo
