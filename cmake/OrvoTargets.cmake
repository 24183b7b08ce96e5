# Common settings of every target of the project.
function(orvo_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic)
  if(ORVO_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

# orvo_library(NAME SOURCES ... LINKS ...): one static library of a subsystem.
function(orvo_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;PUBLIC_LINKS;PRIVATE_LINKS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(${name} PUBLIC ${ARG_PUBLIC_LINKS} PRIVATE ${ARG_PRIVATE_LINKS})
  orvo_warnings(${name})
endfunction()

# orvo_test(NAME SOURCES ... LINKS ... [WIDGETS] [LABELS ...] [ENVIRONMENT ...]
#           [RESOURCE_LOCK ...] [TIMEOUT s]):
# one GoogleTest executable registered with ctest case by case. Tests that
# share a machine-wide resource (a fixed TCP port) name it in RESOURCE_LOCK so
# that ctest never runs two of them at once.
function(orvo_test name)
  cmake_parse_arguments(ARG "WIDGETS" "TIMEOUT" "SOURCES;LINKS;LABELS;ENVIRONMENT;RESOURCE_LOCK" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LINKS} GTest::gtest GTest::gmock)
  if(NOT ARG_WIDGETS)
    target_link_libraries(${name} PRIVATE GTest::gtest_main)
  endif()
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  orvo_warnings(${name})
  set(env ${ARG_ENVIRONMENT})
  set(labels ${ARG_LABELS})
  if(ARG_WIDGETS)
    list(APPEND env QT_QPA_PLATFORM=offscreen)
    list(APPEND labels widgets)
  endif()
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  # Test discovery (CMake 3.25) splits every list into separate words, so
  # each property can carry one value only: the first label, and at most one
  # environment entry. Empty values would shift the property pairs.
  list(LENGTH env env_count)
  if(env_count GREATER 1)
    message(FATAL_ERROR "orvo_test(${name}): at most one ENVIRONMENT entry is supported")
  elseif(env_count EQUAL 0)
    set(env ORVO_TESTING=1)
  endif()
  list(APPEND labels orvo)
  list(GET labels 0 labels)
  if(NOT ARG_RESOURCE_LOCK)
    set(ARG_RESOURCE_LOCK none)
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60
    PROPERTIES ENVIRONMENT "${env}" LABELS "${labels}" TIMEOUT ${ARG_TIMEOUT}
               RESOURCE_LOCK "${ARG_RESOURCE_LOCK}")
endfunction()
