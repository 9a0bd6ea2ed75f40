# Builds bumpbuild and its tests for macOS on x86-64 with Zig's compilers and the macOS headers
# and libraries that Zig carries (see zig.cmake; scripts/check-zig installs Zig):
#   cmake -S . -B build-x86_64-macos -DCMAKE_TOOLCHAIN_FILE=cmake/x86_64-macos-zig.cmake
# Nothing built here runs on this machine: the test cases are listed when ctest runs, on a Mac.
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(zig_target x86_64-macos)
include(${CMAKE_CURRENT_LIST_DIR}/zig.cmake)
