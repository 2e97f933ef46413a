// The sender's one job: deliver one message to the daemon's stream socket
// and report what the daemon made of it.
//
// One connection carries one message: every byte written until the sending
// side is shut down, without framing. Unless the client runs detached, it
// asks for the daemon's verdict (common/verdict.h) and waits for it.
#ifndef QUORREL_CLIENT_SENDER_H_
#define QUORREL_CLIENT_SENDER_H_

#include <stddef.h>
#include <sys/types.h>
#include <sys/un.h>

// Size of the chunks a file is read and logged in (each chunk's DEBUG line
// shows at most this many bytes).
constexpr size_t kSendChunk = 2047;

// Writes all `length` bytes of `data` to the blocking socket `fd`,
// continuing after short writes and retrying on EINTR. Never raises SIGPIPE.
// Returns 0, or -1 with errno set by the failing send.
int send_all(int fd, const void* data, size_t length);

// Connects a blocking stream socket to the daemon's address `addr` of
// `addr_len` bytes (unix_address), first binding it to an abstract address
// named `ask` (kVerdictAddressPrefix, kStatusAddressPrefix) when not null.
// Returns the descriptor, which the caller owns, or -1 after ERR lines.
int connect_to_daemon(const struct sockaddr_un& addr, int addr_len, const char* ask);

// Shuts down the sending side of the connection `fd` (which ends a message,
// or a request, without a byte), then reads what the daemon writes back into
// `reply` until it closes or `size` bytes have come. Returns the bytes read.
size_t end_and_read_reply(int fd, char* reply, size_t size);

// Sends the message that `args_info` describes (the file named by `file`
// when given, else the text of `data`) to the stream socket at `unixsock`.
// Parameters and the file are checked before connecting, so a failure
// before that point publishes nothing. Without `daemon_mode`, waits (with no
// time-out) for the daemon's verdict once every byte is sent; a refusal, or
// the lack of a verdict, is one line on standard error that begins with
// `program`, whatever the debug level. Returns the process exit status: 0
// when the daemon accepted the message (with `daemon_mode`: when every byte
// was handed to the socket), 1 otherwise, after an ERR line or that line.
// REQUIRES: proc_args has filled args_info; `program` (argv[0], as the
// option parser's messages begin with it) is not null.
int send_message(const char* program);

#endif  // QUORREL_CLIENT_SENDER_H_
