# Cross-compiling for 64-bit Windows with Debian's MinGW-w64 (the POSIX thread
# model, which Qt needs for std::thread and friends):
#
#   cmake -S . -B build/windows -G Ninja -DCMAKE_BUILD_TYPE=Release \
#         -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
#         -DCMAKE_PREFIX_PATH=/opt/qt-mingw -DQT_HOST_PATH=/usr
#
# CMAKE_PREFIX_PATH names a Qt built for this target; QT_HOST_PATH a Qt of the
# same version for this machine, whose moc, rcc and uic the build runs.
# Set CMAKE_CROSSCOMPILING_EMULATOR (for example to wine) to run the tests with
# ctest.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TESSALY_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TESSALY_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TESSALY_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${TESSALY_MINGW_TRIPLET}-windres)

# Libraries, headers and packages come from the target's tree and from the
# prefixes named in CMAKE_PREFIX_PATH (the target Qt); programs that run during
# the build (python3, the host Qt's moc) from this machine.
set(CMAKE_FIND_ROOT_PATH /usr/${TESSALY_MINGW_TRIPLET} ${CMAKE_PREFIX_PATH})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# file(GET_RUNTIME_DEPENDENCIES) reads the import tables of PE files with the
# target's objdump.
set(CMAKE_GET_RUNTIME_DEPENDENCIES_PLATFORM windows+pe)
set(CMAKE_GET_RUNTIME_DEPENDENCIES_TOOL objdump)
set(CMAKE_GET_RUNTIME_DEPENDENCIES_COMMAND ${TESSALY_MINGW_TRIPLET}-objdump)
