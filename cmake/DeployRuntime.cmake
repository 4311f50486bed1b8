# Run by `cmake --install` of a cross build for Windows (cmake/Deploy.cmake):
# stages into DESTINATION the program, the Qt plugins it loads by name and
# every DLL they import, directly or through each other, from RUNTIME_DIRS.
# CMake's own file(GET_RUNTIME_DEPENDENCIES) cannot do this from Linux: it
# looks Windows names up in lower case, and Qt6Core.dll is not qt6core.dll
# here.
#
# Each file is stripped once, from its original into its place: Debian's MinGW
# runtime and a Qt built from source carry their symbol tables (libstdc++-6.dll
# alone is 29 MB). strip writes a new PE time stamp and checksum; with
# SOURCE_DATE_EPOCH set it writes that time, so staging the same build twice
# gives the same bytes.
#
# Variables: PROGRAM, PLUGIN_DIR, PLUGINS (as "platforms/qwindows"), RUNTIME_DIRS,
# IMPORT_LIB_DIR (the toolchain's import libraries: an import found nowhere
# else is Windows' own only if it has one there), OBJDUMP, STRIP,
# SOURCE_DATE_EPOCH (may be empty), DESTINATION.

# Every DLL the runtime directories offer, by lower-case name.
set(offered_names "")
set(offered_paths "")
foreach(dir IN LISTS RUNTIME_DIRS)
    file(GLOB dlls LIST_DIRECTORIES false "${dir}/*.dll")
    foreach(dll IN LISTS dlls)
        get_filename_component(name "${dll}" NAME)
        string(TOLOWER "${name}" name)
        if(NOT name IN_LIST offered_names)
            list(APPEND offered_names "${name}")
            list(APPEND offered_paths "${dll}")
        endif()
    endforeach()
endforeach()

# What is staged where: the program and the plugins, then what they import.
get_filename_component(program_name "${PROGRAM}" NAME)
set(sources "${PROGRAM}")
set(targets "${DESTINATION}/${program_name}")
foreach(plugin IN LISTS PLUGINS)
    list(APPEND sources "${PLUGIN_DIR}/${plugin}.dll")
    list(APPEND targets "${DESTINATION}/${plugin}.dll")
endforeach()

set(queue ${sources})
set(seen "")
while(queue)
    list(POP_FRONT queue file)
    execute_process(COMMAND "${OBJDUMP}" -p "${file}"
                    OUTPUT_VARIABLE headers RESULT_VARIABLE status ERROR_VARIABLE error)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "${OBJDUMP} cannot read ${file}: ${error}")
    endif()
    string(REGEX MATCHALL "DLL Name: [^\r\n]+" imports "${headers}")
    foreach(import IN LISTS imports)
        string(REGEX REPLACE "^DLL Name: " "" dll "${import}")
        string(STRIP "${dll}" dll)
        string(TOLOWER "${dll}" name)
        if(name IN_LIST seen OR name MATCHES "^(api|ext)-ms-")
            continue()
        endif()
        list(APPEND seen "${name}")
        list(FIND offered_names "${name}" index)
        if(index GREATER -1)
            list(GET offered_paths ${index} path)
            get_filename_component(path_name "${path}" NAME)
            list(APPEND sources "${path}")
            list(APPEND targets "${DESTINATION}/${path_name}")
            list(APPEND queue "${path}")
            continue()
        endif()
        string(REGEX REPLACE "\\.dll$" "" stem "${name}")
        if(NOT EXISTS "${IMPORT_LIB_DIR}/lib${stem}.a")
            get_filename_component(importer "${file}" NAME)
            list(JOIN RUNTIME_DIRS ", " dirs)
            message(FATAL_ERROR "${importer} needs ${dll}, which is neither in ${dirs} "
                                "nor one of Windows' own libraries")
        endif()
    endforeach()
endwhile()

if(NOT SOURCE_DATE_EPOCH STREQUAL "")
    set(ENV{SOURCE_DATE_EPOCH} "${SOURCE_DATE_EPOCH}")
endif()
foreach(source target IN ZIP_LISTS sources targets)
    get_filename_component(target_dir "${target}" DIRECTORY)
    file(MAKE_DIRECTORY "${target_dir}")
    message(STATUS "Installing: ${target}")
    execute_process(COMMAND "${STRIP}" --strip-unneeded -o "${target}" "${source}"
                    RESULT_VARIABLE status ERROR_VARIABLE error)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "${STRIP} failed on ${source}: ${error}")
    endif()
endforeach()
