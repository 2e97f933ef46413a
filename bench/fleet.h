// The fleet figure: many daemons lose their broker at the same instant, a
// counting listener stands in on its port while it is away, and the broker
// then comes back. How hard does the fleet knock while the broker is down,
// and how soon after its return does every daemon relay again?
#ifndef QUORREL_BENCH_FLEET_H_
#define QUORREL_BENCH_FLEET_H_

#include <stddef.h>

#include <vector>

#include "bench/report.h"

namespace quorrel_bench {

struct FleetConfig {
  size_t daemons = 200;
  int outage_seconds = 120;  // how long the listener stands in for the broker
  // Wait after the last daemon relays before the outage: a session shorter
  // than the daemon's stable-session time (30 s) would count as a failed
  // attempt and change its schedule.
  double settle_seconds = 30;
  int quick_seconds = 10;            // the outage's first seconds, left out of the attempts target
  double attempts_target = 50;       // per second, from the quick_seconds-th second on
  int calm_seconds = 59;             // the outage's seconds before the lower target holds
  double calm_attempts_target = 20;  // per second, from the calm_seconds-th second on
  // The slowest daemon's return after the broker's, for an outage of any
  // length; an outage of up to 5 s (10 s) must cost no more than 5 s (10 s).
  double recovery_target_seconds = 75;
  int recovery_limit_seconds = 180;  // how long to wait for the fleet after the return
};

// Runs the figure once and returns its rows; prints the attempts per second
// of the outage to standard output and its progress to standard error. The
// daemons and the broker are its own (a private mosquitto on a free loopback
// port, killed with SIGKILL and restarted on the same port). Raises the soft
// limits on descriptors and processes when they are too low for the fleet,
// saying so. Throws std::runtime_error when the measurement cannot be made
// (a daemon does not start or exits, the port cannot be taken over); a missed
// target is a row's verdict, not an error.
std::vector<Row> fleet_reconnection(const FleetConfig& config);

}  // namespace quorrel_bench

#endif  // QUORREL_BENCH_FLEET_H_
