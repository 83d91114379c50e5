# The release packages, beside each other in the build folder:
#   velmor-helper-<version>-win64.zip  the helper, the client, a README of
#                                      its own (packaging/README-zip.md),
#                                      SECURITY.md, the licence and docs/
#                                      (CPack)
#   velmor-helper-<version>-x64.msi    the helper and the client for
#                                      administrators (wixl, from
#                                      packaging/velmor-helper.wxs)
# Both take the same two executables from release-files/: stripped, and
# signed when VELMOR_SIGN_CERT and VELMOR_SIGN_KEY name a certificate and its
# key (scripts/package --sign). The version is the project's.
if(NOT VELMOR_WINDOWS OR NOT TARGET velmor-helper OR NOT TARGET velmor-ctl)
  return()
endif()

find_program(VELMOR_WIXL wixl)
find_program(VELMOR_MSIBUILD msibuild)
if(NOT VELMOR_WIXL OR NOT VELMOR_MSIBUILD)
  message(FATAL_ERROR "wixl or msibuild not found: run scripts/setup")
endif()
set(VELMOR_SIGN_CERT "" CACHE FILEPATH "Authenticode certificate (PEM) for the release files; empty: unsigned")
set(VELMOR_SIGN_KEY "" CACHE FILEPATH "Private key of VELMOR_SIGN_CERT")
set(VELMOR_SIGN_COMMAND)
if(VELMOR_SIGN_CERT OR VELMOR_SIGN_KEY)
  find_program(VELMOR_OSSLSIGNCODE osslsigncode REQUIRED)
  set(VELMOR_SIGN_COMMAND ${CMAKE_COMMAND} -DOSSLSIGNCODE=${VELMOR_OSSLSIGNCODE} -DCERT=${VELMOR_SIGN_CERT}
      -DKEY=${VELMOR_SIGN_KEY})
endif()

set(VELMOR_RELEASE_FILES ${CMAKE_BINARY_DIR}/release-files)
set(VELMOR_MSI_UPGRADE_CODE BF60EE8E-1AA5-4EE8-8120-74A37FD60BE0)
set(VELMOR_MSI_WXS ${PROJECT_SOURCE_DIR}/packaging/velmor-helper.wxs)
# The program folder's DACL in the MSI: protected, so that nothing a folder
# above passes on (C:\ gives Authenticated Users Modify on new folders)
# reaches it.
set(VELMOR_PROGRAM_FOLDER_SDDL "O:BAG:SYD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)")
# The data folders' parent gets the descriptor the service gives it, taken
# from where the service has it.
file(READ ${PROJECT_SOURCE_DIR}/src/env/data_folder.hpp header)
if(NOT header MATCHES "DATA_FOLDER_SDDL =[ \n]*\"([^\"]+)\"")
  message(FATAL_ERROR "src/env/data_folder.hpp holds no DATA_FOLDER_SDDL")
endif()
set(VELMOR_DATA_FOLDER_SDDL "${CMAKE_MATCH_1}")
# Each executable's version in the File table, as its version resource has
# it (cmake/resources.cmake: FILEVERSION), and the resource's language, U.S.
# English: Windows Installer compares these with a file already in place.
set(VELMOR_FILE_VERSION_TWEAK 0)
if(NOT "${PROJECT_VERSION_TWEAK}" STREQUAL "")
  set(VELMOR_FILE_VERSION_TWEAK ${PROJECT_VERSION_TWEAK})
endif()
set(VELMOR_FILE_VERSION
    ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.${VELMOR_FILE_VERSION_TWEAK})

foreach(target IN ITEMS velmor-helper velmor-ctl)
  set(staged ${VELMOR_RELEASE_FILES}/${target}.exe)
  set(sign)
  if(VELMOR_SIGN_COMMAND)
    set(sign COMMAND ${VELMOR_SIGN_COMMAND} -DFILE=${staged} -P ${PROJECT_SOURCE_DIR}/cmake/sign.cmake)
  endif()
  add_custom_command(OUTPUT ${staged}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${VELMOR_RELEASE_FILES}
    COMMAND ${CMAKE_STRIP} -o ${staged} $<TARGET_FILE:${target}>
    ${sign}
    DEPENDS ${target}
    VERBATIM)
  list(APPEND VELMOR_RELEASE_FILE_LIST ${staged})
  install(PROGRAMS ${staged} DESTINATION . COMPONENT release)
endforeach()
add_custom_target(velmor-release-files DEPENDS ${VELMOR_RELEASE_FILE_LIST})
# The repository's README starts with building from source; the ZIP's
# says what the ZIP holds and how to install it.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/README-zip.md DESTINATION . RENAME README.md COMPONENT release)
install(FILES ${PROJECT_SOURCE_DIR}/SECURITY.md ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION . COMPONENT release)
# The README's links into docs/ work inside the unpacked ZIP too.
install(FILES ${PROJECT_SOURCE_DIR}/docs/administration.md ${PROJECT_SOURCE_DIR}/docs/protocol.md
        DESTINATION docs COMPONENT release)

# Builds `output` from the release files with `version` as the package's
# ProductVersion. wixl finds the files named in the .wxs in its working folder.
# What wixl cannot express is set in its tables afterwards (msibuild):
# - the conditions of the ControlAccess and allowance components, so that
#   each is written only when its property is set;
# - the event source's EventMessageFile and the event log's File as
#   expandable strings (#%), as the install command writes them, and the
#   log's key removed whole at uninstall (Name "-"), with what the Event Log
#   service added to it;
# - the registry searches in the 64-bit view, where the install command and
#   the package's own components write;
# - the program folder's checks, velmor-ctl.exe from the Binary table (type
#   3074: 2, an EXE from the Binary table; 0x400, deferred; 0x800, not
#   impersonated), one before CreateFolders and one right after the files
#   are in place (wixl puts them where no deferred action may run), and the
#   two properties the install reads as secure ones;
# - the program folder's protected DACL (MsiLockPermissionsEx, Windows
#   Installer 5): SYSTEM and the Administrators full control, Users read and
#   execute, inherited by the files; the data folders' parent's, the
#   service's own descriptor for it;
# - each executable's version and language in the File table.
# The ProductCode follows from the version: a package rebuilt at the same
# version is the same product to Windows Installer (already installed), never a
# second copy beside the first; only a higher version upgrades.
function(velmor_add_msi output version)
  string(UUID product_code NAMESPACE ${VELMOR_MSI_UPGRADE_CODE} NAME "velmor-helper ${version}" TYPE SHA1 UPPER)
  get_filename_component(folder ${output} DIRECTORY)
  set(sign)
  if(VELMOR_SIGN_COMMAND)
    set(sign COMMAND ${VELMOR_SIGN_COMMAND} -DFILE=${output} -P ${PROJECT_SOURCE_DIR}/cmake/sign.cmake)
  endif()
  add_custom_command(OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${folder}
    COMMAND ${VELMOR_WIXL} -a x64 -D Version=${version} -D ProductCode=${product_code}
            -D UpgradeCode=${VELMOR_MSI_UPGRADE_CODE} -o ${output}
            ${VELMOR_MSI_WXS}
    COMMAND ${VELMOR_MSIBUILD} ${output}
            -q "UPDATE `Component` SET `Condition`='CONTROLACCESS' WHERE `Component`='ControlAccessPolicy'"
            -q "UPDATE `Component` SET `Condition`='ALLOWUNSAFEFOLDER=\"1\"' WHERE `Component`='UnsafeFolderAllowance'"
            -q "UPDATE `Registry` SET `Value`='#%[#VelmorHelperExe]' WHERE `Name`='EventMessageFile'"
            -q "UPDATE `Registry` SET `Value`='#%%SystemRoot%\\System32\\Winevt\\Logs\\Velmor.evtx' WHERE `Name`='File'"
            -q "INSERT INTO `Registry` (`Registry`,`Root`,`Key`,`Name`,`Component_`) VALUES ('EventLogRemoved',2,'SYSTEM\\CurrentControlSet\\Services\\EventLog\\Velmor','-','HelperService')"
            -q "UPDATE `RegLocator` SET `Type`=18"
            -q "INSERT INTO `CustomAction` (`Action`,`Type`,`Source`,`Target`) VALUES ('CheckInstallFolder',3074,'VelmorCtlBinary','check-folder --before-install \"[INSTALLDIR].\"')"
            -q "INSERT INTO `CustomAction` (`Action`,`Type`,`Source`,`Target`) VALUES ('CheckInstallFolderAllowingUnsafe',3074,'VelmorCtlBinary','check-folder --before-install --allow-unsafe-folder \"[INSTALLDIR].\"')"
            -q "INSERT INTO `CustomAction` (`Action`,`Type`,`Source`,`Target`) VALUES ('CheckProgramFolder',3074,'VelmorCtlBinary','check-folder \"[INSTALLDIR].\"')"
            -q "UPDATE `InstallExecuteSequence` SET `Sequence`=3650 WHERE `Action`='CheckInstallFolder'"
            -q "UPDATE `InstallExecuteSequence` SET `Sequence`=3651 WHERE `Action`='CheckInstallFolderAllowingUnsafe'"
            -q "UPDATE `InstallExecuteSequence` SET `Sequence`=4001 WHERE `Action`='CheckProgramFolder'"
            -q "UPDATE `File` SET `Version`='${VELMOR_FILE_VERSION}', `Language`='1033'"
            -q "UPDATE `Property` SET `Value`='WIX_DOWNGRADE_DETECTED;WIX_UPGRADE_DETECTED;CONTROLACCESS;ALLOWUNSAFEFOLDER' WHERE `Property`='SecureCustomProperties'"
            -q "CREATE TABLE `MsiLockPermissionsEx` (`MsiLockPermissionsEx` CHAR(72) NOT NULL, `LockObject` CHAR(72) NOT NULL, `Table` CHAR(32) NOT NULL, `SDDLText` LONGCHAR NOT NULL, `Condition` CHAR(255) PRIMARY KEY `MsiLockPermissionsEx`)"
            -q "INSERT INTO `MsiLockPermissionsEx` (`MsiLockPermissionsEx`,`LockObject`,`Table`,`SDDLText`) VALUES ('ProgramFolderDacl','INSTALLDIR','CreateFolder','${VELMOR_PROGRAM_FOLDER_SDDL}')"
            -q "INSERT INTO `MsiLockPermissionsEx` (`MsiLockPermissionsEx`,`LockObject`,`Table`,`SDDLText`) VALUES ('DataFolderParentDacl','VelmorDataParent','CreateFolder','${VELMOR_DATA_FOLDER_SDDL}')"
    ${sign}
    WORKING_DIRECTORY ${VELMOR_RELEASE_FILES}
    DEPENDS ${VELMOR_MSI_WXS} ${VELMOR_RELEASE_FILE_LIST} ${PROJECT_SOURCE_DIR}/src/env/data_folder_win32.hpp
    COMMENT "Building ${output}"
    VERBATIM)
endfunction()

set(VELMOR_MSI ${CMAKE_BINARY_DIR}/velmor-helper-${PROJECT_VERSION}-x64.msi)
velmor_add_msi(${VELMOR_MSI} ${PROJECT_VERSION})
add_custom_target(velmor-msi ALL DEPENDS ${VELMOR_MSI})

# CPack installs what is built already (scripts/package builds the release
# files and the MSI first): nothing else is built for the ZIP.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)
# Only the "release" component goes into the ZIP, so nothing else that a
# subproject installs (test libraries, the demo core) can slip into it.
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME velmor-helper)
set(CPACK_PACKAGE_VENDOR "The velmor-helper authors")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME velmor-helper-${PROJECT_VERSION}-win64)
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
set(CPACK_COMPONENTS_ALL release)
include(CPack)
