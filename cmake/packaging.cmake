# The release package: a ZIP with the helper, the client, the README and the
# licence. Only the "release" component goes in, so nothing else that a
# subproject installs (test libraries, the demo core) can slip into it.
if(NOT VELMOR_WINDOWS)
  return()
endif()

foreach(target IN ITEMS velmor-helper velmor-ctl)
  if(TARGET ${target})
    install(TARGETS ${target} RUNTIME DESTINATION . COMPONENT release)
  endif()
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION . COMPONENT release)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME velmor-helper)
set(CPACK_PACKAGE_VENDOR "The velmor-helper authors")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME velmor-helper-${PROJECT_VERSION}-win64)
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
set(CPACK_COMPONENTS_ALL release)
set(CPACK_STRIP_FILES ON)
include(CPack)
