#pragma once
// A private D-Bus bus with python-dbusmock's systemd template on it, for
// tests of the systemd service backend. The template has StartUnit,
// StopUnit, GetUnit and mock units; this helper adds what the backend also
// reads (unit listing, unit files, loading, freezing, the unit properties)
// through the mock's AddMethod interface.
//
// The bus and the mock are child processes of the test; the destructor ends
// both. Start-up waits for the mock's bus name with a bounded timeout.

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

struct sd_bus;

namespace orvo::test {

class SystemdMock {
public:
  SystemdMock();
  ~SystemdMock();
  SystemdMock(const SystemdMock&) = delete;
  SystemdMock& operator=(const SystemdMock&) = delete;

  // Empty when the mock is up; otherwise why it is not.
  const std::string& Failure() const { return fFailure; }
  // Whether the tools the mock needs are installed at all.
  static bool ToolsInstalled();
  // The address to give the backend as DBUS_SYSTEM_BUS_ADDRESS.
  const std::string& Address() const { return fAddress; }

  // A loaded unit with the properties the backend reads. A service unit can
  // be stopped and frozen and runs /opt/orvo/bin/<name> with two arguments.
  void AddUnit(const std::string& aUnit, const std::string& aDescription,
               const std::string& aActiveState, const std::string& aUnitFileState);
  // Changes a property of a unit's Unit interface.
  void SetString(const std::string& aUnit, const std::string& aName, const std::string& aValue);
  void SetBool(const std::string& aUnit, const std::string& aName, bool aValue);
  void SetStrv(const std::string& aUnit, const std::string& aName, const std::string& aValue);
  void SetJob(const std::string& aUnit, std::uint32_t aJobId);
  // The next aCount starts of the unit end with the unit failed.
  void FailStarts(const std::string& aUnit, std::uint32_t aCount);
  // A string property of a unit's Unit interface as the mock holds it.
  std::string GetString(const std::string& aUnit, const std::string& aName);
  // Unit files that ListUnitFilesByPatterns reports beside the loaded units'
  // ones: (path, state).
  void AddUnitFile(const std::string& aPath, const std::string& aState);

private:
  bool StartBus();
  bool StartMock();
  bool WaitForName();
  bool AddMethods();
  // Sets one property of a unit's Unit interface through the mock's
  // UpdateProperties: aType is the value's D-Bus type, aValues its parts.
  template <typename... Values>
  void UpdateUnit(const std::string& aUnit, const std::string& aName, const char* aType,
                  Values... aValues);
  std::string UnitPath(const std::string& aUnit);

  pid_t fBusPid = -1;
  pid_t fMockPid = -1;
  std::string fAddress;
  std::string fFailure;
  sd_bus* fBus = nullptr;
};

} // namespace orvo::test
