# Cross-builds for 32-bit ARM Linux boards (ARMv7, hard-float) with Debian's
# cross toolchain (g++-arm-linux-gnueabihf). Target programs, the tests
# among them, run on the build machine under qemu-user emulation, so ctest
# runs the ARM test binaries unchanged (qemu-user).
#
#   cmake -S . -B build-arm -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(QOR_TARGET_TRIPLE arm-linux-gnueabihf)
set(QOR_TARGET_ROOT /usr/${QOR_TARGET_TRIPLE})

set(CMAKE_C_COMPILER ${QOR_TARGET_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${QOR_TARGET_TRIPLE}-g++)

# Libraries and headers come from the target's tree only; programs (cmake,
# qemu) from the build machine.
set(CMAKE_FIND_ROOT_PATH ${QOR_TARGET_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# -L points the emulator at the target's dynamic loader and libraries, and
# LD_LIBRARY_PATH keeps that loader to them: on a machine that also has
# armhf libraries of its own (multiarch), it would otherwise load those
# through the machine's ld.so.cache, a C library of another build than the
# loader's, and forked children crash.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L ${QOR_TARGET_ROOT}
    -E LD_LIBRARY_PATH=${QOR_TARGET_ROOT}/lib)
