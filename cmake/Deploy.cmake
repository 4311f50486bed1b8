# Installation. On Windows, `cmake --install` also puts next to the program the
# Qt libraries, plugins and compiler runtime it needs, so that the folder runs
# with no Qt installed: a native build runs Qt's deployment tool (windeployqt);
# a cross build, which has no deployment tool that runs on the build machine,
# stages the program and them itself (cmake/DeployRuntime.cmake).
include(GNUInstallDirs)
if(NOT (WIN32 AND CMAKE_CROSSCOMPILING))
    install(TARGETS tessaly
        BUNDLE DESTINATION .
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
    )
endif()
if(WIN32)
    # One time for every time stamp the shipped files carry, so that the same
    # commit staged twice gives the same bytes: SOURCE_DATE_EPOCH as the build
    # was configured, else the commit's time. (The linker and Qt's resource
    # compiler read SOURCE_DATE_EPOCH themselves: docs/WINDOWS.md.)
    set(tessaly_source_date_epoch "$ENV{SOURCE_DATE_EPOCH}")
    find_package(Git QUIET)
    if(tessaly_source_date_epoch STREQUAL "" AND GIT_EXECUTABLE)
        execute_process(COMMAND "${GIT_EXECUTABLE}" -C "${CMAKE_SOURCE_DIR}" log -1 --format=%ct
                        OUTPUT_VARIABLE tessaly_source_date_epoch
                        OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    endif()
    if(tessaly_source_date_epoch STREQUAL "")
        message(STATUS "Neither SOURCE_DATE_EPOCH nor a commit: the shipped files carry the time they are staged")
    endif()

    # Authenticode: with a certificate, tessaly.exe is signed as it is staged,
    # and cpack signs the uninstaller and the setup program
    # (cmake/Installer.cmake). The certificate's password is read from the
    # environment variable TESSALY_SIGN_PASSWORD at signing time, never from
    # the cache or a command line.
    set(TESSALY_SIGN_PKCS12 "" CACHE FILEPATH
        "PKCS#12 file with the code-signing certificate and its key; empty: nothing is signed")
    set(TESSALY_SIGN_TIMESTAMP_URL "" CACHE STRING
        "RFC 3161 time-stamping service the signatures are stamped by; empty: none")
    set(tessaly_sign_command "")
    if(TESSALY_SIGN_PKCS12)
        if(NOT EXISTS "${TESSALY_SIGN_PKCS12}")
            message(FATAL_ERROR "TESSALY_SIGN_PKCS12: no file ${TESSALY_SIGN_PKCS12}")
        endif()
        find_program(TESSALY_OSSLSIGNCODE osslsigncode REQUIRED)
        find_program(TESSALY_SH sh REQUIRED)
        set(tessaly_sign_command "${TESSALY_SH}" "${CMAKE_CURRENT_LIST_DIR}/sign.sh")
        if(TESSALY_SIGN_TIMESTAMP_URL)
            list(APPEND tessaly_sign_command "--timestamp=${TESSALY_SIGN_TIMESTAMP_URL}")
        elseif(NOT tessaly_source_date_epoch STREQUAL "")
            list(APPEND tessaly_sign_command "--time=${tessaly_source_date_epoch}")
        endif()
        list(APPEND tessaly_sign_command "${TESSALY_OSSLSIGNCODE}" "${TESSALY_SIGN_PKCS12}")
    endif()
endif()

if(WIN32 AND CMAKE_CROSSCOMPILING)
    # Plugins Qt loads by name at run time: no import table lists them. The
    # offscreen platform the tests use is not shipped: they find it in Qt's
    # own folder.
    set(tessaly_qt_plugins
        platforms/qwindows
        styles/qmodernwindowsstyle
        tls/qschannelbackend
        imageformats/qico
        multimedia/windowsmediaplugin
    )
    set(qt_plugin_dir "${QT6_INSTALL_PREFIX}/${QT6_INSTALL_PLUGINS}")
    foreach(plugin IN LISTS tessaly_qt_plugins)
        if(NOT EXISTS "${qt_plugin_dir}/${plugin}.dll")
            message(FATAL_ERROR "The Qt at ${QT6_INSTALL_PREFIX} has no ${plugin} plugin "
                                "(${qt_plugin_dir}/${plugin}.dll)")
        endif()
    endforeach()

    # Where the libraries the program and the plugins import are found: Qt's
    # and the compiler's runtime (libstdc++, libgcc_s, libwinpthread).
    function(tessaly_toolchain_dir file out_var)
        execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${file}
                        OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
        if(NOT IS_ABSOLUTE "${path}" OR NOT EXISTS "${path}")
            message(FATAL_ERROR "${CMAKE_CXX_COMPILER} does not know where ${file} is")
        endif()
        get_filename_component(dir "${path}" DIRECTORY)
        set(${out_var} "${dir}" PARENT_SCOPE)
    endfunction()
    tessaly_toolchain_dir(libstdc++-6.dll compiler_runtime_dir)
    tessaly_toolchain_dir(libwinpthread-1.dll pthread_runtime_dir)
    # Imports found in none of them are Windows' own when the toolchain has an
    # import library for them (kernel32, d3d11, mfplat...); any other is
    # missing from the deployment.
    tessaly_toolchain_dir(libkernel32.a import_lib_dir)
    set(runtime_dirs "${QT6_INSTALL_PREFIX}/${QT6_INSTALL_BINS}"
                     "${compiler_runtime_dir}" "${pthread_runtime_dir}")
    list(REMOVE_DUPLICATES runtime_dirs)
    install(CODE "
        set(PROGRAM \"$<TARGET_FILE:tessaly>\")
        set(PLUGIN_DIR \"${qt_plugin_dir}\")
        set(PLUGINS \"${tessaly_qt_plugins}\")
        set(RUNTIME_DIRS \"${runtime_dirs}\")
        set(IMPORT_LIB_DIR \"${import_lib_dir}\")
        set(OBJDUMP \"${CMAKE_OBJDUMP}\")
        set(STRIP \"${CMAKE_STRIP}\")
        set(SOURCE_DATE_EPOCH \"${tessaly_source_date_epoch}\")
        set(DESTINATION \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
        include(\"${CMAKE_CURRENT_LIST_DIR}/DeployRuntime.cmake\")
    ")
elseif(WIN32)
    qt_generate_deploy_app_script(
        TARGET tessaly
        OUTPUT_SCRIPT deploy_script
        NO_UNSUPPORTED_PLATFORM_ERROR
    )
    install(SCRIPT ${deploy_script})
endif()

if(tessaly_sign_command)
    install(CODE "
        set(SIGN \"${tessaly_sign_command}\")
        set(program \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/tessaly.exe\")
        message(STATUS \"Signing: \${program}\")
        execute_process(COMMAND \${SIGN} \"\${program}\" RESULT_VARIABLE status)
        if(NOT status EQUAL 0)
            message(FATAL_ERROR \"Signing \${program} failed\")
        endif()
    ")
endif()
