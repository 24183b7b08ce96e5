#pragma once
// The service backend of Linux: systemd's manager on the system bus, reached
// through sd-bus (DBUS_SYSTEM_BUS_ADDRESS names another bus, which is how
// tests point it at a mock).
//
// How systemd's units stand in for Windows services:
// - Services are the units of type service; a service's key name is the
//   unit name without ".service", its display name the unit's Description.
//   The list holds the loaded service units and the installed unit files
//   that are not loaded (templates and aliases left out); units that are not
//   loaded show as stopped, with their name as display name.
// - States: active (also reloading) -> running, inactive and failed ->
//   stopped, activating -> start pending, deactivating -> stop pending; an
//   active unit whose cgroup is frozen -> paused (freezing -> pause pending,
//   thawing -> continue pending).
// - A running or paused unit accepts stop when it can be stopped, and pause
//   and continue (freeze and thaw) when it can be frozen.
// - Checkpoint and wait hint: while systemd holds a job for the unit, every
//   status query advances the checkpoint and announces a wait hint of one
//   second; systemd ends a job by its own time limits, so waiting on it
//   cannot last for ever. A pending state without a job has neither.
// - Start types: enabled -> automatic, masked -> disabled, anything else
//   (disabled, static, indirect, ...) -> manual. A change enables, disables
//   or masks the unit file and reloads the manager, as systemctl does.
// - Dependents are the units that are stopped with the service (RequiredBy,
//   BoundBy, ConsistsOf); units that are not services keep their full name,
//   so the manager's list does not find them.
// - Failures carry Windows error codes (ServiceBackend.h), e.g. access
//   denied for a refused authorisation, ERROR_SERVICE_ALREADY_RUNNING for a
//   start of an active unit, RPC_S_SERVER_UNAVAILABLE when the bus cannot be
//   reached.
// - The service database lock has no systemd counterpart: it is kept by this
//   backend, for this process only.

#include "system/ServiceBackend.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>

struct sd_bus;

namespace orvo {

class SystemdServiceBackend final : public ServiceBackend {
public:
  SystemdServiceBackend();
  ~SystemdServiceBackend() override;
  SystemdServiceBackend(const SystemdServiceBackend&) = delete;
  SystemdServiceBackend& operator=(const SystemdServiceBackend&) = delete;

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
  struct Connection; // an open bus; shared by a manager and its services
  struct Manager;
  struct Service;
  struct UnitState;

  bool Fail(std::uint32_t aErrorCode);
  Manager* FindManager(ScHandle aHandle);
  // The open service handle with all of aAccess, or null (last error set).
  Service* CheckService(ScHandle aHandle, std::uint32_t aAccess);
  bool ReadUnitState(sd_bus* aBus, const std::string& aPath, UnitState& aState);
  // The accepted controls and the freezer state of a unit whose active
  // state is known.
  bool ReadControls(sd_bus* aBus, const std::string& aPath, UnitState& aState);
  bool ReadStatus(Service& aService, SERVICE_STATUS& aStatus);
  bool ManagerCall(sd_bus* aBus, const char* aMember, const std::string& aUnit, const char* aMode);

  std::map<ScHandle, std::unique_ptr<Manager>> fManagers;
  std::map<ScHandle, std::unique_ptr<Service>> fServices;
  // Checkpoints of the units that have a job, by unit name.
  std::map<std::string, std::uint32_t> fCheckPoints;
  ScHandle fNextHandle = 1;
  ScLock fLock = 0;
  ScLock fNextLock = 1;
  std::uint32_t fLastError = 0;
};

} // namespace orvo
