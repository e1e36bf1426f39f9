# GoogleTest from the distribution, and how test cases become CTest entries.
#
# Linux builds use the installed GoogleTest (a cross build the target's, from
# Debian multiarch) and make every case its own CTest entry. A cross build for
# Windows compiles GoogleTest from the distribution's sources for the target and
# runs each test binary whole under Wine, as one CTest entry: listing the cases
# would start Wine for every binary at build time, before the suite's own Wine
# server is up, and one run per binary already names every failing case in its
# output.
if(NOT WIN32)
  find_package(GTest REQUIRED)
  include(GoogleTest)
  # A cross build's cases are listed when the tests run, under qemu-user, so
  # that the build itself needs no emulator.
  if(CMAKE_CROSSCOMPILING)
    set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
  endif()

  function(tarnlink_discover_tests target)
    gtest_discover_tests(${target} NO_PRETTY_VALUES DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 60)
  endfunction()
  return()
endif()

set(TARNLINK_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH
    "GoogleTest sources to build for the target (Debian: package googletest)")
if(NOT EXISTS ${TARNLINK_GTEST_SOURCE_DIR}/CMakeLists.txt)
  message(FATAL_ERROR "No GoogleTest sources in ${TARNLINK_GTEST_SOURCE_DIR}: "
                      "install the googletest package or set TARNLINK_GTEST_SOURCE_DIR")
endif()
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
add_subdirectory(${TARNLINK_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
  message(WARNING "No emulator for the target: the tests are built but not run")
  function(tarnlink_discover_tests target)
  endfunction()
  return()
endif()

set(TARNLINK_NO_32BIT "" CACHE STRING
    "Why this machine runs no 32-bit program (scripts/test-windows.sh finds out); when set, \
the tests that would run one are reported as skipped, with this reason")

# tarnlink_skipped_test(name reason): a test that CTest reports as skipped; its
# output (ctest -V, Testing/Temporary/LastTest.log) gives the reason.
function(tarnlink_skipped_test name reason)
  add_test(NAME ${name} COMMAND sh -c [[echo "not run: $1"; exit 77]] sh "${reason}")
  set_tests_properties(${name} PROPERTIES SKIP_RETURN_CODE 77)
endfunction()

# A 32-bit build on a machine that runs no 32-bit program: every test is one.
if(TARNLINK_NO_32BIT AND CMAKE_SIZEOF_VOID_P EQUAL 4)
  function(tarnlink_wine_test name)
    tarnlink_skipped_test(${name} "${TARNLINK_NO_32BIT}")
  endfunction()
  function(tarnlink_discover_tests target)
    tarnlink_wine_test(${target})
  endfunction()
  tarnlink_wine_test(wine_server_start)
  tarnlink_wine_test(wine_server_stop)
  return()
endif()

# The loader that runs the programs, for the test scripts too. Wine's 64-bit
# loader given by name (on a machine that runs no 32-bit program) must also be
# the one that Wine starts its own programs with.
set(TARNLINK_WINE_LOADER_ENVIRONMENT WINE=${TARNLINK_WINE})
if(TARNLINK_WINE MATCHES "wine64$")
  list(APPEND TARNLINK_WINE_LOADER_ENVIRONMENT WINELOADER=${TARNLINK_WINE})
endif()

# Every Wine process of the suite shares one private prefix and one persistent
# server. The server is started with its descriptors on /dev/null by a setup test:
# a server that a test's Wine starts itself would inherit CTest's output pipe and
# hold every test open until it times out.
set(TARNLINK_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix CACHE PATH "Wine prefix of the test suite")
set(TARNLINK_WINE_ENVIRONMENT
    WINEPREFIX=${TARNLINK_WINEPREFIX}
    WINEDEBUG=-all,err+module
    WINEDLLOVERRIDES=mscoree,mshtml=
    LC_ALL=C.UTF-8
    ${TARNLINK_WINE_LOADER_ENVIRONMENT})
set(_wine_session ${PROJECT_SOURCE_DIR}/tests/windows/wine_session.sh)
add_test(NAME wine_server_start COMMAND ${_wine_session} start)
add_test(NAME wine_server_stop COMMAND ${_wine_session} stop)
set_tests_properties(wine_server_start PROPERTIES FIXTURES_SETUP wine TIMEOUT 120
                     ENVIRONMENT "${TARNLINK_WINE_ENVIRONMENT}")
set_tests_properties(wine_server_stop PROPERTIES FIXTURES_CLEANUP wine TIMEOUT 60
                     ENVIRONMENT "${TARNLINK_WINE_ENVIRONMENT}")

# tarnlink_wine_test(name COMMAND target args...): a test that runs under the suite's Wine.
function(tarnlink_wine_test name)
  add_test(NAME ${name} ${ARGN})
  set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED wine TIMEOUT 120
                       ENVIRONMENT "${TARNLINK_WINE_ENVIRONMENT}")
endfunction()

function(tarnlink_discover_tests target)
  tarnlink_wine_test(${target} COMMAND ${target})
endfunction()
