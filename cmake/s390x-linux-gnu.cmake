# Cross-builds bumpbuild for IBM Z (s390x, big-endian) with Debian's g++-s390x-linux-gnu; programs
# and tests run under qemu-user (see debian-cross-linux.cmake; scripts/check-cross installs both):
#   cmake -S . -B build-s390x -DCMAKE_TOOLCHAIN_FILE=cmake/s390x-linux-gnu.cmake
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(debian_triplet s390x-linux-gnu)
set(qemu_processor s390x)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross-linux.cmake)
