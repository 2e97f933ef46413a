// Random bytes for both programs, from the kernel's /dev/urandom.
//
// The device rather than getrandom(2), as every C library and kernel the
// programs meet has it and not all of them have the call. It is opened once,
// close-on-exec, and kept for the life of the process: the daemon has always
// held it from building its client identifier on, so the descriptors it
// opens later (whose numbers its log lines show) keep their numbers, and a
// later draw costs one read.
//
// Thread: any. The descriptor is the one shared object: written once, by the
// first call that opens the device, and only read after.
#ifndef QUORREL_COMMON_RANDOM_BYTES_H_
#define QUORREL_COMMON_RANDOM_BYTES_H_

#include <stddef.h>

// The device's path, as messages name it.
constexpr char kRandomDevice[] = "/dev/urandom";

// Returns the process's descriptor of kRandomDevice, which the first call
// that succeeds opens (read-only, close-on-exec). It stays open until exit
// and belongs to this file: callers never close it. Returns -1 with errno
// set by open when the device cannot be opened; a later call tries again.
int random_device() noexcept;

// Fills `buffer[0 .. length)` from random_device(), continuing after short
// reads and retrying on EINTR. Returns 0, or the errno value of the failure:
// the open's, a read's, or EIO when the device ends early. After a failed
// read the bytes it did not reach keep their values.
int random_bytes(void* buffer, size_t length) noexcept;

#endif  // QUORREL_COMMON_RANDOM_BYTES_H_
