# Service control: the wrapper's logic over the scripted backend, and the
# systemd backend against a mock of systemd's manager on a private bus.
orvo_test(orvo_service_manager_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/ServiceManagerTest.cpp
  LINKS orvo_system)
