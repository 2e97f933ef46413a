// The sender's other job: ask the daemon for its status (common/status_query.h)
// and print it.
#ifndef QUORREL_CLIENT_STATUS_H_
#define QUORREL_CLIENT_STATUS_H_

// Asks the daemon at `unixsock` for its status and writes the answer to
// standard output. Sends no message. A daemon that is not there, or a peer
// that gives no status answer, is one line on standard error (the first
// beginning with `program`) and status 1. `--status` with -D or -f is
// refused before connecting ("ERR: --status sends no message: drop -D/-f").
// Returns the process exit status: 0 when the status was printed.
// REQUIRES: proc_args has filled args_info; `program` not null.
int print_status(const char* program);

#endif  // QUORREL_CLIENT_STATUS_H_
