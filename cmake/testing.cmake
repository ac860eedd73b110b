include(GoogleTest)

# One GoogleTest binary per folder.
#   tarnwick_test(NAME foundation_tests LABEL unit [TSAN] SOURCES a_test.cc ... LIBS quorvane_foundation)
# Tests are discovered when ctest runs, so a binary that needs root or a
# namespace never runs at build time. TSAN marks a binary whose tests are
# also run in the ThreadSanitizer build of scripts/test, which is configured
# with TARNWICK_TSAN_ONLY so that it holds no other test binary.
option(TARNWICK_TSAN_ONLY "Define only the test binaries marked TSAN" OFF)
function(tarnwick_test)
  cmake_parse_arguments(T "TSAN" "NAME;LABEL" "SOURCES;LIBS;PROPERTIES" ${ARGN})
  if(TARNWICK_TSAN_ONLY AND NOT T_TSAN)
    return()
  endif()
  add_executable(${T_NAME} ${T_SOURCES})
  if(T_TSAN)
    set_property(GLOBAL APPEND PROPERTY TARNWICK_TSAN_TARGETS ${T_NAME})
  endif()
  # Tests that change namespaces and firewall rules never run beside each other.
  if(T_LABEL STREQUAL "netns")
    list(APPEND T_PROPERTIES RUN_SERIAL TRUE)
  endif()
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gmock GTest::gtest_main Threads::Threads)
  gtest_discover_tests(${T_NAME}
    DISCOVERY_MODE PRE_TEST
    PROPERTIES LABELS ${T_LABEL} ${T_PROPERTIES})
endfunction()

# Written at the end of configuration: the binaries scripts/test builds for
# the ThreadSanitizer run.
function(tarnwick_write_tsan_targets)
  get_property(targets GLOBAL PROPERTY TARNWICK_TSAN_TARGETS)
  string(REPLACE ";" "\n" text "${targets}")
  file(WRITE ${CMAKE_BINARY_DIR}/tsan_targets.txt "${text}\n")
endfunction()

# A namespace test written as a shell script, given the source and build
# folders; it exits 77 when it cannot run (not root), which ctest shows as
# skipped.
#   tarnwick_netns_script(NAME diverted_road_netns SCRIPT diverted_road_netns_test.sh TIMEOUT 180)
function(tarnwick_netns_script)
  cmake_parse_arguments(T "" "NAME;SCRIPT;TIMEOUT" "" ${ARGN})
  if(TARNWICK_TSAN_ONLY)
    return()
  endif()
  add_test(NAME ${T_NAME}
    COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/${T_SCRIPT} ${PROJECT_SOURCE_DIR} ${PROJECT_BINARY_DIR})
  set_tests_properties(${T_NAME} PROPERTIES
    LABELS netns RUN_SERIAL TRUE SKIP_RETURN_CODE 77 TIMEOUT ${T_TIMEOUT})
endfunction()
