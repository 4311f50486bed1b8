# Installation: on Windows and macOS Qt's deployment tool copies the Qt libraries
# and plugins the program needs next to it.
include(GNUInstallDirs)
install(TARGETS tessaly
    BUNDLE DESTINATION .
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
)
if(WIN32 OR APPLE)
    qt_generate_deploy_app_script(
        TARGET tessaly
        OUTPUT_SCRIPT deploy_script
        NO_UNSUPPORTED_PLATFORM_ERROR
    )
    install(SCRIPT ${deploy_script})
endif()
