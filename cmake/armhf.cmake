# ARMv7 hard-float, glibc, dynamic: Debian's g++-arm-linux-gnueabihf with the
# :armhf packages. Use with cmake -DCMAKE_TOOLCHAIN_FILE=cmake/armhf.cmake
set(CMAKE_SYSTEM_PROCESSOR arm)
set(QUORREL_CROSS_TRIPLE arm-linux-gnueabihf)
set(QUORREL_MULTIARCH arm-linux-gnueabihf)
set(QUORREL_EMULATOR /usr/bin/qemu-arm-static)
include(${CMAKE_CURRENT_LIST_DIR}/glibc-cross.cmake)
