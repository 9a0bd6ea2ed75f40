# What the Debian cross toolchains for Linux share. A toolchain file for one processor sets
# CMAKE_SYSTEM_PROCESSOR, `debian_triplet` (the prefix of Debian's cross compiler, as in
# g++-s390x-linux-gnu) and `qemu_processor` (the suffix of the qemu-user program), then includes
# this file. Programs built with it, tests included, run under qemu-user with the target's
# libraries from /usr/<triplet>, so they need no binfmt_misc registration: ctest and the
# discovery of GoogleTest cases start them through CMAKE_CROSSCOMPILING_EMULATOR, and the
# end-to-end tests start the command they test through it too.
set(CMAKE_SYSTEM_NAME Linux)

set(CMAKE_C_COMPILER ${debian_triplet}-gcc)
set(CMAKE_CXX_COMPILER ${debian_triplet}-g++)

set(CMAKE_FIND_ROOT_PATH /usr/${debian_triplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/qemu-${qemu_processor}-static -L /usr/${debian_triplet})
