# Version information and the application manifest for the shipped
# executables, from one template (packaging/resources.rc.in) and the project's
# version: project(VERSION ...) is the only place that holds it.

# The copyright line of LICENSE, so the resources say what the licence says.
file(STRINGS ${PROJECT_SOURCE_DIR}/LICENSE VELMOR_COPYRIGHT REGEX "^Copyright " LIMIT_COUNT 1)
if(NOT VELMOR_COPYRIGHT)
  message(FATAL_ERROR "LICENSE has no line starting with \"Copyright \"")
endif()

# Compiles the resources for `target`, whose file name is <target>.exe, with
# `DESCRIPTION` as its FileDescription.
function(velmor_add_resources target)
  cmake_parse_arguments(ARG "" "DESCRIPTION" "" ${ARGN})
  set(tweak 0)
  if(NOT "${PROJECT_VERSION_TWEAK}" STREQUAL "")
    set(tweak ${PROJECT_VERSION_TWEAK})
  endif()
  set(VELMOR_RC_VERSION_COMMAS "${PROJECT_VERSION_MAJOR},${PROJECT_VERSION_MINOR},${PROJECT_VERSION_PATCH},${tweak}")
  set(VELMOR_RC_DESCRIPTION "${ARG_DESCRIPTION}")
  set(VELMOR_RC_NAME ${target})
  set(VELMOR_RC_COPYRIGHT "${VELMOR_COPYRIGHT}")
  set(VELMOR_RC_MANIFEST ${PROJECT_SOURCE_DIR}/packaging/velmor.manifest)
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}-resources.rc)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/resources.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
  # windres does not report the manifest as a dependency of the .rc file.
  set_source_files_properties(${rc} PROPERTIES OBJECT_DEPENDS ${VELMOR_RC_MANIFEST})
endfunction()
