# Version information and the application manifest for the shipped
# executables, from one template (packaging/resources.rc.in) and the project's
# version: project(VERSION ...) is the only place that holds it. The helper
# also carries the Event Log's message table (src/env/event_table.inc).

# The copyright line of LICENSE, so the resources say what the licence says.
file(STRINGS ${PROJECT_SOURCE_DIR}/LICENSE VELMOR_COPYRIGHT REGEX "^Copyright " LIMIT_COUNT 1)
if(NOT VELMOR_COPYRIGHT)
  message(FATAL_ERROR "LICENSE has no line starting with \"Copyright \"")
endif()

find_program(VELMOR_WINDMC x86_64-w64-mingw32-windmc)

# Compiles the resources for `target`, whose file name is <target>.exe, with
# `DESCRIPTION` as its FileDescription; with `MESSAGES`, also the message
# table compiled by windmc from that .mc file.
function(velmor_add_resources target)
  cmake_parse_arguments(ARG "" "DESCRIPTION;MESSAGES" "" ${ARGN})
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
  set(depends ${VELMOR_RC_MANIFEST})
  set(VELMOR_RC_MESSAGES "// No message table.")
  if(ARG_MESSAGES)
    if(NOT VELMOR_WINDMC)
      message(FATAL_ERROR "x86_64-w64-mingw32-windmc not found: run scripts/setup")
    endif()
    get_filename_component(name ${ARG_MESSAGES} NAME_WE)
    set(out ${CMAKE_CURRENT_BINARY_DIR}/${target}-messages)
    # windmc writes <name>.rc, <name>.h and one MSG<language>.bin per language.
    add_custom_command(OUTPUT ${out}/${name}.rc ${out}/${name}.h
      COMMAND ${CMAKE_COMMAND} -E make_directory ${out}
      COMMAND ${VELMOR_WINDMC} -U -r ${out} -h ${out} ${ARG_MESSAGES}
      DEPENDS ${ARG_MESSAGES}
      COMMENT "Compiling the message table ${name}.mc"
      VERBATIM)
    set(VELMOR_RC_MESSAGES "#include \"${out}/${name}.rc\"")
    list(APPEND depends ${out}/${name}.rc)
    # windres looks for the .bin files the generated .rc names in its
    # include folders.
    set_source_files_properties(${rc} PROPERTIES INCLUDE_DIRECTORIES ${out})
  endif()
  configure_file(${PROJECT_SOURCE_DIR}/packaging/resources.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
  # windres does not report the manifest or the message table as
  # dependencies of the .rc file.
  set_source_files_properties(${rc} PROPERTIES OBJECT_DEPENDS "${depends}")
endfunction()
