# Running a core end to end: the helper in console mode with the fake core.
# Windows build only; one program of its own, run alone since the pipe name
# and the machine lock are machine-wide.
if(NOT VELMOR_WINDOWS OR NOT TARGET velmor-helper OR NOT TARGET velmor-e2e-harness)
  return()
endif()

file(GLOB VELMOR_CORE_E2E_TESTS CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/core_*_test.cpp)
add_executable(velmor-core-e2e-tests ${VELMOR_CORE_E2E_TESTS})
target_link_libraries(velmor-core-e2e-tests PRIVATE velmor-e2e-harness velmor-test-support GTest::gtest_main)
# Ctrl+C for a helper in a console of its own.
add_executable(velmor-send-ctrl-c ${CMAKE_CURRENT_SOURCE_DIR}/send_ctrl_c.cpp)
set_target_properties(velmor-send-ctrl-c PROPERTIES OUTPUT_NAME send-ctrl-c)
target_link_options(velmor-send-ctrl-c PRIVATE -municode)
target_link_libraries(velmor-send-ctrl-c PRIVATE velmor)
add_dependencies(velmor-core-e2e-tests velmor-helper velmor-fake-core velmor-demo-core velmor-send-ctrl-c)
velmor_add_gtest(velmor-core-e2e-tests)
set_tests_properties(velmor-core-e2e-tests PROPERTIES RUN_SERIAL TRUE)
