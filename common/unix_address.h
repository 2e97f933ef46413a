// The file-system address of a Unix-domain socket, as both programs build it
// from a path: the daemon to bind its two sockets, the sender to connect.
//
// Thread: any; no state.
#ifndef QUORREL_COMMON_UNIX_ADDRESS_H_
#define QUORREL_COMMON_UNIX_ADDRESS_H_

#include <sys/socket.h>
#include <sys/un.h>

// Fills `*addr` with the address of `path` and returns the length to give
// bind or connect: the path without its terminating NUL. Returns -1, with
// `*addr` untouched, when the path is 108 characters or longer (sun_path
// would not hold it with its NUL).
int unix_address(struct sockaddr_un* addr, const char* path);

#include <stddef.h>

// True when the socket address `addr` of `len` bytes (as accept or
// getpeername return it) is an abstract Unix address (first byte of
// sun_path NUL) whose name begins with the `prefix_len` bytes at `prefix`:
// how a writer asks the daemon for something besides taking its message.
bool abstract_peer_named(const void* addr, size_t len, const char* prefix,
                         size_t prefix_len) noexcept;

// Binds `fd` to an abstract address named `prefix` followed by the pid and
// a random number, which leaves nothing in the file system and goes with the
// socket; a name another socket holds (unlikely) is drawn again, up to three
// times. Returns 0, or -1 with errno set by the last bind.
int bind_abstract_address(int fd, const char* prefix) noexcept;

#endif  // QUORREL_COMMON_UNIX_ADDRESS_H_
