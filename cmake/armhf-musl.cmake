# Static ARMv7 hard-float build on musl (the field target), with Zig's compiler.
# The CPU is Debian armhf's baseline: ARMv7-A, Thumb-2, VFPv3-D16, no NEON.
# Use with
#   scripts/musl-deps.sh armhf-musl build-armhf-musl/deps
#   cmake -S . -B build-armhf-musl -DCMAKE_TOOLCHAIN_FILE=cmake/armhf-musl.cmake
set(QUORREL_ZIG_TARGET arm-linux-musleabihf)
set(QUORREL_ZIG_CPU generic+v7a+vfp3d16+thumb2-neon-d32)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(QUORREL_QEMU qemu-arm-static)
include(${CMAKE_CURRENT_LIST_DIR}/zig-musl.cmake)
