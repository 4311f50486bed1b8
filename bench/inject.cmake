# Joins the benchmark programs to a build of the agent without the agent's own
# CMakeLists.txt knowing about them. scripts/bench.sh configures with
#   -DCMAKE_PROJECT_Tessaly_INCLUDE=<this file>
# which CMake reads right after project(Tessaly ...). The targets are declared
# once the whole top-level directory has been read, so that what they link
# (tessalycore) exists and they build with the same flags and the same Qt.
# (The deferred call's arguments are expanded when it runs, so the path is
# kept in a variable of its own.)
set(TESSALY_BENCH_DIR "${CMAKE_CURRENT_LIST_DIR}")
cmake_language(DEFER CALL include "${TESSALY_BENCH_DIR}/targets.cmake")
