# launcher_add_gtest(name SOURCES ... LIBS ... [PROPERTIES ...]): one GoogleTest
# executable whose cases CTest lists at test time (under Wine for the Windows build,
# through CMAKE_CROSSCOMPILING_EMULATOR).
include(GoogleTest)
enable_testing()

function(launcher_add_gtest name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;PROPERTIES" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    TEST_PREFIX "${LAUNCHER_PLATFORM}."
    PROPERTIES TIMEOUT 120 ${ARG_PROPERTIES})
endfunction()

# launcher_add_loopback_gtest(name LABEL label SOURCES ... LIBS ...): a test program that
# talks to the loopback server of tests/support (fixture "loopback_server", client side
# in net_test_server); its cases carry the label (ctest -L label).
function(launcher_add_loopback_gtest name)
  cmake_parse_arguments(ARG "" "LABEL" "SOURCES;LIBS" ${ARGN})
  launcher_add_gtest(${name} SOURCES ${ARG_SOURCES} LIBS ${ARG_LIBS} net_test_server
    PROPERTIES LABELS ${ARG_LABEL} FIXTURES_REQUIRED loopback_server
               ENVIRONMENT "LAUNCHER_TEST_SERVER=${LAUNCHER_TEST_SERVER_PORTS}")
endfunction()
