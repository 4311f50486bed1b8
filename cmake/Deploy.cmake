# Installation. On Windows, `cmake --install` also puts next to the program the
# Qt libraries, plugins and compiler runtime it needs, so that the folder runs
# with no Qt installed: a native build runs Qt's deployment tool (windeployqt);
# a cross build, which has no deployment tool that runs on the build machine,
# copies them itself.
include(GNUInstallDirs)
install(TARGETS tessaly
    BUNDLE DESTINATION .
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
)
if(WIN32 AND CMAKE_CROSSCOMPILING)
    # Plugins Qt loads by name at run time: no import table lists them.
    # offscreen is for running the tests from the installed folder.
    set(tessaly_qt_plugins
        platforms/qwindows
        platforms/qoffscreen
        styles/qmodernwindowsstyle
        tls/qschannelbackend
        imageformats/qico
        multimedia/windowsmediaplugin
    )
    set(qt_plugin_dir "${QT6_INSTALL_PREFIX}/${QT6_INSTALL_PLUGINS}")
    set(plugin_files "")
    foreach(plugin IN LISTS tessaly_qt_plugins)
        if(NOT EXISTS "${qt_plugin_dir}/${plugin}.dll")
            message(FATAL_ERROR "The Qt at ${QT6_INSTALL_PREFIX} has no ${plugin} plugin "
                                "(${qt_plugin_dir}/${plugin}.dll)")
        endif()
        list(APPEND plugin_files "${qt_plugin_dir}/${plugin}.dll")
        get_filename_component(plugin_subdir "${plugin}" DIRECTORY)
        install(FILES "${qt_plugin_dir}/${plugin}.dll"
                DESTINATION "${CMAKE_INSTALL_BINDIR}/${plugin_subdir}")
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
        set(FILES \"$<TARGET_FILE:tessaly>;${plugin_files}\")
        set(RUNTIME_DIRS \"${runtime_dirs}\")
        set(IMPORT_LIB_DIR \"${import_lib_dir}\")
        set(OBJDUMP \"${CMAKE_OBJDUMP}\")
        set(STRIP \"${CMAKE_STRIP}\")
        set(DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
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
