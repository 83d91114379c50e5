# GoogleTest comes from Debian's sources and is built with the project's own
# toolchain, so that the MinGW build gets a Windows GoogleTest.
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
include(GoogleTest)

set(VELMOR_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)

# Registers a test program with ctest. Natively every GoogleTest case becomes
# a ctest entry; under Wine the program runs once, since every Wine start
# costs far more than a test case, except that the suites named after
# OWN_PROCESS run in a process of their own each (tests that set up
# something a process can set up only once, such as the log file).
function(velmor_add_gtest target)
  cmake_parse_arguments(PARSE_ARGV 1 ARG "" "" "OWN_PROCESS")
  if(VELMOR_WINDOWS)
    set(rest "")
    foreach(suite IN LISTS ARG_OWN_PROCESS)
      add_test(NAME ${target}.${suite} COMMAND ${target} --gtest_brief=1 --gtest_filter=${suite}.*)
      set_tests_properties(${target}.${suite} PROPERTIES
        ENVIRONMENT "WINEPREFIX=${VELMOR_WINEPREFIX};WINEDEBUG=-all" TIMEOUT 300)
      string(APPEND rest ":${suite}.*")
    endforeach()
    set(filter "")
    if(rest)
      string(SUBSTRING "${rest}" 1 -1 rest)
      set(filter --gtest_filter=-${rest})
    endif()
    add_test(NAME ${target} COMMAND ${target} --gtest_brief=1 ${filter})
    set_tests_properties(${target} PROPERTIES
      ENVIRONMENT "WINEPREFIX=${VELMOR_WINEPREFIX};WINEDEBUG=-all"
      TIMEOUT 900)
  else()
    gtest_discover_tests(${target} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
      PROPERTIES TIMEOUT 300)
  endif()
endfunction()
