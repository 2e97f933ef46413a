# Static x86-64 build on musl, with Zig's compiler; runs here without emulation.
# Use with
#   scripts/musl-deps.sh x86_64-musl build-x86_64-musl/deps
#   cmake -S . -B build-x86_64-musl -DCMAKE_TOOLCHAIN_FILE=cmake/x86_64-musl.cmake
set(QUORREL_ZIG_TARGET x86_64-linux-musl)
set(QUORREL_ZIG_CPU "")
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(QUORREL_QEMU "")
include(${CMAKE_CURRENT_LIST_DIR}/zig-musl.cmake)
