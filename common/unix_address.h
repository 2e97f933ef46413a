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

#endif  // QUORREL_COMMON_UNIX_ADDRESS_H_
