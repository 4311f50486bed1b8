# Benchmark programs. Not part of the test suite: nothing here registers a
# test. Read into a build of the agent by inject.cmake (see scripts/bench.sh),
# in the top-level directory's scope, hence the explicit paths.

set(bench_dir ${TESSALY_BENCH_DIR})
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)

find_package(X11 REQUIRED)
if(NOT TARGET X11::Xdamage)
    message(FATAL_ERROR "the benchmarks need the X Damage extension's library (libxdamage-dev)")
endif()

# The floor for any Qt widget program: one empty main window of the agent's size.
qt_add_executable(bench_baseline ${bench_dir}/baseline.cpp)
target_link_libraries(bench_baseline PRIVATE Qt6::Widgets)

# Starts a program and watches the X server for its first window being mapped
# and first painted; samples its memory afterwards.
add_executable(bench_launch ${bench_dir}/launch.cpp)
target_link_libraries(bench_launch PRIVATE X11::X11 X11::Xdamage)

# The agent's window driven at high speed through its settings, against the
# reference service; also the round trips measured under callgrind.
qt_add_executable(bench_hostile ${bench_dir}/hostile.cpp)
target_link_libraries(bench_hostile PRIVATE tessalycore)
find_path(VALGRIND_INCLUDE_DIR valgrind/callgrind.h)
if(VALGRIND_INCLUDE_DIR)
    target_include_directories(bench_hostile PRIVATE ${VALGRIND_INCLUDE_DIR})
    target_compile_definitions(bench_hostile PRIVATE BENCH_HAVE_CALLGRIND)
endif()

# The agent's start-up taken apart: the baseline window plus, step by step,
# what the agent does before showing its own.
qt_add_executable(bench_ladder ${bench_dir}/ladder.cpp)
target_link_libraries(bench_ladder PRIVATE tessalycore)
# Linked like the agent: its libraries are loaded even where this program
# calls nothing in them (the agent needs Qt Multimedia for its alert sound).
target_link_options(bench_ladder PRIVATE "LINKER:--no-as-needed")
