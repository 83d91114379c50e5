# Faults end to end: an unwritable log, ProgramData unset or empty, a failed
# Wintun copy, cores that will not stop or end by themselves, a killed
# helper, two helpers on one log. Windows build only; run alone since the
# pipe name and the machine lock are machine-wide.
if(NOT VELMOR_WINDOWS OR NOT TARGET velmor-helper OR NOT TARGET velmor-e2e-harness)
  return()
endif()

file(GLOB VELMOR_FAULTS_E2E_TESTS CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/faults_*_test.cpp)
if(NOT VELMOR_FAULTS_E2E_TESTS)
  return()
endif()
add_executable(velmor-faults-e2e-tests ${VELMOR_FAULTS_E2E_TESTS})
target_link_libraries(velmor-faults-e2e-tests PRIVATE velmor-e2e-harness GTest::gtest_main)
add_dependencies(velmor-faults-e2e-tests velmor-helper velmor-fake-core)
velmor_add_gtest(velmor-faults-e2e-tests)
set_tests_properties(velmor-faults-e2e-tests PROPERTIES RUN_SERIAL TRUE TIMEOUT 900)
