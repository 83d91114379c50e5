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

# The MSI for administrators, built by wixl from packaging/velmor-helper.wxs
# beside the ZIP: velmor-helper-<version>-x64.msi. It carries the same two
# executables, stripped as in the ZIP.
find_program(VELMOR_WIXL wixl)
set(VELMOR_MSI_UPGRADE_CODE BF60EE8E-1AA5-4EE8-8120-74A37FD60BE0)
set(VELMOR_MSI_WXS ${PROJECT_SOURCE_DIR}/packaging/velmor-helper.wxs)
set(VELMOR_MSI_STAGE ${CMAKE_BINARY_DIR}/msi-files)

# Builds `output` from the staged executables with `version` as the
# package's ProductVersion.
function(velmor_add_msi output version)
  get_filename_component(folder ${output} DIRECTORY)
  add_custom_command(OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${folder}
    COMMAND ${VELMOR_WIXL} -a x64 -D Version=${version} -D UpgradeCode=${VELMOR_MSI_UPGRADE_CODE} -o ${output} ${VELMOR_MSI_WXS}
    WORKING_DIRECTORY ${VELMOR_MSI_STAGE}
    DEPENDS ${VELMOR_MSI_WXS} ${VELMOR_MSI_STAGE}/velmor-helper.exe ${VELMOR_MSI_STAGE}/velmor-ctl.exe
    COMMENT "Building ${output}"
    VERBATIM)
endfunction()

if(TARGET velmor-helper AND TARGET velmor-ctl)
  if(NOT VELMOR_WIXL)
    message(FATAL_ERROR "wixl not found: run scripts/setup")
  endif()
  foreach(target IN ITEMS velmor-helper velmor-ctl)
    add_custom_command(OUTPUT ${VELMOR_MSI_STAGE}/${target}.exe
      COMMAND ${CMAKE_COMMAND} -E make_directory ${VELMOR_MSI_STAGE}
      COMMAND ${CMAKE_STRIP} -o ${VELMOR_MSI_STAGE}/${target}.exe $<TARGET_FILE:${target}>
      DEPENDS ${target}
      VERBATIM)
  endforeach()
  set(VELMOR_MSI ${CMAKE_BINARY_DIR}/velmor-helper-${PROJECT_VERSION}-x64.msi)
  velmor_add_msi(${VELMOR_MSI} ${PROJECT_VERSION})
  add_custom_target(velmor-msi DEPENDS ${VELMOR_MSI})
endif()
