# Builds bumpbuild and its tests for Linux on x86-64 with another C library, C++ library and
# compiler than Debian's: Zig's Clang, libc++ and musl (see zig.cmake; scripts/check-zig installs
# Zig):
#   cmake -S . -B build-x86_64-linux-musl -DCMAKE_TOOLCHAIN_FILE=cmake/x86_64-linux-musl-zig.cmake
# The programs are linked statically, so they run on this machine as they are; no library can be
# preloaded into them, so the tests that need the preloaded network file-system shim skip.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(zig_target x86_64-linux-musl)
include(${CMAKE_CURRENT_LIST_DIR}/zig.cmake)
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
