# The Windows setup program: `cpack -G NSIS` in a Windows build (native or
# cross) makes tessaly-<version>-win64-setup.exe from what `cmake --install`
# deploys, with cmake/NSIS.template.in as its script. The program itself reads
# nothing the installer writes; only the installer and its uninstaller touch
# the registry and the shortcuts.
if(NOT WIN32)
    return()
endif()

# The program has no icon of its own on disk (no resource section); the
# shortcuts and the Uninstall entry show this copy.
install(FILES ${CMAKE_SOURCE_DIR}/resources/icon.ico DESTINATION . RENAME tessaly.ico)

set(CPACK_GENERATOR NSIS)
# Values reach CPack as they are written here, quotes included.
set(CPACK_VERBATIM_VARIABLES YES)
set(CPACK_PACKAGE_NAME "Tessaly")
set(CPACK_PACKAGE_VENDOR "Tessaly")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_FILE_NAME "tessaly-${PROJECT_VERSION}-win64-setup")
set(CPACK_PACKAGE_INSTALL_DIRECTORY "Tessaly")
# One key for every version, so that an upgrade replaces the entry.
set(CPACK_PACKAGE_INSTALL_REGISTRY_KEY "Tessaly")
set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
set(CPACK_NSIS_DISPLAY_NAME "Tessaly")
set(CPACK_NSIS_PACKAGE_NAME "Tessaly")
set(CPACK_NSIS_MUI_ICON "${CMAKE_SOURCE_DIR}/resources/icon.ico")
set(CPACK_NSIS_MUI_UNIICON "${CMAKE_SOURCE_DIR}/resources/icon.ico")
set(CPACK_NSIS_COMPRESSOR "/SOLID lzma")
# Where the shortcuts point, inside the install folder (NSIS.template.in).
set(CPACK_TESSALY_BINDIR "${CMAKE_INSTALL_BINDIR}")
# With a certificate (cmake/Deploy.cmake), makensis has the uninstaller
# signed before it packs it, and the setup program once it is written.
set(CPACK_TESSALY_SIGN_UNINSTALLER "")
set(CPACK_TESSALY_SIGN_SETUP "")
if(tessaly_sign_command)
    set(sign "")
    foreach(argument IN LISTS tessaly_sign_command)
        string(APPEND sign "\"${argument}\" ")
    endforeach()
    set(CPACK_TESSALY_SIGN_UNINSTALLER "!uninstfinalize '${sign}\"%1\"' = 0")
    set(CPACK_TESSALY_SIGN_SETUP "!finalize '${sign}\"%1\"' = 0")
endif()
# The MSI package beside it (cmake/Msi.cmake); the setup program refuses to
# install where the MSI did, found by its upgrade code.
include(${CMAKE_CURRENT_LIST_DIR}/Msi.cmake)
set(CPACK_TESSALY_MSI_UPGRADE_CODE "{${TESSALY_MSI_UPGRADE_CODE}}")
# CPack looks for NSIS.template.in here before its own.
set(CPACK_MODULE_PATH "${CMAKE_SOURCE_DIR}/cmake")

include(CPack)
