#pragma once
// The service-control operations that TServiceManager and TServiceInfo need,
// as one interface with the shape of the Windows service control manager's
// calls, so that all the logic above stays the same on every platform.
//
// Note to maintainers: the calls keep Windows' conventions on purpose. Each
// reports failure by a false or zero result and leaves a Windows error code
// for GetLastError(); handles are plain numbers, 0 meaning none; the records
// carry the Windows numbers (states, control bits, start types). A backend
// never throws. Two differences from the Windows calls: the enumerations
// count their buffers in records rather than bytes, and the resume handle and
// the status that a control request returns are left out, since the logic
// never uses them.
//
// Backends: SystemdServiceBackend (the product's, over systemd's D-Bus API)
// and ScriptedServiceBackend (in-memory, for tests).

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace orvo {

// Handle of an open service control manager or service; 0 is no handle.
using ScHandle = std::uintptr_t;
// Lock of a service database; 0 is no lock.
using ScLock = std::uintptr_t;

namespace win {

// Platform of the operating system (OSVERSIONINFOW.dwPlatformId).
inline constexpr std::uint32_t VER_PLATFORM_WIN32_NT = 2;

// Service types.
inline constexpr std::uint32_t SERVICE_KERNEL_DRIVER = 0x01;
inline constexpr std::uint32_t SERVICE_WIN32_OWN_PROCESS = 0x10;
inline constexpr std::uint32_t SERVICE_WIN32_SHARE_PROCESS = 0x20;
inline constexpr std::uint32_t SERVICE_WIN32 = 0x30;
inline constexpr std::uint32_t SERVICE_INTERACTIVE_PROCESS = 0x100;

// States (dwCurrentState) and the state filter of the enumerations.
inline constexpr std::uint32_t SERVICE_STOPPED = 1;
inline constexpr std::uint32_t SERVICE_START_PENDING = 2;
inline constexpr std::uint32_t SERVICE_STOP_PENDING = 3;
inline constexpr std::uint32_t SERVICE_RUNNING = 4;
inline constexpr std::uint32_t SERVICE_CONTINUE_PENDING = 5;
inline constexpr std::uint32_t SERVICE_PAUSE_PENDING = 6;
inline constexpr std::uint32_t SERVICE_PAUSED = 7;
inline constexpr std::uint32_t SERVICE_STATE_ALL = 3;

// Controls a service accepts (dwControlsAccepted).
inline constexpr std::uint32_t SERVICE_ACCEPT_STOP = 1;
inline constexpr std::uint32_t SERVICE_ACCEPT_PAUSE_CONTINUE = 2;
inline constexpr std::uint32_t SERVICE_ACCEPT_SHUTDOWN = 4;

// Control codes of ControlService.
inline constexpr std::uint32_t SERVICE_CONTROL_STOP = 1;
inline constexpr std::uint32_t SERVICE_CONTROL_PAUSE = 2;
inline constexpr std::uint32_t SERVICE_CONTROL_CONTINUE = 3;

// Start types (dwStartType) and "no change" of ChangeServiceConfig.
inline constexpr std::uint32_t SERVICE_BOOT_START = 0;
inline constexpr std::uint32_t SERVICE_SYSTEM_START = 1;
inline constexpr std::uint32_t SERVICE_AUTO_START = 2;
inline constexpr std::uint32_t SERVICE_DEMAND_START = 3;
inline constexpr std::uint32_t SERVICE_DISABLED = 4;
inline constexpr std::uint32_t SERVICE_NO_CHANGE = 0xFFFFFFFF;

// Access rights to the service control manager.
inline constexpr std::uint32_t SC_MANAGER_CONNECT = 0x1;
inline constexpr std::uint32_t SC_MANAGER_ENUMERATE_SERVICE = 0x4;
inline constexpr std::uint32_t SC_MANAGER_LOCK = 0x8;

// Access rights to a service.
inline constexpr std::uint32_t SERVICE_QUERY_CONFIG = 0x1;
inline constexpr std::uint32_t SERVICE_CHANGE_CONFIG = 0x2;
inline constexpr std::uint32_t SERVICE_QUERY_STATUS = 0x4;
inline constexpr std::uint32_t SERVICE_ENUMERATE_DEPENDENTS = 0x8;
inline constexpr std::uint32_t SERVICE_START = 0x10;
inline constexpr std::uint32_t SERVICE_STOP = 0x20;
inline constexpr std::uint32_t SERVICE_PAUSE_CONTINUE = 0x40;

// Error codes (GetLastError); ServiceErrors.h has their texts.
inline constexpr std::uint32_t ERROR_SUCCESS = 0;
inline constexpr std::uint32_t ERROR_FILE_NOT_FOUND = 2;
inline constexpr std::uint32_t ERROR_ACCESS_DENIED = 5;
inline constexpr std::uint32_t ERROR_INVALID_HANDLE = 6;
inline constexpr std::uint32_t ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr std::uint32_t ERROR_NOT_SUPPORTED = 50;
inline constexpr std::uint32_t ERROR_INVALID_PARAMETER = 87;
inline constexpr std::uint32_t ERROR_INSUFFICIENT_BUFFER = 122;
inline constexpr std::uint32_t ERROR_INVALID_NAME = 123;
inline constexpr std::uint32_t ERROR_MORE_DATA = 234;
inline constexpr std::uint32_t ERROR_DEPENDENT_SERVICES_RUNNING = 1051;
inline constexpr std::uint32_t ERROR_INVALID_SERVICE_CONTROL = 1052;
inline constexpr std::uint32_t ERROR_SERVICE_REQUEST_TIMEOUT = 1053;
inline constexpr std::uint32_t ERROR_SERVICE_NO_THREAD = 1054;
inline constexpr std::uint32_t ERROR_SERVICE_DATABASE_LOCKED = 1055;
inline constexpr std::uint32_t ERROR_SERVICE_ALREADY_RUNNING = 1056;
inline constexpr std::uint32_t ERROR_SERVICE_DISABLED = 1058;
inline constexpr std::uint32_t ERROR_SERVICE_DOES_NOT_EXIST = 1060;
inline constexpr std::uint32_t ERROR_SERVICE_CANNOT_ACCEPT_CTRL = 1061;
inline constexpr std::uint32_t ERROR_SERVICE_NOT_ACTIVE = 1062;
inline constexpr std::uint32_t ERROR_EXCEPTION_IN_SERVICE = 1064;
inline constexpr std::uint32_t ERROR_SERVICE_SPECIFIC_ERROR = 1066;
inline constexpr std::uint32_t ERROR_PROCESS_ABORTED = 1067;
inline constexpr std::uint32_t ERROR_SERVICE_DEPENDENCY_FAIL = 1068;
inline constexpr std::uint32_t ERROR_SERVICE_LOGON_FAILED = 1069;
inline constexpr std::uint32_t ERROR_SERVICE_START_HANG = 1070;
inline constexpr std::uint32_t ERROR_INVALID_SERVICE_LOCK = 1071;
inline constexpr std::uint32_t ERROR_SERVICE_MARKED_FOR_DELETE = 1072;
inline constexpr std::uint32_t ERROR_SERVICE_EXISTS = 1073;
inline constexpr std::uint32_t ERROR_SHUTDOWN_IN_PROGRESS = 1115;
inline constexpr std::uint32_t ERROR_INVALID_COMPUTERNAME = 1210;
inline constexpr std::uint32_t ERROR_INTERNAL_ERROR = 1359;
inline constexpr std::uint32_t RPC_S_SERVER_UNAVAILABLE = 1722;

} // namespace win

// The Windows status record: seven 32-bit fields in the Windows order.
struct SERVICE_STATUS {
  std::uint32_t dwServiceType = 0;
  std::uint32_t dwCurrentState = 0;
  std::uint32_t dwControlsAccepted = 0;
  std::uint32_t dwWin32ExitCode = 0;
  std::uint32_t dwServiceSpecificExitCode = 0;
  std::uint32_t dwCheckPoint = 0;
  std::uint32_t dwWaitHint = 0;

  bool operator==(const SERVICE_STATUS&) const = default;
};

// ENUM_SERVICE_STATUSW: one record of an enumeration. Names are UTF-8.
struct EnumServiceStatus {
  std::string lpServiceName;
  std::string lpDisplayName;
  SERVICE_STATUS ServiceStatus;
};

// The part of QUERY_SERVICE_CONFIGW that the logic reads.
struct ServiceConfig {
  std::uint32_t dwServiceType = 0;
  std::uint32_t dwStartType = 0;
  std::string lpBinaryPathName;
  std::string lpServiceStartName;
};

// Bytes a QUERY_SERVICE_CONFIGW with these strings takes: the fixed part
// and the strings as UTF-16 with their terminators. Both backends report
// this as the size needed, so that the probing call behaves as on Windows.
std::size_t ServiceConfigSize(const ServiceConfig& aConfig);

class ServiceBackend {
public:
  virtual ~ServiceBackend() = default;

  // The Windows error code of the last failed call; 0 when the failure has
  // no code.
  virtual std::uint32_t GetLastError() const = 0;

  // GetVersionExW: fills the platform id; false on failure.
  virtual bool GetVersionEx(std::uint32_t& aPlatformId) = 0;

  // OpenSCManagerW with no database name; aMachineName empty is the local
  // machine. Returns 0 on failure.
  virtual ScHandle OpenSCManager(const std::string& aMachineName, std::uint32_t aAccess) = 0;
  // Closes a manager or a service handle.
  virtual bool CloseServiceHandle(ScHandle aHandle) = 0;

  // EnumServicesStatusW. aCapacity is the number of records the caller takes.
  // When all records fit, they are appended to aRecords and the call
  // succeeds (with aCapacity 0 that means there are none); otherwise it
  // fails with ERROR_MORE_DATA and aNeeded holds the number of records.
  virtual bool EnumServicesStatus(ScHandle aManager, std::uint32_t aServiceType,
                                  std::uint32_t aServiceState, std::size_t aCapacity,
                                  std::vector<EnumServiceStatus>& aRecords,
                                  std::size_t& aNeeded) = 0;

  // LockServiceDatabase (0 on failure) and UnlockServiceDatabase.
  virtual ScLock LockServiceDatabase(ScHandle aManager) = 0;
  virtual bool UnlockServiceDatabase(ScLock aLock) = 0;

  // OpenServiceW by key name; 0 on failure (ERROR_SERVICE_DOES_NOT_EXIST when
  // there is no such service).
  virtual ScHandle OpenService(ScHandle aManager, const std::string& aServiceName,
                               std::uint32_t aAccess) = 0;
  virtual bool QueryServiceStatus(ScHandle aService, SERVICE_STATUS& aStatus) = 0;
  // SERVICE_CONTROL_STOP, _PAUSE or _CONTINUE.
  virtual bool ControlService(ScHandle aService, std::uint32_t aControl) = 0;
  // StartServiceW with no arguments.
  virtual bool StartService(ScHandle aService) = 0;

  // EnumDependentServicesW; buffers as with EnumServicesStatus.
  virtual bool EnumDependentServices(ScHandle aService, std::uint32_t aServiceState,
                                     std::size_t aCapacity,
                                     std::vector<EnumServiceStatus>& aRecords,
                                     std::size_t& aNeeded) = 0;

  // QueryServiceConfigW. aBufSize is in bytes (see ServiceConfigSize); when
  // it is too small the call fails with ERROR_INSUFFICIENT_BUFFER and
  // aBytesNeeded holds the size needed.
  virtual bool QueryServiceConfig(ScHandle aService, ServiceConfig& aConfig, std::size_t aBufSize,
                                  std::size_t& aBytesNeeded) = 0;
  // ChangeServiceConfigW; SERVICE_NO_CHANGE leaves a value as it is, and the
  // arguments that the logic always passes as null are left out.
  virtual bool ChangeServiceConfig(ScHandle aService, std::uint32_t aServiceType,
                                   std::uint32_t aStartType, std::uint32_t aErrorControl) = 0;
};

// The backend of this platform (systemd on Linux); lives for the whole run.
ServiceBackend& SystemServiceBackend();

} // namespace orvo
