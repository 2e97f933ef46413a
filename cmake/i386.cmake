# 32-bit x86, glibc, dynamic: Debian's g++-i686-linux-gnu with the :i386
# packages (not -m32 and gcc-multilib, which cannot be installed beside the
# other cross compilers). Use with cmake -DCMAKE_TOOLCHAIN_FILE=cmake/i386.cmake
set(CMAKE_SYSTEM_PROCESSOR i686)
set(QUORREL_CROSS_TRIPLE i686-linux-gnu)
set(QUORREL_MULTIARCH i386-linux-gnu)
# Some x86-64 kernels run i386 programs themselves, some (built or booted
# without 32-bit support) do not, and then scripts/setup.sh --cross has them
# run under qemu-i386 through binfmt_misc. Which way they run here is asked
# of the machine on every configure, by running a probe program: under qemu
# the tests apply their emulator allowances, as on ARM.
execute_process(COMMAND ${CMAKE_CURRENT_LIST_DIR}/../scripts/i386-probe.sh
                OUTPUT_VARIABLE QUORREL_I386_MODE OUTPUT_STRIP_TRAILING_WHITESPACE
                RESULT_VARIABLE probe_result)
if(NOT probe_result EQUAL 0)
  message(FATAL_ERROR "scripts/i386-probe.sh failed: the i386 toolchain is missing "
                      "(run scripts/setup.sh --cross)")
elseif(QUORREL_I386_MODE STREQUAL "native")
  set(QUORREL_EMULATOR "")
elseif(QUORREL_I386_MODE STREQUAL "emulated")
  set(QUORREL_EMULATOR /usr/bin/qemu-i386-static)
else()
  message(FATAL_ERROR "i386 programs do not run on this machine, natively or under "
                      "qemu-i386: run scripts/setup.sh --cross, which registers qemu-i386 "
                      "with binfmt_misc when the kernel cannot run them")
endif()
if(NOT QUORREL_I386_MODE_SHOWN STREQUAL QUORREL_I386_MODE)
  message(STATUS "i386 programs run here: ${QUORREL_I386_MODE}")
  set(QUORREL_I386_MODE_SHOWN "${QUORREL_I386_MODE}" CACHE INTERNAL "")
endif()
include(${CMAKE_CURRENT_LIST_DIR}/glibc-cross.cmake)
