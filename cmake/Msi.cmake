# The Windows Installer package for administrators, beside the setup program:
# `cmake --build <build dir> --target msi` writes tessaly-<version>-win64.msi
# into the build directory. It packs what `cmake --install` stages (the same
# stripped, signed files the setup program packs), with cmake/tessaly.wxs as
# its source, made by msitools' wixl (cmake/MsiBuild.cmake) and signed like
# the setup program. Included by cmake/Installer.cmake in Windows builds.

# One for every version: Windows Installer finds the installed Tessaly by it,
# to upgrade it or refuse an older one. Never change it.
set(TESSALY_MSI_UPGRADE_CODE "4CBC438A-29A5-4ACC-A90C-93608FB2ADD7")

find_program(TESSALY_WIXL wixl)
find_program(TESSALY_MSI_PYTHON python3)

# The settings the build script runs with; -D on its own command line wins, so
# that the same sources can be packed as another version:
#   cmake -DVERSION=0.9.0 -DOUTPUT=old.msi -P <build dir>/msi.cmake
file(CONFIGURE OUTPUT "${CMAKE_BINARY_DIR}/msi.cmake" CONTENT [==[
cmake_minimum_required(VERSION 3.21)
foreach(setting IN ITEMS
        "BINARY_DIR;@CMAKE_BINARY_DIR@"
        "VERSION;@PROJECT_VERSION@"
        "UPGRADE_CODE;@TESSALY_MSI_UPGRADE_CODE@"
        "SOURCE;@CMAKE_CURRENT_LIST_DIR@/tessaly.wxs"
        "SUMMARY_SCRIPT;@CMAKE_CURRENT_LIST_DIR@/msi-summary.py"
        "WIXL;@TESSALY_WIXL@"
        "PYTHON;@TESSALY_MSI_PYTHON@"
        "SOURCE_DATE_EPOCH;@tessaly_source_date_epoch@")
    list(GET setting 0 name)
    list(GET setting 1 value)
    if(NOT DEFINED ${name})
        set(${name} "${value}")
    endif()
endforeach()
if(NOT DEFINED SIGN)
    set(SIGN "@tessaly_sign_command@")
endif()
if(NOT DEFINED OUTPUT)
    set(OUTPUT "${BINARY_DIR}/tessaly-${VERSION}-win64.msi")
endif()
include("@CMAKE_CURRENT_LIST_DIR@/MsiBuild.cmake")
]==] @ONLY)

add_custom_target(msi
    COMMAND ${CMAKE_COMMAND} -P "${CMAKE_BINARY_DIR}/msi.cmake"
    COMMENT "Packing tessaly-${PROJECT_VERSION}-win64.msi"
    VERBATIM)
add_dependencies(msi tessaly)
