include(GoogleTest)

# One GoogleTest binary per folder.
#   tarnwick_test(NAME foundation_tests LABEL unit SOURCES a_test.cc ... LIBS quorvane_foundation)
# Tests are discovered when ctest runs, so a binary that needs root or a
# namespace never runs at build time.
function(tarnwick_test)
  cmake_parse_arguments(T "" "NAME;LABEL" "SOURCES;LIBS;PROPERTIES" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  # Tests that change namespaces and firewall rules never run beside each other.
  if(T_LABEL STREQUAL "netns")
    list(APPEND T_PROPERTIES RUN_SERIAL TRUE)
  endif()
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gmock GTest::gtest_main Threads::Threads)
  gtest_discover_tests(${T_NAME}
    DISCOVERY_MODE PRE_TEST
    PROPERTIES LABELS ${T_LABEL} ${T_PROPERTIES})
endfunction()
