# The service host under the Service Control Manager: install, stop, control
# codes, uninstall. Windows build only; the tests run in a Wine prefix of their
# own, since an automatically started service comes back with every boot of
# the prefix it was installed in. Uses the harness from console.cmake.
if(NOT VELMOR_WINDOWS OR NOT TARGET velmor-helper)
  return()
endif()

file(GLOB VELMOR_SERVICE_E2E_TESTS CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/service_*_test.cpp)
add_executable(velmor-service-e2e-tests ${VELMOR_SERVICE_E2E_TESTS})
target_link_libraries(velmor-service-e2e-tests PRIVATE velmor-e2e-harness GTest::gtest_main)
add_dependencies(velmor-service-e2e-tests velmor-helper velmor-ctl velmor-fake-core)

add_test(NAME velmor-service-e2e
  COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/run-service-tests $<TARGET_FILE:velmor-service-e2e-tests> --gtest_brief=1)
# The service's pipe and registration are machine-wide on Windows.
set_tests_properties(velmor-service-e2e PROPERTIES
  ENVIRONMENT "VELMOR_SERVICE_WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix-service"
  RUN_SERIAL TRUE
  TIMEOUT 900)
