# 32-bit x86, glibc, dynamic: Debian's g++-i686-linux-gnu with the :i386
# packages (not -m32 and gcc-multilib, which cannot be installed beside the
# other cross compilers). Use with cmake -DCMAKE_TOOLCHAIN_FILE=cmake/i386.cmake
set(CMAKE_SYSTEM_PROCESSOR i686)
set(QUORREL_CROSS_TRIPLE i686-linux-gnu)
set(QUORREL_MULTIARCH i386-linux-gnu)
# An x86-64 kernel runs i386 programs itself: no emulator.
set(QUORREL_EMULATOR "")
include(${CMAKE_CURRENT_LIST_DIR}/glibc-cross.cmake)
