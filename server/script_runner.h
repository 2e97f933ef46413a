// Runs the daemon's scripts as its own children: each command through
// `/bin/sh -c`, started clean (only descriptors 0-2 open, every signal at its
// default disposition, an empty signal mask), at most kMaxRunningScripts at
// once, the rest waiting in arrival order in a bounded queue, and every child
// reaped by the main thread's event loop.
//
// Thread: script_runner_submit may be called from any thread (the MQTT
// session thread in the daemon); the reaping runs on the thread that runs the
// default loop (the main thread), and so does the end of an overflow. The
// queue, the set of running children and the overflow's count are shared by
// both and guarded by one mutex inside script_runner.cpp.
#ifndef QUORREL_SERVER_SCRIPT_RUNNER_H_
#define QUORREL_SERVER_SCRIPT_RUNNER_H_

#include <stddef.h>
#include <stdint.h>

#include "server/log_throttle.h"

struct ev_loop;

// Scripts that may run at once. Each is a shell and what it starts: on a
// 64 MB device sixteen of them cost a few MB, where a burst of messages
// without a bound started hundreds.
constexpr unsigned kMaxRunningScripts = 16;

// Commands that may wait for a free slot, and their text in total. The bytes
// bound keeps a queue of long payloads to 1 MiB; the count bounds the wait of
// the last one.
constexpr unsigned kMaxQueuedScripts = 256;
constexpr size_t kMaxQueuedScriptBytes = 1 << 20;

// Least time between two "script queue full" lines.
constexpr double kScriptQueueFullLogSeconds = 1.0;

// An overflow (commands refused by a full queue) ends after this long
// without a refusal; one ERR line then gives the number refused in all,
// since the thinned-out lines of a flood that stops at once never do.
constexpr double kScriptOverflowQuietSeconds = 1.0;

// Starts reaping the children that scripts run in, and timing the end of
// overflows, on `loop`. `clock` tells the time (monotonic seconds) for the
// queue-full lines and the end of an overflow: monotonic_seconds in the
// daemon, a stand-in in tests. A later call changes only the clock.
// REQUIRES: `loop` is libev's default loop (the one that handles SIGCHLD),
// called on the thread that runs it, before any command is submitted: the
// session thread may submit one as soon as it runs.
void script_runner_start(struct ev_loop* loop, double (*clock)() = monotonic_seconds) noexcept;

// Takes the NUL-terminated `command` of `length` characters (from malloc;
// the runner frees it) and runs it as `/bin/sh -c command` now when a slot is
// free, else queues it behind those waiting. When the queue is full the
// command is freed and not run: the first refusal of an overflow is an ERR
// line, later ones at most one line per kScriptQueueFullLogSeconds (the
// line shown counts those held back), and kScriptOverflowQuietSeconds after
// the last refusal an ERR line from the loop gives the overflow's total.
// When the child cannot be created the command is dropped with an ERR line.
// Starts at most one child itself. Any thread.
void script_runner_submit(char* command, size_t length) noexcept;

// Counts a script that was not run before it reached the runner (its
// command could not be built). Any thread.
void script_runner_not_run() noexcept;

// Since the start: scripts started, and scripts not run (refused by a full
// queue, their child not created, or counted by script_runner_not_run).
// Any thread.
void script_runner_counts(uint64_t* started, uint64_t* not_run) noexcept;

#endif  // QUORREL_SERVER_SCRIPT_RUNNER_H_
