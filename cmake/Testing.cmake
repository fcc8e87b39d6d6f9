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
