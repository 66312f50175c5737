# Test support for the Windows build (included by tests/CMakeLists.txt):
#
# - GoogleTest and GoogleMock built from Debian's sources (package googletest):
#   GTest::gtest, GTest::gmock, GTest::gtest_main;
# - the build folder's wine prefix, created by the build (target wine_prefix)
#   so that listing the tests of an executable under wine, which ctest does
#   before it runs any test, never waits for a new prefix;
# - ZARVIK_TEST_FIXTURES: the ctest fixture every test under wine requires.
#   Its setup starts wine's background processes once, detached from ctest's
#   output; its cleanup stops the prefix's wine server.

set(ZARVIK_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources (Debian package googletest)")
if(NOT EXISTS ${ZARVIK_GOOGLETEST_SOURCE}/CMakeLists.txt)
    message(FATAL_ERROR "No GoogleTest sources in ${ZARVIK_GOOGLETEST_SOURCE} (apt-get install googletest)")
endif()
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${ZARVIK_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
foreach(lib gtest gmock gtest_main)
    if(NOT TARGET GTest::${lib})
        add_library(GTest::${lib} ALIAS ${lib})
    endif()
endforeach()

# CMAKE_CROSSCOMPILING_EMULATOR is the wrapper script followed by the prefix.
list(GET CMAKE_CROSSCOMPILING_EMULATOR 0 wine_run)
list(GET CMAKE_CROSSCOMPILING_EMULATOR 1 wine_prefix)

add_custom_command(OUTPUT ${wine_prefix}/system.reg
    COMMAND ${wine_run} ${wine_prefix} --init
    COMMENT "Creating the wine prefix ${wine_prefix}")
add_custom_target(wine_prefix ALL DEPENDS ${wine_prefix}/system.reg)

add_test(NAME wine_start COMMAND ${wine_run} ${wine_prefix} --start)
add_test(NAME wine_stop COMMAND ${wine_run} ${wine_prefix} --stop)
set_tests_properties(wine_start PROPERTIES FIXTURES_SETUP wine LABELS wine)
set_tests_properties(wine_stop PROPERTIES FIXTURES_CLEANUP wine LABELS wine)
set(ZARVIK_TEST_FIXTURES wine)
