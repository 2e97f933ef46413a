// The daemon's orderly stop, on SIGTERM or SIGINT: no new connection, open
// ones read for up to kStopSeconds, then what the broker has not
// acknowledged goes to the queue directory (without one, what could not be
// sent meanwhile is counted as lost), and the process ends with status 0
// without a DISCONNECT, so that the broker publishes the will: the device is
// going away.
//
// Thread: main thread, inside the libev loop.
#ifndef QUORREL_SERVER_ORDERLY_STOP_H_
#define QUORREL_SERVER_ORDERLY_STOP_H_

#include <ev.h>

#include "server/mqtt_session.h"

// How long an orderly stop goes on reading open connections (and, without a
// queue directory, sending).
constexpr double kStopSeconds = 2.0;

// Watches SIGTERM and SIGINT on `loop`; on either, stops the relay (which
// must be started) and `session` in order and ends the process. Main
// thread, once, before the loop runs. REQUIRES: `session` lives for the
// rest of the process.
void orderly_stop_watch(struct ev_loop* loop, mqtt_session* session);

#endif  // QUORREL_SERVER_ORDERLY_STOP_H_
