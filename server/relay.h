// The one way local messages take: local ingress -> queue -> session.
//
// Every completed stream message and every datagram comes here. It is
// handed to the broker session at once when the session is up, nothing
// waits before it and the library holds less than its high-water mark;
// otherwise it waits in the queue (queuesize above 0), or, without a queue,
// is dropped while the session is down. Queued messages go out oldest first
// as soon as the library takes more. The relay also decides when the local
// sockets are read (back-pressure): while the session is up and the queue
// is full (without a queue: while the library holds its high-water mark),
// neither socket is read, so that writers wait as on a full pipe. A writer
// that asked for a verdict learns what became of its message. At an orderly
// stop (daemon.h) it stops reading and saves what it holds.
//
// Thread: main thread, inside the libev loop, except relay_wake and
// relay_give_back, which the session thread calls.
#ifndef QUORREL_SERVER_RELAY_H_
#define QUORREL_SERVER_RELAY_H_

#include <ev.h>
#include <stdint.h>

#include "server/dgram_ingress.h"
#include "server/message_queue.h"
#include "server/mqtt_session.h"
#include "server/stream_ingress.h"

// How often, at most, the queue directory is synced.
constexpr double kSyncSeconds = 1.0;

// An overflow episode (the oldest queued messages giving way while the
// session is down) ends after this long without one, and at the latest
// after kOverflowReportSeconds; its WARNING line then gives the total.
constexpr double kOverflowQuietSeconds = 1.0;
constexpr double kOverflowReportSeconds = 60.0;

// Messages the relay dropped since the start, by reason, for the status.
struct relay_report {
  uint64_t session_down;       // the session down and no queue set
  uint64_t queue_full;         // the oldest, giving way to newer ones
  uint64_t larger_than_queue;  // larger than the whole queue
  uint64_t expired;            // waited longer than messageexpiry
  uint64_t unreadable;         // lost with a queue file that could not be read
};

// The relay's counts since the start. Main thread.
relay_report relay_report_now() noexcept;

// Opens the queue: `capacity_kib` KiB (0: none), in `dir` when not null.
// Returns 0; 1 after an ERR line when another daemon holds the directory;
// -1 after an ERR line when the directory cannot be used. Before the
// session thread starts, since the directory is locked before any broker
// connection. Main thread, once.
int relay_open_queue(uint32_t capacity_kib, const char* dir);

// Messages that waited longer than `seconds` since the daemon took them are
// dropped in their turn instead of sent, counted in episodes with one
// WARNING line each ("N messages expired in the queue"); 0: they wait for
// ever. Main thread, before relay_start.
void relay_set_message_expiry(uint32_t seconds);

// Starts relaying from `stream` and `dgram` (opened with the relay's
// entries, alive while `loop` runs) to `session` (alive as long), with the
// wake-up, sync and overflow watchers on `loop`. Main thread, once, before
// the loop runs.
void relay_start(struct ev_loop* loop, stream_server* stream, dgram_server* dgram,
                 mqtt_session* session);

// The stream path's take_fn and the datagram path's publish_fn. `arg` is
// not used.
void relay_stream_message(void* arg, byte_buffer* buf, message_verdict* verdict) noexcept;
void relay_datagram(void* arg, const void* data, int len) noexcept;

// Stops relaying: every watcher of the relay's is stopped, the queue is
// closed (a queue directory keeps its files) and what it held in memory is
// freed. For tests, which start relays one after another. Main thread.
void relay_close() noexcept;

// The relay's queue, for tests. Main thread.
message_queue* relay_queue() noexcept;

// Has the main thread look at the session and the queue again soon. Any
// thread; a no-op before relay_start.
void relay_wake() noexcept;

// Takes over `messages`, which a lost session left unfinished, oldest
// first: they go out again before anything else (with a queue directory,
// they are written to it at once, before everything newer). Session thread.
void relay_give_back(held_list* messages) noexcept;

// The orderly stop, main thread.
// Accepts no new connection and reads no more datagrams; open connections
// are still read.
void relay_stop_reading() noexcept;
// True when no connection is left to read and, without a queue directory,
// nothing is left to send.
bool relay_stop_done() noexcept;
// Stops the session for good (session_stop) and saves what it had not
// finished and everything queued: to the queue directory when there is one,
// else counted as lost (not sent within `stop_seconds`), with the lines that
// say so; then ends the broker connection without DISCONNECT. The process
// is to end right after.
void relay_finish_stop(double stop_seconds) noexcept;

#endif  // QUORREL_SERVER_RELAY_H_
