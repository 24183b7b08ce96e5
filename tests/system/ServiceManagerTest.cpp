// The service wrapper's logic, driven through the scripted backend.

#include "system/ServiceManager.h"
#include "system/ScriptedServiceBackend.h"
#include "system/ServiceErrors.h"
#include "system/WaitClock.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace orvo {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using Request = ScriptedServiceBackend::Request;

constexpr const char* kCore = "OrvoCoreService";

SERVICE_STATUS Status(std::uint32_t aState, std::uint32_t aAccepts = 0,
                      std::uint32_t aCheckPoint = 0, std::uint32_t aWaitHint = 0) {
  return ScriptedServiceBackend::MakeStatus(aState, aAccepts, aCheckPoint, aWaitHint);
}

// The message of the error that aAction raises, or "" when it raises none.
template <typename Error = EServiceError>
std::string MessageOf(const std::function<void()>& aAction) {
  try {
    aAction();
  } catch (const Error& e) {
    return e.what();
  }
  return "";
}

std::uint32_t OSErrorCodeOf(const std::function<void()>& aAction) {
  try {
    aAction();
  } catch (const EOSError& e) {
    return e.ErrorCode();
  }
  return 0;
}

class ServiceManagerTest : public ::testing::Test {
protected:
  void TearDown() override {
    // Whatever a test did, no service handle may stay open: only the
    // manager's own connection while it is active.
    EXPECT_EQ(backend.OpenHandleCount(), manager.Active() ? 1 : 0);
  }

  TServiceInfo& Activate() {
    manager.SetActive(true);
    TServiceInfo* core = manager.GetServiceByName(kCore);
    EXPECT_NE(core, nullptr);
    return *core;
  }

  // The entry after a fresh enumeration, as the wizard looks it up.
  TServiceInfo& Relist() {
    manager.RebuildServicesList();
    return *manager.GetServiceByName(kCore);
  }

  ScriptedServiceBackend backend;
  FakeWaitClock clock;
  TServiceManager manager{backend, clock};
};

// --- Activation and the list ------------------------------------------------

TEST_F(ServiceManagerTest, ActivationConnectsOnceAndDeactivationReleasesEverything) {
  backend.AddService(kCore, "Orvo Core", win::SERVICE_RUNNING);
  backend.AddService("Other", "Other Service");
  manager.SetActive(false); // inactive: nothing happens
  EXPECT_THAT(backend.Calls(), IsEmpty());

  manager.SetActive(true);
  manager.SetActive(true);
  EXPECT_TRUE(manager.Active());
  EXPECT_EQ(manager.ServiceCount(), 2);
  EXPECT_THAT(backend.Calls(),
              ElementsAre("GetVersionExW()", "OpenSCManagerW(, 0x5)",
                          "EnumServicesStatusW(0x30, 3, 0)", "EnumServicesStatusW(0x30, 3, 2)"));

  manager.SetActive(false);
  EXPECT_FALSE(manager.Active());
  EXPECT_EQ(manager.ServiceCount(), 0);
  EXPECT_EQ(backend.Calls().back(), "CloseServiceHandle(manager)");
}

TEST_F(ServiceManagerTest, AllowLockingAsksForTheLockRight) {
  manager.SetAllowLocking(true);
  manager.SetMachineName("remote");
  manager.SetActive(true);
  EXPECT_EQ(backend.Calls()[1], "OpenSCManagerW(remote, 0xD)");
  EXPECT_EQ(MessageOf([&] { manager.SetAllowLocking(false); }),
            "Cannot change allow locking while active");
  EXPECT_EQ(MessageOf([&] { manager.SetMachineName(""); }),
            "Cannot change machine name while active");
  EXPECT_TRUE(manager.AllowLocking());
  EXPECT_EQ(manager.MachineName(), "remote");
}

TEST_F(ServiceManagerTest, MachineWithoutServicesGivesAnEmptyList) {
  manager.SetActive(true);
  EXPECT_EQ(manager.ServiceCount(), 0);
  EXPECT_EQ(backend.CountCalls("EnumServicesStatusW"), 1); // the probe succeeded
  EXPECT_EQ(manager.GetServiceByName(kCore), nullptr);
}

TEST_F(ServiceManagerTest, ActivationFailuresLeaveTheManagerInactive) {
  backend.PlatformId = 1;
  EXPECT_EQ(MessageOf([&] { manager.SetActive(true); }),
            "This program only works on Windows NT, 2000 or XP");
  EXPECT_FALSE(manager.Active());

  backend.PlatformId = win::VER_PLATFORM_WIN32_NT;
  backend.FailCall("OpenSCManagerW", win::ERROR_ACCESS_DENIED);
  EXPECT_EQ(MessageOf<EOSError>([&] { manager.SetActive(true); }),
            "System Error.  Code: 5.\r\nAccess is denied");
  EXPECT_FALSE(manager.Active());

  EXPECT_EQ(MessageOf([&] { manager.RebuildServicesList(); }),
            "BuildServicesList only works when active");
}

TEST_F(ServiceManagerTest, FailedEnumerationRaisesAndLeavesTheListEmpty) {
  backend.AddService(kCore, "Orvo Core");
  manager.SetActive(true);
  backend.FailCall("EnumServicesStatusW", win::ERROR_ACCESS_DENIED);
  EXPECT_EQ(OSErrorCodeOf([&] { manager.RebuildServicesList(); }), win::ERROR_ACCESS_DENIED);
  EXPECT_EQ(manager.ServiceCount(), 0);

  // A failed read after a successful probe is an error too, not "no services".
  backend.FailCall("EnumServicesStatusW", win::ERROR_ACCESS_DENIED, 1);
  EXPECT_EQ(OSErrorCodeOf([&] { manager.RebuildServicesList(); }), win::ERROR_ACCESS_DENIED);
  EXPECT_EQ(manager.ServiceCount(), 0);

  manager.RebuildServicesList();
  EXPECT_EQ(manager.ServiceCount(), 1);
}

TEST_F(ServiceManagerTest, ServiceInstalledBetweenProbeAndReadIsListed) {
  backend.AddService(kCore, "Orvo Core");
  backend.FailCall("EnumServicesStatusW", win::ERROR_MORE_DATA, 1);
  manager.SetActive(true);
  EXPECT_EQ(manager.ServiceCount(), 1);
  EXPECT_EQ(backend.CountCalls("EnumServicesStatusW"), 3);
}

TEST_F(ServiceManagerTest, RebuildReplacesEveryEntryWithAFreshSnapshot) {
  backend.AddService("A", "a");
  backend.AddService(kCore, "Orvo Core");
  TServiceInfo& before = Activate();
  EXPECT_EQ(before.Index(), 1);
  EXPECT_EQ(before.DisplayName(), "Orvo Core");
  EXPECT_EQ(before.State(), TServiceState::ssStopped);

  backend.Find(kCore).Status = Status(win::SERVICE_RUNNING, win::SERVICE_ACCEPT_STOP);
  backend.RemoveService("A");
  TServiceInfo& after = Relist();
  EXPECT_EQ(manager.ServiceCount(), 1);
  EXPECT_EQ(after.Index(), 0);
  EXPECT_EQ(after.State(), TServiceState::ssRunning);
}

// --- Lookup -----------------------------------------------------------------

struct LookupCase {
  const char* name;
  const char* query;
  bool found;
};

class ServiceLookupTest : public ServiceManagerTest,
                          public ::testing::WithParamInterface<LookupCase> {};

TEST_P(ServiceLookupTest, ComparesAsciiLettersWithoutRegardToCase) {
  backend.AddService("Before", "b");
  backend.AddService(GetParam().name, "x");
  manager.SetActive(true);
  TServiceInfo* found = manager.GetServiceByName(GetParam().query);
  if (GetParam().found) {
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->ServiceName(), GetParam().name);
  } else {
    EXPECT_EQ(found, nullptr);
  }
}

INSTANTIATE_TEST_SUITE_P(Names, ServiceLookupTest,
                         ::testing::Values(LookupCase{"OrvoCoreService", "OrvoCoreService", true},
                                           LookupCase{"OrvoCoreService", "orvocoreservice", true},
                                           LookupCase{"OrvoCoreService", "ORVOCORESERVICE", true},
                                           LookupCase{"OrvoCoreService", "OrvoCoreServic", false},
                                           LookupCase{"OrvoCoreService", "OrvoCoreService ", false},
                                           LookupCase{"Ärger", "ärger",
                                                      false}, // non-ASCII case differs
                                           LookupCase{"Ärger", "ÄRGER", true}),
                         [](const auto& info) { return "Row" + std::to_string(info.index); });

TEST_F(ServiceManagerTest, IndexOutsideTheListRaises) {
  backend.AddService(kCore, "Orvo Core");
  manager.SetActive(true);
  EXPECT_EQ(&manager.GetService(0), manager.GetServiceByName(kCore));
  EXPECT_EQ(MessageOf([&] { (void)manager.GetService(-1); }), "Index out of bounds");
  EXPECT_EQ(MessageOf([&] { (void)manager.GetService(manager.ServiceCount()); }),
            "Index out of bounds");
  EXPECT_EQ(MessageOf([&] { manager.DeleteService(0); }), "Not implemented");
  EXPECT_EQ(manager.ServiceCount(), 1);
}

// --- Errors -----------------------------------------------------------------

struct OSErrorCase {
  std::uint32_t code;
  const char* message;
};

class OSErrorTextTest : public ::testing::TestWithParam<OSErrorCase> {};

TEST_P(OSErrorTextTest, CarriesCodeAndSystemText) {
  const EOSError error(GetParam().code);
  EXPECT_EQ(error.ErrorCode(), GetParam().code);
  EXPECT_STREQ(error.what(), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Codes, OSErrorTextTest,
    ::testing::Values(
        OSErrorCase{0, "A call to an OS function failed"},
        OSErrorCase{1056, "System Error.  Code: 1056.\r\nAn instance of the service is already "
                          "running"},
        OSErrorCase{1062, "System Error.  Code: 1062.\r\nThe service has not been started"},
        OSErrorCase{1722, "System Error.  Code: 1722.\r\nThe RPC server is unavailable"},
        OSErrorCase{99999, "System Error.  Code: 99999.\r\n"}),
    [](const auto& info) { return "Code" + std::to_string(info.param.code); });

// --- Control requests -------------------------------------------------------

TEST_F(ServiceManagerTest, StoppedEntryRefusesStopWithoutAskingButSendsStart) {
  backend.AddService(kCore, "Orvo Core", win::SERVICE_STOPPED);
  TServiceInfo& core = Activate();
  backend.ClearCalls();

  EXPECT_EQ(MessageOf([&] { core.ServiceStop(false); }), "Service cannot be Stopped");
  EXPECT_EQ(backend.CountCalls("ControlService"), 0);

  core.ServiceStart(false);
  EXPECT_THAT(backend.Calls(),
              ElementsAre("OpenServiceW(OrvoCoreService, 0x24)",
                          "CloseServiceHandle(OrvoCoreService)",
                          "OpenServiceW(OrvoCoreService, 0x14)", "StartServiceW(OrvoCoreService)",
                          "CloseServiceHandle(OrvoCoreService)"));
  // The entry still shows the snapshot until the list is rebuilt or it is live.
  EXPECT_EQ(core.State(), TServiceState::ssStopped);
  EXPECT_TRUE(core.Accepts().Empty());
  core.SetLive(true);
  EXPECT_EQ(core.State(), TServiceState::ssRunning);
  core.SetLive(false);
  EXPECT_EQ(Relist().State(), TServiceState::ssRunning);
}

TEST_F(ServiceManagerTest, StartOfARunningServiceRaisesTheSystemsError) {
  backend.AddService(kCore, "Orvo Core", win::SERVICE_RUNNING);
  TServiceInfo& core = Activate();
  EXPECT_EQ(MessageOf<EOSError>([&] { core.ServiceStart(false); }),
            "System Error.  Code: 1056.\r\nAn instance of the service is already running");
}

TEST_F(ServiceManagerTest, StopOfARunningServiceSendsTheStopControl) {
  backend.AddService(kCore, "Orvo Core", win::SERVICE_RUNNING);
  TServiceInfo& core = Activate();
  EXPECT_TRUE(core.Accepts().Contains(TServiceAccept::saStop));
  core.ServiceStop(false);
  EXPECT_EQ(backend.CountCalls("ControlService(OrvoCoreService, 1)"), 1);
  EXPECT_EQ(Relist().State(), TServiceState::ssStopped);
}

TEST_F(ServiceManagerTest, PauseAndContinueNeedTheServiceToAcceptThem) {
  backend.AddService(kCore, "Orvo Core", win::SERVICE_RUNNING);
  TServiceInfo& core = Activate();
  EXPECT_EQ(MessageOf([&] { core.ServicePause(false); }), "Service cannot be paused");
  EXPECT_EQ(MessageOf([&] { core.ServiceContinue(false); }), "Service cannot be continued");
  EXPECT_EQ(backend.CountCalls("ControlService"), 0);

  backend.Find(kCore).Status.dwControlsAccepted =
      win::SERVICE_ACCEPT_STOP | win::SERVICE_ACCEPT_PAUSE_CONTINUE | win::SERVICE_ACCEPT_SHUTDOWN;
  TServiceInfo& relisted = Relist();
  const TServiceAccepts accepts = relisted.Accepts();
  EXPECT_TRUE(accepts.Contains(TServiceAccept::saStop));
  EXPECT_TRUE(accepts.Contains(TServiceAccept::saPauseContinue));
  EXPECT_TRUE(accepts.Contains(TServiceAccept::saShutdown));
  backend.ClearCalls();
  relisted.ServicePause(false);
  EXPECT_THAT(backend.Calls(), ElementsAre("OpenServiceW(OrvoCoreService, 0x44)",
                                           "ControlService(OrvoCoreService, 2)",
                                           "CloseServiceHandle(OrvoCoreService)"));
}

TEST_F(ServiceManagerTest, UnknownStateIsReported) {
  backend.AddService(kCore, "Orvo Core").Status.dwCurrentState = 8;
  TServiceInfo& core = Activate();
  EXPECT_EQ(MessageOf([&] { (void)core.State(); }), "Service State unknown");
}

// --- Waits ------------------------------------------------------------------

TEST_F(ServiceManagerTest, WaitGoesOnWhileTheCheckpointAdvances) {
  auto& service = backend.AddService(kCore, "Orvo Core", win::SERVICE_RUNNING);
  const std::uint32_t pending = win::SERVICE_STOP_PENDING;
  service.Transitions[Request::Stop] = {Status(pending, 0, 1, 3000), Status(pending, 0, 2, 3000),
                                        Status(pending, 0, 3, 3000), Status(win::SERVICE_STOPPED)};
  TServiceInfo& core = Activate();
  core.ServiceStop(true);
  // Longer than one wait hint in all, but the service showed progress.
  EXPECT_THAT(clock.Sleeps(), ElementsAre(3000, 3000));
  EXPECT_EQ(core.State(), TServiceState::ssStopped); // the wait renewed the snapshot
}

TEST_F(ServiceManagerTest, WaitGivesUpAfterOnePauseWithoutProgress) {
  auto& service = backend.AddService(kCore, "Orvo Core", win::SERVICE_RUNNING);
  service.Transitions[Request::Stop] = {Status(win::SERVICE_STOP_PENDING, 0, 4, 2000)};
  TServiceInfo& core = Activate();
  EXPECT_EQ(MessageOf([&] { core.ServiceStop(true); }),
            "Service did not react within timeframe given");
  EXPECT_THAT(clock.Sleeps(), ElementsAre(2000));
}

TEST_F(ServiceManagerTest, WaitWithoutWaitHintPausesFiveSeconds) {
  auto& service = backend.AddService(kCore, "Orvo Core", win::SERVICE_STOPPED);
  service.Transitions[Request::Start] = {Status(win::SERVICE_START_PENDING, 0, 1),
                                         Status(win::SERVICE_START_PENDING, 0, 1),
                                         Status(win::SERVICE_RUNNING, win::SERVICE_ACCEPT_STOP)};
  TServiceInfo& core = Activate();
  core.ServiceStart(true);
  EXPECT_THAT(clock.Sleeps(), ElementsAre(5000));
}

// --- State assignment -------------------------------------------------------

TEST_F(ServiceManagerTest, TransitionalStateIsRefusedAfterThePendingStateSettles) {
  auto& service = backend.AddService(kCore, "Orvo Core", win::SERVICE_START_PENDING);
  service.Status = Status(win::SERVICE_START_PENDING, 0, 1, 500);
  service.Then(Status(win::SERVICE_START_PENDING, 0, 2, 500))
      .Then(Status(win::SERVICE_START_PENDING, 0, 3, 500))
      .Then(Status(win::SERVICE_START_PENDING, 0, 4, 500))
      .Then(Status(win::SERVICE_RUNNING, win::SERVICE_ACCEPT_STOP));
  TServiceInfo& core = Activate(); // this look shows checkpoint 2
  EXPECT_EQ(MessageOf([&] { core.SetState(TServiceState::ssStartPending); }),
            "Cannot set a transitional state in TServiceInfo.");
  EXPECT_THAT(clock.Sleeps(), ElementsAre(500));
  EXPECT_EQ(core.State(), TServiceState::ssRunning);
}

struct AssignCase {
  const char* name;
  std::uint32_t from;
  TServiceState to;
  std::vector<std::string> requests; // the control requests sent, in order
};

class StateAssignmentTest : public ServiceManagerTest,
                            public ::testing::WithParamInterface<AssignCase> {};

TEST_P(StateAssignmentTest, SendsTheRequestsThatReachTheState) {
  auto& service = backend.AddService(kCore, "Orvo Core", GetParam().from);
  service.RunningAccepts = win::SERVICE_ACCEPT_STOP | win::SERVICE_ACCEPT_PAUSE_CONTINUE;
  service.Status.dwControlsAccepted =
      GetParam().from == win::SERVICE_STOPPED ? 0 : service.RunningAccepts;
  TServiceInfo& core = Activate();
  backend.ClearCalls();
  core.SetState(GetParam().to);

  std::vector<std::string> requests;
  for (const std::string& call : backend.Calls()) {
    if (call.starts_with("StartServiceW") || call.starts_with("ControlService")) {
      requests.push_back(call);
    }
  }
  EXPECT_EQ(requests, GetParam().requests);
  EXPECT_EQ(core.State(), GetParam().to);
}

INSTANTIATE_TEST_SUITE_P(
    Transitions, StateAssignmentTest,
    ::testing::Values(
        AssignCase{"RunningToStopped",
                   win::SERVICE_RUNNING,
                   TServiceState::ssStopped,
                   {"ControlService(OrvoCoreService, 1)"}},
        AssignCase{"StoppedToStopped", win::SERVICE_STOPPED, TServiceState::ssStopped, {}},
        AssignCase{"StoppedToRunning",
                   win::SERVICE_STOPPED,
                   TServiceState::ssRunning,
                   {"StartServiceW(OrvoCoreService)"}},
        AssignCase{"PausedToRunning",
                   win::SERVICE_PAUSED,
                   TServiceState::ssRunning,
                   {"ControlService(OrvoCoreService, 3)"}},
        AssignCase{"RunningToRunning", win::SERVICE_RUNNING, TServiceState::ssRunning, {}},
        AssignCase{"RunningToPaused",
                   win::SERVICE_RUNNING,
                   TServiceState::ssPaused,
                   {"ControlService(OrvoCoreService, 2)"}},
        AssignCase{"StoppedToPaused",
                   win::SERVICE_STOPPED,
                   TServiceState::ssPaused,
                   {"StartServiceW(OrvoCoreService)", "ControlService(OrvoCoreService, 2)"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ServiceManagerTest, RefusedPauseAfterStartStopsTheServiceAgain) {
  auto& service = backend.AddService(kCore, "Orvo Core", win::SERVICE_STOPPED);
  service.RunningAccepts = win::SERVICE_ACCEPT_STOP | win::SERVICE_ACCEPT_PAUSE_CONTINUE;
  service.Refusals[Request::Pause] = win::ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
  TServiceInfo& core = Activate();
  backend.ClearCalls();

  EXPECT_EQ(OSErrorCodeOf([&] { core.SetState(TServiceState::ssPaused); }),
            win::ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
  EXPECT_EQ(backend.CountCalls("StartServiceW(OrvoCoreService)"), 1);
  EXPECT_EQ(backend.CountCalls("ControlService(OrvoCoreService, 2)"), 1);
  EXPECT_EQ(backend.CountCalls("ControlService(OrvoCoreService, 1)"), 1);
  EXPECT_EQ(backend.Find(kCore).Status.dwCurrentState, win::SERVICE_STOPPED);

  // A service that does not accept pausing at all is stopped again just so.
  service.RunningAccepts = win::SERVICE_ACCEPT_STOP;
  EXPECT_EQ(MessageOf([&] { core.SetState(TServiceState::ssPaused); }), "Service cannot be paused");
  EXPECT_EQ(backend.Find(kCore).Status.dwCurrentState, win::SERVICE_STOPPED);
}

// --- Dependents -------------------------------------------------------------

TEST_F(ServiceManagerTest, DependentsOutsideTheListAreNullEntries) {
  backend.AddService(kCore, "Orvo Core").Dependents = {"OrvoWeb", "orvofilter"};
  backend.AddService("OrvoWeb", "Orvo Web");
  TServiceInfo& core = Activate();

  EXPECT_EQ(core.DependentCount(), 2);
  EXPECT_EQ(core.GetDependent(0), manager.GetServiceByName("OrvoWeb"));
  EXPECT_EQ(core.GetDependent(1), nullptr); // a driver, not a Win32 service
  EXPECT_EQ(MessageOf([&] { (void)core.GetDependent(2); }), "Index out of bounds");
  EXPECT_EQ(MessageOf([&] { (void)core.GetDependent(-1); }), "Index out of bounds");
  EXPECT_EQ(backend.CountCalls("OpenServiceW(OrvoCoreService, 0x8)"), 1); // searched once

  EXPECT_EQ(manager.GetServiceByName("OrvoWeb")->DependentCount(), 0);
}

// --- Configuration ----------------------------------------------------------

struct StartTypeCase {
  const char* name;
  std::uint32_t windowsStartType;
  TServiceStartup startType;
  const char* error;
};

class StartTypeReadTest : public ServiceManagerTest,
                          public ::testing::WithParamInterface<StartTypeCase> {};

TEST_P(StartTypeReadTest, MapsTheSystemsStartType) {
  backend.AddService(kCore, "Orvo Core").Config.dwStartType = GetParam().windowsStartType;
  TServiceInfo& core = Activate();
  if (*GetParam().error != '\0') {
    EXPECT_EQ(MessageOf([&] { (void)core.StartType(); }), GetParam().error);
  } else {
    EXPECT_EQ(core.StartType(), GetParam().startType);
  }
}

INSTANTIATE_TEST_SUITE_P(
    StartTypes, StartTypeReadTest,
    ::testing::Values(
        StartTypeCase{"Automatic", win::SERVICE_AUTO_START, TServiceStartup::ssAutomatic, ""},
        StartTypeCase{"Manual", win::SERVICE_DEMAND_START, TServiceStartup::ssManual, ""},
        StartTypeCase{"Disabled", win::SERVICE_DISABLED, TServiceStartup::ssDisabled, ""},
        StartTypeCase{"Boot", win::SERVICE_BOOT_START, {}, "Service Start Type unknown"},
        StartTypeCase{"System", win::SERVICE_SYSTEM_START, {}, "Service Start Type unknown"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ServiceManagerTest, ConfigurationIsReadOnceUnlessLive) {
  auto& service = backend.AddService(kCore, "Orvo Core");
  service.Config.dwServiceType = win::SERVICE_WIN32_OWN_PROCESS | win::SERVICE_INTERACTIVE_PROCESS;
  service.Config.lpBinaryPathName = "/opt/orvo/bin/orvo-core --daemon";
  TServiceInfo& core = Activate();

  EXPECT_TRUE(core.OwnProcess());
  EXPECT_TRUE(core.Interactive());
  EXPECT_EQ(core.BinaryPath(), "/opt/orvo/bin/orvo-core --daemon");
  EXPECT_EQ(backend.CountCalls("OpenServiceW(OrvoCoreService, 0x1)"), 1);

  service.Config.dwServiceType = win::SERVICE_WIN32_SHARE_PROCESS;
  EXPECT_TRUE(core.OwnProcess()); // cached
  core.SetLive(true);
  EXPECT_FALSE(core.OwnProcess());
  EXPECT_FALSE(core.Interactive());
}

TEST_F(ServiceManagerTest, ImpossibleConfigurationAnswersAreAssertionFailures) {
  backend.AddService(kCore, "Orvo Core").ConfigProbeSucceeds = true;
  backend.AddService("Odd", "Listed as a service, configured as a driver");
  TServiceInfo& core = Activate();
  TServiceInfo& driver = *manager.GetServiceByName("Odd");
  backend.Find("Odd").Config.dwServiceType = win::SERVICE_KERNEL_DRIVER;

  EXPECT_EQ(MessageOf<EAssertionFailed>([&] { (void)core.BinaryPath(); }),
            "Assertion failure (ServiceManager, line 709)");
  EXPECT_EQ(MessageOf<EAssertionFailed>([&] { (void)driver.BinaryPath(); }),
            "Assertion failure (ServiceManager, line 722)");
}

TEST_F(ServiceManagerTest, StartTypeChangeNeedsTheLockOnlyWhenSomethingChanges) {
  backend.AddService(kCore, "Orvo Core").Config.dwStartType = win::SERVICE_DEMAND_START;
  TServiceInfo& core = Activate();

  core.SetStartType(TServiceStartup::ssManual); // the current value: nothing to do
  EXPECT_EQ(backend.CountCalls("LockServiceDatabase"), 0);
  EXPECT_EQ(MessageOf([&] { core.SetStartType(TServiceStartup::ssAutomatic); }),
            "Locking of the service manager not allowed!");
  EXPECT_EQ(backend.Find(kCore).Config.dwStartType, win::SERVICE_DEMAND_START);
}

TEST_F(ServiceManagerTest, StartTypeChangeUnderTheLock) {
  backend.AddService(kCore, "Orvo Core").Config.dwStartType = win::SERVICE_DEMAND_START;
  manager.SetAllowLocking(true);
  TServiceInfo& core = Activate();
  backend.ClearCalls();

  core.SetStartType(TServiceStartup::ssAutomatic);
  EXPECT_EQ(core.StartType(), TServiceStartup::ssAutomatic);
  EXPECT_EQ(backend.Find(kCore).Config.dwStartType, win::SERVICE_AUTO_START);
  const std::vector<std::string>& calls = backend.Calls();
  const std::vector<std::string> tail(calls.end() - 5, calls.end());
  EXPECT_THAT(tail, ElementsAre("LockServiceDatabase()", "OpenServiceW(OrvoCoreService, 0x2)",
                                "ChangeServiceConfigW(OrvoCoreService, 0xFFFFFFFF, 0x2, "
                                "0xFFFFFFFF)",
                                "CloseServiceHandle(OrvoCoreService)", "UnlockServiceDatabase()"));

  // A refused change releases handle and lock and reports the change's error.
  backend.FailCall("ChangeServiceConfigW", win::ERROR_ACCESS_DENIED);
  EXPECT_EQ(OSErrorCodeOf([&] { core.SetStartType(TServiceStartup::ssDisabled); }),
            win::ERROR_ACCESS_DENIED);
  EXPECT_FALSE(backend.DatabaseLocked());
  EXPECT_EQ(core.StartType(), TServiceStartup::ssAutomatic);
}

// --- Failures of the system -------------------------------------------------

TEST_F(ServiceManagerTest, FailedCallsRaiseAndCloseTheirHandles) {
  backend.AddService(kCore, "Orvo Core", win::SERVICE_RUNNING);
  TServiceInfo& core = Activate();
  core.SetLive(true);

  backend.FailCall("QueryServiceStatus", win::ERROR_ACCESS_DENIED);
  EXPECT_EQ(OSErrorCodeOf([&] { (void)core.State(); }), win::ERROR_ACCESS_DENIED);
  backend.FailCall("OpenServiceW", win::ERROR_SERVICE_DOES_NOT_EXIST);
  EXPECT_EQ(OSErrorCodeOf([&] { core.ServiceStop(false); }), win::ERROR_SERVICE_DOES_NOT_EXIST);
  backend.FailCall("ControlService", win::ERROR_DEPENDENT_SERVICES_RUNNING);
  EXPECT_EQ(OSErrorCodeOf([&] { core.ServiceStop(true); }), win::ERROR_DEPENDENT_SERVICES_RUNNING);
  backend.FailCall("EnumDependentServicesW", win::ERROR_ACCESS_DENIED);
  EXPECT_EQ(OSErrorCodeOf([&] { (void)core.DependentCount(); }), win::ERROR_ACCESS_DENIED);
  backend.FailCall("QueryServiceConfigW", win::ERROR_ACCESS_DENIED, 1);
  EXPECT_EQ(OSErrorCodeOf([&] { (void)core.BinaryPath(); }), win::ERROR_ACCESS_DENIED);

  // Still usable afterwards.
  EXPECT_EQ(core.State(), TServiceState::ssRunning);
  core.ServiceStop(true);
  EXPECT_EQ(core.State(), TServiceState::ssStopped);
}

TEST_F(ServiceManagerTest, DestroyingAnActiveManagerReleasesEverything) {
  backend.AddService(kCore, "Orvo Core");
  {
    TServiceManager local(backend, clock);
    local.SetActive(true);
    EXPECT_EQ(backend.OpenHandleCount(), 1);
  }
  EXPECT_EQ(backend.OpenHandleCount(), 0);
}

} // namespace
} // namespace orvo
