# Service control: the wrapper's logic over the scripted backend, and the
# systemd backend against a mock of systemd's manager on a private bus.
orvo_test(orvo_service_manager_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/ServiceManagerTest.cpp
  LINKS orvo_system)
orvo_test(orvo_systemd_backend_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/SystemdServiceBackendTest.cpp
          ${CMAKE_CURRENT_LIST_DIR}/SystemdMock.cpp
  LINKS orvo_system PkgConfig::SYSTEMD
  LABELS dbus
  TIMEOUT 60)
