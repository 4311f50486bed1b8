# Compiled-in endpoints of the agent. Nothing configures them at run time.
#
# The defaults point at the reference service in refservice/, run on this machine
# on port 8443 with a test CA kept in the build tree. A release build sets its own:
#   -DTESSALY_SERVICE_URL=https://service.example.com
#   -DTESSALY_PUBLIC_ADDRESS_URL=https://ip.example.net
#   -DTESSALY_TRUSTED_CA=            (empty: trust the system's roots only)

set(TESSALY_REFSERVICE_SCRIPT "${CMAKE_SOURCE_DIR}/refservice/refservice.py")
set(TESSALY_REFSERVICE_STATE_DIR "${CMAKE_BINARY_DIR}/refservice-state")

set(TESSALY_SERVICE_URL "https://localhost:8443" CACHE STRING
    "Scheme, host and optional port of the maker's service (https only)")
set(TESSALY_PUBLIC_ADDRESS_URL "https://localhost:8443" CACHE STRING
    "Scheme, host and optional port of the public-address echo service (https only)")
set(TESSALY_TRUSTED_CA "${TESSALY_REFSERVICE_STATE_DIR}/ca.pem" CACHE FILEPATH
    "Optional PEM file of extra root certificates compiled into the agent (empty for none)")

foreach(var TESSALY_SERVICE_URL TESSALY_PUBLIC_ADDRESS_URL)
    if(NOT "${${var}}" MATCHES "^https://[^/?#@ ]+$")
        message(FATAL_ERROR
            "${var} is \"${${var}}\": it must be an https:// URL made of scheme, host "
            "and optional port only, with no path, query or user info.")
    endif()
endforeach()

# The test CA's key sits unencrypted in the build tree: a build that talks to
# anything but this machine must not trust it, however the file came to be
# where it is. Every test CA the reference service makes is named "Tessaly
# Test CA"; a PEM file holds that name base64-encoded, as one of these three
# strings, one for each place the name can start within a three-byte group.
set(test_ca "${TESSALY_REFSERVICE_STATE_DIR}/ca.pem")
set(test_ca_name_base64 VGVzc2FseSBUZXN0IENB Rlc3NhbHkgVGVzdCBDQ UZXNzYWx5IFRlc3QgQ0)
set(trusts_test_ca OFF)
if(TESSALY_TRUSTED_CA STREQUAL test_ca)
    set(trusts_test_ca ON)  # made below if it is not there yet
elseif(TESSALY_TRUSTED_CA AND EXISTS "${TESSALY_TRUSTED_CA}")
    file(READ "${TESSALY_TRUSTED_CA}" given_pem)
    string(REGEX REPLACE "[\r\n]" "" given_pem "${given_pem}")
    foreach(pattern IN LISTS test_ca_name_base64)
        string(FIND "${given_pem}" "${pattern}" found)
        if(NOT found EQUAL -1)
            set(trusts_test_ca ON)
        endif()
    endforeach()
endif()
if(trusts_test_ca)
    foreach(var TESSALY_SERVICE_URL TESSALY_PUBLIC_ADDRESS_URL)
        string(REGEX REPLACE "^https://(\\[[^]]*\\]|[^:]*).*$" "\\1" host "${${var}}")
        string(TOLOWER "${host}" host)
        if(NOT host MATCHES "^(localhost|127\\.0\\.0\\.1|\\[::1\\])$")
            message(FATAL_ERROR
                "${var} is \"${${var}}\", not this machine, but TESSALY_TRUSTED_CA is the "
                "reference service's test CA (${TESSALY_TRUSTED_CA}). A build for a real service "
                "must not trust it: pass -DTESSALY_TRUSTED_CA= (system roots only) or "
                "-DTESSALY_TRUSTED_CA=<the release's own PEM file>.")
        endif()
    endforeach()
endif()

# The reference service's CA is made here, before it is compiled in, so that a
# plain configure-and-build gives a program that trusts the local test service.
if(TESSALY_TRUSTED_CA STREQUAL "${TESSALY_REFSERVICE_STATE_DIR}/ca.pem")
    find_package(Python3 REQUIRED COMPONENTS Interpreter)
    execute_process(
        COMMAND ${Python3_EXECUTABLE} ${TESSALY_REFSERVICE_SCRIPT} make-certs
                --state-dir ${TESSALY_REFSERVICE_STATE_DIR}
        RESULT_VARIABLE certs_result
        OUTPUT_QUIET)
    if(NOT certs_result EQUAL 0)
        message(FATAL_ERROR "Could not make the reference service's test certificates")
    endif()
endif()

set(TESSALY_TRUSTED_CA_PEM "")
if(TESSALY_TRUSTED_CA)
    if(NOT EXISTS "${TESSALY_TRUSTED_CA}")
        message(FATAL_ERROR "TESSALY_TRUSTED_CA names a file that does not exist: ${TESSALY_TRUSTED_CA}")
    endif()
    file(READ "${TESSALY_TRUSTED_CA}" TESSALY_TRUSTED_CA_PEM)
    if(NOT TESSALY_TRUSTED_CA_PEM MATCHES "-----BEGIN CERTIFICATE-----")
        message(FATAL_ERROR "TESSALY_TRUSTED_CA holds no PEM certificate: ${TESSALY_TRUSTED_CA}")
    endif()
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${TESSALY_TRUSTED_CA}")
endif()

if(WIN32)
    set(TESSALY_SSH_CLIENT_PATH "C:\\\\Program Files\\\\PuTTY\\\\putty.exe")
else()
    set(TESSALY_SSH_CLIENT_PATH "/usr/bin/putty")
endif()

configure_file(${CMAKE_SOURCE_DIR}/app/buildsettings.cpp.in
               ${CMAKE_BINARY_DIR}/generated/buildsettings.cpp @ONLY)
configure_file(${CMAKE_SOURCE_DIR}/service/trustedca.cpp.in
               ${CMAKE_BINARY_DIR}/generated/trustedca.cpp @ONLY)
