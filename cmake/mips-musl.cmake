# Static 32-bit big-endian MIPS build on musl, with Zig's compiler: the
# byte-order check of the code, run here under qemu.
# Use with
#   scripts/musl-deps.sh mips-musl build-mips-musl/deps
#   cmake -S . -B build-mips-musl -DCMAKE_TOOLCHAIN_FILE=cmake/mips-musl.cmake
set(QUORREL_ZIG_TARGET mips-linux-musl)
set(QUORREL_ZIG_CPU "")
set(CMAKE_SYSTEM_PROCESSOR mips)
set(QUORREL_QEMU qemu-mips-static)
include(${CMAKE_CURRENT_LIST_DIR}/zig-musl.cmake)
