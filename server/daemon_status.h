// The daemon's status, as `quorrel_client --status` prints it: one
// "key: value" per line, keys fixed (quorreld.8 lists them), values plain
// (counts, seconds, bytes, times in UTC as ISO 8601), so that scripts can
// grep them.
//
// Built on the main thread from what each part keeps as it runs: the
// session's report (mqtt_session), the relay's counts and its queue, the
// stream socket's refusals and the script runner's counts. No lock is held
// but the short ones those parts take to copy their values.
#ifndef QUORREL_SERVER_DAEMON_STATUS_H_
#define QUORREL_SERVER_DAEMON_STATUS_H_

#include <stddef.h>
#include <stdint.h>

struct mqtt_session;
struct stream_server;

// Where the status comes from: set once by the daemon before the loop runs
// (`started` is the Unix time of the start), alive for the life of the
// process. Main thread.
void daemon_status_init(mqtt_session* session, const stream_server* stream, int64_t started);

// Writes the status into `out` (`size` bytes; kStatusAnswerMax is plenty)
// and returns its length, without a NUL. Lines that would not fit are left
// out whole. Main thread, after daemon_status_init.
size_t daemon_status(char* out, size_t size) noexcept;

#endif  // QUORREL_SERVER_DAEMON_STATUS_H_
