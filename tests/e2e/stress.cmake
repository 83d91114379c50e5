# The helper in console mode under thousands of clients in a row, with the
# fake core. Windows build only; one program of its own, run alone since the
# pipe name and the machine lock are machine-wide.
if(NOT VELMOR_WINDOWS OR NOT TARGET velmor-helper OR NOT TARGET velmor-e2e-harness)
  return()
endif()

file(GLOB VELMOR_STRESS_E2E_TESTS CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/stress_*_test.cpp)
add_executable(velmor-stress-e2e-tests ${VELMOR_STRESS_E2E_TESTS})
target_link_libraries(velmor-stress-e2e-tests PRIVATE velmor-e2e-harness GTest::gtest_main)
add_dependencies(velmor-stress-e2e-tests velmor-helper velmor-fake-core)
velmor_add_gtest(velmor-stress-e2e-tests)
set_tests_properties(velmor-stress-e2e-tests PROPERTIES RUN_SERIAL TRUE TIMEOUT 900)

add_executable(velmor-hostile-clients ${CMAKE_CURRENT_SOURCE_DIR}/hostile_clients.cpp)
set_target_properties(velmor-hostile-clients PROPERTIES OUTPUT_NAME hostile-clients)
target_link_options(velmor-hostile-clients PRIVATE -municode)
target_link_libraries(velmor-hostile-clients PRIVATE velmor)
add_dependencies(velmor-stress-e2e-tests velmor-hostile-clients)
