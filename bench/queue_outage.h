// The queue figure: an outage long enough to put many messages on disk.
// A daemon with a queue directory and no broker takes a burst of datagrams;
// then the broker comes back and the queue drains to a subscriber. How fast
// does it drain against the live rate, how much memory does the daemon use
// while the queue fills and drains (also with a full queue, and after a
// restart on the full directory), how soon after the broker accepts it does
// the first message go out, and what does the queue cost the disk: bytes
// written against the payload, rewrites, syncs per second?
#ifndef QUORREL_BENCH_QUEUE_OUTAGE_H_
#define QUORREL_BENCH_QUEUE_OUTAGE_H_

#include <stddef.h>
#include <stdint.h>

#include <vector>

#include "bench/report.h"

namespace quorrel_bench {

struct QueueOutageConfig {
  size_t count = 200000;       // messages sent during the outage
  size_t size = 100;           // bytes each
  uint32_t queue_kib = 65536;  // --queuesize
  double overfill = 1.15;      // the full-queue run offers this many times what fits
  int rss_interval_ms = 50;    // VmRSS sampling
};

// Runs the figure once and returns its rows; progress goes to standard
// error. `live_rate` is the QoS 1 rate in messages per second measured in
// the same run (the P2 figure), which the drain rate is held to; 0 when it
// was not measured: the rate of the same daemon after the drain is the
// anchor then. The broker (a private mosquitto that keeps sessions across
// its restarts), the daemons and their directories are the figure's own.
// Needs strace. Throws std::runtime_error when the measurement cannot be
// made (a program does not start, messages do not arrive at all); a missed
// target, a lost or misordered message is a row's verdict.
std::vector<Row> queue_outage(const QueueOutageConfig& config, double live_rate);

}  // namespace quorrel_bench

#endif  // QUORREL_BENCH_QUEUE_OUTAGE_H_
