#include "server/orderly_stop.h"

#include <signal.h>

#include "common/log.h"
#include "server/daemon_exit.h"
#include "server/log_throttle.h"
#include "server/relay.h"

namespace {

struct stop_state {
  mqtt_session* session;
  ev_signal signals[2];
  ev_timer check;
  bool stopping;
  double deadline;
};

stop_state stop{};

[[noreturn]] void finish() {
  held_list unfinished{};
  const uint32_t held = session_stop(stop.session, &unfinished);
  relay_save_at_stop(&unfinished, held, kStopSeconds);
  // The session thread is not joined; the process ends here.
  session_drop_connection(stop.session);
  daemon_exit(kExitStopped);
}

void check_cb(struct ev_loop* loop, ev_timer* w, int revents) noexcept {
  (void)loop;
  (void)w;
  (void)revents;
  if (relay_stop_done() || monotonic_seconds() >= stop.deadline) finish();
}

void signal_cb(struct ev_loop* loop, ev_signal* w, int revents) noexcept {
  (void)revents;
  if (stop.stopping) return;
  stop.stopping = true;
  diag_debug("signal %d: stopping\n", w->signum);
  stop.deadline = monotonic_seconds() + kStopSeconds;
  relay_stop_reading();
  // Checked a few times a second: connections end and the broker
  // acknowledges without telling this loop.
  ev_timer_init(&stop.check, check_cb, 0., 0.05);
  ev_timer_start(loop, &stop.check);
}

}  // namespace

void orderly_stop_watch(struct ev_loop* loop, mqtt_session* session) {
  stop.session = session;
  const int signals[2] = {SIGTERM, SIGINT};
  for (int i = 0; i < 2; ++i) {
    ev_signal_init(&stop.signals[i], signal_cb, signals[i]);
    ev_signal_start(loop, &stop.signals[i]);
  }
}
