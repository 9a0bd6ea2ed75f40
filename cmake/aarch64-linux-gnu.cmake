# Cross-builds bumpbuild for 64-bit ARM (aarch64) with Debian's g++-aarch64-linux-gnu; programs and
# tests run under qemu-user (see debian-cross-linux.cmake; scripts/check-cross installs both):
#   cmake -S . -B build-aarch64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(debian_triplet aarch64-linux-gnu)
set(qemu_processor aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross-linux.cmake)
