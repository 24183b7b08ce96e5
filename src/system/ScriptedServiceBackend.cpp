#include "system/ScriptedServiceBackend.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

namespace orvo {

namespace {

std::string Hex(std::uint32_t aValue) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%X", aValue);
  return text;
}

// The state a request settles the service in, and the state it needs.
struct RequestRule {
  std::uint32_t target;
  std::uint32_t acceptBit; // 0: no control bit needed (start)
};

RequestRule RuleOf(ScriptedServiceBackend::Request aRequest) {
  using R = ScriptedServiceBackend::Request;
  switch (aRequest) {
  case R::Start:
    return {win::SERVICE_RUNNING, 0};
  case R::Stop:
    return {win::SERVICE_STOPPED, win::SERVICE_ACCEPT_STOP};
  case R::Pause:
    return {win::SERVICE_PAUSED, win::SERVICE_ACCEPT_PAUSE_CONTINUE};
  case R::Continue:
    break;
  }
  return {win::SERVICE_RUNNING, win::SERVICE_ACCEPT_PAUSE_CONTINUE};
}

bool IsPending(std::uint32_t aState) {
  return aState == win::SERVICE_START_PENDING || aState == win::SERVICE_STOP_PENDING ||
         aState == win::SERVICE_CONTINUE_PENDING || aState == win::SERVICE_PAUSE_PENDING;
}

} // namespace

ScriptedServiceBackend::Service&
ScriptedServiceBackend::Service::Then(const SERVICE_STATUS& aStatus, int aLooks) {
  for (int i = 0; i < aLooks; ++i) {
    Upcoming.push_back(aStatus);
  }
  return *this;
}

SERVICE_STATUS ScriptedServiceBackend::MakeStatus(std::uint32_t aState, std::uint32_t aAccepts,
                                                  std::uint32_t aCheckPoint,
                                                  std::uint32_t aWaitHint) {
  SERVICE_STATUS status;
  status.dwServiceType = win::SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = aState;
  status.dwControlsAccepted = aAccepts;
  status.dwCheckPoint = aCheckPoint;
  status.dwWaitHint = aWaitHint;
  return status;
}

ScriptedServiceBackend::Service& ScriptedServiceBackend::AddService(const std::string& aName,
                                                                    const std::string& aDisplayName,
                                                                    std::uint32_t aState) {
  Service service;
  service.Name = aName;
  service.DisplayName = aDisplayName;
  const bool active = aState == win::SERVICE_RUNNING || aState == win::SERVICE_PAUSED;
  service.Status = MakeStatus(aState, active ? service.RunningAccepts : 0);
  service.Config.dwServiceType = win::SERVICE_WIN32_OWN_PROCESS;
  service.Config.dwStartType = win::SERVICE_DEMAND_START;
  service.Config.lpBinaryPathName = "/usr/sbin/" + aName;
  service.Config.lpServiceStartName = "LocalSystem";
  fServices.push_back(std::move(service));
  return fServices.back();
}

ScriptedServiceBackend::Service* ScriptedServiceBackend::FindService(std::string_view aName) {
  // Key names compare without regard to ASCII case, as the system does.
  const auto sameName = [aName](const Service& s) {
    return std::equal(s.Name.begin(), s.Name.end(), aName.begin(), aName.end(), [](char a, char b) {
      const auto up = [](char c) { return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c; };
      return up(a) == up(b);
    });
  };
  const auto it = std::find_if(fServices.begin(), fServices.end(), sameName);
  return it == fServices.end() ? nullptr : &*it;
}

ScriptedServiceBackend::Service& ScriptedServiceBackend::Find(std::string_view aName) {
  for (Service& service : fServices) {
    if (service.Name == aName) {
      return service;
    }
  }
  throw std::out_of_range("no scripted service " + std::string(aName));
}

void ScriptedServiceBackend::RemoveService(std::string_view aName) {
  std::erase_if(fServices, [aName](const Service& s) { return s.Name == aName; });
}

void ScriptedServiceBackend::FailCall(const std::string& aCall, std::uint32_t aErrorCode, int aSkip,
                                      int aTimes) {
  fFaults.push_back({aCall, aErrorCode, aSkip, aTimes});
}

int ScriptedServiceBackend::CountCalls(std::string_view aPrefix) const {
  return static_cast<int>(std::count_if(fCalls.begin(), fCalls.end(), [aPrefix](const auto& c) {
    return std::string_view(c).substr(0, aPrefix.size()) == aPrefix;
  }));
}

std::string ScriptedServiceBackend::NameOf(ScHandle aHandle) const {
  const auto it = fHandles.find(aHandle);
  if (it == fHandles.end()) {
    return "?";
  }
  return it->second.isManager ? "manager" : it->second.serviceName;
}

bool ScriptedServiceBackend::Fail(std::uint32_t aErrorCode) {
  fLastError = aErrorCode;
  return false;
}

bool ScriptedServiceBackend::Enter(const std::string& aCall, const std::string& aRecord) {
  fCalls.push_back(aRecord);
  for (Fault& fault : fFaults) {
    if (fault.call != aCall || fault.times == 0) {
      continue;
    }
    if (fault.skip > 0) {
      --fault.skip;
      continue;
    }
    --fault.times;
    return Fail(fault.code);
  }
  return true;
}

const ScriptedServiceBackend::Handle*
ScriptedServiceBackend::CheckHandle(ScHandle aHandle, bool aManager, std::uint32_t aAccess) {
  const auto it = fHandles.find(aHandle);
  if (it == fHandles.end() || it->second.isManager != aManager) {
    Fail(win::ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if ((it->second.access & aAccess) != aAccess) {
    Fail(win::ERROR_ACCESS_DENIED);
    return nullptr;
  }
  return &it->second;
}

const SERVICE_STATUS& ScriptedServiceBackend::Look(Service& aService) {
  if (!aService.Upcoming.empty()) {
    aService.Status = aService.Upcoming.front();
    aService.Upcoming.pop_front();
  }
  return aService.Status;
}

bool ScriptedServiceBackend::GetVersionEx(std::uint32_t& aPlatformId) {
  if (!Enter("GetVersionExW", "GetVersionExW()")) {
    return false;
  }
  aPlatformId = PlatformId;
  return true;
}

ScHandle ScriptedServiceBackend::OpenSCManager(const std::string& aMachineName,
                                               std::uint32_t aAccess) {
  if (!Enter("OpenSCManagerW", "OpenSCManagerW(" + aMachineName + ", " + Hex(aAccess) + ")")) {
    return 0;
  }
  const ScHandle handle = fNextHandle++;
  fHandles[handle] = Handle{true, {}, aAccess};
  return handle;
}

bool ScriptedServiceBackend::CloseServiceHandle(ScHandle aHandle) {
  if (!Enter("CloseServiceHandle", "CloseServiceHandle(" + NameOf(aHandle) + ")")) {
    return false;
  }
  const auto it = fHandles.find(aHandle);
  if (it == fHandles.end()) {
    return Fail(win::ERROR_INVALID_HANDLE);
  }
  fHandles.erase(it);
  return true;
}

bool ScriptedServiceBackend::EnumServicesStatus(ScHandle aManager, std::uint32_t aServiceType,
                                                std::uint32_t aServiceState, std::size_t aCapacity,
                                                std::vector<EnumServiceStatus>& aRecords,
                                                std::size_t& aNeeded) {
  if (!Enter("EnumServicesStatusW", "EnumServicesStatusW(" + Hex(aServiceType) + ", " +
                                        std::to_string(aServiceState) + ", " +
                                        std::to_string(aCapacity) + ")")) {
    return false;
  }
  if (CheckHandle(aManager, true, win::SC_MANAGER_ENUMERATE_SERVICE) == nullptr) {
    return false;
  }
  std::vector<Service*> listed;
  for (Service& service : fServices) {
    if ((service.Config.dwServiceType & aServiceType) != 0) {
      listed.push_back(&service);
    }
  }
  aNeeded = listed.size();
  if (aCapacity < listed.size()) {
    return Fail(win::ERROR_MORE_DATA);
  }
  for (Service* service : listed) {
    aRecords.push_back({service->Name, service->DisplayName, Look(*service)});
  }
  return true;
}

ScLock ScriptedServiceBackend::LockServiceDatabase(ScHandle aManager) {
  if (!Enter("LockServiceDatabase", "LockServiceDatabase()")) {
    return 0;
  }
  if (CheckHandle(aManager, true, win::SC_MANAGER_LOCK) == nullptr) {
    return 0;
  }
  if (fLock != 0) {
    Fail(win::ERROR_SERVICE_DATABASE_LOCKED);
    return 0;
  }
  fLock = fNextLock++;
  return fLock;
}

bool ScriptedServiceBackend::UnlockServiceDatabase(ScLock aLock) {
  if (!Enter("UnlockServiceDatabase", "UnlockServiceDatabase()")) {
    return false;
  }
  if (aLock == 0 || aLock != fLock) {
    return Fail(win::ERROR_INVALID_SERVICE_LOCK);
  }
  fLock = 0;
  return true;
}

ScHandle ScriptedServiceBackend::OpenService(ScHandle aManager, const std::string& aServiceName,
                                             std::uint32_t aAccess) {
  if (!Enter("OpenServiceW", "OpenServiceW(" + aServiceName + ", " + Hex(aAccess) + ")")) {
    return 0;
  }
  if (CheckHandle(aManager, true, 0) == nullptr) {
    return 0;
  }
  const Service* service = FindService(aServiceName);
  if (service == nullptr) {
    Fail(win::ERROR_SERVICE_DOES_NOT_EXIST);
    return 0;
  }
  const ScHandle handle = fNextHandle++;
  fHandles[handle] = Handle{false, service->Name, aAccess};
  return handle;
}

bool ScriptedServiceBackend::QueryServiceStatus(ScHandle aService, SERVICE_STATUS& aStatus) {
  if (!Enter("QueryServiceStatus", "QueryServiceStatus(" + NameOf(aService) + ")")) {
    return false;
  }
  const Handle* handle = CheckHandle(aService, false, win::SERVICE_QUERY_STATUS);
  if (handle == nullptr) {
    return false;
  }
  Service* service = FindService(handle->serviceName);
  if (service == nullptr) {
    return Fail(win::ERROR_SERVICE_MARKED_FOR_DELETE);
  }
  aStatus = Look(*service);
  return true;
}

bool ScriptedServiceBackend::SendRequest(ScHandle aService, Request aRequest, std::uint32_t aAccess,
                                         const char* aCall, const std::string& aRecord) {
  if (!Enter(aCall, aRecord)) {
    return false;
  }
  const Handle* handle = CheckHandle(aService, false, aAccess);
  if (handle == nullptr) {
    return false;
  }
  Service* service = FindService(handle->serviceName);
  if (service == nullptr) {
    return Fail(win::ERROR_SERVICE_MARKED_FOR_DELETE);
  }
  if (const auto refusal = service->Refusals.find(aRequest); refusal != service->Refusals.end()) {
    return Fail(refusal->second);
  }
  const RequestRule rule = RuleOf(aRequest);
  const std::uint32_t state = service->Status.dwCurrentState;
  if (aRequest == Request::Start) {
    if (state != win::SERVICE_STOPPED) {
      return Fail(win::ERROR_SERVICE_ALREADY_RUNNING);
    }
    if (service->Config.dwStartType == win::SERVICE_DISABLED) {
      return Fail(win::ERROR_SERVICE_DISABLED);
    }
  } else {
    if (state == win::SERVICE_STOPPED) {
      return Fail(win::ERROR_SERVICE_NOT_ACTIVE);
    }
    if (IsPending(state)) {
      return Fail(win::ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
    }
    if ((service->Status.dwControlsAccepted & rule.acceptBit) == 0) {
      return Fail(win::ERROR_INVALID_SERVICE_CONTROL);
    }
  }
  service->Upcoming.clear();
  const auto transition = service->Transitions.find(aRequest);
  if (transition == service->Transitions.end() || transition->second.empty()) {
    const bool active = rule.target == win::SERVICE_RUNNING || rule.target == win::SERVICE_PAUSED;
    service->Status = MakeStatus(rule.target, active ? service->RunningAccepts : 0);
    return true;
  }
  const std::vector<SERVICE_STATUS>& steps = transition->second;
  service->Status = steps.front();
  service->Upcoming.assign(steps.begin() + 1, steps.end());
  return true;
}

bool ScriptedServiceBackend::ControlService(ScHandle aService, std::uint32_t aControl) {
  const std::string name = NameOf(aService);
  const std::string record = "ControlService(" + name + ", " + std::to_string(aControl) + ")";
  switch (aControl) {
  case win::SERVICE_CONTROL_STOP:
    return SendRequest(aService, Request::Stop, win::SERVICE_STOP, "ControlService", record);
  case win::SERVICE_CONTROL_PAUSE:
    return SendRequest(aService, Request::Pause, win::SERVICE_PAUSE_CONTINUE, "ControlService",
                       record);
  case win::SERVICE_CONTROL_CONTINUE:
    return SendRequest(aService, Request::Continue, win::SERVICE_PAUSE_CONTINUE, "ControlService",
                       record);
  default:
    fCalls.push_back(record);
    return Fail(win::ERROR_INVALID_SERVICE_CONTROL);
  }
}

bool ScriptedServiceBackend::StartService(ScHandle aService) {
  const std::string name = NameOf(aService);
  return SendRequest(aService, Request::Start, win::SERVICE_START, "StartServiceW",
                     "StartServiceW(" + name + ")");
}

bool ScriptedServiceBackend::EnumDependentServices(ScHandle aService, std::uint32_t aServiceState,
                                                   std::size_t aCapacity,
                                                   std::vector<EnumServiceStatus>& aRecords,
                                                   std::size_t& aNeeded) {
  const std::string name = NameOf(aService);
  if (!Enter("EnumDependentServicesW", "EnumDependentServicesW(" + name + ", " +
                                           std::to_string(aServiceState) + ", " +
                                           std::to_string(aCapacity) + ")")) {
    return false;
  }
  const Handle* handle = CheckHandle(aService, false, win::SERVICE_ENUMERATE_DEPENDENTS);
  if (handle == nullptr) {
    return false;
  }
  const Service* service = FindService(handle->serviceName);
  if (service == nullptr) {
    return Fail(win::ERROR_SERVICE_MARKED_FOR_DELETE);
  }
  aNeeded = service->Dependents.size();
  if (aCapacity < service->Dependents.size()) {
    return Fail(win::ERROR_MORE_DATA);
  }
  for (const std::string& dependentName : service->Dependents) {
    const Service* dependent = FindService(dependentName);
    aRecords.push_back(
        {dependentName, dependent != nullptr ? dependent->DisplayName : dependentName,
         dependent != nullptr ? dependent->Status : MakeStatus(win::SERVICE_RUNNING)});
  }
  return true;
}

bool ScriptedServiceBackend::QueryServiceConfig(ScHandle aService, ServiceConfig& aConfig,
                                                std::size_t aBufSize, std::size_t& aBytesNeeded) {
  const std::string name = NameOf(aService);
  if (!Enter("QueryServiceConfigW",
             "QueryServiceConfigW(" + name + ", " + std::to_string(aBufSize) + ")")) {
    return false;
  }
  const Handle* handle = CheckHandle(aService, false, win::SERVICE_QUERY_CONFIG);
  if (handle == nullptr) {
    return false;
  }
  const Service* service = FindService(handle->serviceName);
  if (service == nullptr) {
    return Fail(win::ERROR_SERVICE_MARKED_FOR_DELETE);
  }
  aBytesNeeded = ServiceConfigSize(service->Config);
  if (aBufSize < aBytesNeeded && !(aBufSize == 0 && service->ConfigProbeSucceeds)) {
    return Fail(win::ERROR_INSUFFICIENT_BUFFER);
  }
  aConfig = service->Config;
  return true;
}

bool ScriptedServiceBackend::ChangeServiceConfig(ScHandle aService, std::uint32_t aServiceType,
                                                 std::uint32_t aStartType,
                                                 std::uint32_t aErrorControl) {
  const std::string name = NameOf(aService);
  if (!Enter("ChangeServiceConfigW", "ChangeServiceConfigW(" + name + ", " + Hex(aServiceType) +
                                         ", " + Hex(aStartType) + ", " + Hex(aErrorControl) +
                                         ")")) {
    return false;
  }
  const Handle* handle = CheckHandle(aService, false, win::SERVICE_CHANGE_CONFIG);
  if (handle == nullptr) {
    return false;
  }
  Service* service = FindService(handle->serviceName);
  if (service == nullptr) {
    return Fail(win::ERROR_SERVICE_MARKED_FOR_DELETE);
  }
  if (aServiceType != win::SERVICE_NO_CHANGE) {
    service->Config.dwServiceType = aServiceType;
  }
  if (aStartType != win::SERVICE_NO_CHANGE) {
    service->Config.dwStartType = aStartType;
  }
  return true;
}

} // namespace orvo
