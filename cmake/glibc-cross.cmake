# Shared part of the Debian cross toolchains (armhf, i386): the compiler named
# by QUORREL_CROSS_TRIPLE, the target's multiarch :ARCH development packages,
# GoogleTest built from source for the target, and the tests run through
# qemu-user (binfmt makes the programs the tests start run the same way).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${QUORREL_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${QUORREL_CROSS_TRIPLE}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${QUORREL_MULTIARCH})
# Headers and libraries of the :ARCH packages live in the host's /usr under the
# multiarch directory; programs (pkg-config, openssl, mosquitto) are the host's.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH /usr/${QUORREL_CROSS_TRIPLE} /)
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/${QUORREL_MULTIARCH}/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
if(QUORREL_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QUORREL_EMULATOR})
endif()
set(QUORREL_GTEST_FROM_SOURCE ON CACHE BOOL "" FORCE)
