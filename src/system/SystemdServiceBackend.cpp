#include "system/SystemdServiceBackend.h"

#include <systemd/sd-bus.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <set>
#include <string_view>
#include <utility>
#include <vector>

namespace orvo {

namespace {

constexpr const char* kDestination = "org.freedesktop.systemd1";
constexpr const char* kManagerPath = "/org/freedesktop/systemd1";
constexpr const char* kManagerInterface = "org.freedesktop.systemd1.Manager";
constexpr const char* kUnitInterface = "org.freedesktop.systemd1.Unit";
constexpr const char* kServiceInterface = "org.freedesktop.systemd1.Service";
constexpr std::string_view kServiceSuffix = ".service";
// Wait hint announced while systemd holds a job for a unit.
constexpr std::uint32_t kJobWaitHint = 1000;

struct BusUnref {
  void operator()(sd_bus* aBus) const { sd_bus_flush_close_unref(aBus); }
};
struct MessageUnref {
  void operator()(sd_bus_message* aMessage) const { sd_bus_message_unref(aMessage); }
};
using MessagePtr = std::unique_ptr<sd_bus_message, MessageUnref>;
struct MallocFree {
  void operator()(void* aPointer) const { std::free(aPointer); }
};
using CharPtr = std::unique_ptr<char, MallocFree>;

class BusError {
public:
  BusError() = default;
  ~BusError() { sd_bus_error_free(&fError); }
  BusError(const BusError&) = delete;
  BusError& operator=(const BusError&) = delete;
  sd_bus_error* get() { return &fError; }

private:
  sd_bus_error fError{};
};

// Takes over a strv that sd-bus allocated (null is an empty list).
std::vector<std::string> TakeStrv(char** aList) {
  std::vector<std::string> result;
  for (char** item = aList; item != nullptr && *item != nullptr; ++item) {
    result.emplace_back(*item);
    std::free(*item);
  }
  std::free(aList);
  return result;
}

bool HasName(sd_bus_error* aError, std::initializer_list<const char*> aNames) {
  return std::any_of(aNames.begin(), aNames.end(),
                     [aError](const char* name) { return sd_bus_error_has_name(aError, name); });
}

// The Windows error code that stands for a failed bus call.
std::uint32_t ErrorCodeOf(sd_bus_error* aError, int aResult) {
  if (sd_bus_error_is_set(aError)) {
    if (HasName(aError, {"org.freedesktop.DBus.Error.AccessDenied",
                         "org.freedesktop.DBus.Error.InteractiveAuthorizationRequired",
                         "org.freedesktop.DBus.Error.AuthFailed"})) {
      return win::ERROR_ACCESS_DENIED;
    }
    if (HasName(aError,
                {"org.freedesktop.systemd1.NoSuchUnit", "org.freedesktop.systemd1.LoadFailed"})) {
      return win::ERROR_SERVICE_DOES_NOT_EXIST;
    }
    if (HasName(aError, {"org.freedesktop.systemd1.UnitMasked"})) {
      return win::ERROR_SERVICE_DISABLED;
    }
    if (HasName(aError, {"org.freedesktop.systemd1.UnitInactive"})) {
      return win::ERROR_SERVICE_NOT_ACTIVE;
    }
    if (HasName(aError, {"org.freedesktop.systemd1.OnlyByDependency",
                         "org.freedesktop.systemd1.TransactionIsDestructive",
                         "org.freedesktop.systemd1.TransactionJobsConflicting",
                         "org.freedesktop.systemd1.TransactionOrderIsCyclic",
                         "org.freedesktop.systemd1.UnitGenerated"})) {
      return win::ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
    }
    if (HasName(aError, {"org.freedesktop.systemd1.ShutdownInProgress"})) {
      return win::ERROR_SHUTDOWN_IN_PROGRESS;
    }
    if (HasName(aError, {"org.freedesktop.DBus.Error.NoReply", "org.freedesktop.DBus.Error.Timeout",
                         "org.freedesktop.DBus.Error.TimedOut"})) {
      return win::ERROR_SERVICE_REQUEST_TIMEOUT;
    }
    if (HasName(aError,
                {"org.freedesktop.DBus.Error.ServiceUnknown",
                 "org.freedesktop.DBus.Error.NameHasNoOwner", "org.freedesktop.DBus.Error.NoServer",
                 "org.freedesktop.DBus.Error.Disconnected"})) {
      return win::RPC_S_SERVER_UNAVAILABLE;
    }
    if (HasName(aError, {"org.freedesktop.DBus.Error.UnknownMethod",
                         "org.freedesktop.DBus.Error.UnknownInterface",
                         "org.freedesktop.DBus.Error.UnknownProperty",
                         "org.freedesktop.DBus.Error.NotSupported"})) {
      return win::ERROR_NOT_SUPPORTED;
    }
    if (HasName(aError, {"org.freedesktop.DBus.Error.InvalidArgs"})) {
      return win::ERROR_INVALID_PARAMETER;
    }
    if (HasName(aError, {"org.freedesktop.DBus.Error.NoMemory"})) {
      return win::ERROR_NOT_ENOUGH_MEMORY;
    }
  }
  switch (-aResult) {
  case EACCES:
  case EPERM:
    return win::ERROR_ACCESS_DENIED;
  case ETIMEDOUT:
    return win::ERROR_SERVICE_REQUEST_TIMEOUT;
  case ENOMEM:
    return win::ERROR_NOT_ENOUGH_MEMORY;
  case ENOENT:
  case ECONNREFUSED:
  case ECONNRESET:
  case ENOTCONN:
  case EHOSTUNREACH:
  case ENXIO:
    return win::RPC_S_SERVER_UNAVAILABLE;
  case EINVAL:
    return win::ERROR_INVALID_PARAMETER;
  case EOPNOTSUPP:
    return win::ERROR_NOT_SUPPORTED;
  default:
    return win::ERROR_INTERNAL_ERROR;
  }
}

bool EndsWith(std::string_view aText, std::string_view aSuffix) {
  return aText.size() >= aSuffix.size() && aText.substr(aText.size() - aSuffix.size()) == aSuffix;
}

// A service unit, not a template ("name@.service").
bool IsServiceUnit(std::string_view aUnit) {
  return EndsWith(aUnit, kServiceSuffix) && aUnit.size() > kServiceSuffix.size() &&
         !EndsWith(aUnit, "@" + std::string(kServiceSuffix));
}

// What the records name a unit by: a service by its name without the suffix,
// any other unit by its full name.
std::string KeyNameOf(const std::string& aUnit) {
  if (EndsWith(aUnit, kServiceSuffix)) {
    return aUnit.substr(0, aUnit.size() - kServiceSuffix.size());
  }
  return aUnit;
}

std::string BaseName(const std::string& aPath) {
  const auto slash = aPath.rfind('/');
  return slash == std::string::npos ? aPath : aPath.substr(slash + 1);
}

// A command line as Windows registers one: arguments with blanks in quotes.
std::string JoinCommandLine(const std::vector<std::string>& aArgv) {
  std::string line;
  for (const std::string& argument : aArgv) {
    if (!line.empty()) {
      line += ' ';
    }
    if (argument.find_first_of(" \t") != std::string::npos) {
      line += '"' + argument + '"';
    } else {
      line += argument;
    }
  }
  return line;
}

std::uint32_t StartTypeOf(std::string_view aUnitFileState) {
  if (aUnitFileState == "enabled" || aUnitFileState == "enabled-runtime") {
    return win::SERVICE_AUTO_START;
  }
  if (aUnitFileState == "masked" || aUnitFileState == "masked-runtime") {
    return win::SERVICE_DISABLED;
  }
  return win::SERVICE_DEMAND_START;
}

bool IsActive(std::string_view aActiveState) {
  return aActiveState == "active" || aActiveState == "reloading" || aActiveState == "refreshing";
}

bool IsStopped(std::string_view aActiveState) {
  return aActiveState == "inactive" || aActiveState == "failed" || aActiveState == "maintenance";
}

// One service unit of the list, before its status is read.
struct ListedUnit {
  std::string unit;
  std::string description;
  std::string activeState;
  std::string path; // empty when the unit is not loaded
  std::uint32_t jobId = 0;
};

} // namespace

struct SystemdServiceBackend::Connection {
  std::unique_ptr<sd_bus, BusUnref> bus;
};

struct SystemdServiceBackend::Manager {
  std::shared_ptr<Connection> connection;
  std::uint32_t access = 0;
};

struct SystemdServiceBackend::Service {
  std::shared_ptr<Connection> connection;
  std::string unit;
  std::string path;
  std::uint32_t access = 0;
};

// What the status of a unit is made of.
struct SystemdServiceBackend::UnitState {
  std::string activeState;
  std::string freezerState = "running";
  bool canStop = false;
  bool canFreeze = false;
  std::uint32_t jobId = 0;
};

namespace {

// Calls a method of systemd's manager object; the reply is optional.
int CallManager(sd_bus* aBus, sd_bus_error* aError, MessagePtr* aReply, const char* aMember,
                const char* aTypes, ...) {
  va_list args;
  va_start(args, aTypes);
  sd_bus_message* reply = nullptr;
  const int r = sd_bus_call_methodv(aBus, kDestination, kManagerPath, kManagerInterface, aMember,
                                    aError, &reply, aTypes, args);
  va_end(args);
  MessagePtr owned(reply);
  if (aReply != nullptr) {
    *aReply = std::move(owned);
  }
  return r;
}

int GetString(sd_bus* aBus, const std::string& aPath, const char* aInterface, const char* aName,
              sd_bus_error* aError, std::string& aValue) {
  char* raw = nullptr;
  const int r = sd_bus_get_property_string(aBus, kDestination, aPath.c_str(), aInterface, aName,
                                           aError, &raw);
  const CharPtr owned(raw);
  if (r >= 0) {
    aValue = raw != nullptr ? raw : "";
  }
  return r;
}

int GetBool(sd_bus* aBus, const std::string& aPath, const char* aName, sd_bus_error* aError,
            bool& aValue) {
  int value = 0;
  const int r = sd_bus_get_property_trivial(aBus, kDestination, aPath.c_str(), kUnitInterface,
                                            aName, aError, 'b', &value);
  if (r >= 0) {
    aValue = value != 0;
  }
  return r;
}

int GetStrv(sd_bus* aBus, const std::string& aPath, const char* aName, sd_bus_error* aError,
            std::vector<std::string>& aValue) {
  char** raw = nullptr;
  const int r = sd_bus_get_property_strv(aBus, kDestination, aPath.c_str(), kUnitInterface, aName,
                                         aError, &raw);
  aValue = TakeStrv(raw);
  return r;
}

int GetJobId(sd_bus* aBus, const std::string& aPath, sd_bus_error* aError, std::uint32_t& aJobId) {
  sd_bus_message* raw = nullptr;
  int r = sd_bus_get_property(aBus, kDestination, aPath.c_str(), kUnitInterface, "Job", aError,
                              &raw, "(uo)");
  const MessagePtr reply(raw);
  if (r < 0) {
    return r;
  }
  const char* jobPath = nullptr;
  r = sd_bus_message_read(reply.get(), "(uo)", &aJobId, &jobPath);
  return r;
}

// The first command of the service's ExecStart, a(sasbttttuii).
int GetExecStart(sd_bus* aBus, const std::string& aPath, sd_bus_error* aError,
                 std::string& aCommandLine) {
  sd_bus_message* raw = nullptr;
  int r = sd_bus_get_property(aBus, kDestination, aPath.c_str(), kServiceInterface, "ExecStart",
                              aError, &raw, "a(sasbttttuii)");
  const MessagePtr reply(raw);
  if (r < 0) {
    return r;
  }
  aCommandLine.clear();
  if ((r = sd_bus_message_enter_container(reply.get(), 'a', "(sasbttttuii)")) < 0) {
    return r;
  }
  r = sd_bus_message_enter_container(reply.get(), 'r', "sasbttttuii");
  if (r <= 0) {
    return r; // no command
  }
  const char* path = nullptr;
  if ((r = sd_bus_message_read(reply.get(), "s", &path)) < 0) {
    return r;
  }
  char** argv = nullptr;
  r = sd_bus_message_read_strv(reply.get(), &argv);
  std::vector<std::string> arguments = TakeStrv(argv);
  if (r < 0) {
    return r;
  }
  // argv[0] is the name the program sees; the path is what runs.
  if (!arguments.empty()) {
    arguments.front() = path != nullptr ? path : "";
  } else if (path != nullptr) {
    arguments.emplace_back(path);
  }
  aCommandLine = JoinCommandLine(arguments);
  return 0;
}

// The object path of a loaded unit; fails with NoSuchUnit when it is not.
int GetUnitPath(sd_bus* aBus, const char* aMember, const std::string& aUnit, sd_bus_error* aError,
                std::string& aPath) {
  MessagePtr reply;
  int r = CallManager(aBus, aError, &reply, aMember, "s", aUnit.c_str());
  if (r < 0) {
    return r;
  }
  const char* path = nullptr;
  if ((r = sd_bus_message_read(reply.get(), "o", &path)) < 0) {
    return r;
  }
  aPath = path;
  return 0;
}

// The loaded service units and the installed service unit files that are
// not loaded, by unit name.
int ListServiceUnits(sd_bus* aBus, sd_bus_error* aError, std::vector<ListedUnit>& aUnits) {
  MessagePtr reply;
  int r = CallManager(aBus, aError, &reply, "ListUnits", "");
  if (r < 0) {
    return r;
  }
  std::set<std::string> seen;
  if ((r = sd_bus_message_enter_container(reply.get(), 'a', "(ssssssouso)")) < 0) {
    return r;
  }
  for (;;) {
    const char *name = nullptr, *description = nullptr, *loadState = nullptr,
               *activeState = nullptr, *subState = nullptr, *following = nullptr, *path = nullptr,
               *jobType = nullptr, *jobPath = nullptr;
    std::uint32_t jobId = 0;
    r = sd_bus_message_read(reply.get(), "(ssssssouso)", &name, &description, &loadState,
                            &activeState, &subState, &following, &path, &jobId, &jobType, &jobPath);
    if (r < 0) {
      return r;
    }
    if (r == 0) {
      break;
    }
    // Units that something refers to but that do not exist are not installed.
    if (!IsServiceUnit(name) || std::string_view(loadState) == "not-found") {
      continue;
    }
    seen.insert(name);
    aUnits.push_back({name, description, activeState, path, jobId});
  }

  MessagePtr files;
  r = CallManager(aBus, aError, &files, "ListUnitFilesByPatterns", "asas", 0, 1, "*.service");
  if (r < 0) {
    return r;
  }
  if ((r = sd_bus_message_enter_container(files.get(), 'a', "(ss)")) < 0) {
    return r;
  }
  for (;;) {
    const char *filePath = nullptr, *fileState = nullptr;
    r = sd_bus_message_read(files.get(), "(ss)", &filePath, &fileState);
    if (r < 0) {
      return r;
    }
    if (r == 0) {
      break;
    }
    // An alias is another name of a unit listed under its own name.
    const std::string unit = BaseName(filePath);
    if (!IsServiceUnit(unit) || std::string_view(fileState) == "alias" || seen.count(unit) != 0) {
      continue;
    }
    seen.insert(unit);
    aUnits.push_back({unit, unit, "inactive", {}, 0});
  }
  std::sort(aUnits.begin(), aUnits.end(),
            [](const ListedUnit& a, const ListedUnit& b) { return a.unit < b.unit; });
  return 0;
}

} // namespace

SystemdServiceBackend::SystemdServiceBackend() = default;
SystemdServiceBackend::~SystemdServiceBackend() = default;

bool SystemdServiceBackend::Fail(std::uint32_t aErrorCode) {
  fLastError = aErrorCode;
  return false;
}

bool SystemdServiceBackend::GetVersionEx(std::uint32_t& aPlatformId) {
  // The platform family the logic asks for; systemd's manager is the
  // counterpart of the NT service control manager.
  aPlatformId = win::VER_PLATFORM_WIN32_NT;
  return true;
}

ScHandle SystemdServiceBackend::OpenSCManager(const std::string& aMachineName,
                                              std::uint32_t aAccess) {
  sd_bus* raw = nullptr;
  const int r = aMachineName.empty() ? sd_bus_open_system(&raw)
                                     : sd_bus_open_system_remote(&raw, aMachineName.c_str());
  auto connection = std::make_shared<Connection>();
  connection->bus.reset(raw);
  if (r < 0) {
    BusError error;
    Fail(ErrorCodeOf(error.get(), r));
    return 0;
  }
  // Like systemctl: a refused request may ask the user to authenticate.
  sd_bus_set_allow_interactive_authorization(raw, 1);
  const ScHandle handle = fNextHandle++;
  fManagers[handle] = std::make_unique<Manager>(Manager{std::move(connection), aAccess});
  return handle;
}

bool SystemdServiceBackend::CloseServiceHandle(ScHandle aHandle) {
  if (fManagers.erase(aHandle) != 0 || fServices.erase(aHandle) != 0) {
    return true;
  }
  return Fail(win::ERROR_INVALID_HANDLE);
}

SystemdServiceBackend::Manager* SystemdServiceBackend::FindManager(ScHandle aHandle) {
  const auto it = fManagers.find(aHandle);
  if (it == fManagers.end()) {
    Fail(win::ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return it->second.get();
}

SystemdServiceBackend::Service* SystemdServiceBackend::CheckService(ScHandle aHandle,
                                                                    std::uint32_t aAccess) {
  const auto it = fServices.find(aHandle);
  if (it == fServices.end()) {
    Fail(win::ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if ((it->second->access & aAccess) != aAccess) {
    Fail(win::ERROR_ACCESS_DENIED);
    return nullptr;
  }
  return it->second.get();
}

bool SystemdServiceBackend::ReadUnitState(sd_bus* aBus, const std::string& aPath,
                                          UnitState& aState) {
  BusError error;
  int r = GetString(aBus, aPath, kUnitInterface, "ActiveState", error.get(), aState.activeState);
  if (r >= 0) {
    r = GetJobId(aBus, aPath, error.get(), aState.jobId);
  }
  if (r < 0) {
    return Fail(ErrorCodeOf(error.get(), r));
  }
  return ReadControls(aBus, aPath, aState);
}

bool SystemdServiceBackend::ReadControls(sd_bus* aBus, const std::string& aPath,
                                         UnitState& aState) {
  // Accepted controls and freezing matter only for a unit that runs.
  if (!IsActive(aState.activeState)) {
    return true;
  }
  BusError error;
  const int r = GetBool(aBus, aPath, "CanStop", error.get(), aState.canStop);
  if (r < 0) {
    return Fail(ErrorCodeOf(error.get(), r));
  }
  // Freezing came with systemd 246; without it a unit cannot be paused.
  BusError freezerError;
  if (GetBool(aBus, aPath, "CanFreeze", freezerError.get(), aState.canFreeze) >= 0 &&
      aState.canFreeze) {
    GetString(aBus, aPath, kUnitInterface, "FreezerState", freezerError.get(), aState.freezerState);
  }
  return true;
}

namespace {

SERVICE_STATUS StatusOf(const std::string& aActiveState, const std::string& aFreezerState,
                        bool aCanStop, bool aCanFreeze) {
  SERVICE_STATUS status;
  status.dwServiceType = win::SERVICE_WIN32_OWN_PROCESS;
  if (IsActive(aActiveState)) {
    if (aFreezerState == "frozen") {
      status.dwCurrentState = win::SERVICE_PAUSED;
    } else if (aFreezerState == "freezing") {
      status.dwCurrentState = win::SERVICE_PAUSE_PENDING;
    } else if (aFreezerState == "thawing") {
      status.dwCurrentState = win::SERVICE_CONTINUE_PENDING;
    } else {
      status.dwCurrentState = win::SERVICE_RUNNING;
    }
    if (aCanStop) {
      status.dwControlsAccepted |= win::SERVICE_ACCEPT_STOP;
    }
    if (aCanFreeze) {
      status.dwControlsAccepted |= win::SERVICE_ACCEPT_PAUSE_CONTINUE;
    }
  } else if (IsStopped(aActiveState)) {
    status.dwCurrentState = win::SERVICE_STOPPED;
  } else if (aActiveState == "activating") {
    status.dwCurrentState = win::SERVICE_START_PENDING;
  } else if (aActiveState == "deactivating") {
    status.dwCurrentState = win::SERVICE_STOP_PENDING;
  }
  // Any other state stays 0, which the logic reports as an unknown state.
  return status;
}

} // namespace

bool SystemdServiceBackend::ReadStatus(Service& aService, SERVICE_STATUS& aStatus) {
  UnitState state;
  if (!ReadUnitState(aService.connection->bus.get(), aService.path, state)) {
    return false;
  }
  aStatus = StatusOf(state.activeState, state.freezerState, state.canStop, state.canFreeze);
  if (state.jobId != 0) {
    aStatus.dwCheckPoint = ++fCheckPoints[aService.unit];
    aStatus.dwWaitHint = kJobWaitHint;
  } else {
    fCheckPoints.erase(aService.unit);
  }
  return true;
}

bool SystemdServiceBackend::EnumServicesStatus(ScHandle aManager, std::uint32_t aServiceType,
                                               std::uint32_t /*aServiceState*/,
                                               std::size_t aCapacity,
                                               std::vector<EnumServiceStatus>& aRecords,
                                               std::size_t& aNeeded) {
  Manager* manager = FindManager(aManager);
  if (manager == nullptr) {
    return false;
  }
  if ((manager->access & win::SC_MANAGER_ENUMERATE_SERVICE) == 0) {
    return Fail(win::ERROR_ACCESS_DENIED);
  }
  // Every unit is a service of its own process; all states are listed.
  std::vector<ListedUnit> units;
  if ((aServiceType & win::SERVICE_WIN32_OWN_PROCESS) != 0) {
    BusError error;
    const int r = ListServiceUnits(manager->connection->bus.get(), error.get(), units);
    if (r < 0) {
      return Fail(ErrorCodeOf(error.get(), r));
    }
  }
  aNeeded = units.size();
  if (aCapacity < units.size()) {
    return Fail(win::ERROR_MORE_DATA);
  }
  std::vector<EnumServiceStatus> records;
  records.reserve(units.size());
  for (const ListedUnit& unit : units) {
    // The listing has the state already; only the controls are read.
    UnitState state;
    state.activeState = unit.activeState;
    if (!unit.path.empty() && !ReadControls(manager->connection->bus.get(), unit.path, state)) {
      return false;
    }
    SERVICE_STATUS status =
        StatusOf(state.activeState, state.freezerState, state.canStop, state.canFreeze);
    // A unit for which systemd holds a job is busy, as in a status query: a
    // stopped unit with a start job queued is not a unit that failed.
    if (unit.jobId != 0) {
      status.dwCheckPoint = 1;
      status.dwWaitHint = kJobWaitHint;
    }
    records.push_back({KeyNameOf(unit.unit), unit.description, status});
  }
  aRecords.insert(aRecords.end(), records.begin(), records.end());
  return true;
}

ScLock SystemdServiceBackend::LockServiceDatabase(ScHandle aManager) {
  const Manager* manager = FindManager(aManager);
  if (manager == nullptr) {
    return 0;
  }
  if ((manager->access & win::SC_MANAGER_LOCK) == 0) {
    Fail(win::ERROR_ACCESS_DENIED);
    return 0;
  }
  if (fLock != 0) {
    Fail(win::ERROR_SERVICE_DATABASE_LOCKED);
    return 0;
  }
  fLock = fNextLock++;
  return fLock;
}

bool SystemdServiceBackend::UnlockServiceDatabase(ScLock aLock) {
  if (aLock == 0 || aLock != fLock) {
    return Fail(win::ERROR_INVALID_SERVICE_LOCK);
  }
  fLock = 0;
  return true;
}

ScHandle SystemdServiceBackend::OpenService(ScHandle aManager, const std::string& aServiceName,
                                            std::uint32_t aAccess) {
  Manager* manager = FindManager(aManager);
  if (manager == nullptr) {
    return 0;
  }
  if (aServiceName.empty() || aServiceName.find('/') != std::string::npos) {
    Fail(win::ERROR_INVALID_NAME);
    return 0;
  }
  sd_bus* bus = manager->connection->bus.get();
  const std::string unit = aServiceName + std::string(kServiceSuffix);
  std::string path;
  BusError error;
  int r = GetUnitPath(bus, "GetUnit", unit, error.get(), path);
  if (r < 0) {
    // Not loaded: loading it tells whether it is installed.
    BusError loadError;
    r = GetUnitPath(bus, "LoadUnit", unit, loadError.get(), path);
    if (r < 0) {
      Fail(ErrorCodeOf(loadError.get(), r));
      return 0;
    }
  }
  std::string loadState;
  BusError stateError;
  r = GetString(bus, path, kUnitInterface, "LoadState", stateError.get(), loadState);
  if (r < 0) {
    Fail(ErrorCodeOf(stateError.get(), r));
    return 0;
  }
  if (loadState == "not-found") {
    Fail(win::ERROR_SERVICE_DOES_NOT_EXIST);
    return 0;
  }
  const ScHandle handle = fNextHandle++;
  fServices[handle] =
      std::make_unique<Service>(Service{manager->connection, unit, std::move(path), aAccess});
  return handle;
}

bool SystemdServiceBackend::QueryServiceStatus(ScHandle aService, SERVICE_STATUS& aStatus) {
  Service* service = CheckService(aService, win::SERVICE_QUERY_STATUS);
  return service != nullptr && ReadStatus(*service, aStatus);
}

bool SystemdServiceBackend::ManagerCall(sd_bus* aBus, const char* aMember, const std::string& aUnit,
                                        const char* aMode) {
  BusError error;
  const int r = aMode != nullptr
                    ? CallManager(aBus, error.get(), nullptr, aMember, "ss", aUnit.c_str(), aMode)
                    : CallManager(aBus, error.get(), nullptr, aMember, "s", aUnit.c_str());
  return r >= 0 || Fail(ErrorCodeOf(error.get(), r));
}

bool SystemdServiceBackend::StartService(ScHandle aService) {
  Service* service = CheckService(aService, win::SERVICE_START);
  if (service == nullptr) {
    return false;
  }
  sd_bus* bus = service->connection->bus.get();
  UnitState state;
  if (!ReadUnitState(bus, service->path, state)) {
    return false;
  }
  // systemd takes a start of an active unit as done; Windows refuses it.
  if (IsActive(state.activeState) || state.activeState == "activating") {
    return Fail(win::ERROR_SERVICE_ALREADY_RUNNING);
  }
  return ManagerCall(bus, "StartUnit", service->unit, "replace");
}

bool SystemdServiceBackend::ControlService(ScHandle aService, std::uint32_t aControl) {
  std::uint32_t access = 0;
  switch (aControl) {
  case win::SERVICE_CONTROL_STOP:
    access = win::SERVICE_STOP;
    break;
  case win::SERVICE_CONTROL_PAUSE:
  case win::SERVICE_CONTROL_CONTINUE:
    access = win::SERVICE_PAUSE_CONTINUE;
    break;
  default:
    return Fail(win::ERROR_INVALID_SERVICE_CONTROL);
  }
  Service* service = CheckService(aService, access);
  if (service == nullptr) {
    return false;
  }
  sd_bus* bus = service->connection->bus.get();
  UnitState state;
  if (!ReadUnitState(bus, service->path, state)) {
    return false;
  }
  if (IsStopped(state.activeState)) {
    return Fail(win::ERROR_SERVICE_NOT_ACTIVE);
  }
  if (aControl == win::SERVICE_CONTROL_STOP) {
    // A unit that is still starting may be stopped; only a running one can
    // refuse it.
    if (IsActive(state.activeState) && !state.canStop) {
      return Fail(win::ERROR_INVALID_SERVICE_CONTROL);
    }
    return ManagerCall(bus, "StopUnit", service->unit, "replace");
  }
  if (!IsActive(state.activeState)) {
    return Fail(win::ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
  }
  if (!state.canFreeze) {
    return Fail(win::ERROR_INVALID_SERVICE_CONTROL);
  }
  return ManagerCall(bus, aControl == win::SERVICE_CONTROL_PAUSE ? "FreezeUnit" : "ThawUnit",
                     service->unit, nullptr);
}

bool SystemdServiceBackend::EnumDependentServices(ScHandle aService,
                                                  std::uint32_t /*aServiceState*/,
                                                  std::size_t aCapacity,
                                                  std::vector<EnumServiceStatus>& aRecords,
                                                  std::size_t& aNeeded) {
  Service* service = CheckService(aService, win::SERVICE_ENUMERATE_DEPENDENTS);
  if (service == nullptr) {
    return false;
  }
  sd_bus* bus = service->connection->bus.get();
  // The units that are stopped together with this one.
  std::vector<std::string> dependents;
  for (const char* property : {"RequiredBy", "BoundBy", "ConsistsOf"}) {
    std::vector<std::string> units;
    BusError error;
    const int r = GetStrv(bus, service->path, property, error.get(), units);
    if (r < 0) {
      return Fail(ErrorCodeOf(error.get(), r));
    }
    for (std::string& unit : units) {
      if (std::find(dependents.begin(), dependents.end(), unit) == dependents.end()) {
        dependents.push_back(std::move(unit));
      }
    }
  }
  aNeeded = dependents.size();
  if (aCapacity < dependents.size()) {
    return Fail(win::ERROR_MORE_DATA);
  }
  std::vector<EnumServiceStatus> records;
  for (const std::string& unit : dependents) {
    std::string path;
    BusError error;
    UnitState state;
    state.activeState = "inactive";
    std::string description = unit;
    // A unit that is not loaded is not running.
    if (GetUnitPath(bus, "GetUnit", unit, error.get(), path) >= 0) {
      if (!ReadUnitState(bus, path, state)) {
        return false;
      }
      BusError descriptionError;
      GetString(bus, path, kUnitInterface, "Description", descriptionError.get(), description);
    }
    records.push_back(
        {KeyNameOf(unit), description,
         StatusOf(state.activeState, state.freezerState, state.canStop, state.canFreeze)});
  }
  aRecords.insert(aRecords.end(), records.begin(), records.end());
  return true;
}

bool SystemdServiceBackend::QueryServiceConfig(ScHandle aService, ServiceConfig& aConfig,
                                               std::size_t aBufSize, std::size_t& aBytesNeeded) {
  Service* service = CheckService(aService, win::SERVICE_QUERY_CONFIG);
  if (service == nullptr) {
    return false;
  }
  sd_bus* bus = service->connection->bus.get();
  ServiceConfig config;
  config.dwServiceType = win::SERVICE_WIN32_OWN_PROCESS;
  std::string fileState;
  std::string user;
  BusError error;
  int r = GetString(bus, service->path, kUnitInterface, "UnitFileState", error.get(), fileState);
  if (r >= 0) {
    r = GetExecStart(bus, service->path, error.get(), config.lpBinaryPathName);
  }
  if (r >= 0) {
    r = GetString(bus, service->path, kServiceInterface, "User", error.get(), user);
  }
  if (r < 0) {
    return Fail(ErrorCodeOf(error.get(), r));
  }
  config.dwStartType = StartTypeOf(fileState);
  config.lpServiceStartName = user.empty() ? "root" : user;
  aBytesNeeded = ServiceConfigSize(config);
  if (aBufSize < aBytesNeeded) {
    return Fail(win::ERROR_INSUFFICIENT_BUFFER);
  }
  aConfig = std::move(config);
  return true;
}

bool SystemdServiceBackend::ChangeServiceConfig(ScHandle aService, std::uint32_t aServiceType,
                                                std::uint32_t aStartType,
                                                std::uint32_t /*aErrorControl*/) {
  Service* service = CheckService(aService, win::SERVICE_CHANGE_CONFIG);
  if (service == nullptr) {
    return false;
  }
  if (aServiceType != win::SERVICE_NO_CHANGE && aServiceType != win::SERVICE_WIN32_OWN_PROCESS) {
    return Fail(win::ERROR_INVALID_PARAMETER);
  }
  if (aStartType == win::SERVICE_NO_CHANGE) {
    return true;
  }
  if (aStartType != win::SERVICE_AUTO_START && aStartType != win::SERVICE_DEMAND_START &&
      aStartType != win::SERVICE_DISABLED) {
    return Fail(win::ERROR_INVALID_PARAMETER);
  }
  sd_bus* bus = service->connection->bus.get();
  const char* unit = service->unit.c_str();
  BusError error;
  int r = 0;
  if (aStartType == win::SERVICE_DISABLED) {
    r = CallManager(bus, error.get(), nullptr, "MaskUnitFiles", "asbb", 1, unit, 0, 0);
  } else {
    std::string fileState;
    r = GetString(bus, service->path, kUnitInterface, "UnitFileState", error.get(), fileState);
    if (r >= 0 && StartTypeOf(fileState) == win::SERVICE_DISABLED) {
      r = CallManager(bus, error.get(), nullptr, "UnmaskUnitFiles", "asb", 1, unit, 0);
    }
    if (r >= 0) {
      r = aStartType == win::SERVICE_AUTO_START
              ? CallManager(bus, error.get(), nullptr, "EnableUnitFiles", "asbb", 1, unit, 0, 0)
              : CallManager(bus, error.get(), nullptr, "DisableUnitFiles", "asb", 1, unit, 0);
    }
  }
  // The manager reads changed unit files only when reloaded.
  if (r >= 0) {
    r = CallManager(bus, error.get(), nullptr, "Reload", "");
  }
  return r >= 0 || Fail(ErrorCodeOf(error.get(), r));
}

ServiceBackend& SystemServiceBackend() {
  static SystemdServiceBackend backend;
  return backend;
}

} // namespace orvo
