# telagent_process_test(<name> SOURCES <files...> [LIBS <libs...>] [HARNESS] [UNIT]
#                       [TIMEOUT <seconds>])
#
# One GoogleTest executable whose cases each run in a process of their own.
# HARNESS adds the box harness (temporary device root, devsim, host, broker; see
# tests/integration/box_harness.h).  The executables the harness starts are
# compiled in as TELAGENT_HOST_BIN, TELAGENT_DEVSIM_BIN, TELAGENT_LIB_FILE and
# TELAGENT_CLOUD_BIN and built first.  UNIT labels the cases "unit" (they run
# under the sanitizers too); otherwise they are "integration".
set(TELAGENT_HARNESS_DIR ${PROJECT_SOURCE_DIR}/tests/integration)

function(telagent_process_test name)
  cmake_parse_arguments(PARSE_ARGV 1 A "HARNESS;UNIT" "TIMEOUT" "SOURCES;LIBS")
  if(NOT A_UNIT AND NOT TELAGENT_INTEGRATION_TESTS)
    return()
  endif()
  set(srcs ${A_SOURCES})
  if(A_HARNESS)
    list(APPEND srcs ${TELAGENT_HARNESS_DIR}/box_harness.cpp)
  endif()
  add_executable(${name} ${srcs})
  target_include_directories(${name} PRIVATE ${TELAGENT_HARNESS_DIR})
  target_link_libraries(${name} PRIVATE ${A_LIBS} GTest::gtest_main Threads::Threads)
  if(A_UNIT)
    set(label unit)
  else()
    set(label integration)
    target_compile_definitions(${name} PRIVATE
      TELAGENT_HOST_BIN="$<TARGET_FILE:telagent-host>"
      TELAGENT_DEVSIM_BIN="$<TARGET_FILE:telagent-devsim>"
      TELAGENT_LIB_FILE="$<TARGET_FILE:TelAgent>"
      TELAGENT_CLOUD_BIN="$<TARGET_FILE:telagent-cloud>")
    add_dependencies(${name} telagent-host telagent-devsim TelAgent telagent-cloud)
  endif()
  set(timeout 60)
  if(A_TIMEOUT)
    set(timeout ${A_TIMEOUT})
  endif()
  gtest_discover_tests(${name} PROPERTIES LABELS ${label} TIMEOUT ${timeout}
    ENVIRONMENT "TZ=UTC" DISCOVERY_TIMEOUT 60)
endfunction()
