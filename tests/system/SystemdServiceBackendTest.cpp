// The systemd backend under the service wrapper, against python-dbusmock's
// systemd template on a private bus that each test starts.

#include "system/SystemdServiceBackend.h"
#include "system/ServiceErrors.h"
#include "system/ServiceManager.h"
#include "system/SystemdMock.h"
#include "system/WaitClock.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace orvo {
namespace {

using test::SystemdMock;

constexpr const char* kCoreUnit = "OrvoCoreService.service";

// The message of the wrapper's error that aAction raises, or "".
std::string MessageOrEmpty(const std::function<void()>& aAction) {
  try {
    aAction();
  } catch (const EServiceError& e) {
    return e.what();
  }
  return "";
}

class SystemdBackendTest : public ::testing::Test {
protected:
  void SetUp() override {
    if (!SystemdMock::ToolsInstalled()) {
      GTEST_SKIP() << "dbus-daemon or python3-dbusmock is not installed";
    }
    mock = std::make_unique<SystemdMock>();
    ASSERT_EQ(mock->Failure(), "");
    setenv("DBUS_SYSTEM_BUS_ADDRESS", mock->Address().c_str(), 1);
    mock->AddUnit(kCoreUnit, "Orvo Core Service", "active", "enabled");
    mock->AddUnit("OrvoWeb.service", "Orvo Web", "inactive", "disabled");
    mock->AddUnit("multi-user.target", "Multi-User System", "active", "static");
  }

  void TearDown() override {
    manager.SetActive(false);
    unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
  }

  TServiceInfo& Core() {
    TServiceInfo* core = manager.GetServiceByName("OrvoCoreService");
    EXPECT_NE(core, nullptr);
    return *core;
  }

  TServiceInfo& RelistCore() {
    manager.RebuildServicesList();
    return Core();
  }

  std::unique_ptr<SystemdMock> mock;
  SystemdServiceBackend backend;
  FakeWaitClock clock;
  TServiceManager manager{backend, clock};
};

TEST_F(SystemdBackendTest, ListsInstalledServicesWithTheirStates) {
  mock->AddUnit("ghost.service", "referred to, not installed", "inactive", "");
  mock->SetString("ghost.service", "LoadState", "not-found");
  mock->AddUnitFile("/usr/lib/systemd/system/sleeper.service", "disabled");
  mock->AddUnitFile("/usr/lib/systemd/system/getty@.service", "enabled");
  mock->AddUnitFile("/etc/systemd/system/orvo-alias.service", "alias");

  manager.SetActive(true);
  std::vector<std::string> names;
  std::vector<std::string> displayNames;
  for (int i = 0; i < manager.ServiceCount(); ++i) {
    names.push_back(manager.GetService(i).ServiceName());
    displayNames.push_back(manager.GetService(i).DisplayName());
  }
  EXPECT_THAT(names, ::testing::ElementsAre("OrvoCoreService", "OrvoWeb", "sleeper"));
  EXPECT_THAT(displayNames,
              ::testing::ElementsAre("Orvo Core Service", "Orvo Web", "sleeper.service"));

  TServiceInfo* core = manager.GetServiceByName("orvocoreservice");
  ASSERT_NE(core, nullptr);
  EXPECT_EQ(core->State(), TServiceState::ssRunning);
  EXPECT_TRUE(core->Accepts().Contains(TServiceAccept::saStop));
  EXPECT_TRUE(core->Accepts().Contains(TServiceAccept::saPauseContinue));
  EXPECT_EQ(manager.GetServiceByName("OrvoWeb")->State(), TServiceState::ssStopped);
  EXPECT_TRUE(manager.GetServiceByName("OrvoWeb")->Accepts().Empty());
  EXPECT_EQ(manager.GetServiceByName("sleeper")->State(), TServiceState::ssStopped);
}

TEST_F(SystemdBackendTest, StopsAndStartsTheCoreService) {
  manager.SetActive(true);
  Core().ServiceStop(false);
  EXPECT_EQ(mock->GetString(kCoreUnit, "ActiveState"), "inactive");
  EXPECT_EQ(RelistCore().State(), TServiceState::ssStopped);
  EXPECT_EQ(MessageOrEmpty([&] { Core().ServiceStop(false); }), "Service cannot be Stopped");

  Core().ServiceStart(false);
  EXPECT_EQ(mock->GetString(kCoreUnit, "ActiveState"), "active");
  EXPECT_EQ(RelistCore().State(), TServiceState::ssRunning);

  // systemd would take a second start as done; the wrapper reports it as
  // Windows does.
  try {
    Core().ServiceStart(false);
    ADD_FAILURE() << "a start of a running service was accepted";
  } catch (const EOSError& e) {
    EXPECT_EQ(e.ErrorCode(), win::ERROR_SERVICE_ALREADY_RUNNING);
  }
}

TEST_F(SystemdBackendTest, StopWithWaitEndsWhenTheUnitIsInactive) {
  manager.SetActive(true);
  TServiceInfo& core = Core();
  core.ServiceStop(true);
  EXPECT_EQ(core.State(), TServiceState::ssStopped);
  EXPECT_THAT(clock.Sleeps(), ::testing::IsEmpty());
}

TEST_F(SystemdBackendTest, PendingJobAdvancesTheCheckpoint) {
  mock->SetString(kCoreUnit, "ActiveState", "deactivating");
  mock->SetJob(kCoreUnit, 7);
  const ScHandle scm = backend.OpenSCManager("", win::SC_MANAGER_CONNECT);
  ASSERT_NE(scm, 0u);
  const ScHandle service = backend.OpenService(scm, "OrvoCoreService", win::SERVICE_QUERY_STATUS);
  ASSERT_NE(service, 0u);

  SERVICE_STATUS first;
  SERVICE_STATUS second;
  ASSERT_TRUE(backend.QueryServiceStatus(service, first));
  ASSERT_TRUE(backend.QueryServiceStatus(service, second));
  EXPECT_EQ(first.dwCurrentState, win::SERVICE_STOP_PENDING);
  EXPECT_GT(second.dwCheckPoint, first.dwCheckPoint);
  EXPECT_GT(second.dwWaitHint, 0u);

  mock->SetString(kCoreUnit, "ActiveState", "inactive");
  mock->SetJob(kCoreUnit, 0);
  SERVICE_STATUS settled;
  ASSERT_TRUE(backend.QueryServiceStatus(service, settled));
  EXPECT_EQ(settled.dwCurrentState, win::SERVICE_STOPPED);
  EXPECT_EQ(settled.dwCheckPoint, 0u);
  EXPECT_EQ(settled.dwWaitHint, 0u);

  // The handle's rights are checked as the system checks them.
  EXPECT_FALSE(backend.StartService(service));
  EXPECT_EQ(backend.GetLastError(), win::ERROR_ACCESS_DENIED);
  EXPECT_TRUE(backend.CloseServiceHandle(service));
  EXPECT_TRUE(backend.CloseServiceHandle(scm));
}

// The listing tells a unit that systemd is still working on from one that
// has ended: a stopped unit with a start job is busy, a failed one is not.
TEST_F(SystemdBackendTest, TheListingShowsWhetherAStoppedUnitIsStillBusy) {
  manager.SetActive(true);
  Core().ServiceStop(false);
  mock->SetJob(kCoreUnit, 9);
  EXPECT_EQ(RelistCore().State(), TServiceState::ssStopped);
  EXPECT_TRUE(RelistCore().WorkPending());
  mock->SetJob(kCoreUnit, 0);
  mock->FailStarts(kCoreUnit, 1);
  Core().ServiceStart(false);
  EXPECT_EQ(mock->GetString(kCoreUnit, "ActiveState"), "failed");
  EXPECT_EQ(RelistCore().State(), TServiceState::ssStopped);
  EXPECT_FALSE(RelistCore().WorkPending());
  Core().ServiceStart(false); // the next start succeeds
  EXPECT_EQ(RelistCore().State(), TServiceState::ssRunning);
}

TEST_F(SystemdBackendTest, UnknownServiceDoesNotExist) {
  const ScHandle scm = backend.OpenSCManager("", win::SC_MANAGER_CONNECT);
  ASSERT_NE(scm, 0u);
  EXPECT_EQ(backend.OpenService(scm, "NoSuchService", win::SERVICE_QUERY_STATUS), 0u);
  EXPECT_EQ(backend.GetLastError(), win::ERROR_SERVICE_DOES_NOT_EXIST);
  EXPECT_TRUE(backend.CloseServiceHandle(scm));
}

TEST_F(SystemdBackendTest, PauseAndContinueFreezeAndThawTheUnit) {
  manager.SetActive(true);
  Core().ServicePause(false);
  EXPECT_EQ(mock->GetString(kCoreUnit, "FreezerState"), "frozen");
  EXPECT_EQ(RelistCore().State(), TServiceState::ssPaused);
  Core().ServiceContinue(false);
  EXPECT_EQ(RelistCore().State(), TServiceState::ssRunning);

  mock->SetBool(kCoreUnit, "CanFreeze", false);
  EXPECT_EQ(MessageOrEmpty([&] { RelistCore().ServicePause(false); }), "Service cannot be paused");
}

TEST_F(SystemdBackendTest, ConfigurationAndStartTypeChanges) {
  manager.SetAllowLocking(true);
  manager.SetActive(true);
  TServiceInfo& core = Core();
  core.SetLive(true);
  EXPECT_TRUE(core.OwnProcess());
  EXPECT_FALSE(core.Interactive());
  EXPECT_EQ(core.BinaryPath(),
            "/opt/orvo/bin/OrvoCoreService --config \"/etc/orvo/core settings.ini\"");
  EXPECT_EQ(core.StartType(), TServiceStartup::ssAutomatic);
  EXPECT_EQ(manager.GetServiceByName("OrvoWeb")->StartType(), TServiceStartup::ssManual);

  core.SetStartType(TServiceStartup::ssDisabled);
  EXPECT_EQ(mock->GetString(kCoreUnit, "UnitFileState"), "masked");
  EXPECT_EQ(core.StartType(), TServiceStartup::ssDisabled);
  core.SetStartType(TServiceStartup::ssAutomatic);
  EXPECT_EQ(mock->GetString(kCoreUnit, "UnitFileState"), "enabled");
  core.SetStartType(TServiceStartup::ssManual);
  EXPECT_EQ(mock->GetString(kCoreUnit, "UnitFileState"), "disabled");
}

TEST_F(SystemdBackendTest, DependentsAreTheUnitsStoppedWithTheService) {
  mock->SetStrv(kCoreUnit, "RequiredBy", "OrvoWeb.service");
  mock->SetStrv(kCoreUnit, "ConsistsOf", "multi-user.target");
  manager.SetActive(true);
  TServiceInfo& core = Core();
  ASSERT_EQ(core.DependentCount(), 2);
  EXPECT_EQ(core.GetDependent(0), manager.GetServiceByName("OrvoWeb"));
  EXPECT_EQ(core.GetDependent(1), nullptr); // a target, not a service
}

TEST(SystemdBackendWithoutBusTest, UnreachableBusIsAnOSError) {
  setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/orvo-test-bus", 1);
  SystemdServiceBackend backend;
  FakeWaitClock clock;
  TServiceManager manager(backend, clock);
  try {
    manager.SetActive(true);
    ADD_FAILURE() << "activation without a bus succeeded";
  } catch (const EOSError& e) {
    EXPECT_EQ(e.ErrorCode(), win::RPC_S_SERVER_UNAVAILABLE);
    EXPECT_STREQ(e.what(), "System Error.  Code: 1722.\r\nThe RPC server is unavailable");
  }
  EXPECT_FALSE(manager.Active());
  unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
}

} // namespace
} // namespace orvo
