// CRC-32C (Castagnoli): the checksum of the queue's record files, chosen for
// its error detection on storage and because it is cheap without hardware
// support on the targets (slicing-by-8 over tables the compiler computes).
//
// Thread: any; no state.
#ifndef QUORREL_SERVER_CRC32C_H_
#define QUORREL_SERVER_CRC32C_H_

#include <stddef.h>
#include <stdint.h>

// CRC-32C (Castagnoli, reflected, initial value and final xor 0xffffffff)
// of `len` bytes at `data`, continuing from `crc` (0 to start): a checksum
// taken in pieces equals the one taken whole. `data` may have any alignment.
uint32_t crc32c(uint32_t crc, const void* data, size_t len) noexcept;

#endif  // QUORREL_SERVER_CRC32C_H_
