# The service host under the Service Control Manager: install, stop, control
# codes, uninstall. Windows build only; the tests run in a Wine prefix of their
# own, since an automatically started service comes back with every boot of
# the prefix it was installed in. Uses the harness from console.cmake.
if(NOT VELMOR_WINDOWS OR NOT TARGET velmor-helper)
  return()
endif()

file(GLOB VELMOR_SERVICE_E2E_TESTS CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/service_*_test.cpp)
add_executable(velmor-service-e2e-tests ${VELMOR_SERVICE_E2E_TESTS} ${CMAKE_CURRENT_SOURCE_DIR}/service_scm.cpp)
target_link_libraries(velmor-service-e2e-tests PRIVATE velmor-e2e-harness velmor-test-support GTest::gtest_main msi version)
add_dependencies(velmor-service-e2e-tests velmor-helper velmor-ctl velmor-fake-core)

# The package test upgrades the release MSI to one with the next patch
# version, built from the same files.
math(EXPR next_patch "${PROJECT_VERSION_PATCH} + 1")
set(next_version ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${next_patch})
set(next_msi ${CMAKE_BINARY_DIR}/msi-next/velmor-helper-${next_version}-x64.msi)
velmor_add_msi(${next_msi} ${next_version})
add_custom_target(velmor-msi-next DEPENDS ${next_msi})
add_dependencies(velmor-service-e2e-tests velmor-msi velmor-msi-next)
# Wine shows the Unix root as drive Z:.
target_compile_definitions(velmor-service-e2e-tests PRIVATE
  VELMOR_VERSION="${PROJECT_VERSION}"
  VELMOR_MSI_PATH="Z:${VELMOR_MSI}"
  VELMOR_MSI_NEXT_PATH="Z:${next_msi}"
  VELMOR_MSI_UPGRADE_CODE="{${VELMOR_MSI_UPGRADE_CODE}}"
  VELMOR_SOURCE_DIR="Z:${PROJECT_SOURCE_DIR}")

add_test(NAME velmor-service-e2e
  COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/run-service-tests $<TARGET_FILE:velmor-service-e2e-tests> --gtest_brief=1)
# The service's pipe and registration are machine-wide on Windows.
set_tests_properties(velmor-service-e2e PROPERTIES
  ENVIRONMENT "VELMOR_SERVICE_WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix-service"
  RUN_SERIAL TRUE
  TIMEOUT 900)
