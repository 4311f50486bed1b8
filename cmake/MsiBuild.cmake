# Makes OUTPUT, Tessaly's Windows Installer package, from what
# `cmake --install BINARY_DIR` stages; run by the msi target through the
# settings file cmake/Msi.cmake writes into the build directory.
#
# The same commit packed twice gives the same bytes: every staged file takes
# the time SOURCE_DATE_EPOCH (which the cabinet records), and so does the
# summary information, whose package code is made from what is packed. wixl
# itself writes the current time and a random package code there;
# msi-summary.py writes them again.
foreach(tool IN ITEMS WIXL PYTHON)
    if(NOT ${tool})
        message(FATAL_ERROR "The MSI needs msitools' wixl and python3 with gir1.2-libmsi-1.0 "
                            "(Debian: apt-get install wixl python3-gi gir1.2-libmsi-1.0)")
    endif()
endforeach()

set(work "${BINARY_DIR}/msi-${VERSION}")
set(stage "${work}/stage")
file(REMOVE_RECURSE "${work}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BINARY_DIR}" --prefix "${stage}"
                OUTPUT_VARIABLE output ERROR_VARIABLE output RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "Staging into ${stage} failed:\n${output}")
endif()
file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE "${stage}" "${stage}/*")
list(SORT files)

if(SOURCE_DATE_EPOCH STREQUAL "")
    string(TIMESTAMP SOURCE_DATE_EPOCH "%s" UTC)
endif()
execute_process(COMMAND touch -d "@${SOURCE_DATE_EPOCH}" ${files} WORKING_DIRECTORY "${stage}"
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "Could not set the time of the staged files")
endif()

# The staged folder as WiX: one component per file, its key path, under
# INSTALLDIR (wixl takes sources relative to the folder it runs in). Windows
# Installer tells components apart by their GUIDs, which wixl derives from
# each file's path (Guid="*"), so a path keeps its GUID from one version to
# the next. The product code is made from the version: one per version, the
# same for every build of it.
string(UUID product_code NAMESPACE "${UPGRADE_CODE}" NAME "${VERSION}" TYPE SHA1 UPPER)
file(SHA256 "${SOURCE}" source_hash)
set(packed "${VERSION} ${source_hash}")
set(directories "")
foreach(file IN LISTS files)
    get_filename_component(directory "${file}" DIRECTORY)
    while(NOT directory STREQUAL "" AND NOT directory IN_LIST directories)
        list(APPEND directories "${directory}")
        get_filename_component(directory "${directory}" DIRECTORY)
    endwhile()
    file(SHA256 "${stage}/${file}" hash)
    string(APPEND packed " ${file} ${hash}")
endforeach()
set(fragment "${work}/files.wxs")

function(write_directory directory indent)
    foreach(file IN LISTS files)
        get_filename_component(parent "${file}" DIRECTORY)
        if(NOT parent STREQUAL directory)
            continue()
        endif()
        string(MD5 id "${file}")
        set(file_id "f${id}")
        if(file STREQUAL "bin/tessaly.exe")
            set(file_id "TessalyExe")  # the shortcuts' target
        endif()
        file(APPEND "${fragment}"
            "${indent}<Component Id=\"c${id}\" Guid=\"*\" Win64=\"yes\">\n"
            "${indent}  <File Id=\"${file_id}\" Source=\"stage/${file}\" KeyPath=\"yes\"/>\n"
            "${indent}</Component>\n")
    endforeach()
    foreach(child IN LISTS directories)
        get_filename_component(parent "${child}" DIRECTORY)
        if(NOT parent STREQUAL directory)
            continue()
        endif()
        string(MD5 id "${child}")
        get_filename_component(name "${child}" NAME)
        file(APPEND "${fragment}" "${indent}<Directory Id=\"d${id}\" Name=\"${name}\">\n")
        write_directory("${child}" "${indent}  ")
        file(APPEND "${fragment}" "${indent}</Directory>\n")
    endforeach()
endfunction()

file(WRITE "${fragment}" "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
    "<Wix xmlns=\"http://schemas.microsoft.com/wix/2006/wi\">\n  <Fragment>\n    <DirectoryRef Id=\"INSTALLDIR\">\n")
write_directory("" "      ")
file(APPEND "${fragment}" "    </DirectoryRef>\n    <ComponentGroup Id=\"StagedFiles\">\n")
foreach(file IN LISTS files)
    string(MD5 id "${file}")
    file(APPEND "${fragment}" "      <ComponentRef Id=\"c${id}\"/>\n")
endforeach()
file(APPEND "${fragment}" "    </ComponentGroup>\n  </Fragment>\n</Wix>\n")

set(msi "${work}/tessaly.msi")
execute_process(COMMAND "${WIXL}" --arch x64 -D "Version=${VERSION}" -D "ProductCode=${product_code}"
                        -D "UpgradeCode=${UPGRADE_CODE}" -D "Icon=stage/tessaly.ico"
                        -o "${msi}" "${SOURCE}" "${fragment}"
                WORKING_DIRECTORY "${work}"
                OUTPUT_VARIABLE output ERROR_VARIABLE output RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "wixl failed:\n${output}")
endif()
# A new package code for every package that differs, the same one for the same.
string(UUID package_code NAMESPACE "${UPGRADE_CODE}" NAME "${packed}" TYPE SHA1 UPPER)
execute_process(COMMAND "${PYTHON}" "${SUMMARY_SCRIPT}" "${msi}" "{${package_code}}" "${SOURCE_DATE_EPOCH}"
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "Could not write the summary information of ${msi}")
endif()
if(SIGN)
    execute_process(COMMAND ${SIGN} "${msi}" RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "Signing ${msi} failed")
    endif()
endif()
file(RENAME "${msi}" "${OUTPUT}")
message(STATUS "${OUTPUT}: Tessaly ${VERSION}, ProductCode {${product_code}}")
