// The sender's one job: deliver one message to the daemon's stream socket.
//
// One connection carries one message: every byte written until the
// connection is closed, without framing, and the daemon sends no reply.
#ifndef QUORREL_CLIENT_SENDER_H_
#define QUORREL_CLIENT_SENDER_H_

#include <stddef.h>
#include <sys/types.h>

// Size of the chunks a file is read and logged in (each chunk's DEBUG line
// shows at most this many bytes).
constexpr size_t kSendChunk = 2047;

// Writes all `length` bytes of `data` to the blocking socket `fd`,
// continuing after short writes and retrying on EINTR. Never raises SIGPIPE.
// Returns 0, or -1 with errno set by the failing send.
int send_all(int fd, const void* data, size_t length);

// Sends the message that `args_info` describes (the file named by `file`
// when given, else the text of `data`) to the stream socket at `unixsock`.
// Parameters and the file are checked before connecting, so a failure
// before that point publishes nothing. Returns the process exit status: 0
// when every byte was handed to the socket, 1 after an ERR line otherwise.
// REQUIRES: proc_args has filled args_info.
int send_message(void);

#endif  // QUORREL_CLIENT_SENDER_H_
