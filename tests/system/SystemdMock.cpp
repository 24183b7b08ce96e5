#include "system/SystemdMock.h"

#include <gtest/gtest.h>
#include <systemd/sd-bus.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

extern char** environ;

namespace orvo::test {

namespace {

constexpr const char* kDbusDaemon = "/usr/bin/dbus-daemon";
constexpr const char* kPython = "/usr/bin/python3";
constexpr const char* kMockModule = "/usr/lib/python3/dist-packages/dbusmock/templates/systemd.py";
constexpr const char* kSystemd = "org.freedesktop.systemd1";
constexpr const char* kManagerPath = "/org/freedesktop/systemd1";
constexpr const char* kMockInterface = "org.freedesktop.DBus.Mock";
constexpr const char* kManagerInterface = "org.freedesktop.systemd1.Manager";
constexpr const char* kUnitInterface = "org.freedesktop.systemd1.Unit";
constexpr const char* kTestInterface = "org.orvo.Test";
constexpr auto kStartTimeout = std::chrono::seconds(15);
constexpr auto kStopTimeout = std::chrono::seconds(3);

// The methods the backend needs beyond the template's, as python-dbusmock
// runs them: `self` is the manager object, `objects` all mock objects, and
// `args` the arguments. Loops rather than comprehensions, which cannot see
// the names of the snippet.
struct MockMethod {
  const char* interface;
  const char* name;
  const char* inSignature;
  const char* outSignature;
  const char* code;
};

const MockMethod kMethods[] = {
    {kManagerInterface, "ListUnits", "", "a(ssssssouso)", R"(
U = 'org.freedesktop.systemd1.Unit'
ret = []
for name, path in self.units.items():
    u = objects[path].props[U]
    job = u.get('Job', (0, '/'))
    ret.append((name, u.get('Description', ''), u['LoadState'], u['ActiveState'], 'running', '',
                dbus.ObjectPath(path), dbus.UInt32(job[0]), '', dbus.ObjectPath('/')))
)"},
    {kManagerInterface, "ListUnitFilesByPatterns", "asas", "a(ss)", R"(
ret = []
for name, path in self.units.items():
    u = objects[path].props['org.freedesktop.systemd1.Unit']
    if u['LoadState'] != 'not-found':
        ret.append(('/usr/lib/systemd/system/' + name, u.get('UnitFileState', 'static')))
for entry in getattr(self, 'orvo_unit_files', []):
    ret.append(entry)
)"},
    {kManagerInterface, "LoadUnit", "s", "o", R"(
if str(args[0]) not in self.units:
    raise dbus.exceptions.DBusException('Unit ' + args[0] + ' not found.',
                                        name='org.freedesktop.systemd1.NoSuchUnit')
ret = dbus.ObjectPath(self.units[str(args[0])])
)"},
    {kManagerInterface, "FreezeUnit", "s", "", R"(
objects[self.units[str(args[0])]].UpdateProperties('org.freedesktop.systemd1.Unit',
                                                   {'FreezerState': 'frozen'})
)"},
    {kManagerInterface, "ThawUnit", "s", "", R"(
objects[self.units[str(args[0])]].UpdateProperties('org.freedesktop.systemd1.Unit',
                                                   {'FreezerState': 'running'})
)"},
    {kManagerInterface, "EnableUnitFiles", "asbb", "ba(sss)", R"(
for name in args[0]:
    objects[self.units[str(name)]].UpdateProperties('org.freedesktop.systemd1.Unit',
                                                    {'UnitFileState': 'enabled'})
ret = (dbus.Boolean(True), dbus.Array([], signature='(sss)'))
)"},
    {kManagerInterface, "DisableUnitFiles", "asb", "a(sss)", R"(
for name in args[0]:
    objects[self.units[str(name)]].UpdateProperties('org.freedesktop.systemd1.Unit',
                                                    {'UnitFileState': 'disabled'})
ret = dbus.Array([], signature='(sss)')
)"},
    {kManagerInterface, "MaskUnitFiles", "asbb", "a(sss)", R"(
for name in args[0]:
    objects[self.units[str(name)]].UpdateProperties('org.freedesktop.systemd1.Unit',
                                                    {'UnitFileState': 'masked'})
ret = dbus.Array([], signature='(sss)')
)"},
    {kManagerInterface, "UnmaskUnitFiles", "asb", "a(sss)", R"(
for name in args[0]:
    objects[self.units[str(name)]].UpdateProperties('org.freedesktop.systemd1.Unit',
                                                    {'UnitFileState': 'disabled'})
ret = dbus.Array([], signature='(sss)')
)"},
    {kManagerInterface, "Reload", "", "", ""},
    {kTestInterface, "AddUnit", "ssss", "", R"(
U = 'org.freedesktop.systemd1.Unit'
S = 'org.freedesktop.systemd1.Service'
name = str(args[0])
self.AddMockUnit(name)
unit = objects[self.units[name]]
unit.UpdateProperties(U, {'ActiveState': args[2]})
none = dbus.Array([], signature='s')
unit.AddProperties(U, {
    'Description': args[1], 'CanStop': dbus.Boolean(True), 'CanFreeze': dbus.Boolean(True),
    'FreezerState': 'running', 'UnitFileState': args[3],
    'Job': dbus.Struct((dbus.UInt32(0), dbus.ObjectPath('/')), signature='uo'),
    'RequiredBy': none, 'BoundBy': none, 'ConsistsOf': none})
program = '/opt/orvo/bin/' + name.split('.')[0]
argv = dbus.Array(['orvo', '--config', '/etc/orvo/core settings.ini'], signature='s')
command = dbus.Struct((program, argv, dbus.Boolean(False), dbus.UInt64(0), dbus.UInt64(0),
                       dbus.UInt64(0), dbus.UInt64(0), dbus.UInt32(0), dbus.Int32(0),
                       dbus.Int32(0)), signature='sasbttttuii')
unit.AddProperties(S, {'ExecStart': dbus.Array([command], signature='(sasbttttuii)'),
                       'User': 'orvo'})
)"},
    // The mock's UpdateProperties cannot take a structure.
    {kTestInterface, "SetJob", "su", "", R"(
path = '/org/freedesktop/systemd1/job/' + str(args[1]) if args[1] else '/'
job = dbus.Struct((dbus.UInt32(args[1]), dbus.ObjectPath(path)), signature='uo')
objects[self.units[str(args[0])]].props['org.freedesktop.systemd1.Unit']['Job'] = job
)"},
    // The template's StartUnit always succeeds; this one lets the next starts
    // of a unit fail (FailStarts), as a service that does not come up would.
    {kManagerInterface, "StartUnit", "ss", "o", R"(
name = str(args[0])
job_id = self.next_job_id
self.next_job_id += 1
failing = getattr(self, 'orvo_failing_starts', {})
state = 'active'
if failing.get(name, 0) > 0:
    failing[name] = failing[name] - 1
    state = 'failed'
objects[self.units[name]].UpdateProperties('org.freedesktop.systemd1.Unit', {'ActiveState': state})
ret = dbus.ObjectPath('/org/freedesktop/systemd1/Job/' + str(job_id))
)"},
    {kTestInterface, "FailStarts", "su", "", R"(
if not hasattr(self, 'orvo_failing_starts'):
    self.orvo_failing_starts = {}
self.orvo_failing_starts[str(args[0])] = int(args[1])
)"},
    {kTestInterface, "AddUnitFile", "ss", "", R"(
if not hasattr(self, 'orvo_unit_files'):
    self.orvo_unit_files = []
self.orvo_unit_files.append((str(args[0]), str(args[1])))
)"},
};

bool WaitForExit(pid_t aPid, std::chrono::milliseconds aTimeout) {
  const auto deadline = std::chrono::steady_clock::now() + aTimeout;
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    if (waitpid(aPid, &status, WNOHANG) != 0) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

void Stop(pid_t& aPid) {
  if (aPid <= 0) {
    return;
  }
  kill(aPid, SIGTERM);
  if (!WaitForExit(aPid, kStopTimeout)) {
    kill(aPid, SIGKILL);
    waitpid(aPid, nullptr, 0);
  }
  aPid = -1;
}

// Starts a program with its standard output and error on /dev/null and,
// when aFd3 is not -1, aFd3 as its descriptor 3. The child is ended with
// SIGTERM when the test process dies, so that a crashed or killed test leaves
// no bus or mock behind. Returns the child's id, or -1.
pid_t Spawn(const char* aProgram, char* const aArgv[], char* const aEnvp[], int aFd3) {
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid != 0) {
    return pid;
  }
  // In the child only async-signal-safe calls until exec.
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (getppid() != parent) {
    _exit(127);
  }
  const int null = open("/dev/null", O_WRONLY);
  if (null < 0 || dup2(null, 1) < 0 || dup2(null, 2) < 0) {
    _exit(127);
  }
  if (aFd3 != -1 && dup2(aFd3, 3) < 0) {
    _exit(127);
  }
  execve(aProgram, aArgv, aEnvp);
  _exit(127);
}

class BusError {
public:
  ~BusError() { sd_bus_error_free(&fError); }
  sd_bus_error* get() { return &fError; }
  std::string Text() const {
    return fError.name != nullptr
               ? std::string(fError.name) + ": " + (fError.message ? fError.message : "")
               : std::string();
  }

private:
  sd_bus_error fError{};
};

} // namespace

bool SystemdMock::ToolsInstalled() {
  return access(kDbusDaemon, X_OK) == 0 && access(kPython, X_OK) == 0 &&
         access(kMockModule, R_OK) == 0;
}

SystemdMock::SystemdMock() {
  if (!ToolsInstalled()) {
    fFailure = "dbus-daemon or python3-dbusmock is not installed";
    return;
  }
  if (StartBus() && StartMock() && WaitForName()) {
    AddMethods();
  }
}

SystemdMock::~SystemdMock() {
  if (fBus != nullptr) {
    sd_bus_flush_close_unref(fBus);
  }
  Stop(fMockPid);
  Stop(fBusPid);
}

bool SystemdMock::StartBus() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    fFailure = "pipe failed";
    return false;
  }
  // The daemon prints its address to descriptor 3 of its own.
  const int writeEnd = fcntl(fds[1], F_DUPFD_CLOEXEC, 10);
  close(fds[1]);
  char* argv[] = {const_cast<char*>(kDbusDaemon),         const_cast<char*>("--session"),
                  const_cast<char*>("--nofork"),          const_cast<char*>("--nopidfile"),
                  const_cast<char*>("--print-address=3"), nullptr};
  fBusPid = Spawn(kDbusDaemon, argv, environ, writeEnd);
  close(writeEnd);
  if (fBusPid < 0) {
    fBusPid = -1;
    close(fds[0]);
    fFailure = "cannot start dbus-daemon";
    return false;
  }
  std::string address;
  const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
  while (address.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    pollfd pfd{fds[0], POLLIN, 0};
    if (poll(&pfd, 1, 100) <= 0) {
      continue;
    }
    char buffer[256];
    const ssize_t n = read(fds[0], buffer, sizeof buffer);
    if (n <= 0) {
      break;
    }
    address.append(buffer, static_cast<std::size_t>(n));
  }
  close(fds[0]);
  const auto newline = address.find('\n');
  if (newline == std::string::npos) {
    fFailure = "dbus-daemon printed no address";
    return false;
  }
  fAddress = address.substr(0, newline);
  return true;
}

bool SystemdMock::StartMock() {
  std::vector<std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (std::strncmp(*entry, "DBUS_SYSTEM_BUS_ADDRESS=", 24) != 0) {
      environment.emplace_back(*entry);
    }
  }
  environment.push_back("DBUS_SYSTEM_BUS_ADDRESS=" + fAddress);
  std::vector<char*> envp;
  for (std::string& entry : environment) {
    envp.push_back(entry.data());
  }
  envp.push_back(nullptr);
  char* argv[] = {const_cast<char*>(kPython),    const_cast<char*>("-m"),
                  const_cast<char*>("dbusmock"), const_cast<char*>("--template"),
                  const_cast<char*>("systemd"),  nullptr};
  fMockPid = Spawn(kPython, argv, envp.data(), -1);
  if (fMockPid < 0) {
    fMockPid = -1;
    fFailure = "cannot start python3 -m dbusmock";
    return false;
  }
  return true;
}

bool SystemdMock::WaitForName() {
  int r = sd_bus_new(&fBus);
  if (r >= 0) {
    r = sd_bus_set_address(fBus, fAddress.c_str());
  }
  if (r >= 0) {
    r = sd_bus_set_bus_client(fBus, 1);
  }
  if (r >= 0) {
    r = sd_bus_start(fBus);
  }
  if (r < 0) {
    fFailure = std::string("cannot connect to the private bus: ") + std::strerror(-r);
    return false;
  }
  const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
  while (std::chrono::steady_clock::now() < deadline) {
    int owned = 0;
    sd_bus_message* reply = nullptr;
    BusError error;
    r = sd_bus_call_method(fBus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                           "org.freedesktop.DBus", "NameHasOwner", error.get(), &reply, "s",
                           kSystemd);
    if (r >= 0) {
      sd_bus_message_read(reply, "b", &owned);
    }
    sd_bus_message_unref(reply);
    if (owned != 0) {
      return true;
    }
    if (waitpid(fMockPid, nullptr, WNOHANG) != 0) {
      fMockPid = -1;
      fFailure = "the mock ended before it took its bus name";
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  fFailure = "the mock did not take its bus name in time";
  return false;
}

bool SystemdMock::AddMethods() {
  for (const MockMethod& method : kMethods) {
    BusError error;
    const int r = sd_bus_call_method(fBus, kSystemd, kManagerPath, kMockInterface, "AddMethod",
                                     error.get(), nullptr, "sssss", method.interface, method.name,
                                     method.inSignature, method.outSignature, method.code);
    if (r < 0) {
      fFailure = std::string("AddMethod ") + method.name + ": " + error.Text();
      return false;
    }
  }
  return true;
}

void SystemdMock::AddUnit(const std::string& aUnit, const std::string& aDescription,
                          const std::string& aActiveState, const std::string& aUnitFileState) {
  BusError error;
  const int r = sd_bus_call_method(
      fBus, kSystemd, kManagerPath, kTestInterface, "AddUnit", error.get(), nullptr, "ssss",
      aUnit.c_str(), aDescription.c_str(), aActiveState.c_str(), aUnitFileState.c_str());
  EXPECT_GE(r, 0) << error.Text();
}

void SystemdMock::AddUnitFile(const std::string& aPath, const std::string& aState) {
  BusError error;
  const int r = sd_bus_call_method(fBus, kSystemd, kManagerPath, kTestInterface, "AddUnitFile",
                                   error.get(), nullptr, "ss", aPath.c_str(), aState.c_str());
  EXPECT_GE(r, 0) << error.Text();
}

std::string SystemdMock::UnitPath(const std::string& aUnit) {
  sd_bus_message* reply = nullptr;
  BusError error;
  const int r = sd_bus_call_method(fBus, kSystemd, kManagerPath, kManagerInterface, "GetUnit",
                                   error.get(), &reply, "s", aUnit.c_str());
  std::string path;
  const char* text = nullptr;
  if (r >= 0 && sd_bus_message_read(reply, "o", &text) >= 0) {
    path = text;
  }
  sd_bus_message_unref(reply);
  EXPECT_FALSE(path.empty()) << "no mock unit " << aUnit << " " << error.Text();
  return path;
}

template <typename... Values>
void SystemdMock::UpdateUnit(const std::string& aUnit, const std::string& aName, const char* aType,
                             Values... aValues) {
  BusError error;
  const int r = sd_bus_call_method(fBus, kSystemd, UnitPath(aUnit).c_str(), kMockInterface,
                                   "UpdateProperties", error.get(), nullptr, "sa{sv}",
                                   kUnitInterface, 1, aName.c_str(), aType, aValues...);
  EXPECT_GE(r, 0) << "setting " << aName << ": " << error.Text();
}

void SystemdMock::SetString(const std::string& aUnit, const std::string& aName,
                            const std::string& aValue) {
  UpdateUnit(aUnit, aName, "s", aValue.c_str());
}

void SystemdMock::SetBool(const std::string& aUnit, const std::string& aName, bool aValue) {
  UpdateUnit(aUnit, aName, "b", aValue ? 1 : 0);
}

void SystemdMock::SetStrv(const std::string& aUnit, const std::string& aName,
                          const std::string& aValue) {
  UpdateUnit(aUnit, aName, "as", 1, aValue.c_str());
}

void SystemdMock::SetJob(const std::string& aUnit, std::uint32_t aJobId) {
  BusError error;
  const int r = sd_bus_call_method(fBus, kSystemd, kManagerPath, kTestInterface, "SetJob",
                                   error.get(), nullptr, "su", aUnit.c_str(), aJobId);
  EXPECT_GE(r, 0) << "setting Job: " << error.Text();
}

void SystemdMock::FailStarts(const std::string& aUnit, std::uint32_t aCount) {
  BusError error;
  const int r = sd_bus_call_method(fBus, kSystemd, kManagerPath, kTestInterface, "FailStarts",
                                   error.get(), nullptr, "su", aUnit.c_str(), aCount);
  EXPECT_GE(r, 0) << "FailStarts: " << error.Text();
}

std::string SystemdMock::GetString(const std::string& aUnit, const std::string& aName) {
  char* value = nullptr;
  BusError error;
  const int r = sd_bus_get_property_string(fBus, kSystemd, UnitPath(aUnit).c_str(), kUnitInterface,
                                           aName.c_str(), error.get(), &value);
  EXPECT_GE(r, 0) << "reading " << aName << ": " << error.Text();
  std::string result = value != nullptr ? value : "";
  std::free(value);
  return result;
}

} // namespace orvo::test
