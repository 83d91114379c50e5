# The helper in console mode and its control pipe, end to end. Windows build
# only. Other console-mode tests (console_*_test.cpp) join the same program
# and use the harness (harness.hpp).
if(NOT VELMOR_WINDOWS OR NOT TARGET velmor-helper)
  return()
endif()

add_library(velmor-e2e-harness STATIC ${CMAKE_CURRENT_SOURCE_DIR}/harness.cpp)
target_include_directories(velmor-e2e-harness PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(velmor-e2e-harness PUBLIC velmor GTest::gtest)

file(GLOB VELMOR_CONSOLE_E2E_TESTS CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/console_*_test.cpp)
add_executable(velmor-e2e-tests ${VELMOR_CONSOLE_E2E_TESTS})
target_link_libraries(velmor-e2e-tests PRIVATE velmor-e2e-harness GTest::gtest_main)
add_dependencies(velmor-e2e-tests velmor-helper velmor-ctl)
target_compile_definitions(velmor-e2e-tests PRIVATE VELMOR_VERSION="${PROJECT_VERSION}")
velmor_add_gtest(velmor-e2e-tests)
# The pipe name is machine-wide: one such program at a time.
set_tests_properties(velmor-e2e-tests PROPERTIES RUN_SERIAL TRUE)
