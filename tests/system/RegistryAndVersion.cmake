# Tests of the registry stand-in, the server installation lookup and the
# version text.
include(OrvoVersionNote)

orvo_test(orvo_system_registry_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/RegistryTest.cpp
  LINKS orvo_system)

# Carries the project's version note, like the importer, and reads it back
# from its own /proc/self/exe.
orvo_test(orvo_system_version_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/FileVersionTest.cpp
  LINKS orvo_system)
orvo_add_version_note(orvo_system_version_test)
target_compile_definitions(orvo_system_version_test PRIVATE
  ORVO_EXPECTED_VERSION_TEXT="v${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH} build ${PROJECT_VERSION_TWEAK}")
